#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>

#include "file/crc32.h"
#include "publish_internal.h"
#include "reuse/block_index.h"

// Placing the input files in the output tree and reading their chunks' checksums.
namespace halv::publish::detail {
namespace {

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

}  // namespace

// A fresh name for a temporary entry beside `name` in `folder`: hidden, marked, and random so
// that nobody can plant something at it in advance.
fs::path TemporaryName(const fs::path& folder, const std::string& name) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  return folder / ("." + name + kTemporaryMark + suffix);
}

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

void ChecksumReader::Read(const fs::path& path, const fs::path& named, PublishedFile& file) {
  const std::uint64_t size = file.size;
  std::vector<std::uint32_t>& checksums = file.checksums;
  std::vector<Sha256Digest>& sha256s = file.sha256s;
  checksums.clear();
  sha256s.clear();
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) FailErrno("cannot read", path);
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // Files big enough to be worth it get a block index, taken in the same pass.
  std::optional<BlockIndexBuilder> blocks;
  file.blockIndex.clear();
  file.blockSize = 0;
  if (size >= kMinIndexedFileSize && file.hardLinkOf.empty()) {
    file.blockSize = ChooseBlockSize(size);
    blocks.emplace(file.blockSize);
  }
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
    if (blocks) {
      blocks->Update(reinterpret_cast<const unsigned char*>(buffer_.data()),
                     static_cast<std::size_t>(got));
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
  if (blocks) file.blockIndex = blocks->Finish();
}

}  // namespace halv::publish::detail
