#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include <boost/property_tree/ptree.hpp>

#include "manifest/file_manifest.h"
#include "manifest/manifest_exception.h"
#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
#include "publish_internal.h"

// The documents of a publication: their text, and writing and reading them in the output tree.
namespace halv::publish::detail {
namespace {

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

}  // namespace halv::publish::detail
