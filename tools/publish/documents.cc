#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "manifest/file_manifest.h"
#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "publish_internal.h"
#include "reuse/block_index.h"

// The documents of a publication: their text, and writing and reading them in the output tree.
namespace halv::publish::detail {
namespace {

// Reads a text in place: a document of a million files is not copied to be read.
class TextStream : public std::istream {
 public:
  explicit TextStream(const std::string& text) : std::istream(&buffer_), buffer_(text) {}

 private:
  struct Buffer : std::streambuf {
    explicit Buffer(const std::string& text) {
      char* begin = const_cast<char*>(text.data());
      setg(begin, begin, begin + text.size());
    }
  };
  Buffer buffer_;
};

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

constexpr char kPackageFooter[] = "</package>\n";
// The most a file's block index adds to its line.
constexpr std::uint64_t kBlockFieldsSize =
    sizeof("<blocksize>65536</blocksize><blockat>9223372036854775807</blockat>") - 1 +
    sizeof("<blocksha256></blocksha256>") - 1 + 64;

// One file's line of the package document; every checksum adds 8 characters and, from
// DocumentForm::kWithSha256 on, every SHA-256 64 more.
std::string FileLine(const PublishOptions& options, const PublishedFile& file, DocumentForm form) {
  std::string line = "    <file>" + Element("path", file.relative) +
                     Element("chunksize", std::to_string(options.chunkSize)) +
                     Element("size", std::to_string(file.size)) + "<checksums>";
  char digits[9];
  for (const std::uint32_t checksum : file.checksums) {
    std::snprintf(digits, sizeof digits, "%08x", checksum);
    line += digits;
  }
  line += "</checksums>";
  if (form != DocumentForm::kFirst) {
    line += "<sha256>";
    for (const Sha256Digest& digest : file.sha256s) line += Sha256Hex(digest);
    line += "</sha256>";
  }
  if (form >= DocumentForm::kWithLinks) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(file.mode));
    line += Element("mode", mode);
    if (file.modified) line += Element("mtime", std::to_string(*file.modified));
  }
  // A hard link is a complete file element too, so that a reader that knows no hard links
  // downloads a copy of it.
  if (form >= DocumentForm::kFull && !file.hardLinkOf.empty()) {
    line += Element("hardlink", file.hardLinkOf);
  }
  if (form == DocumentForm::kWithBlocks && file.blockSize != 0) {
    line += Element("blocksize", std::to_string(file.blockSize)) +
            Element("blockat", std::to_string(file.blockAt)) +
            Element("blocksha256", Sha256Hex(Sha256(file.blockIndex)));
  }
  return line + "</file>\n";
}

// The files element closes before the links and the empty folders, each element written only
// in the forms that know it and only when there are any.
std::string EntriesPart(const Input& input, DocumentForm form) {
  std::string xml = "  </files>\n";
  if (form >= DocumentForm::kWithLinks && !input.links.empty()) {
    xml += "  <links>\n";
    for (const auto& link : input.links) {
      xml += "    <link>" + Element("path", link.relative) + Element("target", link.target) +
             "</link>\n";
    }
    xml += "  </links>\n";
  }
  if (form >= DocumentForm::kFull && !input.folders.empty()) {
    xml += "  <folders>\n";
    for (const auto& folder : input.folders) {
      xml += "    <folder>" + Element("path", folder) + "</folder>\n";
    }
    xml += "  </folders>\n";
  }
  return xml;
}

}  // namespace

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

PublishedFile EntryOf(const SourceFile& file) {
  PublishedFile entry;
  entry.relative = file.relative;
  entry.size = file.size;
  entry.mode = file.mode;
  entry.modified = file.modified;
  entry.hardLinkOf = file.hardLinkOf;
  return entry;
}

std::string PackageDocument(const PublishOptions& options, const std::vector<PublishedFile>& files,
                            const Input& input, DocumentForm form) {
  std::string xml = PackageHeader(options);
  for (const auto& file : files) xml += FileLine(options, file, form);
  return xml + EntriesPart(input, form) + kPackageFooter;
}

namespace {

// The files of the input as the document will list them, with placeholder checksums of the
// right width.
std::vector<PublishedFile> Placeholders(const PublishOptions& options, const Input& input) {
  std::vector<PublishedFile> files;
  files.reserve(input.files.size());
  for (const SourceFile& source : input.files) {
    PublishedFile& file = files.emplace_back(EntryOf(source));
    const std::uint64_t chunks = ChunkCount(source.size, options.chunkSize);
    file.checksums.resize(chunks);
    file.sha256s.resize(chunks);
    if (source.size >= kMinIndexedFileSize && source.hardLinkOf.empty()) {
      file.blockSize = ChooseBlockSize(source.size);
      file.blockAt = std::numeric_limits<std::int64_t>::max();
    }
  }
  return files;
}

}  // namespace

fs::path BlockFilePath(const fs::path& versions, const std::string& version) {
  return versions / ("." + version + ".blocks");
}

std::string AssembleBlockFile(std::vector<PublishedFile>& files) {
  std::string blocks;
  for (PublishedFile& file : files) {
    if (file.blockSize == 0) continue;
    file.blockAt = blocks.size();
    blocks += file.blockIndex;
  }
  return blocks;
}

std::uint64_t ChunkCount(std::uint64_t size, std::uint32_t chunkSize) {
  return size / chunkSize + (size % chunkSize != 0 ? 1 : 0);
}

// The size of the package document before any checksum is known, so that a document the
// updater would refuse to read is refused before any work.
std::uint64_t PackageDocumentSize(const PublishOptions& options, const Input& input) {
  std::uint64_t size = PackageHeader(options).size() +
                       EntriesPart(input, DocumentForm::kWithBlocks).size() +
                       std::strlen(kPackageFooter);
  for (const auto& source : input.files) {
    size +=
        FileLine(options, EntryOf(source), DocumentForm::kWithBlocks).size() +
        (8 + 64) * ChunkCount(source.size, options.chunkSize) +
        (source.size >= kMinIndexedFileSize && source.hardLinkOf.empty() ? kBlockFieldsSize : 0);
  }
  return size;
}

// Fails when the updater would refuse to read the package document: its reader checks every
// path and link as the updater will, and bounds the memory of its records. The checksums are
// placeholders of the same width, so the check costs no reading of the files.
void RefuseWhatTheUpdaterCannotRead(const PublishOptions& options, const Input& input) {
  const std::string text =
      PackageDocument(options, Placeholders(options, input), input, DocumentForm::kWithBlocks);
  try {
    StandardPackageManifest manifest;
    TextStream stream(text);
    manifest.ReadXml(stream);
  } catch (const ManifestParseException& e) {
    Fail(std::string("the updater would refuse the package document: ") + e.what());
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

namespace {

// Reads a published document's text into `manifest`; false when it cannot be read.
bool ReadPublishedDocument(const std::string& text, StandardPackageManifest& manifest) {
  try {
    TextStream stream(text);
    manifest.ReadXml(stream);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

// Gives each file the modification time that `existing` recorded for it: a version published
// again with the same bytes and modes is the same content, however often its files were written.
void AdoptPublishedTimes(const std::string& existing, std::vector<PublishedFile>& files) {
  StandardPackageManifest manifest;
  if (!ReadPublishedDocument(existing, manifest)) return;
  std::map<std::string, std::optional<std::int64_t>> times;
  for (const auto& file : manifest.GetFiles()) times[file->GetPath()] = file->GetModificationTime();
  for (const auto& link : manifest.GetHardLinks()) {
    times[link.path] = link.file->GetModificationTime();
  }
  for (PublishedFile& file : files) {
    const auto found = times.find(file.relative);
    if (found != times.end() && found->second) file.modified = found->second;
  }
}

// What differs between the published document `existing` and the one the input would give.
std::string DescribeDifference(const std::string& existing, const PublishOptions& options,
                               const std::vector<PublishedFile>& files, const Input& input) {
  StandardPackageManifest manifest;
  if (!ReadPublishedDocument(existing, manifest)) return "its document cannot be read";
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
  // A hard link stands for a file with the bytes of the one it names.
  std::map<std::string, std::string> publishedHardLinks;
  for (const auto& link : manifest.GetHardLinks()) {
    published[link.path] = link.file;
    publishedHardLinks[link.path] = link.file->GetPath();
  }
  std::vector<std::string> changed, added, modes, hardLinks;
  for (const auto& file : files) {
    const auto found = published.find(file.relative);
    if (found == published.end()) {
      added.push_back(Quote(file.relative));
      continue;
    }
    const FileManifest& old = *found->second;
    const auto hardLink = publishedHardLinks.find(file.relative);
    if ((hardLink == publishedHardLinks.end() ? std::string() : hardLink->second) !=
        file.hardLinkOf) {
      hardLinks.push_back(Quote(file.relative));
    }
    if (old.GetSize() != file.size || old.GetChunkSize() != options.chunkSize ||
        old.GetChecksums() != file.checksums) {
      changed.push_back(Quote(file.relative));
    } else if (old.GetMode() && *old.GetMode() != file.mode) {
      modes.push_back(Quote(file.relative));
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
  if (!modes.empty()) differences.push_back("these files' modes differ: " + list(modes));
  if (!hardLinks.empty()) {
    differences.push_back("these files' hard links differ: " + list(hardLinks));
  }
  std::vector<std::string> linkChanges;
  std::map<std::string, std::string> publishedLinks;
  for (const auto& link : manifest.GetLinks()) publishedLinks[link.path] = link.target;
  for (const auto& link : input.links) {
    const auto found = publishedLinks.find(link.relative);
    if (found == publishedLinks.end() || found->second != link.target) {
      linkChanges.push_back(Quote(link.relative));
    }
    if (found != publishedLinks.end()) publishedLinks.erase(found);
  }
  for (const auto& entry : publishedLinks) linkChanges.push_back(Quote(entry.first));
  if (!linkChanges.empty()) differences.push_back("these links differ: " + list(linkChanges));
  std::vector<std::string> folderChanges;
  const std::set<std::string> folders(input.folders.begin(), input.folders.end());
  const std::set<std::string> publishedFolders(manifest.GetFolders().begin(),
                                               manifest.GetFolders().end());
  for (const auto& folder : folders) {
    if (publishedFolders.count(folder) == 0) folderChanges.push_back(Quote(folder));
  }
  for (const auto& folder : publishedFolders) {
    if (folders.count(folder) == 0) folderChanges.push_back(Quote(folder));
  }
  if (!folderChanges.empty()) {
    differences.push_back("these empty folders differ: " + list(folderChanges));
  }
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

}  // namespace halv::publish::detail
