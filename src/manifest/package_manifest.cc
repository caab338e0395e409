#include "manifest/package_manifest.h"

#include <numeric>

#include <boost/property_tree/ptree.hpp>

#include "manifest/manifest_exception.h"

namespace halv {

std::uint64_t PackageManifest::GetTotalSize() const {
  const FileList& files = GetFiles();
  return std::accumulate(files.begin(), files.end(), std::uint64_t{0},
                         [](std::uint64_t sum, const std::shared_ptr<const FileManifest>& file) {
                           return sum + file->GetSize();
                         });
}

void StandardPackageManifest::Read(const boost::property_tree::ptree& tree) {
  try {
    const boost::property_tree::ptree& package = tree.get_child("package");
    id_ = package.get_child("id").data();
    name_ = package.get_child("name").data();
    partnerId_ = package.get_child("partnerId").data();
    versionId_ = package.get_child("versionId").data();
    run_ = package.get<std::string>("run", std::string());
    files_.clear();
    for (const auto& child : package.get_child("files")) {
      if (child.first != "file") throw ManifestParseException();
      auto file = std::make_shared<StandardFileManifest>();
      file->Read(child.second);
      files_.push_back(std::move(file));
    }
  } catch (...) {
    throw ManifestParseException();
  }
  if (id_.empty() || name_.empty() || partnerId_.empty() || versionId_.empty()) {
    throw ManifestParseException();
  }
  runFile_.reset();
  runFiles_.clear();
  otherFiles_.clear();
  for (const auto& file : files_) {
    if (file->GetPath() == run_) {
      runFile_ = file;
      runFiles_.push_back(file);
    } else {
      otherFiles_.push_back(file);
    }
  }
  if (!run_.empty() && !runFile_) throw ManifestParseException();
}

}  // namespace halv
