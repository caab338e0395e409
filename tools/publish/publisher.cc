#include "publisher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <optional>
#include <vector>

#include "manifest/package_manifest.h"
#include "publish_internal.h"

// Publish puts the parts declared in publish_internal.h together, in the order that keeps a
// failed or killed publication from changing what is served.
namespace halv::publish {

using namespace detail;

namespace {

// The entry of the hard link `file`: its primary's, whose bytes it shares, under its own path.
// The primary comes first in path order, so it is in `published` already.
PublishedFile HardLinkEntry(const SourceFile& file, const std::vector<PublishedFile>& published) {
  const auto primary = std::lower_bound(
      published.begin(), published.end(), file.hardLinkOf,
      [](const PublishedFile& entry, const std::string& path) { return entry.relative < path; });
  PublishedFile entry = *primary;
  entry.relative = file.relative;
  entry.hardLinkOf = file.hardLinkOf;
  // Never downloaded: its file's bytes are.
  entry.blockIndex.clear();
  entry.blockSize = 0;
  return entry;
}

}  // namespace

PublishResult Publish(const PublishOptions& options,
                      const std::function<void(const PublishProgress&)>& progress) {
  CheckOptions(options);
  const fs::path input = CanonicalFolder(options.input, "input folder");
  std::error_code error;
  const fs::path wanted = fs::weakly_canonical(options.output, error);
  if (error || IsInside(wanted, input) || IsInside(input, wanted)) {
    Fail("the input folder and the output folder must not contain each other");
  }

  const Input collected = CollectInput(input, options);
  const std::vector<SourceFile>& sources = collected.files;
  if (sources.empty() && collected.links.empty() && !options.allowEmpty) {
    Fail("the input folder " + Quote(input.string()) + " holds no files (see --allow-empty)");
  }
  PublishProgress state;
  state.totalFiles = sources.size();
  bool runFound = options.run.empty();
  for (const auto& file : sources) {
    // A hard link's bytes are its primary's, read once.
    if (file.hardLinkOf.empty()) state.totalBytes += file.size;
    if (ChunkCount(file.size, options.chunkSize) > std::numeric_limits<std::uint32_t>::max()) {
      Fail(Quote(file.relative) +
           " needs more than 4294967295 chunks; choose a larger --chunk-size");
    }
    if (file.relative == options.run) runFound = true;
  }
  if (!runFound) Fail("the run file " + Quote(options.run) + " is not in the input folder");
  const std::uint64_t documentSize = PackageDocumentSize(options, collected);
  if (documentSize > kMaxPackageDocumentSize) {
    Fail("the package document would be " + std::to_string(documentSize) +
         " bytes, more than the 1 GiB (" + std::to_string(kMaxPackageDocumentSize) +
         " bytes) that the updater reads; choose a larger --chunk-size or publish fewer files");
  }
  RefuseWhatTheUpdaterCannotRead(options, collected);
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
  result.links = collected.links.size();
  result.folders = collected.folders.size();
  result.skippedLinks = collected.skippedLinks;
  result.manifestPath = (manifests / (options.version + ".xml")).string();
  ChecksumReader reader(options.chunkSize, &state, progress);
  std::vector<PublishedFile> published;
  published.reserve(sources.size());
  const auto existing = ReadDocument(result.manifestPath);
  if (existing) {
    // A published version never changes: the input is compared with it, not placed.
    for (const auto& file : sources) {
      if (file.hardLinkOf.empty()) {
        PublishedFile entry = EntryOf(file);
        reader.Read(file.source, file.named, entry);
        published.push_back(std::move(entry));
        result.bytes += file.size;
      } else {
        published.push_back(HardLinkEntry(file, published));
        ++result.hardLinks;
      }
      ++state.doneFiles;
      if (progress) progress(state);
    }
    AdoptPublishedTimes(*existing, published);
    const std::string blockFile = AssembleBlockFile(published);
    // A version published before documents carried SHA-256, or modes, times and links, or hard
    // links and empty folders, or block indexes, keeps its document when its files are the same.
    std::string document =
        PackageDocument(options, published, collected, DocumentForm::kWithBlocks);
    bool withBlocks = true;
    for (const DocumentForm form : {DocumentForm::kFirst, DocumentForm::kWithSha256,
                                    DocumentForm::kWithLinks, DocumentForm::kFull}) {
      std::string earlier = PackageDocument(options, published, collected, form);
      if (earlier == *existing) {
        document = std::move(earlier);
        withBlocks = false;
      }
    }
    // Whether a version was signed shows in its signature only, its document is the same.
    const bool wasSigned = fs::exists(fs::symlink_status(SignaturePath(result.manifestPath)));
    const std::string named = "version " + Quote(options.version) + " of " + Quote(options.package);
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
           DescribeDifference(*existing, options, published, collected) +
           "); a published version never changes: publish a new version instead");
    }
    result.files = published.size();
    result.unchanged = true;
    // The block file of a run killed before it wrote it, or one changed since: its document
    // names its SHA-256, so a wrong one only costs updaters their reuse, but it is put right.
    if (withBlocks && !blockFile.empty() &&
        ReadDocument(BlockFilePath(versions, options.version)) != blockFile) {
      WriteDocument(BlockFilePath(versions, options.version), blockFile);
    }
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
    if (!file.hardLinkOf.empty()) {
      // The primary's placed copy, so that its bytes are stored and served once; a copy where
      // the file system has no hard links.
      const fs::path primary = staging.path() / fs::path(file.hardLinkOf);
      if (::link(primary.c_str(), destination.c_str()) == 0) {
        ++result.linkedFiles;
      } else {
        SourceFile copy = file;
        copy.source = primary;
        PlaceFile(copy, destination, false);
      }
      published.push_back(HardLinkEntry(file, published));
      ++result.hardLinks;
    } else {
      if (PlaceFile(file, destination, options.link)) ++result.linkedFiles;
      PublishedFile entry = EntryOf(file);
      // The checksums come from the placed bytes, which are the ones the nodes will serve.
      reader.Read(destination, file.named, entry);
      published.push_back(std::move(entry));
      result.bytes += file.size;
    }
    ++state.doneFiles;
    if (progress) progress(state);
  }
  result.files = published.size();
  const std::string blockFile = AssembleBlockFile(published);
  const std::string document =
      PackageDocument(options, published, collected, DocumentForm::kWithBlocks);
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
    // Before the document that names it, as the files are.
    if (!blockFile.empty()) WriteDocument(BlockFilePath(versions, options.version), blockFile);
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
