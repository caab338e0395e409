#include "manifest/package_manifest.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <istream>
#include <map>
#include <new>
#include <numeric>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <boost/property_tree/ptree.hpp>

#include "file/paths.h"
#include "file/utf8.h"
#include "manifest/manifest_exception.h"
#include "manifest/package_document.h"

namespace halv {
namespace {

constexpr std::size_t kMaxNameBytes = 255;
constexpr std::size_t kMaxTargetBytes = 4095;
constexpr int kMaxLinkHops = 40;
// Components followed while resolving every link of a document, in all: far more than any real
// package needs.
constexpr std::uint64_t kMaxResolveSteps = std::uint64_t{1} << 24;

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

std::string Trimmed(const std::string& path) {
  const std::size_t first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string() : path.substr(first);
}

// Throws naming the `what` ("file" or "link") at `path` when a component of it cannot name an
// entry of the destination.
void CheckName(const char* what, const std::string& path) {
  const std::string trimmed = Trimmed(path);
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = trimmed.find('/', start);
    const std::string defect = NameDefect(trimmed.substr(start, slash - start));
    if (!defect.empty()) {
      throw ManifestParseException(std::string("the ") + what + " \"" + Printable(path) +
                                   "\" has " + defect);
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
}

std::string_view Trimmed(std::string_view path) {
  const std::size_t first = path.find_first_not_of('/');
  return first == std::string_view::npos ? std::string_view() : path.substr(first);
}

// The destination path of each file, hard link, link and folder, checked here once for every
// later use: each must stay inside the destination folder and name one entry only; none may lie
// inside a file (be another file's folder) or pass through a link, so that placing a file never
// depends on a link. Paths of links, hard links and folders are trimmed of their leading slashes
// here. The sets hold views of the paths: a package of a million files is checked without a
// copy of its paths.
void CheckPaths(const PackageManifest::FileList& files,
                const std::vector<PackageContents::HardLink>& hardLinks,
                std::vector<PackageLink>& links, std::vector<std::string>& folders) {
  std::unordered_set<std::string_view> filePaths;
  std::unordered_set<std::string_view> linkPaths;
  std::unordered_set<std::string_view> folderPaths;
  filePaths.reserve(files.size() + hardLinks.size());
  const auto addFile = [&](const std::string& path) {
    CheckName("file", path);
    if (!filePaths.insert(Trimmed(std::string_view(path))).second) {
      throw ManifestParseException("the file \"" + Printable(path) + "\" is listed twice");
    }
  };
  for (const auto& file : files) addFile(file->GetPath());
  for (const auto& hardLink : hardLinks) addFile(hardLink.file->GetPath());
  for (PackageLink& link : links) {
    CheckName("link", link.path);
    link.path = Trimmed(link.path);
    if (filePaths.count(link.path) != 0) {
      throw ManifestParseException("the link \"" + Printable(link.path) + "\" is also a file");
    }
    if (!linkPaths.insert(link.path).second) {
      throw ManifestParseException("the link \"" + Printable(link.path) + "\" is listed twice");
    }
  }
  for (std::string& folder : folders) {
    CheckName("folder", folder);
    folder = Trimmed(folder);
    if (filePaths.count(folder) != 0 || linkPaths.count(folder) != 0) {
      throw ManifestParseException("the folder \"" + Printable(folder) +
                                   "\" is also a file or a link");
    }
    if (!folderPaths.insert(folder).second) {
      throw ManifestParseException("the folder \"" + Printable(folder) + "\" is listed twice");
    }
  }
  const auto checkFolders = [&](std::string_view path, const char* what) {
    for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
         slash = path.find('/', slash + 1)) {
      const std::string_view folder = path.substr(0, slash);
      if (filePaths.count(folder) != 0) {
        throw ManifestParseException("the file \"" + Printable(std::string(folder)) +
                                     "\" is also the folder of \"" + Printable(std::string(path)) +
                                     "\"");
      }
      if (linkPaths.count(folder) != 0) {
        throw ManifestParseException(
            std::string("the ") + what + " \"" + Printable(std::string(path)) +
            "\" passes through the link \"" + Printable(std::string(folder)) + "\"");
      }
    }
  };
  for (const std::string_view path : filePaths) checkFolders(path, "file");
  for (const std::string_view path : linkPaths) checkFolders(path, "link");
  for (const std::string_view path : folderPaths) checkFolders(path, "folder");
}

// The file each hard link is a second name of: one of `files`, alike in every byte the
// document promises, so that linking it gives what the hard link's own element describes.
std::vector<PackageHardLink> ResolveHardLinks(const PackageManifest::FileList& files,
                                              std::vector<PackageContents::HardLink>& hardLinks,
                                              const std::string& run) {
  std::vector<PackageHardLink> resolved;
  if (hardLinks.empty()) return resolved;
  std::unordered_map<std::string_view, const std::shared_ptr<const FileManifest>*> byPath;
  byPath.reserve(files.size());
  for (const auto& file : files) byPath.emplace(Trimmed(std::string_view(file->GetPath())), &file);
  resolved.reserve(hardLinks.size());
  for (auto& hardLink : hardLinks) {
    const FileManifest& file = *hardLink.file;
    const std::string named = "the file \"" + Printable(file.GetPath()) + "\"";
    if (file.GetPath() == run) {
      throw ManifestParseException(named + " is the run file and a hard link; it must be a file");
    }
    const auto found = byPath.find(Trimmed(std::string_view(hardLink.of)));
    if (found == byPath.end()) {
      throw ManifestParseException(named + " is a hard link of \"" + Printable(hardLink.of) +
                                   "\", which is no file of the package");
    }
    const FileManifest& of = **found->second;
    if (of.GetSize() != file.GetSize() || of.GetChunkSize() != file.GetChunkSize() ||
        of.GetChecksums() != file.GetChecksums() || of.GetSha256s() != file.GetSha256s()) {
      throw ManifestParseException(named + " is a hard link of \"" + Printable(hardLink.of) +
                                   "\" but differs from it");
    }
    resolved.push_back(PackageHardLink{std::string(Trimmed(file.GetPath())), *found->second});
  }
  return resolved;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t slash = std::min(text.find('/', start), text.size());
    if (slash > start) parts.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Refuses a link whose text could not be recreated as it is or would not stay relative.
void CheckTargetText(const PackageLink& link) {
  const std::string named = "the link \"" + Printable(link.path) + "\" -> \"" +
                            Printable(link.target.substr(0, 256)) + "\"";
  if (link.target.empty()) throw ManifestParseException(named + " has an empty target");
  if (link.target.size() > kMaxTargetBytes) {
    throw ManifestParseException(named + " has a target longer than 4095 bytes");
  }
  for (const unsigned char c : link.target) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      throw ManifestParseException(named + " has a control character or a backslash");
    }
  }
  if (!IsUtf8(link.target)) throw ManifestParseException(named + " is not UTF-8");
}

// Follows `link`'s target from the link's folder the way the system will, through the
// package's own links, not by its text alone: with d/b -> .. the target b/../x of d/c leads
// out of the destination although its text does not. `steps` is what is left of the budget of
// every link's resolution, so that a hostile document costs bounded work.
void CheckTargetStaysInside(const PackageLink& link,
                            const std::map<std::string, std::string>& targets,
                            std::uint64_t& steps) {
  const auto refuse = [&](const std::string& why) {
    throw ManifestParseException("the link \"" + Printable(link.path) + "\" -> \"" +
                                 Printable(link.target.substr(0, 256)) + "\" " + why);
  };
  std::vector<std::string> at = Split(link.path);
  at.pop_back();
  const std::vector<std::string> target = Split(link.target);
  std::deque<std::string> rest(target.begin(), target.end());
  int hops = 0;
  while (!rest.empty()) {
    if (steps == 0) refuse("and the links before it take too long to resolve");
    --steps;
    std::string part = std::move(rest.front());
    rest.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (at.empty()) refuse("leads outside the destination");
      at.pop_back();
      continue;
    }
    at.push_back(std::move(part));
    std::string path;
    for (const std::string& level : at) path += (path.empty() ? "" : "/") + level;
    const auto found = targets.find(path);
    if (found == targets.end()) continue;
    if (++hops > kMaxLinkHops) refuse("loops or passes through more than 40 links");
    if (found->second.front() == '/') {
      // Ending at an absolute link names what it names (a virtual environment's bin/python ->
      // python3 -> /usr/bin/python3); going on through it would reach into the machine.
      if (rest.empty()) return;
      refuse("passes through the absolute link \"" + Printable(found->first) +
             "\", which leads outside the destination");
    }
    // The link met is read from its own folder.
    at.pop_back();
    const std::vector<std::string> more = Split(found->second);
    rest.insert(rest.begin(), more.begin(), more.end());
  }
}

void CheckLinkTargets(const std::vector<PackageLink>& links) {
  std::map<std::string, std::string> targets;
  for (const PackageLink& link : links) {
    CheckTargetText(link);
    targets[link.path] = link.target;
  }
  std::uint64_t steps = kMaxResolveSteps;
  for (const PackageLink& link : links) {
    // An absolute link names something outside on purpose; nothing of ours follows it.
    if (!link.IsAbsolute()) CheckTargetStaysInside(link, targets, steps);
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

StandardPackageManifest::StandardPackageManifest() = default;
StandardPackageManifest::~StandardPackageManifest() = default;

void StandardPackageManifest::ReadXml(std::istream& text) {
  PackageContents contents;
  try {
    PackageDocumentReader reader(contents);
    halv::ReadXml(text, reader, kMaxPackageDocumentSize);
    reader.Finish();
  } catch (const ManifestParseException&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw ManifestParseException("document too large: out of memory while reading it");
  } catch (const std::exception& error) {
    throw ManifestParseException(error.what());
  }
  Adopt(std::move(contents));
}

void StandardPackageManifest::Read(const boost::property_tree::ptree& tree) {
  PackageContents contents;
  try {
    PackageDocumentReader reader(contents);
    WalkXmlTree(tree, reader);
    reader.Finish();
  } catch (const ManifestParseException&) {
    throw;
  } catch (...) {
    throw ManifestParseException();
  }
  Adopt(std::move(contents));
}

void StandardPackageManifest::Adopt(PackageContents&& contents) {
  if (contents.id.empty() || contents.name.empty() || contents.partnerId.empty() ||
      contents.versionId.empty()) {
    throw ManifestParseException();
  }
  CheckPaths(contents.files, contents.hardLinks, contents.links, contents.folders);
  CheckLinkTargets(contents.links);
  hardLinks_ = ResolveHardLinks(contents.files, contents.hardLinks, contents.run);
  id_ = std::move(contents.id);
  name_ = std::move(contents.name);
  partnerId_ = std::move(contents.partnerId);
  versionId_ = std::move(contents.versionId);
  run_ = std::move(contents.run);
  files_ = std::move(contents.files);
  links_ = std::move(contents.links);
  folders_ = std::move(contents.folders);
  runFile_.reset();
  runFiles_.clear();
  otherFiles_.clear();
  otherFiles_.reserve(files_.size());
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
