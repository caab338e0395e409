#include "manifest/package_manifest.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <map>
#include <numeric>
#include <set>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "file/paths.h"
#include "file/utf8.h"
#include "manifest/manifest_exception.h"

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

// The destination path of each file and link, checked here once for every later use: each must
// stay inside the destination folder and name one entry only; none may lie inside a file (be
// another file's folder) or pass through a link, so that placing a file never depends on a link.
// Link paths are trimmed of their leading slashes here.
void CheckPaths(const PackageManifest::FileList& files, std::vector<PackageLink>& links) {
  std::set<std::string> filePaths;
  std::set<std::string> linkPaths;
  for (const auto& file : files) {
    CheckName("file", file->GetPath());
    if (!filePaths.insert(Trimmed(file->GetPath())).second) {
      throw ManifestParseException("the file \"" + Printable(file->GetPath()) +
                                   "\" is listed twice");
    }
  }
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
  const auto checkFolders = [&](const std::string& path, const char* what) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      const std::string folder = path.substr(0, slash);
      if (filePaths.count(folder) != 0) {
        throw ManifestParseException("the file \"" + Printable(folder) +
                                     "\" is also the folder of \"" + Printable(path) + "\"");
      }
      if (linkPaths.count(folder) != 0) {
        throw ManifestParseException(std::string("the ") + what + " \"" + Printable(path) +
                                     "\" passes through the link \"" + Printable(folder) + "\"");
      }
    }
  };
  for (const std::string& path : filePaths) checkFolders(path, "file");
  for (const std::string& path : linkPaths) checkFolders(path, "link");
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
  if (link.target.front() == '/') {
    throw ManifestParseException(named + " is absolute; only relative links are recreated");
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
  for (const PackageLink& link : links) CheckTargetStaysInside(link, targets, steps);
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
    links_.clear();
    if (const auto links = package.get_child_optional("links")) {
      for (const auto& child : *links) {
        if (child.first != "link") throw ManifestParseException();
        PackageLink link;
        link.path = child.second.get_child("path").data();
        link.target = child.second.get_child("target").data();
        links_.push_back(std::move(link));
      }
    }
  } catch (const ManifestParseException&) {
    throw;
  } catch (...) {
    throw ManifestParseException();
  }
  if (id_.empty() || name_.empty() || partnerId_.empty() || versionId_.empty()) {
    throw ManifestParseException();
  }
  CheckPaths(files_, links_);
  CheckLinkTargets(links_);
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
