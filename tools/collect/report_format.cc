#include "report_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "analytics_body.h"

namespace halv::collect {
namespace {

std::string Hex(const char* format, std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

bool IsInvisibleControl(std::uint32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029 ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
         code == 0x200E || code == 0x200F || code == 0x061C;
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// A real number for JSON: shortest text that reads back as the same double.
std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

std::string HumanRate(double bytesPerSecond) {
  const char* const units[] = {"B/s", "KiB/s", "MiB/s", "GiB/s", "TiB/s", "PiB/s", "EiB/s"};
  std::size_t unit = 0;
  while (bytesPerSecond >= 1024 && unit + 1 < std::size(units)) {
    bytesPerSecond /= 1024;
    ++unit;
  }
  return Fixed(bytesPerSecond, unit == 0 ? 0 : 1) + " " + units[unit];
}

// A cell as text; `human` picks units and percentages over raw numbers.
std::string CellText(const Cell& cell, ColumnType type, bool human) {
  if (!cell) return human ? "-" : "";
  if (const auto* text = std::get_if<std::string>(&*cell)) return Printable(*text);
  if (const auto* whole = std::get_if<std::int64_t>(&*cell)) {
    return human && type == ColumnType::Bytes ? HumanBytes(*whole) : std::to_string(*whole);
  }
  const double real = std::get<double>(*cell);
  if (!human) return JsonNumber(real);
  switch (type) {
    case ColumnType::Rate:
      return HumanRate(real);
    case ColumnType::Ratio:
      return Fixed(real * 100, 1) + "%";
    default:
      return Fixed(real, 3);
  }
}

// Characters, not bytes: ids may hold any UTF-8 text.
std::size_t Width(const std::string& text) {
  std::size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

std::string CsvCell(std::string text) {
  // A spreadsheet runs a cell that starts with one of these as a formula (or a DDE command).
  if (!text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos) {
    text.insert(0, "'");
  }
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::int64_t AddSaturated(std::int64_t a, std::int64_t b) {
  std::int64_t sum;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

std::string Printable(const std::string& text) {
  std::string out;
  std::uint32_t code;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    if (!NextUtf8(text, pos, code)) {
      out += Hex("\\x%02X", static_cast<unsigned char>(text[pos++]));
    } else if (code == '\\') {
      out += "\\\\";
    } else if (code < 0x80 && IsInvisibleControl(code)) {
      out += Hex("\\x%02X", code);
    } else if (IsInvisibleControl(code)) {
      out += Hex("\\u%04X", code);
    } else {
      out.append(text, start, pos - start);
    }
  }
  return out;
}

std::string HumanBytes(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  return Fixed(value, 1) + " " + units[unit];
}

std::string FormatText(const std::vector<Table>& tables) {
  std::string out;
  for (const Table& table : tables) {
    out += "\n" + table.title + "\n";
    if (table.rows.empty()) {
      out += "  none\n";
      continue;
    }
    std::vector<std::vector<std::string>> lines;
    lines.emplace_back();
    for (const Column& column : table.columns) lines.back().push_back(column.name);
    for (const auto& row : table.rows) {
      lines.emplace_back();
      for (std::size_t i = 0; i < row.size(); ++i) {
        lines.back().push_back(CellText(row[i], table.columns[i].type, true));
      }
    }
    std::vector<std::size_t> widths(table.columns.size(), 0);
    for (const auto& line : lines) {
      for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], Width(line[i]));
    }
    for (const auto& line : lines) {
      std::string text;
      for (std::size_t i = 0; i < line.size(); ++i) {
        const std::string pad(widths[i] - Width(line[i]), ' ');
        const bool right = table.columns[i].type != ColumnType::Text;
        text += "  " + (right ? pad + line[i] : line[i] + pad);
      }
      text.erase(text.find_last_not_of(' ') + 1);
      out += text + "\n";
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  std::uint32_t code;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    if (!NextUtf8(text, pos, code)) {
      out += "\\ufffd";  // not UTF-8: JSON cannot carry the byte
      ++pos;
    } else if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (IsInvisibleControl(code)) {
      out += Hex("\\u%04x", code);
    } else {
      out.append(text, start, pos - start);
    }
  }
  return out + "\"";
}

std::string JsonKey(const std::string& name) {
  std::string key;
  for (const char c : name) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (c >= 'A' && c <= 'Z') {
      key += static_cast<char>(c - 'A' + 'a');
    } else if (word) {
      key += c;
    } else if (!key.empty() && key.back() != '_') {
      key += '_';
    }
  }
  while (!key.empty() && key.back() == '_') key.pop_back();
  return key;
}

std::string FormatJson(const std::string& header, const std::vector<Table>& tables) {
  std::string out = "{" + header;
  bool first = header.empty();
  for (const Table& table : tables) {
    out += (first ? "\n  " : ",\n  ") + JsonString(table.key) + ": [";
    first = false;
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
      out += r == 0 ? "\n    {" : ",\n    {";
      for (std::size_t i = 0; i < table.columns.size(); ++i) {
        const Cell& cell = table.rows[r][i];
        out += (i == 0 ? "" : ", ") + JsonString(JsonKey(table.columns[i].name)) + ": ";
        if (!cell) {
          out += "null";
        } else if (const auto* text = std::get_if<std::string>(&*cell)) {
          out += JsonString(*text);
        } else {
          out += CellText(cell, table.columns[i].type, false);
        }
      }
      out += "}";
    }
    out += table.rows.empty() ? "]" : "\n  ]";
  }
  return out + "\n}\n";
}

std::string FormatCsv(const Table& table) {
  std::string out;
  const auto line = [&](const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) out += (i ? "," : "") + CsvCell(cells[i]);
    out += "\r\n";
  };
  std::vector<std::string> cells;
  for (const Column& column : table.columns) cells.push_back(column.name);
  line(cells);
  for (const auto& row : table.rows) {
    cells.clear();
    for (std::size_t i = 0; i < row.size(); ++i) {
      cells.push_back(CellText(row[i], table.columns[i].type, false));
    }
    line(cells);
  }
  return out;
}

}  // namespace halv::collect
