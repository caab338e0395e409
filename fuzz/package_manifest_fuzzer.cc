// Raw text through the XML reader into a package manifest, as a manifest host's answer would go.
// Every input must end in a manifest that keeps its invariants or in ManifestParseException.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
  boost::property_tree::ptree tree;
  halv::StandardPackageManifest manifest;
  try {
    halv::ParseXmlManifest(stream, tree);
    manifest.Read(tree);
  } catch (const halv::ManifestParseException&) {
    return 0;
  }
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
  // A link is relative in its place and in its target.
  for (const auto& link : manifest.GetLinks()) {
    if (link.path.empty() || link.path.front() == '/') __builtin_trap();
    if (link.target.empty() || link.target.front() == '/') __builtin_trap();
  }
  return 0;
}
