// Raw text straight into a package manifest, as a manifest host's answer goes. Every input must
// end in a manifest that keeps its invariants or in ManifestParseException, and the tree of the
// same text must read alike.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool treeAccepted = true;
  try {
    std::istringstream stream(text);
    boost::property_tree::ptree tree;
    halv::ParseXmlManifest(stream, tree);
    halv::StandardPackageManifest fromTree;
    fromTree.Read(tree);
  } catch (const halv::ManifestParseException&) {
    treeAccepted = false;
  }
  halv::StandardPackageManifest manifest;
  try {
    std::istringstream stream(text);
    manifest.ReadXml(stream);
  } catch (const halv::ManifestParseException&) {
    // The tree has a budget of its own: it may refuse what the records take, never the reverse.
    if (treeAccepted) __builtin_trap();
    return 0;
  }
  if (!treeAccepted && text.size() < (std::size_t{1} << 20)) __builtin_trap();
  if (manifest.GetId().empty() || manifest.GetVersionId().empty()) __builtin_trap();
  if (manifest.GetRunFiles().size() + manifest.GetOtherFiles().size() !=
      manifest.GetFiles().size()) {
    __builtin_trap();
  }
  if (!manifest.GetRun().empty() && !manifest.GetRunFile()) __builtin_trap();
  std::uint64_t total = 0;
  for (const auto& file : manifest.GetFiles()) {
    if (file->GetPath().empty() || file->GetChunkSize() == 0) __builtin_trap();
    if (file->GetChecksums().size() != file->GetChunkCount()) __builtin_trap();
    if (file->GetMode() && *file->GetMode() > 07777) __builtin_trap();
    if (file->GetModificationTime() && *file->GetModificationTime() < 0) __builtin_trap();
    total += file->GetSize();
  }
  if (manifest.GetTotalSize() != total) __builtin_trap();
  // A link is relative in its place; its target is not empty.
  for (const auto& link : manifest.GetLinks()) {
    if (link.path.empty() || link.path.front() == '/') __builtin_trap();
    if (link.target.empty()) __builtin_trap();
  }
  for (const auto& hardLink : manifest.GetHardLinks()) {
    if (hardLink.path.empty() || hardLink.path.front() == '/' || !hardLink.file) __builtin_trap();
    if (hardLink.file->GetChecksums().size() != hardLink.file->GetChunkCount()) __builtin_trap();
  }
  for (const auto& folder : manifest.GetFolders()) {
    if (folder.empty() || folder.front() == '/') __builtin_trap();
  }
  return 0;
}
