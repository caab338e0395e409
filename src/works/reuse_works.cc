#include "works/reuse_works.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>

#include <boost/property_tree/ptree.hpp>

#include "config/settings.h"
#include "file/beneath.h"
#include "file/crc32.h"
#include "file/file_exception.h"
#include "file/folder.h"
#include "file/paths.h"
#include "file/shared_file.h"
#include "http/http_request_factory.h"
#include "manifest/package_manifest.h"
#include "optimizer/optimized_request_params.h"
#include "optimizer/transfer_optimizer.h"
#include "reuse/block_index.h"
#include "reuse/block_search.h"
#include "sign/sha256.h"
#include "transfer/transfer_error_data.h"
#include "transfer/transfer_progress_updater.h"
#include "works/optimized_request_chunk_work.h"

namespace halv {

namespace {

// Index ranges closer than this are asked for in one request: a request and its headers cost
// about as much as this many bytes of other files' records, and a wider gap made a small update
// fetch more index than changed bytes.
constexpr std::uint64_t kIndexGap = 2048;
// The other files of a folder that are searched, in all: a destination inside a large folder of
// the user's must not turn an update into a read of all of it.
constexpr std::size_t kMostNeighbours = 10000;
// And their bytes, beyond four times those of the files to rebuild.
constexpr std::uint64_t kNeighbourBytesFloor = std::uint64_t{64} << 20;
// The index records fetched for one file, and for all: a document may claim a file of any size,
// and its index is held in memory while the search runs. A file past this is fetched as ever.
constexpr std::uint64_t kMostIndexBytes = std::uint64_t{64} << 20;
constexpr std::uint64_t kMostIndexBytesInAll = std::uint64_t{256} << 20;
// Missing ranges closer than this are fetched as one: a request costs about what this many bytes
// do, and a small file changed in a few places would otherwise take a request for each.
constexpr std::uint64_t kRangeGap = 1024;
// Threads that build partial files at once, one for every 16 files.
constexpr std::size_t kBuildThreads = 8;
// Nodes tried for one range before it is left to the whole chunk's download.
constexpr std::size_t kRangeAttempts = 3;

// Thrown through the search when the work is interrupted.
struct Interrupted {};

// Owns a descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The regular file at `path` beneath `folder`, opened read-only without following any link (a
// fifo or device there is not even waited for); -1 when there is none or it cannot be read.
int OpenRegularBeneath(int folder, const std::string& path, struct stat* info) {
  std::string name;
  int parentFd = -1;
  try {
    parentFd = OpenParentBeneath(folder, path, false, name);
  } catch (const FileException&) {
    return -1;
  }
  Descriptor parent(parentFd);
  const int fd =
      ::openat(parent.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether anything is at `path` beneath `folder` (not followed).
bool ExistsBeneath(int folder, const std::string& path) {
  std::string name;
  try {
    Descriptor parent(OpenParentBeneath(folder, path, false, name));
    struct stat info;
    return ::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  } catch (const FileException&) {
    return false;
  }
}

std::size_t ReadFully(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// Whether every chunk's CRC-32 of the open file matches `file`'s: a quick look whether a file is
// complete where it stands, which the file's own work then proves.
bool ChunksMatch(int fd, const FileManifest& file) {
  std::vector<unsigned char> buffer(std::min<std::uint64_t>(file.GetChunkSize(), 1 << 20));
  for (std::uint32_t chunk = 0; chunk < file.GetChunkCount(); ++chunk) {
    const std::uint64_t first = std::uint64_t{chunk} * file.GetChunkSize();
    const std::uint64_t length =
        std::min<std::uint64_t>(file.GetChunkSize(), file.GetSize() - first);
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < length;) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
      if (ReadFully(fd, buffer.data(), want, first + done) != want) return false;
      crc = Crc32(buffer.data(), want, crc);
      done += want;
    }
    if (crc != file.GetChecksums().at(chunk)) return false;
  }
  return true;
}

// Collects what an HTTP body brings into a string of at most `limit` bytes.
class LimitedStringWriter : public HttpWriteCallback {
 public:
  explicit LimitedStringWriter(std::uint64_t limit) : limit_(limit) {}
  HttpRequestStatus Write(const char* data, std::size_t length) override {
    if (length > limit_ - text_.size()) {
      HttpRequestStatus status(HttpRequestResult::Incomplete, 0);
      status.errorDetails = "body runs past the asked range";
      return status;
    }
    text_.append(data, length);
    return HttpRequestStatus(HttpRequestResult::Success, length);
  }
  std::string& Text() { return text_; }

 private:
  const std::uint64_t limit_;
  std::string text_;
};

// Whether `status` is a complete answer of exactly bytes first..last.
bool IsExactRange(const HttpRequestStatus& status, std::uint64_t first, std::uint64_t last) {
  if (status.result != HttpRequestResult::Success || status.responseCode != 206) return false;
  if (status.bytesWritten != last - first + 1) return false;
  const std::string expected = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/";
  return status.contentRange.compare(0, expected.size(), expected) == 0;
}

}  // namespace

void ReusePlan::Set(const std::string& path, std::vector<Range> missing) {
  std::lock_guard<std::mutex> lock(mutex_);
  missing_[path] = std::move(missing);
}

std::optional<std::vector<ReusePlan::Range>> ReusePlan::MissingWithin(const std::string& path,
                                                                      std::uint64_t first,
                                                                      std::uint64_t last) const {
  const auto found = missing_.find(path);
  if (found == missing_.end()) return std::nullopt;
  std::vector<Range> within;
  const auto& ranges = found->second;
  auto range = std::lower_bound(ranges.begin(), ranges.end(), first,
                                [](const Range& r, std::uint64_t at) { return r.second < at; });
  for (; range != ranges.end() && range->first <= last; ++range) {
    within.emplace_back(std::max(range->first, first), std::min(range->second, last));
  }
  return within;
}

// One run of the reuse work: its files, sources and indexes.
class ReuseOldFilesWork::Run {
 public:
  Run(ReuseOldFilesWork& work, TransferWorkInterface& transfer)
      : work_(work), transfer_(transfer) {}

  void Execute();

 private:
  struct Target {
    std::shared_ptr<const FileManifest> file;
    std::uint32_t sameSource = BlockSearch::Found::kNowhere;
    std::uint32_t searchId = 0;
    bool indexed = false;
  };

  void CollectTargets();
  void AddNeighbours();
  std::uint32_t AddSource(const std::string& path, std::uint64_t size);
  std::uint32_t FolderId(const std::string& path);
  void FetchIndexes();
  bool FetchIndexRange(std::uint64_t first, std::uint64_t last, std::string& into);
  std::size_t ReadSource(std::uint32_t source, void* buffer, std::size_t length,
                         std::uint64_t offset);
  void Build(const Target& target);
  void CheckInterrupted() const;

  ReuseOldFilesWork& work_;
  TransferWorkInterface& transfer_;
  std::shared_ptr<const PackageManifest> package_;
  std::shared_ptr<const Folder> folder_;
  std::vector<Target> targets_;
  std::vector<std::string> sourcePaths_;
  std::vector<std::uint64_t> sourceSizes_;
  // The folder of each source, numbered in folderIds_: a target's blocks are looked for in the
  // files of its own folder.
  std::vector<std::uint32_t> sourceFolders_;
  std::map<std::string, std::uint32_t> folderIds_;
  std::map<std::string, std::uint32_t> sourceIds_;
  BlockSearch search_;
};

void ReuseOldFilesWork::Run::CheckInterrupted() const {
  std::lock_guard<std::mutex> lock(work_.mutex_);
  if (work_.interrupted_) throw Interrupted();
}

std::uint32_t ReuseOldFilesWork::Run::AddSource(const std::string& path, std::uint64_t size) {
  const auto [entry, added] =
      sourceIds_.emplace(path, static_cast<std::uint32_t>(sourcePaths_.size()));
  if (added) {
    sourcePaths_.push_back(path);
    sourceSizes_.push_back(size);
    sourceFolders_.push_back(FolderId(path));
  }
  return entry->second;
}

std::uint32_t ReuseOldFilesWork::Run::FolderId(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  return folderIds_.emplace(folder, static_cast<std::uint32_t>(folderIds_.size())).first->second;
}

void ReuseOldFilesWork::Run::CollectTargets() {
  const int folder = folder_->descriptor();
  std::vector<std::shared_ptr<const FileManifest>> files = package_->GetRunFiles();
  files.insert(files.end(), package_->GetOtherFiles().begin(), package_->GetOtherFiles().end());
  std::uint64_t indexBytes = 0;
  for (const auto& file : files) {
    // Files without an index are not looked at here: they are small, and the search finds them
    // among the neighbours of the files it rebuilds.
    if (file->GetBlockIndex() == nullptr || file->GetSize() == 0) continue;
    struct stat info;
    Descriptor fd(OpenRegularBeneath(folder, file->GetPath(), &info));
    std::uint32_t same = BlockSearch::Found::kNowhere;
    if (fd.get() >= 0 && info.st_size > 0) {
      same = AddSource(file->GetPath(), static_cast<std::uint64_t>(info.st_size));
    }
    // A partial file of an earlier run is resumed as it is.
    if (ExistsBeneath(folder, PartialFilePath(file->GetPath()))) continue;
    if (fd.get() >= 0 && static_cast<std::uint64_t>(info.st_size) == file->GetSize()) {
      // The same size and time as published (whole seconds, as we set it; a write since gives
      // the time a fraction): taken as complete here, as its own work will prove; otherwise a
      // quick look at its chunks.
      if (file->GetModificationTime() && info.st_mtim.tv_sec == *file->GetModificationTime() &&
          info.st_mtim.tv_nsec == 0) {
        continue;
      }
      if (ChunksMatch(fd.get(), *file)) continue;
    }
    const std::uint64_t index = file->GetBlockIndex()->length;
    if (index > kMostIndexBytes || index > kMostIndexBytesInAll - indexBytes) continue;
    indexBytes += index;
    targets_.push_back(Target{file, same});
  }
}

void ReuseOldFilesWork::Run::AddNeighbours() {
  std::set<std::string> folders;
  for (const Target& target : targets_) {
    const std::string& path = target.file->GetPath();
    const std::size_t slash = path.rfind('/');
    folders.insert(slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
  }
  std::size_t added = 0;
  std::uint64_t budget = kNeighbourBytesFloor;
  for (const Target& target : targets_) budget += 4 * target.file->GetSize();
  for (const std::string& prefix : folders) {
    std::string name;
    int parentFd = -1;
    try {
      parentFd = OpenParentBeneath(folder_->descriptor(), prefix + "x", false, name);
    } catch (const FileException&) {
      continue;
    }
    DIR* listing = ::fdopendir(parentFd);
    if (listing == nullptr) {
      ::close(parentFd);
      continue;
    }
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view entryName(entry->d_name);
      if (entryName == "." || entryName == "..") continue;
      if (entryName.size() >= sizeof(kPartialFileSuffix) - 1 &&
          entryName.substr(entryName.size() - (sizeof(kPartialFileSuffix) - 1)) ==
              kPartialFileSuffix) {
        continue;
      }
      struct stat info;
      if (::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(info.st_mode) || info.st_size == 0) {
        continue;
      }
      // A large file of the user's beside the package is not read through for a small update.
      const auto size = static_cast<std::uint64_t>(info.st_size);
      if (size > budget) continue;
      budget -= size;
      AddSource(prefix + entry->d_name, size);
      if (++added >= kMostNeighbours) break;
    }
    ::closedir(listing);
    if (added >= kMostNeighbours) break;
  }
}

bool ReuseOldFilesWork::Run::FetchIndexRange(std::uint64_t first, std::uint64_t last,
                                             std::string& into) {
  const std::shared_ptr<const NodeListManifest> nodes = transfer_.GetNodeList();
  if (!nodes) return false;
  const std::string name = "." + package_->GetVersionId() + ".blocks";
  for (const auto& node : nodes->GetNodes()) {
    CheckInterrupted();
    OptimizedRequestParams params(nodes, transfer_.GetParamsRef(), nullptr);
    params.SelectedNode = node;
    LimitedStringWriter writer(last - first + 1);
    HttpRequestParams request(params.ToPackageUrl(name), &writer);
    request.rangeStart = first;
    request.rangeEnd = last;
    request.lowSpeedLimit = 1024;
    request.lowSpeedTime = 30;
    std::shared_ptr<HttpRequest> http =
        transfer_.GetBehavior().requestFactory->CreateRequest(request, transfer_.GetSession());
    {
      std::lock_guard<std::mutex> lock(work_.mutex_);
      if (work_.interrupted_) throw Interrupted();
      work_.request_ = http;
    }
    const HttpRequestStatus status = http->Perform();
    {
      std::lock_guard<std::mutex> lock(work_.mutex_);
      work_.request_.reset();
      work_.indexBytes_ += status.bytesWritten;
    }
    if (const auto progress = transfer_.GetProgressUpdater()) {
      progress->AddReceivedBytes(status.bytesWritten);
    }
    if (IsExactRange(status, first, last)) {
      into = std::move(writer.Text());
      return true;
    }
  }
  return false;
}

void ReuseOldFilesWork::Run::FetchIndexes() {
  // The index ranges of the targets, in the block file's order, merged where close.
  std::vector<std::size_t> order(targets_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    return targets_[a].file->GetBlockIndex()->offset < targets_[b].file->GetBlockIndex()->offset;
  });
  for (std::size_t start = 0; start < order.size();) {
    const BlockIndexPlace* first = targets_[order[start]].file->GetBlockIndex();
    std::uint64_t end = first->offset + first->length;
    std::size_t stop = start + 1;
    for (; stop < order.size(); ++stop) {
      const BlockIndexPlace* next = targets_[order[stop]].file->GetBlockIndex();
      if (next->offset > end + kIndexGap) break;
      end = std::max(end, next->offset + next->length);
    }
    std::string bytes;
    if (end > first->offset && FetchIndexRange(first->offset, end - 1, bytes)) {
      for (std::size_t i = start; i < stop; ++i) {
        Target& target = targets_[order[i]];
        const BlockIndexPlace& place = *target.file->GetBlockIndex();
        const std::string_view slice =
            std::string_view(bytes).substr(place.offset - first->offset, place.length);
        // An index that is not the one the document names is not used at all.
        if (Sha256(slice) != place.sha256) continue;
        try {
          target.searchId =
              search_.AddTarget(target.file->GetSize(), place.blockSize,
                                ParseBlockIndex(slice, target.file->GetSize(), place.blockSize),
                                target.sameSource, FolderId(target.file->GetPath()));
          target.indexed = true;
        } catch (const std::invalid_argument&) {
        }
      }
    }
    start = stop;
  }
}

std::size_t ReuseOldFilesWork::Run::ReadSource(std::uint32_t source, void* buffer,
                                               std::size_t length, std::uint64_t offset) {
  // Opened for each read, beneath the destination as ever, so that the passes of the search can
  // read at once; a read is at least a few MiB or the whole of a small file.
  CheckInterrupted();
  struct stat info;
  Descriptor fd(OpenRegularBeneath(folder_->descriptor(), sourcePaths_.at(source), &info));
  if (fd.get() < 0) return 0;
  return ReadFully(fd.get(), buffer, length, offset);
}

void ReuseOldFilesWork::Run::Build(const Target& target) {
  const FileManifest& file = *target.file;
  const std::vector<BlockSearch::Found>& found = search_.GetFound(target.searchId);
  const std::uint32_t blockSize = search_.GetBlockSize(target.searchId);
  const auto blockLength = [&](std::size_t block) {
    return std::min<std::uint64_t>(blockSize, file.GetSize() - block * blockSize);
  };
  if (std::none_of(found.begin(), found.end(), [](const BlockSearch::Found& f) {
        return f.source != BlockSearch::Found::kNowhere;
      })) {
    return;
  }
  SharedFileFactory& factory = *transfer_.GetBehavior().fileFactory;
  std::shared_ptr<SharedFile> partial =
      factory.Create(folder_, file.GetPath(), SharedFileMode::Staged, 0, file.GetSize() - 1);
  // Something of an earlier run is there after all: it is resumed as it is.
  if (partial->GetSize() != 0) return;
  const std::uint64_t seeded = partial->Seed(file.GetSize());
  std::vector<ReusePlan::Range> missing;
  std::vector<unsigned char> buffer;
  std::uint64_t reused = 0;
  for (std::size_t block = 0; block < found.size();) {
    const std::uint64_t at = std::uint64_t{block} * blockSize;
    if (found[block].source == BlockSearch::Found::kNowhere) {
      const std::uint64_t last = at + blockLength(block) - 1;
      if (!missing.empty() && missing.back().second + 1 == at) {
        missing.back().second = last;
      } else {
        missing.emplace_back(at, last);
      }
      ++block;
      continue;
    }
    // A run of blocks that lie one after another in one source is copied at once.
    const BlockSearch::Found start = found[block];
    std::uint64_t length = blockLength(block);
    std::size_t next = block + 1;
    while (next < found.size() && found[next].source == start.source &&
           found[next].offset == start.offset + length) {
      length += blockLength(next);
      ++next;
    }
    const bool inPlace =
        start.source == target.sameSource && start.offset == at && at + length <= seeded;
    bool copied = inPlace;
    if (!inPlace) {
      copied = true;
      for (std::uint64_t done = 0; done < length && copied;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1 << 20));
        buffer.resize(piece);
        if (ReadSource(start.source, buffer.data(), piece, start.offset + done) != piece) {
          copied = false;
          break;
        }
        partial->Seek(at + done);
        for (std::size_t written = 0; written < piece;) {
          written += partial->Write(buffer.data() + written, piece - written);
        }
        done += piece;
      }
    }
    if (copied) {
      reused += length;
    } else if (!missing.empty() && missing.back().second + 1 == at) {
      missing.back().second = at + length - 1;
    } else {
      missing.emplace_back(at, at + length - 1);
    }
    block = next;
  }
  std::vector<ReusePlan::Range> merged;
  for (const ReusePlan::Range& range : missing) {
    if (!merged.empty() && range.first - merged.back().second <= kRangeGap) {
      reused -= range.first - merged.back().second - 1;
      merged.back().second = range.second;
    } else {
      merged.push_back(range);
    }
  }
  work_.plan_->Set(file.GetPath(), std::move(merged));
  std::lock_guard<std::mutex> lock(work_.mutex_);
  work_.reusedBytes_ += reused;
}

void ReuseOldFilesWork::Run::Execute() {
  package_ = transfer_.GetPackage();
  folder_ = transfer_.GetDestination();
  if (!package_ || !folder_) return;
  std::uint64_t total = 0;
  bool anyIndex = false;
  for (const auto* files : {&package_->GetRunFiles(), &package_->GetOtherFiles()}) {
    for (const auto& file : *files) {
      total += file->GetSize();
      anyIndex = anyIndex || file->GetBlockIndex() != nullptr;
    }
  }
  {
    std::lock_guard<std::mutex> lock(work_.mutex_);
    work_.ofBytes_ = total;
  }
  if (!anyIndex) return;
  CollectTargets();
  // Nothing on disk, or nothing changed: a fresh download or a rerun, which fetch no index.
  if (targets_.empty() || sourcePaths_.empty()) return;
  AddNeighbours();
  FetchIndexes();
  search_.Search(
      sourceSizes_,
      [this](std::uint32_t source, void* buffer, std::size_t length, std::uint64_t offset) {
        return ReadSource(source, buffer, length, offset);
      },
      sourceFolders_);
  std::uint64_t changed = 0;
  for (const Target& target : targets_) changed += target.file->GetSize();
  // The partial files are built on several threads: each is a file created and written, which
  // waits on the file system more than on a processor.
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::exception_ptr error;
  const auto build = [&] {
    for (std::size_t i = next++; i < targets_.size(); i = next++) {
      if (!targets_[i].indexed) continue;
      try {
        CheckInterrupted();
        Build(targets_[i]);
      } catch (const FileException&) {
        // The file's own work meets the same trouble and names it.
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
        next = targets_.size();
      }
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t threads = std::min<std::size_t>(kBuildThreads, (targets_.size() + 15) / 16);
  for (std::size_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back(build);
    } catch (const std::system_error&) {
      break;  // the threads there are build the rest
    }
  }
  build();
  for (std::thread& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
  std::lock_guard<std::mutex> lock(work_.mutex_);
  // The files found complete count as reused too: the version on disk gave them.
  work_.reusedBytes_ += total - changed;
  if (const auto progress = transfer_.GetProgressUpdater()) {
    progress->NoteReuse(work_.reusedBytes_, total);
  }
}

ReuseOldFilesWork::ReuseOldFilesWork(std::shared_ptr<TransferWorkInterface> transfer,
                                     std::shared_ptr<ReusePlan> plan)
    : TransferWork(std::move(transfer)), plan_(std::move(plan)) {
  ObserveCompletion(*this);
}

ReuseOldFilesWork::~ReuseOldFilesWork() = default;

void ReuseOldFilesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "ReuseOldFilesWork");
  DescribeParams(tree, false);
  std::lock_guard<std::mutex> lock(mutex_);
  tree.put("reusedBytes", reusedBytes_);
  tree.put("ofBytes", ofBytes_);
  tree.put("indexBytes", indexBytes_);
}

WorkStatus ReuseOldFilesWork::ExecuteTask() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = false;
    reusedBytes_ = 0;
    indexBytes_ = 0;
  }
  try {
    Run run(*this, *transfer_);
    run.Execute();
  } catch (const Interrupted&) {
    return WorkStatus(WorkResult::Stopped);
  } catch (...) {
    // Reuse only saves bytes: whatever stopped it, the files are fetched as without it.
  }
  return WorkStatus(WorkResult::Success);
}

void ReuseOldFilesWork::Interrupt() {
  std::shared_ptr<HttpRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    request = request_;
  }
  if (request) request->Cancel();
}

FetchMissingRangesWork::FetchMissingRangesWork(std::shared_ptr<TransferWorkInterface> transfer,
                                               std::shared_ptr<TransferSharedMapData> chunk)
    : TransferWork(std::move(transfer)), chunk_(std::move(chunk)) {
  ObserveCompletion(*this);
}

FetchMissingRangesWork::~FetchMissingRangesWork() = default;

void FetchMissingRangesWork::Describe(boost::property_tree::ptree& tree) const {
  tree.put("name", "FetchMissingRangesWork");
  DescribeParams(tree, false);
  chunk_->Describe(tree);
  tree.put("missingRanges", chunk_->missingRanges.size());
}

bool FetchMissingRangesWork::Fetch(const ReusePlan::Range& range) {
  const TransferBehavior& behavior = transfer_->GetBehavior();
  OptimizedRequestParams params(transfer_->GetNodeList(), transfer_->GetParamsRef(), chunk_);
  for (std::size_t attempt = 0; attempt < kRangeAttempts; ++attempt) {
    behavior.optimizer->GetNode(params);
    HttpRequestStatus status;
    try {
      chunk_->boundedData->Seek(range.first);
      HttpBoundedFileDataWriter writer(chunk_->boundedData);
      HttpRequestParams request = params.ToRequestParams(&writer);
      request.rangeStart = range.first;
      request.rangeEnd = range.second;
      std::shared_ptr<HttpRequest> http =
          behavior.requestFactory->CreateRequest(request, transfer_->GetSession());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (interrupted_) {
          behavior.optimizer->Release(params);
          return false;
        }
        request_ = http;
      }
      status = http->Perform();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        request_.reset();
      }
    } catch (...) {
      behavior.optimizer->Release(params);
      throw;
    }
    behavior.optimizer->Release(params);
    if (chunk_->progressUpdater) chunk_->progressUpdater->AddReceivedBytes(status.bytesWritten);
    if (IsExactRange(status, range.first, range.second)) return true;
    params.DropSelectedNode();
  }
  return false;
}

WorkStatus FetchMissingRangesWork::ExecuteTask() {
  if (!chunk_->boundedData) {
    return WorkStatus(
        WorkResult::Error,
        std::make_shared<TransferErrorData>(
            TransferError::UnknownError, "FetchMissingRangesWork::ExecuteTask has no shared map"));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = false;
  }
  try {
    for (const ReusePlan::Range& range : chunk_->missingRanges) {
      // What does not arrive is left to the whole chunk's download.
      if (!Fetch(range)) break;
    }
  } catch (const FileException&) {
    return FileFailureStatus(std::current_exception());
  } catch (...) {
    // As a range that did not arrive.
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return WorkStatus(interrupted_ ? WorkResult::Stopped : WorkResult::Success);
}

void FetchMissingRangesWork::Interrupt() {
  std::shared_ptr<HttpRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    request = request_;
  }
  if (request) request->Cancel();
}

}  // namespace halv
