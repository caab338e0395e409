#include "event/json_writer.h"

#include <sstream>

#include <boost/property_tree/json_parser/error.hpp>

namespace halv {

const char kJsonEmptyObject[] = "boost::property_tree::json_parser::empty_object";
const char kJsonEmptyArray[] = "boost::property_tree::json_parser::empty_array";

namespace {

using boost::property_tree::ptree;

bool IsRepresentable(const ptree& node) {
  if (node.empty()) return true;
  if (!node.data().empty()) return false;
  for (const auto& child : node) {
    if (!IsRepresentable(child.second)) return false;
  }
  return true;
}

void WriteEscaped(std::ostream& stream, const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  stream.put('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
      case '/':
      case '\\':
        stream.put('\\').put(c);
        break;
      case 0x08:
        stream << "\\b";
        break;
      case 0x09:
        stream << "\\t";
        break;
      case 0x0A:
        stream << "\\n";
        break;
      case 0x0C:
        stream << "\\f";
        break;
      case 0x0D:
        stream << "\\r";
        break;
      default:
        if (byte < 0x20 || byte >= 0x80) {
          stream << "\\u00" << kHex[byte >> 4] << kHex[byte & 0x0F];
        } else {
          stream.put(c);
        }
    }
  }
  stream.put('"');
}

bool IsArray(const ptree& node) {
  for (const auto& child : node) {
    if (!child.first.empty()) return false;
  }
  return true;
}

void WriteNode(std::ostream& stream, const ptree& node, bool root) {
  if (node.empty() && !root) {
    const std::string& value = node.data();
    if (value == kJsonEmptyObject) {
      stream << "{}";
    } else if (value == kJsonEmptyArray) {
      stream << "[]";
    } else {
      WriteEscaped(stream, value);
    }
    return;
  }
  const bool array = IsArray(node);
  stream.put(array ? '[' : '{');
  bool first = true;
  for (const auto& child : node) {
    if (!first) stream.put(',');
    first = false;
    if (!array) {
      WriteEscaped(stream, child.first);
      stream.put(':');
    }
    WriteNode(stream, child.second, false);
  }
  stream.put(array ? ']' : '}');
}

}  // namespace

void WriteNarrowJson(std::ostream& stream, const ptree& tree) {
  if (!tree.data().empty() || !IsRepresentable(tree)) {
    throw boost::property_tree::json_parser::json_parser_error(
        "ptree contains data that cannot be represented in JSON format", std::string(), 0);
  }
  WriteNode(stream, tree, true);
  stream.put('\n');
  stream.flush();
  if (!stream.good()) {
    throw boost::property_tree::json_parser::json_parser_error("write error", std::string(), 0);
  }
}

std::string ToNarrowJson(const ptree& tree) {
  std::ostringstream stream;
  WriteNarrowJson(stream, tree);
  return std::move(stream).str();
}

}  // namespace halv
