#include "store/json_text.h"

#include <cstddef>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "file/utf8.h"
#include "manifest/manifest_exception.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

constexpr std::size_t kValid = std::string::npos;

// Decodes the character that starts at text[i] and moves i past it. False, leaving i, for a
// sequence that is not well-formed UTF-8.
bool NextCharacter(const std::string& text, std::size_t& i, char32_t& character) {
  const std::size_t length = Utf8SequenceLength(text, i);
  if (length == 0) return false;
  static constexpr unsigned char kLeadBits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
  char32_t value = static_cast<unsigned char>(text[i]) & kLeadBits[length];
  for (std::size_t k = 1; k < length; ++k) {
    value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
  }
  character = value;
  i += length;
  return true;
}

void AppendUnit(char32_t unit, std::string& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

// Appends `text` quoted and escaped; returns the offset of its first invalid byte, or kValid
// when it was appended whole.
std::size_t AppendString(const std::string& text, std::string& out) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    char32_t c;
    if (!NextCharacter(text, i, c)) return start;
    if (c == 0x20 || c == 0x21 || (c >= 0x23 && c <= 0x2E) || (c >= 0x30 && c <= 0x5B) ||
        (c >= 0x5D && c <= 0xFF)) {
      out.append(text, start, i - start);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c > 0xFFFF) {
          AppendUnit(0xD800 + ((c - 0x10000) >> 10), out);
          AppendUnit(0xDC00 + ((c - 0x10000) & 0x3FF), out);
        } else {
          AppendUnit(c, out);
        }
    }
  }
  out += '"';
  return kValid;
}

// `path` names the node in messages: its keys joined by '.', as far as they are valid text.
void AppendNode(const ptree& node, bool root, const std::string& path, std::string& out) {
  const bool hasValue = !node.data().empty();
  if (root && hasValue)
    throw ManifestParseException("the root of a JSON document cannot be a value");
  if (hasValue && !node.empty()) {
    throw ManifestParseException("\"" + path + "\" holds both a value and members");
  }
  if (!root && node.empty()) {
    const std::size_t invalid = AppendString(node.data(), out);
    if (invalid != kValid) {
      throw ManifestParseException("the value of \"" + path + "\" is not valid UTF-8 (byte " +
                                   std::to_string(invalid) + ")");
    }
    return;
  }
  const bool array = !root && node.count(std::string()) == node.size();
  out += array ? '[' : '{';
  bool first = true;
  for (const auto& child : node) {
    if (!first) out += ',';
    first = false;
    const std::string childPath = path.empty() ? child.first : path + "." + child.first;
    if (!array) {
      const std::size_t invalid = AppendString(child.first, out);
      if (invalid != kValid) {
        throw ManifestParseException("a key under \"" + path + "\" is not valid UTF-8 (byte " +
                                     std::to_string(invalid) + ")");
      }
      out += ':';
    }
    AppendNode(child.second, false, childPath, out);
  }
  out += array ? ']' : '}';
}

}  // namespace

void WriteCompactJson(const ptree& tree, std::ostream& stream) {
  std::string text;
  AppendNode(tree, true, std::string(), text);
  text += '\n';
  stream.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void ReadJson(std::istream& stream, ptree& tree) {
  const std::string text{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  // The property-tree reader checks only the shape of multi-byte sequences; an overlong form or
  // an encoded surrogate would pass into the tree and on to file names and messages.
  const std::size_t invalid = FindInvalidUtf8(text);
  if (invalid != kValid) {
    throw ManifestParseException("stored text is not valid UTF-8 (byte " + std::to_string(invalid) +
                                 ")");
  }
  std::istringstream input(text);
  ptree result;
  try {
    boost::property_tree::read_json(input, result);
  } catch (const boost::property_tree::json_parser_error& error) {
    throw ManifestParseException(error.what());
  }
  tree.swap(result);
}

}  // namespace halv
