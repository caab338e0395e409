#include "manifest/xml_manifest_parser.h"

#include <cstddef>
#include <istream>
#include <iterator>
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include "manifest/manifest_exception.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

// Far more than the four levels of a manifest, far less than what exhausts a thread's stack in
// the recursive XML reader and in the recursive walks and destructors of the tree.
constexpr int kMaxElementDepth = 256;

// Whether the elements of `text` nest deeper than kMaxElementDepth. Follows XML's lexical rules
// (comments, CDATA sections, processing instructions, declarations, quoted attribute values)
// closely enough that no nesting the reader would build goes uncounted; malformed input is left
// for the reader to refuse.
bool NestsTooDeep(const std::string& text) {
  const std::size_t size = text.size();
  const auto skipPast = [&](std::size_t from, const char* end) {
    const std::size_t found = text.find(end, from);
    return found == std::string::npos ? size : found + std::char_traits<char>::length(end);
  };
  int depth = 0;
  std::size_t i = 0;
  while (i < size) {
    if (text[i] != '<') {
      ++i;
      continue;
    }
    if (text.compare(i, 4, "<!--") == 0) {
      i = skipPast(i + 4, "-->");
    } else if (text.compare(i, 9, "<![CDATA[") == 0) {
      i = skipPast(i + 9, "]]>");
    } else if (text.compare(i, 2, "<?") == 0) {
      i = skipPast(i + 2, "?>");
    } else if (text.compare(i, 2, "<!") == 0) {
      // A declaration; its internal subset may hold brackets and quoted texts.
      int brackets = 0;
      char quote = 0;
      for (i += 2; i < size; ++i) {
        const char c = text[i];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '[') {
          ++brackets;
        } else if (c == ']') {
          --brackets;
        } else if (c == '>' && brackets <= 0) {
          ++i;
          break;
        }
      }
    } else if (text.compare(i, 2, "</") == 0) {
      --depth;
      i = skipPast(i + 2, ">");
    } else {
      // A start tag: it opens an element unless it closes itself with "/>".
      char quote = 0;
      char previous = 0;
      bool closed = false;
      for (++i; i < size; ++i) {
        const char c = text[i];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          closed = previous == '/';
          ++i;
          break;
        }
        previous = c;
      }
      if (!closed && ++depth > kMaxElementDepth) return true;
    }
  }
  return false;
}

void CopyAttributes(ptree& node) {
  const std::string& attributeKey = boost::property_tree::xml_parser::xmlattr<std::string>();
  for (auto& child : node) {
    if (child.first != attributeKey) CopyAttributes(child.second);
  }
  const auto attributes = node.find(attributeKey);
  if (attributes == node.not_found()) return;
  // Copied first: appending to `node` must not disturb the children being read.
  const ptree copy = attributes->second;
  for (const auto& attribute : copy) {
    node.push_back(ptree::value_type(attribute.first, attribute.second));
  }
}

}  // namespace

void ParseXmlManifest(std::istream& stream, ptree& tree) {
  try {
    const std::string text{std::istreambuf_iterator<char>(stream),
                           std::istreambuf_iterator<char>()};
    if (NestsTooDeep(text)) throw ManifestParseException();
    std::istringstream input(text);
    boost::property_tree::read_xml(input, tree);
    CopyAttributes(tree);
  } catch (...) {
    throw ManifestParseException();
  }
}

}  // namespace halv
