// Raw text through the XML reader into a node list, then every node written out as the transfer
// logs it. Every input must end in a cleaned, non-empty list or in ManifestParseException.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/node_list_manifest.h"
#include "manifest/xml_manifest_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
  boost::property_tree::ptree tree;
  halv::StandardNodeListManifest list;
  try {
    halv::ParseXmlManifest(stream, tree);
    list.Read(tree);
  } catch (const halv::ManifestParseException&) {
    return 0;
  }
  if (list.GetNodes().empty()) __builtin_trap();
  for (const auto& node : list.GetNodes()) {
    const std::string& path = node->GetPath();
    if (node->GetNodeId().empty() || node->GetHost().empty()) __builtin_trap();
    if (path.empty() || path.front() != '/' || path.back() != '/') __builtin_trap();
    // Cleaning drops zero-weight nodes, or sets every weight to 1 when they sum to 0.
    if (node->GetWeight() == 0) __builtin_trap();
    boost::property_tree::ptree written;
    node->Write(written);
    if (written.get<std::string>("Node") != node->GetHost()) __builtin_trap();
  }
  return 0;
}
