#ifndef HALV_TOOLS_PUBLISH_PUBLISH_INTERNAL_H_
#define HALV_TOOLS_PUBLISH_PUBLISH_INTERNAL_H_

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "publisher.h"
#include "sign/sha256.h"

// The parts of a publication that Publish (publisher.cc) puts together, each in the file named
// beside it: checking and collecting the input (check.cc), placing files and reading their
// checksums (copy.cc), the documents (documents.cc), their signatures (signing.cc), and the
// output folder's lock and tidying (tidy.cc). Nothing here is shared between threads: every
// part runs on the publishing thread.
namespace halv::publish::detail {

namespace fs = std::filesystem;

constexpr std::size_t kReadBlock = std::size_t{4} << 20;
// Temporary files and folders carry this in their names; the next run removes what a killed run
// left behind.
constexpr char kTemporaryMark[] = ".halv-tmp-";
constexpr char kSignatureSuffix[] = ".minisig";

[[noreturn]] inline void Fail(const std::string& message) { throw PublishError(message); }
[[noreturn]] void FailErrno(const std::string& what, const fs::path& path, int error = errno);

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

struct SourceFile {
  std::string relative;  // '/'-separated, relative to the input folder
  fs::path named;        // the input folder's own path of the file, for messages
  fs::path source;       // the bytes to publish (a link's target for a link)
  std::uint64_t size = 0;
  std::uint32_t mode = 0;                // the permission bits, at most 07777
  std::optional<std::int64_t> modified;  // seconds since 1970; none before 1970
  // A regular file of the input with more than one name: its device and inode, which group it
  // with the other names of the same file. Unset for a file of one name and for a link's file.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> inode;
  // For every name of a group but the first in path order: the first's relative path, which
  // this file is published as a hard link of.
  std::string hardLinkOf;
};

// A link of the input published as a link.
struct SourceLink {
  std::string relative;
  std::string target;  // the link's text: relative, or absolute with keepAbsoluteLinks
};

struct Input {
  std::vector<SourceFile> files;  // sorted by relative path
  std::vector<SourceLink> links;  // sorted by relative path
  // The folders that hold nothing published (no file, link or such folder below them), sorted;
  // every other folder is made for what it holds.
  std::vector<std::string> folders;
  std::vector<std::string> skippedLinks;
};

struct PublishedFile {
  std::string relative;
  std::uint64_t size = 0;
  std::uint32_t mode = 0;
  std::optional<std::int64_t> modified;
  std::vector<std::uint32_t> checksums;
  std::vector<Sha256Digest> sha256s;
  std::string hardLinkOf;  // as SourceFile's
  // The file's block index (empty for a file too small to have one, and for a hard link, which
  // is never downloaded), its block size, and where it lies in the version's block file.
  std::string blockIndex;
  std::uint32_t blockSize = 0;
  std::uint64_t blockAt = 0;
};

// --- check.cc: scan and check
bool IsControl(unsigned char byte);
// Length of the UTF-8 sequence at `text[pos]`, or 0 when it is not valid UTF-8 (overlong forms,
// surrogates and values beyond U+10FFFF included).
// A file's relative path goes into the package document and, percent-encoded by the updater,
// into every chunk URL.
void CheckRelativePath(const std::string& path);
// Whether `path` is `folder` or lies under it; both are canonical.
bool IsInside(const fs::path& path, const fs::path& folder);
// Every file, link and empty folder below `input`; refuses what cannot be published. Every link
// that cannot be published is named in one error, or left out with `options.skipLinks`. The
// names of one file (same device and inode) are grouped: each but the first in path order is
// published as a hard link of the first, except the run file, which always stands alone.
Input CollectInput(const fs::path& input, const PublishOptions& options);
fs::path CanonicalFolder(const std::string& folder, const char* what);
void CheckOptions(const PublishOptions& options);

// --- copy.cc: chunk and copy
// A fresh name for a temporary entry beside `name` in `folder`: hidden, marked, and random so
// that nobody can plant something at it in advance.
fs::path TemporaryName(const fs::path& folder, const std::string& name);
// Creates a new file that did not exist, through no link, with `mode` (less the umask).
int CreateNewFile(const fs::path& path, mode_t mode);
// Places `source` at `destination` (a new file in a folder of our own): links it when `link`
// and the file system allow, else copies it. Returns whether it linked.
bool PlaceFile(const SourceFile& file, const fs::path& destination, bool link);

class ChecksumReader {
 public:
  // Every chunk's SHA-256 is taken in the same pass as its CRC-32.
  ChecksumReader(std::uint32_t chunkSize, PublishProgress* progress,
                 const std::function<void(const PublishProgress&)>& callback)
      : chunkSize_(chunkSize), buffer_(kReadBlock), progress_(progress), callback_(callback) {}

  // Fills `file.checksums` (and `file.sha256s`) from the chunks of the file at `path`, which
  // must hold `file.size` bytes; `named` is the input file it stands for.
  void Read(const fs::path& path, const fs::path& named, PublishedFile& file);

 private:
  const std::uint32_t chunkSize_;
  Sha256Hasher hasher_;
  std::vector<char> buffer_;
  PublishProgress* progress_;
  const std::function<void(const PublishProgress&)>& callback_;
};

// --- documents.cc
std::uint64_t ChunkCount(std::uint64_t size, std::uint32_t chunkSize);
// Writes `text` to a new temporary file beside `path` and renames it over `path`, so that a
// server never hands out half a document and a planted link is replaced, never followed.
void WriteDocument(const fs::path& path, const std::string& text);
// Writes `text` at `path` and `signature` beside it, each as WriteDocument does. Both are
// complete on disk before either is renamed into place, so that the two renames follow each
// other at once; the signature goes first, so that a new document is never seen unsigned. When
// the document's rename fails, the signature it replaced is put back (or the new one removed),
// so that a failure leaves the pair as it was.
void WriteSignedDocument(const fs::path& path, const std::string& text,
                         const std::string& signature);
// The content of the document at `path`; empty when there is none.
std::optional<std::string> ReadDocument(const fs::path& path);
// How much a package document says: a version published before documents carried SHA-256, or
// modes, times and links, or hard links and empty folders, keeps the document it was published
// with.
// DocumentForm::kWithBlocks adds the place of each file's block index to kFull.
enum class DocumentForm { kFirst, kWithSha256, kWithLinks, kFull, kWithBlocks };
// The version's block file, beside its folder: dot-named, as no version id is, so that no
// version's folder can take its name.
fs::path BlockFilePath(const fs::path& versions, const std::string& version);
// Places every file's index in the block file, in document order, and returns the file's bytes.
std::string AssembleBlockFile(std::vector<PublishedFile>& files);
// The document entry of `file`, before its checksums are read.
PublishedFile EntryOf(const SourceFile& file);
// The package document of `files`, and of the links and empty folders of `input`.
std::string PackageDocument(const PublishOptions& options, const std::vector<PublishedFile>& files,
                            const Input& input, DocumentForm form);
// The size of the package document before any checksum is known, so that a document the
// updater would refuse to read is refused before any work.
std::uint64_t PackageDocumentSize(const PublishOptions& options, const Input& input);
// Fails when the updater would refuse to read the package document: its reader also bounds the
// memory of the tree, which a package of very many small files can exceed. The checksums are
// placeholders of the same width, so the check costs no reading of the files.
void RefuseWhatTheUpdaterCannotRead(const PublishOptions& options, const Input& input);
std::string NodeListDocument(const std::vector<PublishNode>& nodes);
// Gives each file the modification time that the published document `existing` recorded for
// it, so that rewriting a file with the same bytes does not make other content.
void AdoptPublishedTimes(const std::string& existing, std::vector<PublishedFile>& files);
// What differs between the published document `existing` and the one the input would give.
std::string DescribeDifference(const std::string& existing, const PublishOptions& options,
                               const std::vector<PublishedFile>& files, const Input& input);

// --- signing.cc
fs::path SignaturePath(const fs::path& document);

// What a publication writes for one document: its text unless it is there already, and with a
// signer its signature unless the one beside it holds for the text.
struct DocumentUpdate {
  fs::path path;
  std::string text;
  bool writeText = false;
  std::string signature;  // empty: whatever signature is there stays
};

// Decides what to write for `text` at `path` and signs it, writing nothing yet.
DocumentUpdate PlanDocument(const fs::path& path, const std::string& text,
                            const DocumentSigner* signer, const PublicationComment& comment);
void ApplyDocument(const DocumentUpdate& update);
// The publication time of the signature beside `current` when it is one of `package`'s current
// documents, so that a clock set back never makes a new "current" look older than the one it
// replaces (updaters refuse that as a rollback); 0 when there is none. Its authenticity does
// not matter here: only the publisher writes the folder.
std::int64_t CurrentTime(const fs::path& current, const std::string& package);

// --- tidy.cc: locking and tidying
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
  std::optional<fs::path> Folder(const fs::path& relative, bool create) const;

 private:
  const fs::path output_;
  const fs::path input_;
};

// Holds an exclusive lock on the output folder for the life of the object.
class OutputLock {
 public:
  // `onWait` is called once, before waiting, when another publication holds the lock.
  OutputLock(const fs::path& output, const std::function<void()>& onWait);
  ~OutputLock() { ::close(fd_); }
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

 private:
  std::string LockError(const fs::path& path);
  int fd_;
};

// Removes the signatures in `folder` whose document is missing: a killed run wrote a new
// document's signature but not the document.
void RemoveOrphanSignatures(const fs::path& folder);
// Removes the temporary entries that a killed run left in `folder` and, when `documents` is
// set, the version folders in it that have no document in `documents` (a killed run moved
// them into place but did not get to write their document).
void RemoveLeftovers(const fs::path& folder, const std::optional<fs::path>& documents);

}  // namespace halv::publish::detail

#endif  // HALV_TOOLS_PUBLISH_PUBLISH_INTERNAL_H_
