#include "collect_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "report_format.h"

namespace halv::collect {
namespace {

// What the updater posts as the version while a request for "current" is not resolved yet.
const char kUnresolvedVersion[] = "?";
const char kUnresolvedLabel[] = "current (unresolved)";

// The layout of the JSON report: 2 since its keys are snake_case (1 had the column names).
constexpr int kJsonFormatVersion = 2;

// The transfer errors by number, as a publisher reads them.
const char* const kTransferErrors[] = {"none",       "package documents", "connection", "memory",
                                       "disk space", "file access",       "checksums",  "files",
                                       "requests",   "unexpected"};

// The request results by number (HttpRequestResult), in words.
const char* const kRequestResults[] = {"not started",
                                       "in progress",
                                       "success",
                                       "cancelled",
                                       "unusable URL",
                                       "host or proxy name not found",
                                       "connection refused",
                                       "client error (HTTP 4xx)",
                                       "server error (HTTP 5xx)",
                                       "network error",
                                       "could not write what came",
                                       "incomplete answer",
                                       "timed out",
                                       "out of memory",
                                       "other failure"};

// What the updater's exception types mean; older updaters post the type's name as the cause.
const std::pair<const char*, const char*> kExceptionWords[] = {
    {"ManifestStreamException", "a document could not be fetched"},
    {"ManifestLocatorException", "no such document"},
    {"ManifestParseException", "a document could not be read"},
    {"ManifestOverflowException", "a document is too large"},
    {"ManifestAuthenticityException", "a document's signature did not verify"},
    {"ManifestException", "a document is unusable"},
    {"DestinationInUseException", "the destination folder is in use by another download"},
    {"FileBadPathException", "a file path could not be used"},
    {"FileUnsafePathException", "a file path leads outside the destination"},
    {"FileInaccessibleException", "a file could not be written (permissions or read-only)"},
    {"FileInUseException", "a file is in use"},
    {"FileInsufficientSpaceException", "the disk is full"},
    {"FileInvalidMapException", "a file could not be mapped"},
    {"FileOutOfBoundsException", "a file is shorter than expected"},
    {"FileUnknownException", "a file system error"},
    {"FileException", "a file error"},
    {"bad_alloc", "out of memory"},
};

// The cause of an error text in words: a request result's number before its details
// ("12|Timeout" gives "timed out: Timeout"), a type name ("halv::ManifestStreamException") its
// meaning; other text as it came.
std::string CauseInWords(const std::string& cause) {
  const std::size_t bar = cause.find('|');
  if (bar != std::string::npos && bar > 0 && bar <= 2 &&
      cause.find_first_not_of("0123456789") == bar) {
    const std::size_t result = std::stoul(cause.substr(0, bar));
    if (result < std::size(kRequestResults)) {
      const std::string details = cause.substr(bar + 1);
      return kRequestResults[result] + (details.empty() ? "" : ": " + details);
    }
  }
  // A type name has no blank; its last component names it.
  if (!cause.empty() && cause.find(' ') == std::string::npos) {
    const std::size_t colons = cause.rfind("::");
    const std::string name = colons == std::string::npos ? cause : cause.substr(colons + 2);
    for (const auto& [type, words] : kExceptionWords) {
      if (name == type) return words;
    }
    if (colons != std::string::npos) return "unexpected failure";
  }
  return cause;
}

// The cause of a checksum error in words, named by the node that served the bytes, so that the
// failures of one node add up in one row. The updater posts "<file size>|<first byte>|<length>|
// <bytes written>|<HTTP status>|<nodes that served it wrong>|<node IP>|<expected>|<actual>".
std::string ChecksumCause(const std::string& cause) {
  std::vector<std::string> fields;
  for (std::size_t from = 0;;) {
    const std::size_t bar = cause.find('|', from);
    fields.push_back(cause.substr(from, bar - from));
    if (bar == std::string::npos) break;
    from = bar + 1;
  }
  if (fields.size() != 9) return cause;
  return "chunks that failed their check, from node " +
         (fields[6].empty() ? std::string("(unknown)") : fields[6]);
}

// An error text "error|<transfer error>|<cause>" split into the error's kind and its cause, both
// in words.
std::pair<std::string, std::string> ErrorKindAndCause(const std::string& text) {
  if (text.empty()) return {"(no text)", ""};
  const std::string prefix = "error|";
  if (text.compare(0, prefix.size(), prefix) != 0) return {"(unrecognised text)", text};
  const std::size_t bar = text.find('|', prefix.size());
  const std::string number = text.substr(prefix.size(), bar - prefix.size());
  if (number.empty() || number.size() > 3 ||
      number.find_first_not_of("0123456789") != number.npos) {
    return {"(unrecognised text)", text};
  }
  const int value = std::stoi(number);
  constexpr int kChecksumError = 6;
  const std::string rest = bar == std::string::npos ? "" : text.substr(bar + 1);
  const std::string cause = value == kChecksumError ? ChecksumCause(rest) : CauseInWords(rest);
  if (value < static_cast<int>(std::size(kTransferErrors))) {
    return {std::string(kTransferErrors[value]) + " (" + number + ")", cause};
  }
  return {"transfer error " + number, cause};
}

// "numFatalErrors" -> "FatalError"; other counters unchanged.
std::string EventName(const std::string& counter) {
  if (counter.size() > 4 && counter.compare(0, 3, "num") == 0 && counter.back() == 's') {
    return counter.substr(3, counter.size() - 4);
  }
  return counter;
}

// The nearest-rank percentile of sorted values: the same figure whichever store gave them.
Cell Percentile(const std::vector<double>& sorted, double percent) {
  if (sorted.empty()) return std::nullopt;
  const auto rank = static_cast<std::size_t>(std::ceil(percent / 100 * sorted.size()));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

using VersionKey = std::tuple<std::string, std::string, std::string>;  // partner, package, version

struct VersionRow {
  std::int64_t started = 0, completed = 0, failed = 0, canceled = 0, suspended = 0;
  std::int64_t transfers = 0, bytes = 0;
  std::vector<double> seconds, rates;  // of completed transfers
};

// One transfer (tid) over all its records.
struct TransferTotal {
  std::string version = kUnresolvedVersion;  // the last version a record named
  std::string status;                        // the last record's
  std::int64_t bytes = 0;
  double seconds = 0;
};

// Gathers the rows of a store into the report's sums.
class Collector : public ReportSink {
 public:
  void Shape(const std::string& shape, std::int64_t posts) override {
    shapes_[shape] = AddSaturated(shapes_[shape], posts);
  }
  void Refused(const std::string& reason, std::int64_t posts) override {
    refused_[reason] = AddSaturated(refused_[reason], posts);
  }
  void Agent(const std::string& userAgent, std::int64_t posts) override {
    agents_[userAgent] = AddSaturated(agents_[userAgent], posts);
  }
  void Transfer(const PackageKey& key, const std::string& transfer, const std::string& status,
                std::int64_t bytes, double seconds) override {
    TransferTotal& total = transfers_[{key.partnerId, key.packageId, transfer}];
    if (key.versionId != kUnresolvedVersion) total.version = key.versionId;
    total.status = status;
    total.bytes = AddSaturated(total.bytes, std::max<std::int64_t>(bytes, 0));
    if (std::isfinite(seconds) && seconds > 0) total.seconds += seconds;
  }
  void Event(const PackageKey& key, const std::string& counter, std::int64_t count,
             const std::string* error) override {
    count = std::max<std::int64_t>(count, 0);
    VersionRow& row = rows_[{key.partnerId, key.packageId, key.versionId}];
    std::int64_t* field = counter == "numStarts"        ? &row.started
                          : counter == "numCompletes"   ? &row.completed
                          : counter == "numFatalErrors" ? &row.failed
                          : counter == "numCancels"     ? &row.canceled
                          : counter == "numSuspends"    ? &row.suspended
                                                        : nullptr;
    if (field) *field = AddSaturated(*field, count);
    if (error) {
      auto [kind, cause] = ErrorKindAndCause(*error);
      std::int64_t& n =
          failures_[{key.partnerId, key.packageId, key.versionId, EventName(counter), kind, cause}];
      n = AddSaturated(n, count);
    }
  }
  void Node(const std::string& cdn, std::int64_t bytes, double seconds) override {
    NodeTotal& node = nodes_[cdn];
    ++node.reports;
    node.bytes = AddSaturated(node.bytes, std::max<std::int64_t>(bytes, 0));
    if (std::isfinite(seconds) && seconds > 0) node.seconds += seconds;
  }

  std::vector<Table> Tables() {
    for (const auto& [key, total] : transfers_) {
      VersionRow& row = rows_[{std::get<0>(key), std::get<1>(key), total.version}];
      ++row.transfers;
      row.bytes = AddSaturated(row.bytes, total.bytes);
      if (total.status == "completed") {
        row.seconds.push_back(total.seconds);
        if (total.seconds > 0)
          row.rates.push_back(static_cast<double>(total.bytes) / total.seconds);
      }
    }
    std::vector<Table> tables;
    tables.push_back(TransferTable());
    tables.push_back(FailureTable());
    tables.push_back(NodeTable());
    tables.push_back(ClientTable());
    tables.push_back(PostTable());
    return tables;
  }

  std::int64_t Accepted() const { return Sum(shapes_); }
  std::int64_t Refusals() const { return Sum(refused_); }
  const std::map<std::string, std::int64_t>& Shapes() const { return shapes_; }
  const std::map<std::string, std::int64_t>& Reasons() const { return refused_; }

 private:
  struct NodeTotal {
    std::int64_t reports = 0, bytes = 0;
    double seconds = 0;
  };

  static std::int64_t Sum(const std::map<std::string, std::int64_t>& counts) {
    std::int64_t total = 0;
    for (const auto& [name, n] : counts) total = AddSaturated(total, n);
    return total;
  }

  Table TransferTable() {
    Table table{"transfers",
                "Transfers by package and version",
                {{"partner", ColumnType::Text},
                 {"package", ColumnType::Text},
                 {"version", ColumnType::Text},
                 {"started", ColumnType::Count},
                 {"completed", ColumnType::Count},
                 {"failed", ColumnType::Count},
                 {"canceled", ColumnType::Count},
                 {"suspended", ColumnType::Count},
                 {"success rate", ColumnType::Ratio},
                 {"transfers", ColumnType::Count},
                 {"bytes delivered", ColumnType::Bytes},
                 {"median s", ColumnType::Seconds},
                 {"p90 s", ColumnType::Seconds},
                 {"median rate", ColumnType::Rate},
                 {"p90 rate", ColumnType::Rate}},
                {}};
    for (auto& [key, row] : rows_) {
      const auto& [partner, package, version] = key;
      const std::int64_t ended =
          AddSaturated(AddSaturated(row.completed, row.failed), row.canceled);
      if (AddSaturated(AddSaturated(ended, row.started), row.suspended) == 0 &&
          row.transfers == 0) {
        continue;  // only counters the table does not show
      }
      std::sort(row.seconds.begin(), row.seconds.end());
      std::sort(row.rates.begin(), row.rates.end());
      table.rows.push_back(
          {partner, package, version == kUnresolvedVersion ? kUnresolvedLabel : version,
           row.started, row.completed, row.failed, row.canceled, row.suspended,
           ended > 0 ? Cell(static_cast<double>(row.completed) / static_cast<double>(ended))
                     : Cell(),
           row.transfers, row.bytes, Percentile(row.seconds, 50), Percentile(row.seconds, 90),
           Percentile(row.rates, 50), Percentile(row.rates, 90)});
    }
    // The unresolved row sorts by its label, so it stays beside its package's versions.
    std::stable_sort(table.rows.begin(), table.rows.end(), [](const auto& a, const auto& b) {
      return std::tie(std::get<std::string>(*a[0]), std::get<std::string>(*a[1]),
                      std::get<std::string>(*a[2])) < std::tie(std::get<std::string>(*b[0]),
                                                               std::get<std::string>(*b[1]),
                                                               std::get<std::string>(*b[2]));
    });
    return table;
  }

  Table FailureTable() const {
    Table table{"failures",
                "Failures by cause",
                {{"partner", ColumnType::Text},
                 {"package", ColumnType::Text},
                 {"version", ColumnType::Text},
                 {"event", ColumnType::Text},
                 {"error", ColumnType::Text},
                 {"cause", ColumnType::Text},
                 {"count", ColumnType::Count}},
                {}};
    for (const auto& [key, count] : failures_) {
      const auto& [partner, package, version, event, kind, cause] = key;
      table.rows.push_back({partner, package,
                            version == kUnresolvedVersion ? kUnresolvedLabel : version, event, kind,
                            cause, count});
    }
    return table;
  }

  Table NodeTable() const {
    Table table{"nodes",
                "Nodes",
                {{"node", ColumnType::Text},
                 {"reports", ColumnType::Count},
                 {"bytes", ColumnType::Bytes},
                 {"request time s", ColumnType::Seconds},
                 {"throughput", ColumnType::Rate}},
                {}};
    for (const auto& [cdn, node] : nodes_) {
      table.rows.push_back(
          {cdn, node.reports, node.bytes, node.seconds,
           node.seconds > 0 ? Cell(static_cast<double>(node.bytes) / node.seconds) : Cell()});
    }
    return table;
  }

  Table ClientTable() const {
    Table table{
        "clients", "Clients", {{"user agent", ColumnType::Text}, {"posts", ColumnType::Count}}, {}};
    for (const auto& [agent, posts] : agents_) table.rows.push_back({agent, posts});
    return table;
  }

  Table PostTable() const {
    Table table{
        "posts",
        "Posts",
        {{"outcome", ColumnType::Text}, {"kind", ColumnType::Text}, {"posts", ColumnType::Count}},
        {}};
    for (const auto& [shape, n] : shapes_)
      table.rows.push_back({std::string("accepted"), shape, n});
    for (const auto& [reason, n] : refused_)
      table.rows.push_back({std::string("refused"), reason, n});
    return table;
  }

  std::map<std::string, std::int64_t> shapes_, refused_, agents_;
  std::map<VersionKey, VersionRow> rows_;
  std::map<std::tuple<std::string, std::string, std::string>, TransferTotal> transfers_;
  std::map<std::tuple<std::string, std::string, std::string, std::string, std::string, std::string>,
           std::int64_t>
      failures_;
  std::map<std::string, NodeTotal> nodes_;
};

std::string CountLine(std::int64_t total, const std::map<std::string, std::int64_t>& parts) {
  std::string line = std::to_string(total);
  std::string list;
  for (const auto& [name, n] : parts) {
    list += (list.empty() ? "" : ", ") + Printable(name) + " " + std::to_string(n);
  }
  return list.empty() ? line : line + " (" + list + ")";
}

int Digits(const std::string& text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size()) throw std::out_of_range("short");
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') throw std::out_of_range("digit");
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::string MakeReport(Store& store, const ReportOptions& options) {
  Collector collector;
  store.Read(options.range, collector);
  std::vector<Table> tables = collector.Tables();
  if (options.format == ReportFormat::Csv) {
    for (const Table& table : tables) {
      if (table.key == options.table) return FormatCsv(table);
    }
    throw std::invalid_argument("no table '" + options.table +
                                "' (transfers, failures, nodes, clients or posts)");
  }
  if (options.format == ReportFormat::Json) {
    // The layout's version comes first, so that a reader can tell a later layout apart.
    std::string header = "\n  \"format_version\": " + std::to_string(kJsonFormatVersion) +
                         ",\n  \"since\": " +
                         (options.range.since.empty() ? "null" : JsonString(options.range.since)) +
                         ",\n  \"until\": " +
                         (options.range.until.empty() ? "null" : JsonString(options.range.until)) +
                         ",\n  \"accepted\": " + std::to_string(collector.Accepted()) +
                         ",\n  \"refused\": " + std::to_string(collector.Refusals());
    return FormatJson(header, tables);
  }
  tables.pop_back();  // the posts are the two lines on top
  std::string out = "Posts accepted: " + CountLine(collector.Accepted(), collector.Shapes()) +
                    "\nPosts refused: " + CountLine(collector.Refusals(), collector.Reasons()) +
                    "\n";
  if (!options.range.since.empty() || !options.range.until.empty()) {
    out += "Received: " +
           (options.range.since.empty() ? std::string("from the start") : options.range.since) +
           " to " + (options.range.until.empty() ? std::string("now") : options.range.until) +
           " (exclusive)\n";
  }
  return out + FormatText(tables);
}

std::string ParseUtcTime(const std::string& text) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  try {
    std::string rest = text;
    if (!rest.empty() && (rest.back() == 'Z' || rest.back() == 'z')) rest.pop_back();
    const int year = Digits(rest, 0, 4), month = Digits(rest, 5, 2), day = Digits(rest, 8, 2);
    if (rest[4] != '-' || rest[7] != '-' || month < 1 || month > 12 || day < 1) {
      throw std::out_of_range("date");
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap)) throw std::out_of_range("day");
    int hour = 0, minute = 0, second = 0, milli = 0;
    if (rest.size() > 10) {
      if ((rest[10] != 'T' && rest[10] != ' ') || rest.size() < 16 || rest[13] != ':') {
        throw std::out_of_range("time");
      }
      hour = Digits(rest, 11, 2), minute = Digits(rest, 14, 2);
      if (rest.size() > 16) {
        if (rest[16] != ':') throw std::out_of_range("seconds");
        second = Digits(rest, 17, 2);
        if (rest.size() > 19) {
          if (rest[19] != '.' || rest.size() != 23) throw std::out_of_range("fraction");
          milli = Digits(rest, 20, 3);
        }
      }
      if (hour > 23 || minute > 59 || second > 59) throw std::out_of_range("clock");
    }
    char out[64];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, hour,
                  minute, second, milli);
    return out;
  } catch (const std::out_of_range&) {
    throw std::invalid_argument("'" + text +
                                "' is no UTC date or time (2026-12-10, 2026-12-10T17:05:30Z)");
  }
}

}  // namespace halv::collect
