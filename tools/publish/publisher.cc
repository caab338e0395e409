#include "publisher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <system_error>

#include "file/crc32.h"

namespace halv::publish {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kReadBlock = std::size_t{4} << 20;

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& message) { throw PublishError(message); }

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path) {
  Fail(what + " " + path.string() + ": " + std::strerror(errno));
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// Ids become path levels of URLs and of the published folder; everything that could leave
// that level, or that a URL would read differently, is refused.
void CheckId(const std::string& what, const std::string& value) {
  if (value.empty()) Fail("the " + what + " must not be empty");
  if (value == "." || value == "..") Fail("the " + what + " must not be \"" + value + "\"");
  for (const char c : value) {
    if (IsControl(c)) Fail("the " + what + " must not contain control characters");
    if (std::strchr("/\\?#%:", c) != nullptr) {
      Fail("the " + what + " \"" + value + "\" must not contain '" + std::string(1, c) + "'");
    }
  }
}

// A file's relative path goes into the package document and, resolved against the node's
// package folder, into every chunk URL.
void CheckRelativePath(const std::string& path) {
  bool first = true;
  std::size_t begin = 0;
  while (begin <= path.size()) {
    const std::size_t end = std::min(path.find('/', begin), path.size());
    const std::string part = path.substr(begin, end - begin);
    if (part.empty() || part == "." || part == "..") Fail("refusing the path \"" + path + "\"");
    for (const char c : part) {
      if (IsControl(c) || std::strchr("\\?#%", c) != nullptr || (first && c == ':')) {
        Fail("refusing \"" + path + "\": a file name must not contain control characters, " +
             "'\\', '?', '#', '%', or a ':' in its first folder");
      }
    }
    first = false;
    begin = end + 1;
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

std::string EscapeXml(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string Element(const std::string& name, const std::string& text) {
  return "<" + name + ">" + EscapeXml(text) + "</" + name + ">";
}

struct SourceFile {
  std::string relative;  // '/'-separated, relative to the input folder
  fs::path source;       // the bytes to publish (a link's target for a link)
  std::uint64_t size = 0;
};

struct PublishedFile {
  std::string relative;
  std::uint64_t size = 0;
  std::vector<std::uint32_t> checksums;
};

std::vector<SourceFile> CollectFiles(const fs::path& input) {
  std::vector<SourceFile> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(input, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::directory_entry& entry = *it;
    const std::string relative = entry.path().lexically_relative(input).generic_string();
    const fs::file_status status = entry.symlink_status();
    fs::path source = entry.path();
    if (fs::is_directory(status)) continue;
    if (fs::is_symlink(status)) {
      std::error_code linkError;
      source = fs::canonical(entry.path(), linkError);
      if (linkError) Fail("refusing " + relative + ": the link leads nowhere");
      if (!IsInside(source, input)) {
        Fail("refusing " + relative + ": it links to " + source.string() +
             ", outside the input folder");
      }
      if (!fs::is_regular_file(source)) {
        Fail("refusing " + relative + ": only links to files inside the input folder are followed");
      }
    } else if (!fs::is_regular_file(status)) {
      Fail("refusing " + relative + ": not a regular file");
    }
    CheckRelativePath(relative);
    SourceFile file;
    file.relative = relative;
    file.source = source;
    file.size = fs::file_size(source, error);
    if (error) break;
    files.push_back(std::move(file));
  }
  if (error) Fail("cannot read the input folder " + input.string() + ": " + error.message());
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
  return files;
}

bool CopyBytes(int in, int out) {
  // copy_file_range lets the file system share or copy extents without a round trip through us;
  // where it is not supported the plain loop below takes over.
  bool first = true;
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
    if (copied == 0) return true;
    if (copied > 0) {
      first = false;
      continue;
    }
    if (errno == EINTR) continue;
    if (!first) return false;
    break;
  }
  std::vector<char> buffer(kReadBlock);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t wrote =
          ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (wrote < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += wrote;
    }
  }
}

// Links `source` at `destination`, or copies it where links cannot be made (another file
// system, no permission). Returns whether it linked.
bool PlaceFile(const fs::path& source, const fs::path& destination) {
  std::error_code error;
  fs::create_directories(destination.parent_path(), error);
  if (error) Fail("cannot create " + destination.parent_path().string() + ": " + error.message());
  if (::link(source.c_str(), destination.c_str()) == 0) return true;
  Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) FailErrno("cannot open", source);
  struct stat info;
  if (::fstat(in.get(), &info) != 0) FailErrno("cannot read", source);
  Descriptor out(
      ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 0777));
  if (out.get() < 0) FailErrno("cannot create", destination);
  if (!CopyBytes(in.get(), out.get())) FailErrno("cannot copy to", destination);
  return false;
}

class ChecksumReader {
 public:
  ChecksumReader(std::uint32_t chunkSize, PublishProgress* progress,
                 const std::function<void(const PublishProgress&)>& callback)
      : chunkSize_(chunkSize), buffer_(kReadBlock), progress_(progress), callback_(callback) {}

  // The CRC-32 of every chunk of the file at `path`, which must hold `size` bytes.
  std::vector<std::uint32_t> Read(const fs::path& path, std::uint64_t size) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) FailErrno("cannot open", path);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<std::uint32_t> checksums;
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    std::uint32_t inChunk = 0;
    for (;;) {
      const ssize_t got = ::read(fd.get(), buffer_.data(), buffer_.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        FailErrno("cannot read", path);
      }
      if (got == 0) break;
      for (std::size_t pos = 0; pos < static_cast<std::size_t>(got);) {
        const std::size_t take =
            std::min<std::size_t>(static_cast<std::size_t>(got) - pos, chunkSize_ - inChunk);
        crc = Crc32(buffer_.data() + pos, take, crc);
        pos += take;
        inChunk += static_cast<std::uint32_t>(take);
        if (inChunk == chunkSize_) {
          checksums.push_back(crc);
          crc = 0;
          inChunk = 0;
        }
      }
      total += static_cast<std::uint64_t>(got);
      progress_->doneBytes += static_cast<std::uint64_t>(got);
      if (callback_) callback_(*progress_);
    }
    if (inChunk > 0) checksums.push_back(crc);
    if (total != size) Fail(path.string() + " changed while it was being published");
    return checksums;
  }

 private:
  const std::uint32_t chunkSize_;
  std::vector<char> buffer_;
  PublishProgress* progress_;
  const std::function<void(const PublishProgress&)>& callback_;
};

// Writes beside the target and renames, so that a server never hands out half a document.
void WriteDocument(const fs::path& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) Fail("cannot create " + path.parent_path().string() + ": " + error.message());
  fs::path temporary = path;
  temporary += ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream << text;
    stream.flush();
    if (!stream) Fail("cannot write " + temporary.string());
  }
  fs::rename(temporary, path, error);
  if (error) Fail("cannot write " + path.string() + ": " + error.message());
}

std::string PackageDocument(const PublishOptions& options,
                            const std::vector<PublishedFile>& files) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>\n"
      << "  " << Element("id", options.package) << "\n"
      << "  " << Element("name", options.name) << "\n"
      << "  " << Element("partnerId", options.partner) << "\n"
      << "  " << Element("versionId", options.version) << "\n";
  if (!options.run.empty()) xml << "  " << Element("run", options.run) << "\n";
  xml << "  <files>\n";
  for (const auto& file : files) {
    xml << "    <file>" << Element("path", file.relative)
        << Element("chunksize", std::to_string(options.chunkSize))
        << Element("size", std::to_string(file.size)) << "<checksums>";
    char digits[9];
    for (const std::uint32_t checksum : file.checksums) {
      std::snprintf(digits, sizeof digits, "%08x", checksum);
      xml << digits;
    }
    xml << "</checksums></file>\n";
  }
  xml << "  </files>\n</package>\n";
  return xml.str();
}

std::string NodeListDocument(const std::vector<PublishNode>& nodes) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>\n";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    xml << "  <NodeInfo>" << Element("NodeId", "node" + std::to_string(i + 1))
        << Element("Host", nodes[i].host) << Element("Path", nodes[i].path)
        << Element("Weight", std::to_string(nodes[i].weight)) << "</NodeInfo>\n";
  }
  xml << "</ArrayOfNodeInfo>\n";
  return xml.str();
}

fs::path CanonicalFolder(const std::string& folder, const char* what) {
  std::error_code error;
  const fs::path path = fs::canonical(folder, error);
  if (error || !fs::is_directory(path))
    Fail("the " + std::string(what) + " " + folder + " is not a folder");
  return path;
}

}  // namespace

PublishNode ParseNode(const std::string& text) {
  PublishNode node;
  std::string rest = text;
  const std::size_t equals = rest.find('=');
  if (equals != std::string::npos) {
    const std::string weight = rest.substr(equals + 1);
    rest.resize(equals);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(weight.c_str(), &end, 10);
    if (weight.empty() || *end != '\0' || errno != 0 ||
        value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      Fail("the weight of --node " + text + " is not a 32-bit integer");
    }
    node.weight = static_cast<std::int32_t>(value);
  }
  const std::size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    node.path = rest.substr(slash);
    rest.resize(slash);
    if (node.path.back() != '/') node.path += '/';
  }
  node.host = rest;
  if (node.host.empty()) Fail("--node " + text + " names no host");
  for (const char c : node.host + node.path) {
    if (IsControl(c) || std::strchr(" ?#%\\<>\"'&", c) != nullptr) {
      Fail("--node " + text + " holds a character that has no place in a URL");
    }
  }
  const std::size_t colon = node.host.rfind(':');
  if (colon != std::string::npos && node.host.find(']', colon) == std::string::npos) {
    const std::string port = node.host.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoul(port) == 0 || std::stoul(port) > 65535) {
      Fail("the port of --node " + text + " is not a number from 1 to 65535");
    }
    if (colon == 0) Fail("--node " + text + " names no host");
  }
  return node;
}

PublishResult Publish(const PublishOptions& options,
                      const std::function<void(const PublishProgress&)>& progress) {
  CheckId("partner id", options.partner);
  CheckId("package id", options.package);
  CheckId("version id", options.version);
  if (options.version == "current") {
    Fail("the version id must not be \"current\": that name is the package's current version");
  }
  if (options.name.empty()) Fail("the package name must not be empty");
  for (const char c : options.name) {
    if (IsControl(c)) Fail("the package name must not contain control characters");
  }
  if (options.chunkSize == 0) Fail("the chunk size must not be 0");
  if (options.nodes.empty()) Fail("at least one --node is needed");

  const fs::path input = CanonicalFolder(options.input, "input folder");
  std::error_code error;
  const fs::path wanted = fs::weakly_canonical(options.output, error);
  if (error || IsInside(wanted, input) || IsInside(input, wanted)) {
    Fail("the input folder and the output folder must not contain each other");
  }
  fs::create_directories(wanted, error);
  const fs::path output = CanonicalFolder(options.output, "output folder");

  const std::vector<SourceFile> sources = CollectFiles(input);
  PublishProgress state;
  state.totalFiles = sources.size();
  bool runFound = options.run.empty();
  for (const auto& file : sources) {
    state.totalBytes += file.size;
    const std::uint64_t chunks =
        file.size / options.chunkSize + (file.size % options.chunkSize != 0 ? 1 : 0);
    if (chunks > std::numeric_limits<std::uint32_t>::max()) {
      Fail(file.relative + " needs more than 4294967295 chunks; choose a larger --chunk-size");
    }
    if (file.relative == options.run) runFound = true;
  }
  if (!runFound) Fail("the run file " + options.run + " is not in the input folder");

  const fs::path versionFolder =
      output / "packages" / options.partner / options.package / options.version;
  fs::remove_all(versionFolder, error);
  if (error) Fail("cannot replace " + versionFolder.string() + ": " + error.message());

  PublishResult result;
  std::vector<PublishedFile> published;
  published.reserve(sources.size());
  ChecksumReader reader(options.chunkSize, &state, progress);
  for (const auto& file : sources) {
    const fs::path destination = versionFolder / fs::path(file.relative);
    if (PlaceFile(file.source, destination)) ++result.linkedFiles;
    PublishedFile entry;
    entry.relative = file.relative;
    entry.size = file.size;
    // The checksums come from the placed bytes, which are the ones the nodes will serve.
    entry.checksums = reader.Read(destination, file.size);
    published.push_back(std::move(entry));
    ++state.doneFiles;
    result.bytes += file.size;
    if (progress) progress(state);
  }
  result.files = published.size();

  const std::string document = PackageDocument(options, published);
  const fs::path manifests = output / "manifests" / options.package;
  result.manifestPath = (manifests / (options.version + ".xml")).string();
  WriteDocument(result.manifestPath, document);
  WriteDocument(output / "nodes" / (options.partner + ".xml"), NodeListDocument(options.nodes));
  // Last, so that "current" never names a version whose files are still being placed.
  WriteDocument(manifests / "current.xml", document);
  return result;
}

}  // namespace halv::publish
