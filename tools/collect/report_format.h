#ifndef HALV_TOOLS_COLLECT_REPORT_FORMAT_H_
#define HALV_TOOLS_COLLECT_REPORT_FORMAT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The report as tables of typed cells, and the three ways to print them. Stored text is printed
// as data, never as terminal or spreadsheet commands: control characters (C0, DEL, C1), bidi
// overrides, line and paragraph separators and bytes that are not UTF-8 come out escaped, and
// CSV cells that a spreadsheet would take for a formula are neutralised. Plain functions and
// values: any thread.
namespace halv::collect {

enum class ColumnType {
  Text,
  Count,    // whole number
  Bytes,    // whole number of bytes; human units in text
  Seconds,  // seconds with milliseconds
  Rate,     // bytes per second; human units in text
  Ratio,    // 0 to 1; a percentage in text
};

struct Column {
  std::string name;  // the heading, and the key in JSON
  ColumnType type;
};

// Text for Text columns; a whole number for Count and Bytes; a real number otherwise; nullopt
// where there is nothing to show ("-" in text, null in JSON, empty in CSV).
using Cell = std::optional<std::variant<std::string, std::int64_t, double>>;

struct Table {
  std::string key;    // the JSON member and the --table name
  std::string title;  // the heading in text
  std::vector<Column> columns;
  std::vector<std::vector<Cell>> rows;
};

// Adds without overflowing: sums of stored numbers stop at INT64_MAX.
std::int64_t AddSaturated(std::int64_t a, std::int64_t b);

// `text` with control characters, bidi controls, separators, invalid UTF-8 bytes and the
// backslash written as \\, \xNN or \uNNNN escapes: safe to print on a terminal.
std::string Printable(const std::string& text);

// "1023 B", "1.5 KiB", … "8.0 EiB".
std::string HumanBytes(std::int64_t bytes);

// The tables as aligned plain text, each under its title ("  none" for an empty one).
std::string FormatText(const std::vector<Table>& tables);

// A column name as a JSON key: lower case, every run of other characters one underscore
// ("bytes delivered" gives "bytes_delivered", "p90 s" "p90_s").
std::string JsonKey(const std::string& name);

// The tables as one JSON object: each table a member named by its key holding an array of
// objects keyed by the JsonKey of each column name; `header` members (already JSON) come first.
std::string FormatJson(const std::string& header, const std::vector<Table>& tables);

// One table as RFC 4180 CSV (CRLF line ends, quoted where needed).
std::string FormatCsv(const Table& table);

// `text` as a JSON string literal (with its quotation marks).
std::string JsonString(const std::string& text);

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_REPORT_FORMAT_H_
