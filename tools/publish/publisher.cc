#include "publisher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#include <boost/property_tree/ptree.hpp>

#include "file/crc32.h"
#include "manifest/file_manifest.h"
#include "manifest/manifest_exception.h"
#include "manifest/manifest_source.h"
#include "manifest/manifest_url.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
#include "sign/sha256.h"
#include "sign/signature_error.h"

namespace halv::publish {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kReadBlock = std::size_t{4} << 20;
// Ids name files such as ".<version>.xml.halv-tmp-XXXXXXXX", which must fit a file name.
constexpr std::size_t kMaxIdBytes = 128;
// Temporary files and folders carry this in their names; the next run removes what a killed run
// left behind.
constexpr char kTemporaryMark[] = ".halv-tmp-";
constexpr char kLockName[] = ".halvane-publish.lock";
constexpr char kSignatureSuffix[] = ".minisig";

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so that a failing close (a deferred write error) can be reported.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& message) { throw PublishError(message); }

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

// Length of the UTF-8 sequence at `text[pos]`, or 0 when it is not valid UTF-8 (overlong forms,
// surrogates and values beyond U+10FFFF included).
std::size_t Utf8Length(const std::string& text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return 1;
  std::size_t length;
  std::uint32_t value;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    value = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    value = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xc0) != 0x80) return 0;
    value = (value << 6) | (byte(pos + i) & 0x3f);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) || value > 0x10ffff ||
      (value >= 0xd800 && value <= 0xdfff)) {
    return 0;
  }
  return length;
}

bool IsUtf8(const std::string& text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = Utf8Length(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

[[noreturn]] void FailErrno(const std::string& what, const fs::path& path, int error = errno) {
  Fail(what + " " + Quote(path.string()) + ": " + std::strerror(error));
}

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
  fs::path named;        // the input folder's own path of the file, for messages
  fs::path source;       // the bytes to publish (a link's target for a link)
  std::uint64_t size = 0;
};

struct PublishedFile {
  std::string relative;
  std::uint64_t size = 0;
  std::vector<std::uint32_t> checksums;
  std::vector<Sha256Digest> sha256s;
};

// Resolves a link in the input; refuses what leads nowhere, loops or leaves the input.
fs::path ResolveInputLink(const fs::path& link, const std::string& relative,
                          const fs::path& input) {
  std::error_code error;
  const fs::path target = fs::canonical(link, error);
  if (error == std::errc::too_many_symbolic_link_levels) {
    Fail("refusing " + Quote(relative) + ": the link loops");
  }
  if (error) Fail("refusing " + Quote(relative) + ": the link leads nowhere");
  if (!IsInside(target, input)) {
    Fail("refusing " + Quote(relative) + ": it links to " + Quote(target.string()) +
         ", outside the input folder");
  }
  if (!fs::is_regular_file(target)) {
    Fail("refusing " + Quote(relative) +
         ": only links to files inside the input folder are followed");
  }
  return target;
}

void CollectFolder(const fs::path& input, const fs::path& folder, std::vector<SourceFile>& files) {
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
      CollectFolder(input, entry.path(), files);
      continue;
    }
    SourceFile file;
    file.relative = relative;
    file.named = entry.path();
    file.source = entry.path();
    if (fs::is_symlink(status)) {
      file.source = ResolveInputLink(entry.path(), relative, input);
    } else if (!fs::is_regular_file(status)) {
      Fail("refusing " + Quote(relative) + ": not a regular file");
    }
    // Opened once now, so that an unreadable file is refused before anything is written.
    Descriptor fd(::open(file.source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) FailErrno("cannot read", file.named);
    file.size = static_cast<std::uint64_t>(info.st_size);
    files.push_back(std::move(file));
  }
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
}

std::vector<SourceFile> CollectFiles(const fs::path& input) {
  std::vector<SourceFile> files;
  CollectFolder(input, input, files);
  std::sort(files.begin(), files.end(),
            [](const SourceFile& a, const SourceFile& b) { return a.relative < b.relative; });
  return files;
}

// Copies all of `in` to `out`; returns false with errno set on failure.
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
    if (!first || (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)) {
      return false;
    }
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

// A fresh name for a temporary entry beside `name` in `folder`: hidden, marked, and random so
// that nobody can plant something at it in advance.
fs::path TemporaryName(const fs::path& folder, const std::string& name) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  return folder / ("." + name + kTemporaryMark + suffix);
}

// A temporary file or folder, removed on destruction unless it was committed by a rename.
class Temporary {
 public:
  Temporary() = default;
  explicit Temporary(fs::path path) : path_(std::move(path)) {}
  ~Temporary() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  const fs::path& path() const { return path_; }
  void Committed() { path_.clear(); }

 private:
  fs::path path_;
};

// Creates a new file that did not exist, through no link, with `mode` (less the umask).
int CreateNewFile(const fs::path& path, mode_t mode) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// Places `source` at `destination` (a new file in a folder of our own): links it when `link`
// and the file system allow, else copies it. Returns whether it linked.
bool PlaceFile(const SourceFile& file, const fs::path& destination, bool link) {
  if (link && ::link(file.source.c_str(), destination.c_str()) == 0) return true;
  Descriptor in(::open(file.source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) FailErrno("cannot read", file.named);
  struct stat info;
  if (::fstat(in.get(), &info) != 0) FailErrno("cannot read", file.named);
  Descriptor out(CreateNewFile(destination, info.st_mode & 0777));
  if (out.get() < 0) FailErrno("cannot create", destination);
  if (!CopyBytes(in.get(), out.get())) {
    const int error = errno;
    FailErrno("cannot copy " + Quote(file.named.string()) + " to", destination, error);
  }
  if (out.Close() != 0) FailErrno("cannot write", destination);
  return false;
}

class ChecksumReader {
 public:
  // Every chunk's SHA-256 is taken in the same pass as its CRC-32.
  ChecksumReader(std::uint32_t chunkSize, PublishProgress* progress,
                 const std::function<void(const PublishProgress&)>& callback)
      : chunkSize_(chunkSize),
        buffer_(kReadBlock),
        progress_(progress),
        callback_(callback) {}

  // Fills `file.checksums` (and `file.sha256s`) from the chunks of the file at `path`, which
  // must hold `file.size` bytes; `named` is the input file it stands for.
  void Read(const fs::path& path, const fs::path& named, PublishedFile& file) {
    const std::uint64_t size = file.size;
    std::vector<std::uint32_t>& checksums = file.checksums;
    std::vector<Sha256Digest>& sha256s = file.sha256s;
    checksums.clear();
    sha256s.clear();
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) FailErrno("cannot read", path);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
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
        hasher_.Update(buffer_.data() + pos, take);
        pos += take;
        inChunk += static_cast<std::uint32_t>(take);
        if (inChunk == chunkSize_) {
          checksums.push_back(crc);
          sha256s.push_back(hasher_.Finish());
          crc = 0;
          inChunk = 0;
        }
      }
      total += static_cast<std::uint64_t>(got);
      progress_->doneBytes += static_cast<std::uint64_t>(got);
      if (callback_) callback_(*progress_);
    }
    if (inChunk > 0) {
      checksums.push_back(crc);
      sha256s.push_back(hasher_.Finish());
    }
    if (total != size) Fail(Quote(named.string()) + " changed while it was being published");
  }

 private:
  const std::uint32_t chunkSize_;
  Sha256Hasher hasher_;
  std::vector<char> buffer_;
  PublishProgress* progress_;
  const std::function<void(const PublishProgress&)>& callback_;
};

// The folders of the output tree, each checked before anything is written into or removed from
// it: a link inside the tree may be followed only when it stays in the output folder and away
// from the input folder.
class OutputTree {
 public:
  OutputTree(fs::path output, fs::path input)
      : output_(std::move(output)), input_(std::move(input)) {}

  const fs::path& root() const { return output_; }

  // The folder `relative` below the output folder, created level by level when `create`; empty
  // when it is missing and not to be created. Throws PublishError for a level that is not a
  // folder or that leads out of the output folder or into the input folder.
  std::optional<fs::path> Folder(const fs::path& relative, bool create) const {
    fs::path path = output_;
    for (const fs::path& level : relative) {
      path /= level;
      struct stat info;
      if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) FailErrno("cannot read", path);
        if (!create) return std::nullopt;
        if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) FailErrno("cannot create", path);
        continue;
      }
      if (S_ISLNK(info.st_mode)) {
        std::error_code error;
        const fs::path target = fs::canonical(path, error);
        if (error) Fail("refusing " + Quote(path.string()) + ": the link leads nowhere");
        if (!IsInside(target, output_) || IsInside(target, input_) || IsInside(input_, target)) {
          Fail("refusing " + Quote(path.string()) + ": it links to " + Quote(target.string()) +
               ", which is outside the output folder or holds input files");
        }
        if (!fs::is_directory(target)) Fail(Quote(path.string()) + " is not a folder");
      } else if (!S_ISDIR(info.st_mode)) {
        Fail(Quote(path.string()) + " is not a folder");
      }
    }
    return path;
  }

 private:
  const fs::path output_;
  const fs::path input_;
};

fs::path SignaturePath(const fs::path& document) {
  return document.parent_path() / (document.filename().string() + kSignatureSuffix);
}

// Creates the new file `temporary` (exclusively, never through a link) holding `text`, flushed
// to disk.
void FillTemporary(const Temporary& temporary, const std::string& text) {
  Descriptor fd(CreateNewFile(temporary.path(), 0666));
  if (fd.get() < 0) FailErrno("cannot create", temporary.path());
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      FailErrno("cannot write", temporary.path());
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::fsync(fd.get()) != 0) FailErrno("cannot write", temporary.path());
  if (fd.Close() != 0) FailErrno("cannot write", temporary.path());
}

// Writes `text` to a new temporary file beside `path` and renames it over `path`, so that a
// server never hands out half a document and a planted link is replaced, never followed.
void WriteDocument(const fs::path& path, const std::string& text) {
  Temporary temporary(TemporaryName(path.parent_path(), path.filename().string()));
  FillTemporary(temporary, text);
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) FailErrno("cannot write", path);
  temporary.Committed();
}

// Writes `text` at `path` and `signature` beside it, each as WriteDocument does. Both are
// complete on disk before either is renamed into place, so that the two renames follow each
// other at once; the signature goes first, so that a new document is never seen unsigned. When
// the document's rename fails, the signature it replaced is put back (or the new one removed),
// so that a failure leaves the pair as it was.
void WriteSignedDocument(const fs::path& path, const std::string& text,
                         const std::string& signature) {
  const fs::path signaturePath = SignaturePath(path);
  const fs::path folder = path.parent_path();
  Temporary document(TemporaryName(folder, path.filename().string()));
  FillTemporary(document, text);
  Temporary newSignature(TemporaryName(folder, signaturePath.filename().string()));
  FillTemporary(newSignature, signature);
  struct stat info;
  const bool replaces = ::lstat(signaturePath.c_str(), &info) == 0 && S_ISREG(info.st_mode);
  // A second name for the signature being replaced, which outlives the rename over it.
  Temporary previous(replaces ? TemporaryName(folder, signaturePath.filename().string())
                              : fs::path());
  if (replaces && ::link(signaturePath.c_str(), previous.path().c_str()) != 0) {
    FailErrno("cannot keep a copy of", signaturePath);
  }
  if (::rename(newSignature.path().c_str(), signaturePath.c_str()) != 0) {
    FailErrno("cannot write", signaturePath);
  }
  newSignature.Committed();
  if (::rename(document.path().c_str(), path.c_str()) != 0) {
    const int error = errno;
    if (replaces) {
      if (::rename(previous.path().c_str(), signaturePath.c_str()) == 0) previous.Committed();
    } else {
      ::unlink(signaturePath.c_str());
    }
    FailErrno("cannot write", path, error);
  }
  document.Committed();
}

// The content of the document at `path`; empty when there is none.
std::optional<std::string> ReadDocument(const fs::path& path) {
  // A link here was planted: the publisher writes documents only as files.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP) Fail("refusing " + Quote(path.string()) + ": it is a link, not a document");
    FailErrno("cannot read", path);
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got == 0) return text;
    if (got < 0) {
      if (errno == EINTR) continue;
      FailErrno("cannot read", path);
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// What a publication writes for one document: its text unless it is there already, and with a
// signer its signature unless the one beside it holds for the text.
struct DocumentUpdate {
  fs::path path;
  std::string text;
  bool writeText = false;
  std::string signature;  // empty: whatever signature is there stays
};

// Whether the signature beside `path` is one by `signer` of `text` that names `comment`'s
// document; a missing, unreadable, linked or foreign signature does not hold.
bool SignatureHolds(const fs::path& path, const std::string& text, const DocumentSigner& signer,
                    const PublicationComment& comment) {
  const fs::path signaturePath = SignaturePath(path);
  struct stat info;
  if (::lstat(signaturePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const auto signature = ReadDocument(signaturePath);
  if (!signature) return false;
  try {
    VerifyPublication(text, *signature, {signer.PublicKey()}, comment);
    return true;
  } catch (const SignatureError&) {
    return false;
  }
}

// Decides what to write for `text` at `path` and signs it, writing nothing yet.
DocumentUpdate PlanDocument(const fs::path& path, const std::string& text,
                            const DocumentSigner* signer, const PublicationComment& comment) {
  DocumentUpdate update;
  update.path = path;
  update.text = text;
  struct stat info;
  // A link found there is replaced by the rename, never followed.
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    update.writeText = true;
  } else {
    const auto existing = ReadDocument(path);
    update.writeText = !existing || *existing != text;
  }
  if (signer && (update.writeText || !SignatureHolds(path, text, *signer, comment))) {
    update.signature = signer->Sign(text, comment);
  }
  return update;
}

void ApplyDocument(const DocumentUpdate& update) {
  if (!update.writeText) {
    if (!update.signature.empty()) WriteDocument(SignaturePath(update.path), update.signature);
  } else if (update.signature.empty()) {
    WriteDocument(update.path, update.text);
  } else {
    WriteSignedDocument(update.path, update.text, update.signature);
  }
}

// The publication time of the signature beside `current` when it is one of `package`'s current
// documents, so that a clock set back never makes a new "current" look older than the one it
// replaces (updaters refuse that as a rollback); 0 when there is none. Its authenticity does
// not matter here: only the publisher writes the folder.
std::int64_t CurrentTime(const fs::path& current, const std::string& package) {
  const fs::path signaturePath = SignaturePath(current);
  struct stat info;
  if (::lstat(signaturePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  const auto text = ReadDocument(signaturePath);
  if (!text) return 0;
  try {
    const auto comment = ParsePublicationComment(ParseMinisignSignature(*text).trustedComment);
    if (comment && comment->kind == PublicationKind::kCurrent && comment->package == package) {
      return comment->time;
    }
  } catch (const SignatureError&) {
  }
  return 0;
}

std::string PackageHeader(const PublishOptions& options) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>\n"
      << "  " << Element("id", options.package) << "\n"
      << "  " << Element("name", options.name) << "\n"
      << "  " << Element("partnerId", options.partner) << "\n"
      << "  " << Element("versionId", options.version) << "\n";
  if (!options.run.empty()) xml << "  " << Element("run", options.run) << "\n";
  xml << "  <files>\n";
  return xml.str();
}

constexpr char kPackageFooter[] = "  </files>\n</package>\n";

// One file's line of the package document; every checksum adds 8 characters and, `withSha256`,
// every SHA-256 64 more.
std::string FileLine(const PublishOptions& options, const PublishedFile& file, bool withSha256) {
  std::string line = "    <file>" + Element("path", file.relative) +
                     Element("chunksize", std::to_string(options.chunkSize)) +
                     Element("size", std::to_string(file.size)) + "<checksums>";
  char digits[9];
  for (const std::uint32_t checksum : file.checksums) {
    std::snprintf(digits, sizeof digits, "%08x", checksum);
    line += digits;
  }
  line += "</checksums>";
  if (withSha256) {
    line += "<sha256>";
    for (const Sha256Digest& digest : file.sha256s) line += Sha256Hex(digest);
    line += "</sha256>";
  }
  return line + "</file>\n";
}

std::string PackageDocument(const PublishOptions& options, const std::vector<PublishedFile>& files,
                            bool withSha256) {
  std::string xml = PackageHeader(options);
  for (const auto& file : files) xml += FileLine(options, file, withSha256);
  return xml + kPackageFooter;
}

std::uint64_t ChunkCount(std::uint64_t size, std::uint32_t chunkSize) {
  return size / chunkSize + (size % chunkSize != 0 ? 1 : 0);
}

// The size of the package document before any checksum is known, so that a document the
// updater would refuse to read is refused before any work.
std::uint64_t PackageDocumentSize(const PublishOptions& options,
                                  const std::vector<SourceFile>& sources) {
  std::uint64_t size = PackageHeader(options).size() + std::strlen(kPackageFooter);
  for (const auto& source : sources) {
    PublishedFile file;
    file.relative = source.relative;
    file.size = source.size;
    size += FileLine(options, file, true).size() +
            (8 + 64) * ChunkCount(source.size, options.chunkSize);
  }
  return size;
}

// Fails when the updater would refuse to read the package document: its reader also bounds the
// memory of the tree, which a package of very many small files can exceed. The checksums are
// placeholders of the same width, so the check costs no reading of the files.
void RefuseWhatTheUpdaterCannotRead(const PublishOptions& options,
                                    const std::vector<SourceFile>& sources) {
  std::vector<PublishedFile> files(sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    files[i].relative = sources[i].relative;
    files[i].size = sources[i].size;
    const std::uint64_t chunks = ChunkCount(sources[i].size, options.chunkSize);
    files[i].checksums.resize(chunks);
    files[i].sha256s.resize(chunks);
  }
  std::istringstream stream(PackageDocument(options, files, true));
  boost::property_tree::ptree tree;
  try {
    ParseXmlManifest(stream, tree);
  } catch (const ManifestParseException& e) {
    Fail(std::string("the updater would refuse the package document: ") + e.what() +
         "; choose a larger --chunk-size or publish fewer files");
  }
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

// What differs between the published document `existing` and the one the input would give.
std::string DescribeDifference(const std::string& existing, const PublishOptions& options,
                               const std::vector<PublishedFile>& files) {
  StandardPackageManifest manifest;
  try {
    std::istringstream stream(existing);
    boost::property_tree::ptree tree;
    ParseXmlManifest(stream, tree);
    manifest.Read(tree);
  } catch (const std::exception&) {
    return "its document cannot be read";
  }
  std::vector<std::string> differences;
  if (manifest.GetPartnerId() != options.partner) {
    differences.push_back("it belongs to partner " + Quote(manifest.GetPartnerId()));
  }
  if (manifest.GetName() != options.name) {
    differences.push_back("its name is " + Quote(manifest.GetName()));
  }
  const auto run = manifest.GetRunFile();
  if ((run ? run->GetPath() : std::string()) != options.run) {
    differences.push_back("its run file is " + Quote(run ? run->GetPath() : std::string()));
  }
  std::map<std::string, std::shared_ptr<const FileManifest>> published;
  for (const auto& file : manifest.GetFiles()) published[file->GetPath()] = file;
  std::vector<std::string> changed, added;
  for (const auto& file : files) {
    const auto found = published.find(file.relative);
    if (found == published.end()) {
      added.push_back(Quote(file.relative));
      continue;
    }
    const FileManifest& old = *found->second;
    if (old.GetSize() != file.size || old.GetChunkSize() != options.chunkSize ||
        old.GetChecksums() != file.checksums) {
      changed.push_back(Quote(file.relative));
    }
    published.erase(found);
  }
  const auto list = [](const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < 5; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > 5) text += " and " + std::to_string(names.size() - 5) + " more";
    return text;
  };
  if (!changed.empty()) differences.push_back("these files differ: " + list(changed));
  if (!added.empty()) differences.push_back("these files are new: " + list(added));
  if (!published.empty()) {
    std::vector<std::string> missing;
    for (const auto& entry : published) missing.push_back(Quote(entry.first));
    differences.push_back("these files are missing: " + list(missing));
  }
  if (differences.empty()) return "its document differs";
  std::string text;
  for (const auto& difference : differences) text += (text.empty() ? "" : "; ") + difference;
  return text;
}

fs::path CanonicalFolder(const std::string& folder, const char* what) {
  std::error_code error;
  const fs::path path = fs::canonical(folder, error);
  if (error || !fs::is_directory(path)) {
    Fail("the " + std::string(what) + " " + Quote(folder) + " is not a folder");
  }
  return path;
}

// Holds an exclusive lock on the output folder for the life of the object.
class OutputLock {
 public:
  OutputLock(const fs::path& output, const std::function<void()>& onWait) {
    const fs::path path = output / kLockName;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0) FailErrno("cannot open the lock file", path);
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    if (errno != EWOULDBLOCK) Fail(LockError(path));
    if (onWait) onWait();
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) Fail(LockError(path));
    }
  }
  ~OutputLock() { ::close(fd_); }
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

 private:
  std::string LockError(const fs::path& path) {
    const std::string message = "cannot lock " + Quote(path.string()) + ": " + std::strerror(errno);
    ::close(fd_);
    return message;
  }
  int fd_;
};

bool IsTemporary(const std::string& name) {
  return !name.empty() && name.front() == '.' && name.find(kTemporaryMark) != std::string::npos;
}

// Removes the signatures in `folder` whose document is missing: a killed run wrote a new
// document's signature but not the document.
void RemoveOrphanSignatures(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::path> remove;
  const std::string suffix = std::string(".xml") + kSignatureSuffix;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    struct stat info;
    const fs::path document = folder / name.substr(0, name.size() - std::strlen(kSignatureSuffix));
    if (::lstat(document.c_str(), &info) != 0 && errno == ENOENT &&
        ::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      remove.push_back(it->path());
    }
  }
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
  for (const auto& path : remove) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) FailErrno("cannot remove", path);
  }
}

// Removes the temporary entries that a killed run left in `folder` and, when `documents` is
// set, the version folders in it that have no document in `documents` (a killed run moved
// them into place but did not get to write their document).
void RemoveLeftovers(const fs::path& folder, const std::optional<fs::path>& documents) {
  std::error_code error;
  std::vector<fs::path> remove;
  for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (IsTemporary(name)) {
      remove.push_back(it->path());
    } else if (documents && name.front() != '.' && it->is_directory(error) && !error &&
               !it->is_symlink(error) && !fs::exists(*documents / (name + ".xml"))) {
      remove.push_back(it->path());
    }
  }
  if (error) Fail("cannot read " + Quote(folder.string()) + ": " + error.message());
  for (const auto& path : remove) {
    fs::remove_all(path, error);
    if (error) Fail("cannot remove " + Quote(path.string()) + ": " + error.message());
  }
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

}  // namespace

std::string MinisignDocumentSigner::Sign(const std::string& document,
                                         const PublicationComment& comment) const {
  return SignPublication(key_, document, comment);
}

std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = Utf8Length(text, pos);
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

PublishResult Publish(const PublishOptions& options,
                      const std::function<void(const PublishProgress&)>& progress) {
  CheckOptions(options);
  const fs::path input = CanonicalFolder(options.input, "input folder");
  std::error_code error;
  const fs::path wanted = fs::weakly_canonical(options.output, error);
  if (error || IsInside(wanted, input) || IsInside(input, wanted)) {
    Fail("the input folder and the output folder must not contain each other");
  }

  const std::vector<SourceFile> sources = CollectFiles(input);
  if (sources.empty() && !options.allowEmpty) {
    Fail("the input folder " + Quote(input.string()) + " holds no files (see --allow-empty)");
  }
  PublishProgress state;
  state.totalFiles = sources.size();
  bool runFound = options.run.empty();
  for (const auto& file : sources) {
    state.totalBytes += file.size;
    if (ChunkCount(file.size, options.chunkSize) > std::numeric_limits<std::uint32_t>::max()) {
      Fail(Quote(file.relative) +
           " needs more than 4294967295 chunks; choose a larger --chunk-size");
    }
    if (file.relative == options.run) runFound = true;
  }
  if (!runFound) Fail("the run file " + Quote(options.run) + " is not in the input folder");
  const std::uint64_t documentSize = PackageDocumentSize(options, sources);
  if (documentSize > HttpManifestSource::kMaxBodySize) {
    Fail("the package document would be " + std::to_string(documentSize) +
         " bytes, more than the 64 MiB (" + std::to_string(HttpManifestSource::kMaxBodySize) +
         " bytes) that the updater reads; choose a larger --chunk-size");
  }
  RefuseWhatTheUpdaterCannotRead(options, sources);
  const std::string nodeListText = NodeListDocument(options.nodes);

  // Everything is checked: from here on the output folder is written.
  fs::create_directories(wanted, error);
  if (error) Fail("cannot create " + Quote(wanted.string()) + ": " + error.message());
  const OutputTree tree(CanonicalFolder(options.output, "output folder"), input);
  const OutputLock lock(tree.root(), options.onWait);

  // Every level is checked before any is created, so that a refusal leaves nothing behind.
  const fs::path manifestLevels = fs::path("manifests") / options.package;
  const fs::path versionLevels = fs::path("packages") / options.partner / options.package;
  for (const auto& levels : {manifestLevels, fs::path("nodes"), versionLevels}) {
    tree.Folder(levels, false);
  }
  const fs::path manifests = *tree.Folder(manifestLevels, true);
  const fs::path nodes = *tree.Folder("nodes", true);
  const fs::path versions = *tree.Folder(versionLevels, true);
  RemoveLeftovers(manifests, std::nullopt);
  RemoveLeftovers(nodes, std::nullopt);
  RemoveLeftovers(versions, manifests);
  RemoveOrphanSignatures(manifests);
  RemoveOrphanSignatures(nodes);

  const DocumentSigner* const signer = options.signer.get();
  const fs::path nodeListPath = nodes / (options.partner + ".xml");
  const fs::path currentPath = manifests / "current.xml";
  if (!signer) {
    // Updaters that hold the key would refuse every document of this package or partner.
    for (const fs::path& document : {currentPath, nodeListPath}) {
      if (fs::exists(fs::symlink_status(SignaturePath(document)))) {
        Fail(Quote(document.string()) +
             " is signed: publish with --sign, or remove its signature first if the package is "
             "to be served unsigned from now on");
      }
    }
  }
  // One time for every document of the publication, never before the "current" it replaces.
  const std::int64_t time =
      std::max<std::int64_t>(std::time(nullptr), CurrentTime(currentPath, options.package));
  PublicationComment packageComment;
  packageComment.kind = PublicationKind::kPackage;
  packageComment.package = options.package;
  packageComment.version = options.version;
  packageComment.time = time;
  PublicationComment currentComment = packageComment;
  currentComment.kind = PublicationKind::kCurrent;
  PublicationComment nodesComment;
  nodesComment.kind = PublicationKind::kNodes;
  nodesComment.partner = options.partner;
  nodesComment.time = time;

  PublishResult result;
  result.manifestPath = (manifests / (options.version + ".xml")).string();
  ChecksumReader reader(options.chunkSize, &state, progress);
  std::vector<PublishedFile> published;
  published.reserve(sources.size());
  const auto existing = ReadDocument(result.manifestPath);
  if (existing) {
    // A published version never changes: the input is compared with it, not placed.
    for (const auto& file : sources) {
      PublishedFile entry;
      entry.relative = file.relative;
      entry.size = file.size;
      reader.Read(file.source, file.named, entry);
      published.push_back(std::move(entry));
      ++state.doneFiles;
      result.bytes += file.size;
      if (progress) progress(state);
    }
    // A version published before documents carried SHA-256 keeps its document.
    const std::string withoutSha256 = PackageDocument(options, published, false);
    const std::string document =
        withoutSha256 == *existing ? withoutSha256 : PackageDocument(options, published, true);
    // Whether a version was signed shows in its signature only, its document is the same.
    const bool wasSigned = fs::exists(fs::symlink_status(SignaturePath(result.manifestPath)));
    const std::string named =
        "version " + Quote(options.version) + " of " + Quote(options.package);
    if (signer && !wasSigned) {
      Fail(named +
           " is published already without signature; a published version never changes: "
           "publish a new version to sign it");
    }
    if (!signer && wasSigned) {
      Fail(named + " is published already with signatures: publish it again with --sign");
    }
    if (document != *existing) {
      Fail(named + " is published already with other content (" +
           DescribeDifference(*existing, options, published) +
           "); a published version never changes: publish a new version instead");
    }
    result.files = published.size();
    result.unchanged = true;
    // Every signature is made before anything is written; a foreign signature of the version
    // (another key's) and a missing one of the node list or "current" are made anew.
    const DocumentUpdate version =
        PlanDocument(result.manifestPath, document, signer, packageComment);
    const DocumentUpdate nodeList = PlanDocument(nodeListPath, nodeListText, signer, nodesComment);
    const DocumentUpdate current = PlanDocument(currentPath, document, signer, currentComment);
    ApplyDocument(version);
    ApplyDocument(nodeList);
    ApplyDocument(current);
    return result;
  }

  // The files go into a folder of our own, which moves into place once it is complete.
  Temporary staging(TemporaryName(versions, options.version));
  if (::mkdir(staging.path().c_str(), 0777) != 0) FailErrno("cannot create", staging.path());
  for (const auto& file : sources) {
    const fs::path destination = staging.path() / fs::path(file.relative);
    fs::create_directories(destination.parent_path(), error);
    if (error) {
      Fail("cannot create " + Quote(destination.parent_path().string()) + ": " + error.message());
    }
    if (PlaceFile(file, destination, options.link)) ++result.linkedFiles;
    PublishedFile entry;
    entry.relative = file.relative;
    entry.size = file.size;
    // The checksums come from the placed bytes, which are the ones the nodes will serve.
    reader.Read(destination, file.named, entry);
    published.push_back(std::move(entry));
    ++state.doneFiles;
    result.bytes += file.size;
    if (progress) progress(state);
  }
  result.files = published.size();
  const std::string document = PackageDocument(options, published, true);
  // Signed while nothing is in place yet, so that a signer that fails leaves no trace.
  const DocumentUpdate version =
      PlanDocument(result.manifestPath, document, signer, packageComment);
  const DocumentUpdate nodeList = PlanDocument(nodeListPath, nodeListText, signer, nodesComment);
  const DocumentUpdate current = PlanDocument(currentPath, document, signer, currentComment);

  // The files reach the disk before any document names them.
  {
    Descriptor folder(::open(staging.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0 || ::syncfs(folder.get()) != 0) FailErrno("cannot write", staging.path());
  }
  const fs::path versionFolder = versions / options.version;
  if (::rename(staging.path().c_str(), versionFolder.c_str()) != 0) {
    FailErrno("cannot move the files into", versionFolder);
  }
  staging.Committed();
  try {
    ApplyDocument(version);
  } catch (const PublishError&) {
    // Without its document the folder is a leftover; nothing names it yet.
    fs::remove_all(versionFolder, error);
    throw;
  }
  ApplyDocument(nodeList);
  // Last, so that "current" never names a version whose files or document are missing.
  ApplyDocument(current);
  return result;
}

}  // namespace halv::publish
