#include "manifest/package_manifest.h"

#include <cstddef>
#include <cstdio>
#include <numeric>
#include <set>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "file/paths.h"
#include "manifest/manifest_exception.h"

namespace halv {
namespace {

constexpr std::size_t kMaxNameBytes = 255;

// `text` with every byte that is not printable ASCII as \xNN, so that a message naming a hostile
// entry cannot drive a terminal or break a log line.
std::string Printable(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

// Whether `name` is well-formed UTF-8: no stray continuation byte, no truncated or overlong
// sequence, no surrogate, nothing past U+10FFFF.
bool IsUtf8(const std::string& name) {
  std::size_t i = 0;
  while (i < name.size()) {
    const unsigned char lead = static_cast<unsigned char>(name[i]);
    std::size_t length;
    std::uint32_t value;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
      value = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      value = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (name.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(name[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      value = (value << 6) | (next & 0x3f);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) || value > 0x10ffff ||
        (value >= 0xd800 && value <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Why one component of a destination path cannot name a file of the destination; empty when
// it can.
std::string NameDefect(const std::string& name) {
  if (name.empty()) return "an empty component";
  if (name == "." || name == "..") return "the component \"" + name + "\"";
  if (name.size() > kMaxNameBytes) return "a component longer than 255 bytes";
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return "a control character";
    if (c == '\\') return "a backslash";
  }
  if (!IsUtf8(name)) return "a component that is not UTF-8";
  const std::string suffix = kPartialFileSuffix;
  if (name.size() >= suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return "the name of an unfinished download";
  }
  return std::string();
}

// The destination path of each file, checked here once for every later use: each must stay
// inside the destination folder, name one file only, and not be another file's folder.
void CheckFilePaths(const PackageManifest::FileList& files) {
  std::set<std::string> paths;
  for (const auto& file : files) {
    const std::string& path = file->GetPath();
    const std::size_t first = path.find_first_not_of('/');
    const std::string trimmed = first == std::string::npos ? std::string() : path.substr(first);
    std::size_t start = 0;
    while (true) {
      const std::size_t slash = trimmed.find('/', start);
      const std::string defect = NameDefect(trimmed.substr(start, slash - start));
      if (!defect.empty()) {
        throw ManifestParseException("the file \"" + Printable(path) + "\" has " + defect);
      }
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    if (!paths.insert(trimmed).second) {
      throw ManifestParseException("the file \"" + Printable(path) + "\" is listed twice");
    }
  }
  for (const std::string& path : paths) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      if (paths.count(path.substr(0, slash)) != 0) {
        throw ManifestParseException("the file \"" + Printable(path.substr(0, slash)) +
                                     "\" is also the folder of \"" + Printable(path) + "\"");
      }
    }
  }
}

}  // namespace

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
  CheckFilePaths(files_);
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
