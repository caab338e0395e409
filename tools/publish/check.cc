#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

#include "file/utf8.h"
#include "manifest/manifest_url.h"
#include "publish_internal.h"

// Checking the options and collecting the input: everything a publication refuses is found here,
// before anything is written.
namespace halv::publish {
namespace detail {

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

namespace {

// Ids name files such as ".<version>.xml.halv-tmp-XXXXXXXX", which must fit a file name.
constexpr std::size_t kMaxIdBytes = 128;

// Ids become path levels of URLs and of the published folder; everything that could leave
// that level, or that a URL would read differently, is refused.
void CheckId(const std::string& what, const std::string& value) {
  if (value.empty()) Fail("the " + what + " must not be empty");
  if (value == "." || value == "..") Fail("the " + what + " must not be " + Quote(value));
  if (!IsUtf8(value)) Fail("the " + what + " " + Quote(value) + " is not valid UTF-8");
  if (value.size() > kMaxIdBytes) {
    Fail("the " + what + " " + Quote(value) + " is longer than " + std::to_string(kMaxIdBytes) +
         " bytes");
  }
  if (value.front() == '.') {
    Fail("the " + what + " " + Quote(value) + " must not begin with '.'");
  }
  for (const char c : value) {
    if (IsControl(static_cast<unsigned char>(c))) {
      Fail("the " + what + " " + Quote(value) + " must not contain control characters");
    }
    if (std::strchr("/\\?#%:", c) != nullptr) {
      Fail("the " + what + " " + Quote(value) + " must not contain '" + std::string(1, c) + "'");
    }
  }
}

}  // namespace

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path, int error) {
  Fail(what + " " + Quote(path.string()) + ": " + std::strerror(error));
}

// A file's relative path goes into the package document and, percent-encoded by the updater,
// into every chunk URL.
void CheckRelativePath(const std::string& path) {
  if (!IsUtf8(path)) Fail("refusing " + Quote(path) + ": the file name is not valid UTF-8");
  for (const char c : path) {
    if (IsControl(static_cast<unsigned char>(c)) || c == '\\') {
      Fail("refusing " + Quote(path) + ": a file name must not contain control characters or '\\'");
    }
  }
}

// Whether `path` is `folder` or lies under it; both are canonical.
bool IsInside(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

namespace {

struct Collector {
  const fs::path& input;
  const PublishOptions& options;
  Input& found;
  std::vector<std::string> badLinks;  // each with its reason
};

// Where a link of the input leads, canonical; sets `why` and returns nothing when it leads
// nowhere, loops or leaves the input.
std::optional<fs::path> LinkTarget(const fs::path& link, const fs::path& input, std::string& why) {
  std::error_code error;
  const fs::path target = fs::canonical(link, error);
  if (error == std::errc::too_many_symbolic_link_levels) {
    why = "the link loops";
  } else if (error) {
    why = "the link leads nowhere";
  } else if (!IsInside(target, input)) {
    why = "it links to " + Quote(target.string()) + ", outside the input folder";
  } else {
    return target;
  }
  return std::nullopt;
}

// Whether the text of the link at `relative` climbs above the input folder before it comes back
// in, as "../in/file" does: the updater follows a target from the link's folder and refuses it.
bool LeavesOnTheWay(const std::string& relative, const fs::path& text) {
  std::ptrdiff_t depth = std::count(relative.begin(), relative.end(), '/');
  for (const fs::path& part : text) {
    if (part == "..") {
      if (--depth < 0) return true;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
  }
  return false;
}

fs::path LinkText(const fs::path& link) {
  std::error_code error;
  fs::path text = fs::read_symlink(link, error);
  if (error) FailErrno("cannot read", link, error.value());
  return text;
}

// Whether the relative link `link` ends, through relative links of the input only, at an
// absolute link of the input (bin/python -> python3 -> /usr/bin/python3): kept as it is, that
// one leads where it leads on the machine it is downloaded to, and so does this one. The folders
// on the way are resolved on disk, so a path that passes through a link leading out of the
// input (an absolute one included) does not end inside it.
bool EndsAtAbsoluteLink(const fs::path& link, const fs::path& input) {
  fs::path at = link;
  for (int hops = 0; hops < 40; ++hops) {
    const fs::path text = LinkText(at);
    if (text.is_absolute()) return at != link;
    const fs::path name = text.filename();
    if (name.empty() || name == "." || name == "..") return false;
    std::error_code error;
    const fs::path folder = fs::canonical(at.parent_path() / text.parent_path(), error);
    if (error || !IsInside(folder, input)) return false;
    at = folder / name;
    if (!fs::is_symlink(fs::symlink_status(at, error))) return false;
  }
  return false;
}

// Publishes a link of the input as a link, or as the file it points at when dereferenced (the
// run file always is); a link that can be neither is set aside for the one error.
// Returns the file to publish in its place, if any.
std::optional<fs::path> TakeLink(Collector& collector, const fs::path& link,
                                 const std::string& relative) {
  const PublishOptions& options = collector.options;
  const bool isRun = relative == options.run;
  if (options.keepAbsoluteLinks && !isRun) {
    const fs::path text = LinkText(link);
    const bool kept =
        text.is_absolute() || (!options.dereference && !LeavesOnTheWay(relative, text) &&
                               EndsAtAbsoluteLink(link, collector.input));
    if (kept) {
      collector.found.links.push_back({relative, text.string()});
      return std::nullopt;
    }
  }
  std::string why;
  const auto target = LinkTarget(link, collector.input, why);
  const bool asFile = options.dereference || isRun;
  if (!asFile && LinkText(link).is_absolute()) {
    why = "the link is absolute (keep it as it is with --keep-absolute-links)";
  } else if (target && asFile && !fs::is_regular_file(*target)) {
    why = "it links to a folder, and only files are published in a link's place";
  } else if (target && asFile) {
    return target;
  } else if (target) {
    const fs::path text = LinkText(link);
    if (LeavesOnTheWay(relative, text)) {
      why = "its target " + Quote(text.string()) + " leaves the input folder on the way";
    } else {
      collector.found.links.push_back({relative, text.string()});
      return std::nullopt;
    }
  }
  collector.badLinks.push_back(Quote(relative) + ": " + why);
  return std::nullopt;
}

// How many entries are published so far: a folder that adds none holds nothing published.
std::size_t Published(const Input& found) {
  return found.files.size() + found.links.size() + found.folders.size();
}

// Collects what `folder` holds; a folder that holds nothing published is published itself, so
// that it is made where the package is downloaded.
void CollectFolder(Collector& collector, const fs::path& folder) {
  const fs::path& input = collector.input;
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
  for (; it != fs::directory_iterator(); it.increment(error)) {
    const fs::directory_entry& entry = *it;
    const std::string relative = entry.path().lexically_relative(input).generic_string();
    std::error_code statusError;
    const fs::file_status status = entry.symlink_status(statusError);
    if (statusError)
      Fail("cannot read " + Quote(entry.path().string()) + ": " + statusError.message());
    CheckRelativePath(relative);
    if (fs::is_directory(status)) {
      const std::size_t before = Published(collector.found);
      CollectFolder(collector, entry.path());
      if (Published(collector.found) == before) collector.found.folders.push_back(relative);
      continue;
    }
    SourceFile file;
    file.relative = relative;
    file.named = entry.path();
    file.source = entry.path();
    if (fs::is_symlink(status)) {
      const auto target = TakeLink(collector, entry.path(), relative);
      if (!target) continue;
      file.source = *target;
    } else if (!fs::is_regular_file(status)) {
      Fail("refusing " + Quote(relative) + ": not a regular file");
    }
    // Opened once now, so that an unreadable file is refused before anything is written.
    Descriptor fd(::open(file.source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) FailErrno("cannot read", file.named);
    file.size = static_cast<std::uint64_t>(info.st_size);
    file.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    if (info.st_mtim.tv_sec >= 0) file.modified = info.st_mtim.tv_sec;
    if (file.source == file.named && info.st_nlink > 1) {
      file.inode.emplace(static_cast<std::uint64_t>(info.st_dev),
                         static_cast<std::uint64_t>(info.st_ino));
    }
    collector.found.files.push_back(std::move(file));
  }
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
}

}  // namespace

Input CollectInput(const fs::path& input, const PublishOptions& options) {
  Input found;
  Collector collector{input, options, found, {}};
  CollectFolder(collector, input);
  std::sort(collector.badLinks.begin(), collector.badLinks.end());
  if (!collector.badLinks.empty() && !options.skipLinks) {
    std::string text;
    for (const auto& line : collector.badLinks) text += "\n  " + line;
    Fail(std::to_string(collector.badLinks.size()) +
         " links of the input cannot be published (leave them out with --skip-links, or "
         "publish what links point at with --dereference):" +
         text);
  }
  found.skippedLinks = std::move(collector.badLinks);
  std::sort(found.files.begin(), found.files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
  std::sort(found.links.begin(), found.links.end(),
            [](const SourceLink& a, const SourceLink& b) { return a.relative < b.relative; });
  std::sort(found.folders.begin(), found.folders.end());
  // The first name of each file in path order is its primary; the run file is left out, so that
  // making it runnable never makes another name of it runnable too.
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> primaries;
  for (SourceFile& file : found.files) {
    if (!file.inode || file.relative == options.run) continue;
    const auto [at, added] = primaries.emplace(*file.inode, file.relative);
    if (!added) file.hardLinkOf = at->second;
  }
  return found;
}

fs::path CanonicalFolder(const std::string& folder, const char* what) {
  std::error_code error;
  const fs::path path = fs::canonical(folder, error);
  if (error || !fs::is_directory(path)) {
    Fail("the " + std::string(what) + " " + Quote(folder) + " is not a folder");
  }
  return path;
}

void CheckOptions(const PublishOptions& options) {
  CheckId("partner id", options.partner);
  CheckId("package id", options.package);
  CheckId("version id", options.version);
  if (options.version == "current") {
    Fail("the version id must not be \"current\": that name is the package's current version");
  }
  if (options.name.empty()) Fail("the package name must not be empty");
  if (!IsUtf8(options.name))
    Fail("the package name " + Quote(options.name) + " is not valid UTF-8");
  for (const char c : options.name) {
    if (IsControl(static_cast<unsigned char>(c))) {
      Fail("the package name " + Quote(options.name) + " must not contain control characters");
    }
  }
  if (options.chunkSize == 0) Fail("the chunk size must not be 0");
  if (options.nodes.empty()) Fail("at least one --node is needed");
  std::uint64_t totalWeight = 0;
  for (const auto& node : options.nodes) {
    if (node.weight < 0) {
      Fail("the weight of node " + Quote(node.host) + " must not be below 0");
    }
    totalWeight += static_cast<std::uint64_t>(node.weight);
  }
  if (totalWeight > std::numeric_limits<std::uint32_t>::max()) {
    Fail("the weights of the nodes add up to " + std::to_string(totalWeight) +
         ", more than the 4294967295 that the updater can add up");
  }
}

}  // namespace detail

using detail::Fail;
using detail::IsControl;

std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, pos);
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (length == 0 || (length == 1 && (IsControl(lead) || lead == '\\' || lead == '"'))) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", lead);
      quoted += escaped;
      ++pos;
    } else {
      quoted.append(text, pos, length);
      pos += length;
    }
  }
  return quoted + "\"";
}

PublishNode ParseNode(const std::string& text) {
  const std::string quoted = Quote(text);
  if (!IsUtf8(text)) Fail("--node " + quoted + " is not valid UTF-8");
  PublishNode node;
  std::string rest = text;
  bool https = false;
  const std::size_t schemeEnd = rest.find("://");
  if (schemeEnd != std::string::npos) {
    std::string scheme = rest.substr(0, schemeEnd);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https") {
      Fail("--node " + quoted + ": the scheme " + Quote(rest.substr(0, schemeEnd) + "://") +
           " is not supported; nodes are reached over http:// or https://");
    }
    https = scheme == "https";
    rest.erase(0, schemeEnd + 3);
  }
  const std::size_t equals = rest.find('=');
  if (equals != std::string::npos) {
    const std::string weight = rest.substr(equals + 1);
    rest.resize(equals);
    const bool digits = !weight.empty() && weight.size() <= 10 &&
                        weight.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoull(weight) > std::numeric_limits<std::int32_t>::max()) {
      Fail("the weight of --node " + quoted + " is not a whole number from 0 to 2147483647");
    }
    node.weight = static_cast<std::int32_t>(std::stoull(weight));
  }
  const std::size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    node.path = rest.substr(slash);
    rest.resize(slash);
    if (node.path.back() != '/') node.path += '/';
    for (const char c : node.path) {
      if (IsControl(static_cast<unsigned char>(c)) || std::strchr(" ?#%\\<>\"'&", c) != nullptr) {
        Fail("the path of --node " + quoted + " holds a character that has no place in a URL");
      }
    }
  }
  node.host = rest;
  if (rest.empty()) Fail("--node " + quoted + " names no host");
  std::string name = rest;
  std::string port;
  if (rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) Fail("--node " + quoted + ": the IPv6 address lacks its ']'");
    name = rest.substr(1, close - 1);
    in6_addr address;
    if (::inet_pton(AF_INET6, name.c_str(), &address) != 1) {
      Fail("--node " + quoted + ": " + Quote(name) + " is not an IPv6 address");
    }
    const std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        Fail("--node " + quoted + ": only ':' and a port may follow the IPv6 address");
      }
      port = after.substr(1);
      if (port.empty()) Fail("the port of --node " + quoted + " is not a number from 1 to 65535");
    }
  } else {
    if (std::count(rest.begin(), rest.end(), ':') > 1) {
      Fail("--node " + quoted + ": a host takes one ':' before its port; an IPv6 address goes " +
           "in brackets, such as [::1]:8080");
    }
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos) {
      name = rest.substr(0, colon);
      port = rest.substr(colon + 1);
      if (port.empty()) Fail("the port of --node " + quoted + " is not a number from 1 to 65535");
    }
    if (name.empty()) Fail("--node " + quoted + " names no host");
    for (const char c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr("-._", c) == nullptr) {
        Fail("--node " + quoted + ": " + Quote(name) +
             " is not a host name, an IPv4 address or an IPv6 address in brackets");
      }
    }
  }
  if (!port.empty()) {
    const bool digits = port.size() <= 5 && port.front() != '0' &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoul(port) > 65535) {
      Fail("the port of --node " + quoted + " is not a number from 1 to 65535");
    }
  }
  // The updater forms its URLs with this builder; a node it cannot use is refused here.
  try {
    MakeManifestUrl(node.host, node.path);
  } catch (const std::exception&) {
    Fail("--node " + quoted + " does not form a URL");
  }
  // Plain http stays implied, so that such a node list reads as it always has.
  if (https) node.host = "https://" + node.host;
  return node;
}

}  // namespace halv::publish
