#include "manifest/xml_manifest_parser.h"

#include <algorithm>
#include <cstddef>
#include <istream>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {
namespace {

using boost::property_tree::ptree;

// What one tree node costs the heap: the child's entry in its parent's index, the child's own
// (always allocated) index and that index's header, with the allocator's rounding. Measured
// at 304 bytes with glibc on x86-64; the rest is margin.
constexpr std::uint64_t kNodeCost = 320;
// Strings up to this length live inside the string object.
constexpr std::size_t kInlineString = 15;

const char kAttributesKey[] = "<xmlattr>";
const char kCommentKey[] = "<xmlcomment>";

// Builds the property tree of a document from the parts ReadXml hands it, charging every
// allocation against the budget.
class TreeBuilder : public XmlHandler {
 public:
  explicit TreeBuilder(ptree& root) { open_.push_back(&root); }

  void StartElement(const std::string& name) override {
    open_.push_back(&AddChild(*open_.back(), name, std::string()));
  }

  void Attribute(const std::string& name, std::string value) override {
    ptree& element = *open_.back();
    auto attributes = element.find(kAttributesKey);
    ptree& holder = attributes == element.not_found()
                        ? AddChild(element, kAttributesKey, std::string())
                        : attributes->second;
    AddChild(holder, name, std::move(value));
  }

  void Text(const std::string& piece) override {
    if (open_.size() < 2) return;
    std::string& data = open_.back()->data();
    const std::uint64_t before = StringCost(data);
    data += piece;
    Charge(StringCost(data) - before);
  }

  void Comment(std::string text) override { AddChild(*open_.back(), kCommentKey, std::move(text)); }

  // Appends the copies of the attributes of the innermost element, and leaves it.
  void EndElement() override {
    ptree& element = *open_.back();
    const auto attributes = element.find(kAttributesKey);
    if (attributes != element.not_found()) {
      const ptree& holder = attributes->second;
      for (const auto& attribute : holder) {
        AddChild(element, attribute.first, attribute.second.data());
      }
    }
    open_.pop_back();
  }

 private:
  // Counts `bytes` against the budget of the tree.
  void Charge(std::uint64_t bytes) {
    cost_ += bytes;
    if (cost_ > std::max(kXmlTreeCostPerByte * Consumed(), kXmlTreeCostFloor)) {
      throw ManifestParseException(
          "document too large for its size: its tree would take more than " +
          std::to_string(kXmlTreeCostPerByte) + " times its text in memory");
    }
  }
  static std::uint64_t StringCost(const std::string& text) {
    return text.capacity() > kInlineString ? text.capacity() + 1 : 0;
  }

  ptree& AddChild(ptree& parent, const std::string& key, std::string data) {
    Charge(kNodeCost + StringCost(key) + StringCost(data));
    ptree& child = parent.push_back(ptree::value_type(key, ptree()))->second;
    child.data() = std::move(data);
    return child;
  }

  std::vector<ptree*> open_;  // the root, then the open elements, outermost first
  std::uint64_t cost_ = 0;
};

}  // namespace

void ParseXmlManifest(std::istream& stream, ptree& tree) {
  try {
    tree.clear();
    TreeBuilder builder(tree);
    ReadXml(stream, builder, kMaxXmlDocumentSize);
  } catch (const ManifestParseException&) {
    tree.clear();
    throw;
  } catch (const std::bad_alloc&) {
    tree.clear();
    throw ManifestParseException("document too large: out of memory while reading it");
  } catch (const std::exception& error) {
    tree.clear();
    throw ManifestParseException(error.what());
  }
}

}  // namespace halv
