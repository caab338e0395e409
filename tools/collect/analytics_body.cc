#include "analytics_body.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

namespace halv::collect {
namespace {

// Deeper than any known document (array, object, metrics: 3), shallow enough that the
// recursive reader below cannot exhaust the stack whatever is posted.
constexpr int kMaxDepth = 8;

// A JSON value as far as the collector cares: strings, objects and arrays, in document order;
// numbers, booleans and null are read for validity and kept only as "other".
struct JsonValue {
  enum class Kind { String, Object, Array, Other };
  Kind kind = Kind::Other;
  std::string key;                // member name, for members of an object
  std::string text;               // a string's value
  std::vector<JsonValue> values;  // members of an object, elements of an array
};

[[noreturn]] void NotJson(const std::string& why) {
  throw BodyRefused(Refusal::NotJson, "not a JSON document: " + why);
}

[[noreturn]] void UnknownShape(const std::string& why) {
  throw BodyRefused(Refusal::UnknownShape, "not a known analytics document: " + why);
}

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsUtf8(const std::string& text) {
  std::uint32_t code;
  for (std::size_t pos = 0; pos < text.size();) {
    if (!NextUtf8(text, pos, code)) return false;
  }
  return true;
}

// A strict reader of RFC 8259 JSON (UTF-8, one value, nothing after it but blanks).
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  JsonValue ReadDocument() {
    if (!IsUtf8(text_)) NotJson("the text is not UTF-8");
    SkipBlanks();
    JsonValue value = ReadValue(1);
    SkipBlanks();
    if (pos_ != text_.size()) NotJson("text after the value at byte " + std::to_string(pos_));
    return value;
  }

 private:
  JsonValue ReadValue(int depth) {
    if (depth > kMaxDepth) NotJson("nested deeper than " + std::to_string(kMaxDepth));
    JsonValue value;
    const char c = Peek();
    if (c == '{') {
      value.kind = JsonValue::Kind::Object;
      ++pos_;
      SkipBlanks();
      if (Peek() == '}') {
        ++pos_;
        return value;
      }
      for (;;) {
        SkipBlanks();
        if (Peek() != '"') NotJson("expected a member name at byte " + std::to_string(pos_));
        std::string key = ReadString();
        SkipBlanks();
        Expect(':');
        SkipBlanks();
        value.values.push_back(ReadValue(depth + 1));
        value.values.back().key = std::move(key);
        SkipBlanks();
        if (Peek() == '}') break;
        Expect(',');
      }
      ++pos_;
    } else if (c == '[') {
      value.kind = JsonValue::Kind::Array;
      ++pos_;
      SkipBlanks();
      if (Peek() == ']') {
        ++pos_;
        return value;
      }
      for (;;) {
        SkipBlanks();
        value.values.push_back(ReadValue(depth + 1));
        SkipBlanks();
        if (Peek() == ']') break;
        Expect(',');
      }
      ++pos_;
    } else if (c == '"') {
      value.kind = JsonValue::Kind::String;
      value.text = ReadString();
    } else if (c == 't' || c == 'f' || c == 'n') {
      for (const char* word : {"true", "false", "null"}) {
        if (text_.compare(pos_, std::char_traits<char>::length(word), word) == 0) {
          pos_ += std::char_traits<char>::length(word);
          return value;
        }
      }
      NotJson("unexpected word at byte " + std::to_string(pos_));
    } else {
      ReadNumber();
    }
    return value;
  }

  std::string ReadString() {
    ++pos_;  // the opening quotation mark
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) NotJson("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_++]);
      if (c == '"') return out;
      if (c < 0x20) NotJson("control character in a string at byte " + std::to_string(pos_ - 1));
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= text_.size()) NotJson("unterminated string");
      switch (text_[pos_++]) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::uint32_t code = ReadHex4();
          if (code >= 0xDC00 && code <= 0xDFFF) NotJson("lone low surrogate");
          if (code >= 0xD800 && code <= 0xDBFF) {
            if (text_.compare(pos_, 2, "\\u") != 0) NotJson("lone high surrogate");
            pos_ += 2;
            const std::uint32_t low = ReadHex4();
            if (low < 0xDC00 || low > 0xDFFF) NotJson("lone high surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(code, out);
          break;
        }
        default:
          NotJson("unknown escape at byte " + std::to_string(pos_ - 1));
      }
    }
  }

  std::uint32_t ReadHex4() {
    if (text_.size() - pos_ < 4) NotJson("short \\u escape");
    std::uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        code |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        code |= c - 'A' + 10;
      } else {
        NotJson("bad \\u escape");
      }
    }
    return code;
  }

  void ReadNumber() {
    const std::size_t start = pos_;
    const auto digits = [&] {
      const std::size_t first = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ - first;
    };
    if (Peek() == '-') ++pos_;
    if (Peek() == '0') {
      ++pos_;
    } else if (digits() == 0) {
      NotJson("unexpected character at byte " + std::to_string(start));
    }
    if (Peek() == '.') {
      ++pos_;
      if (digits() == 0) NotJson("bad number at byte " + std::to_string(start));
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++pos_;
      if (Peek() == '+' || Peek() == '-') ++pos_;
      if (digits() == 0) NotJson("bad number at byte " + std::to_string(start));
    }
  }

  char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  void Expect(char c) {
    if (Peek() != c) {
      NotJson(std::string("expected '") + c + "' at byte " + std::to_string(pos_));
    }
    ++pos_;
  }

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

// The members of `object` by name; refuses a repeated member or a set of names other than
// `names`.
std::vector<const JsonValue*> Members(const JsonValue& object, std::vector<const char*> names,
                                      const char* what) {
  if (object.kind != JsonValue::Kind::Object) UnknownShape(std::string(what) + " is no object");
  if (object.values.size() != names.size()) {
    UnknownShape(std::string(what) + " has other members than expected");
  }
  std::vector<const JsonValue*> found(names.size(), nullptr);
  for (const JsonValue& member : object.values) {
    std::size_t i = 0;
    while (i < names.size() && member.key != names[i]) ++i;
    if (i == names.size()) UnknownShape(std::string(what) + " has a member \"" + member.key + "\"");
    if (found[i]) UnknownShape(std::string(what) + " repeats \"" + member.key + "\"");
    found[i] = &member;
  }
  return found;
}

// A value or member name; a NUL is refused because no store keeps it whole (PostgreSQL's text
// cannot hold one) and a value cut short would be stored as something never sent.
std::string Clean(const std::string& text, const std::string& name) {
  if (text.find('\0') != std::string::npos) UnknownShape("\"" + name + "\" holds a NUL character");
  return FoldByteEscapes(text);
}

std::string Text(const JsonValue& value) {
  if (value.kind != JsonValue::Kind::String) UnknownShape("\"" + value.key + "\" is no string");
  return Clean(value.text, value.key);
}

// A decimal unsigned number that SQLite's signed 64-bit integers can hold.
std::uint64_t Whole(const JsonValue& value) {
  const std::string text = Text(value);
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    UnknownShape("\"" + value.key + "\" is no whole number");
  }
  const std::uint64_t number = std::strtoull(text.c_str(), nullptr, 10);
  if (number > static_cast<std::uint64_t>(INT64_MAX))
    UnknownShape("\"" + value.key + "\" is too large");
  return number;
}

// A finite, non-negative decimal number of seconds, at most kMaxSeconds.
double Seconds(const JsonValue& value) {
  const std::string text = Text(value);
  const bool plain = !text.empty() && (text[0] >= '0' && text[0] <= '9') &&
                     text.find_first_not_of("0123456789.e+-E") == text.npos;
  char* end = nullptr;
  errno = 0;
  const double number = plain ? std::strtod(text.c_str(), &end) : -1;
  if (!plain || *end != '\0' || errno != 0 || !std::isfinite(number)) {
    UnknownShape("\"" + value.key + "\" is no number of seconds");
  }
  if (number > kMaxSeconds) UnknownShape("\"" + value.key + "\" is too large");
  return number;
}

PackageKey Key(const std::vector<const JsonValue*>& members) {
  return PackageKey{Text(*members[0]), Text(*members[1]), Text(*members[2])};
}

TransferRecord ReadTransfer(const JsonValue& object) {
  const auto m = Members(
      object, {"pid", "pkgid", "vid", "tid", "status", "transferBytes", "duration"}, "the record");
  TransferRecord record;
  record.key = Key(m);
  record.transferId = Text(*m[3]);
  record.status = Text(*m[4]);
  static const std::set<std::string> kStatuses = {"active", "suspended", "completed", "canceled"};
  if (kStatuses.count(record.status) == 0) UnknownShape("unknown status \"" + record.status + "\"");
  record.bytes = Whole(*m[5]);
  record.durationSeconds = Seconds(*m[6]);
  return record;
}

bool HasMembers(const JsonValue& object, std::set<std::string> names) {
  if (object.kind != JsonValue::Kind::Object || object.values.size() != names.size()) return false;
  for (const JsonValue& member : object.values) {
    if (names.erase(member.key) == 0) return false;
  }
  return true;
}

// Adds one event or node object to `body`.
void ReadEventObject(const JsonValue& object, std::size_t position, AnalyticsBody& body) {
  const auto m = Members(object, {"pid", "pkgid", "vid", "metrics", "dimensions"}, "the object");
  const JsonValue& metrics = *m[3];
  const JsonValue& dimensions = *m[4];
  if (HasMembers(metrics, {"bytes", "requestTime"}) && HasMembers(dimensions, {"cdn"})) {
    const auto values = Members(metrics, {"bytes", "requestTime"}, "the metrics");
    NodeRecord node;
    node.key = Key(m);
    node.bytes = Whole(*values[0]);
    node.requestSeconds = Seconds(*values[1]);
    node.cdn = Text(dimensions.values[0]);
    body.nodes.emplace_back(position, std::move(node));
    return;
  }
  EventRecord event;
  event.key = Key(m);
  if (metrics.kind != JsonValue::Kind::Object || metrics.values.empty()) {
    UnknownShape("\"metrics\" is no object with counters");
  }
  std::set<std::string> seen;
  for (const JsonValue& metric : metrics.values) {
    if (!seen.insert(metric.key).second) UnknownShape("the metrics repeat \"" + metric.key + "\"");
    event.metrics.emplace_back(Clean(metric.key, metric.key), Whole(metric));
  }
  if (!dimensions.values.empty()) {
    event.error = Text(*Members(dimensions, {"error"}, "the dimensions")[0]);
    event.hasError = true;
  } else if (dimensions.kind != JsonValue::Kind::Object) {
    UnknownShape("\"dimensions\" is no object");
  }
  body.events.emplace_back(position, std::move(event));
}

}  // namespace

bool NextUtf8(const std::string& text, std::size_t& pos, std::uint32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length;
  std::uint32_t minimum;
  if (lead < 0x80) {
    code = lead;
    ++pos;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (text.size() - pos < length) return false;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return false;
    code = (code << 6) | (byte(pos + i) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  pos += length;
  return true;
}

const char* RefusalName(Refusal refusal) {
  switch (refusal) {
    case Refusal::NotJson:
      return "not-json";
    case Refusal::UnknownShape:
      return "unknown-shape";
    case Refusal::TooLarge:
      return "too-large";
    case Refusal::BadRequest:
      return "bad-request";
  }
  return "bad-request";
}

const char* ShapeName(BodyShape shape) {
  switch (shape) {
    case BodyShape::Transfer:
      return "transfer";
    case BodyShape::Event:
      return "event";
    case BodyShape::Array:
      return "array";
  }
  return "event";
}

AnalyticsBody ParseAnalyticsBody(const std::string& text) {
  if (text.size() > kMaxBodyBytes) throw BodyRefused(Refusal::TooLarge, "body over 1 MiB");
  const JsonValue document = JsonReader(text).ReadDocument();
  AnalyticsBody body;
  if (document.kind == JsonValue::Kind::Array) {
    body.shape = BodyShape::Array;
    for (std::size_t i = 0; i < document.values.size(); ++i) {
      ReadEventObject(document.values[i], i, body);
    }
  } else if (document.kind != JsonValue::Kind::Object) {
    UnknownShape("the document is neither an object nor an array");
  } else if (HasMembers(document, {"pid", "pkgid", "vid", "metrics", "dimensions"})) {
    body.shape = BodyShape::Event;
    ReadEventObject(document, 0, body);
  } else {
    body.shape = BodyShape::Transfer;
    body.transfers.push_back(ReadTransfer(document));
  }
  return body;
}

std::string FoldByteEscapes(const std::string& text) {
  std::string bytes;
  bool folded = false;
  std::uint32_t code;
  for (std::size_t pos = 0; pos < text.size();) {
    if (!NextUtf8(text, pos, code) || code > 0xFF) return text;
    folded = folded || code >= 0x80;
    bytes += static_cast<char>(code);
  }
  return folded && IsUtf8(bytes) ? bytes : text;
}

}  // namespace halv::collect
