#ifndef HALV_TRANSFER_TRANSFER_SHARED_DATA_H_
#define HALV_TRANSFER_TRANSFER_SHARED_DATA_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "file/bounded_file_data.h"
#include "http/http_request.h"
#include "transfer/transfer_progress_updater.h"
#include "work/work_descriptor.h"

namespace halv {

class SharedFile;

// The shared state of one destination file: its open file, its path relative to the destination
// folder and its size from the package manifest.
// Ownership: shared pointers, by the file's works and every chunk of the file.
// Thread-safety: filePath and fileSize are constant after construction; sharedFile,
// allocatedEmpty and completeInPlace are set and cleared by the file's open and close works,
// which never run at the same time as its chunks.
struct TransferSharedFileData : public WorkDescriptor {
  TransferSharedFileData(std::string filePath, std::uint64_t fileSize)
      : filePath(std::move(filePath)), fileSize(fileSize) {}

  // "filePath" and "fileSize".
  void Describe(boost::property_tree::ptree& tree) const override;

  std::shared_ptr<SharedFile> sharedFile;  // empty until opened, and again after closing
  // True when the open work of this run found the file empty and allocated it: no byte of it
  // comes from an earlier run, so its chunks need not read back and check what is on disk before
  // their first download. A file found at its full size is never taken as empty, not even one
  // that an earlier run allocated and left at once.
  bool allocatedEmpty = false;
  // True when the open work found the file already complete at its final name and opened it
  // there read-only: its chunks are all verified, there is nothing to write, copy or rename.
  bool completeInPlace = false;
  // Set by the close work once the file was renamed over its final name; createdFinal when
  // nothing was there before, so that a cancel with deletion may remove it.
  bool committed = false;
  bool createdFinal = false;
  // Bytes downloaded into the file since its last flush: its chunks flush it every so often, so
  // that the flush before the rename finds little left to wait for. Any chunk's thread.
  std::atomic<std::uint64_t> unflushedBytes{0};
  const std::string filePath;
  const std::uint64_t fileSize;
};

// What the two copies of one chunk share while a second request races the first (see
// docs/hacking.md, "Racing the end"). The first copy writes into the chunk's window as it
// receives, each write under `mutex`; the racing copy receives into a buffer of its own and
// commits it under `mutex` only once it verified. Whichever copy verifies first sets `verified`
// under `mutex`; from then on no byte of either copy enters the window, and the other copy's
// request is cancelled.
// Ownership: a member of TransferSharedMapData. Thread-safety: the fields under `mutex`, from
// any thread; `start` is set before the chunk's pipeline runs and never changed after.
struct ChunkRace {
  std::mutex mutex;
  // Guarded by mutex.
  bool verified = false;  // a copy verified: the window holds the chunk's right bytes
  bool racerWon = false;  // the racing copy's bytes are those in the window
  bool raced = false;     // a racing copy was started (at most one a chunk)
  std::string firstHost;  // the node of the first copy's request in flight; empty between them
  std::string racerHost;  // the node of the racing copy, once chosen
  std::shared_ptr<HttpRequest> first;  // the first copy's request in flight
  std::shared_ptr<HttpRequest> racer;  // the racing copy's request in flight
  // Starts a racing copy of the chunk when the chunk's file has no chunk left to start; false
  // when it did not start one. Set by the file's chunk work; called by the optimizer's watch.
  std::function<bool()> start;
};

// The shared state of one chunk: where it lies in its file, what its checksum must be, its
// mapped window, how many of its bytes count as transferred, and which nodes served bad bodies.
// Ownership: shared pointers, by every work of the chunk's pipeline, its HTTP writer and its
// checksum status data.
// Thread-safety: the bounds, the checksum and the file data are constant after construction;
// `race` is shared with a racing copy, as it says; fileProgressBytes changes under race.mutex
// while a request runs; the other fields are touched only by the chunk's works, which run one at
// a time.
struct TransferSharedMapData : public WorkDescriptor {
  TransferSharedMapData(std::shared_ptr<TransferSharedFileData> fileData, std::uint64_t lowerBound,
                        std::uint64_t upperBound, std::uint32_t expectedChecksum,
                        std::shared_ptr<TransferProgressUpdater> progressUpdater,
                        std::optional<std::array<std::uint8_t, 32>> expectedSha256 = std::nullopt)
      : fileData(std::move(fileData)),
        lowerBound(lowerBound),
        upperBound(upperBound),
        expectedChecksum(expectedChecksum),
        expectedSha256(expectedSha256),
        progressUpdater(std::move(progressUpdater)) {}

  // The file's "filePath" and "fileSize", then "lowerBound", "upperBound", "expectedChecksum"
  // (lowercase hexadecimal, no prefix, no leading zeros) and "fileProgressBytes".
  void Describe(boost::property_tree::ptree& tree) const override;

  // Before a new attempt: forgets the digests of an earlier body, rewinds the window to the
  // chunk's first byte and takes back from the progress the bytes an earlier attempt counted.
  void Prepare();
  // After the chunk was verified: counts exactly the chunk's length as transferred (adding what
  // is missing or taking back an excess), and as completed the first time only, so that a
  // pipeline run again over this chunk cannot count it twice.
  void Settle();
  // When the pipeline is reset: drops the window and the received digests, and takes back from
  // the progress every byte counted as transferred for the chunk (the next run counts them again
  // as it verifies or downloads them).
  void Discard();

  // upperBound − lowerBound + 1.
  std::uint64_t GetLength() const { return upperBound - lowerBound + 1; }

  const std::shared_ptr<TransferSharedFileData> fileData;
  const std::uint64_t lowerBound;
  const std::uint64_t upperBound;  // inclusive
  const std::uint32_t expectedChecksum;
  // The chunk's SHA-256 from a verified signed document; when set it, not the CRC-32, decides
  // whether the chunk is right, since a CRC-32 is easily forged.
  const std::optional<std::array<std::uint8_t, 32>> expectedSha256;
  // The chunk's window; empty outside the pipeline.
  std::shared_ptr<MemoryMappedFileData> boundedData;
  const std::shared_ptr<TransferProgressUpdater> progressUpdater;
  // Bytes of this chunk counted as transferred. Atomic: the work log describes the chunk on its
  // own thread while the chunk's next work may already be writing.
  std::atomic<std::uint64_t> fileProgressBytes{0};
  bool completedCounted = false;  // the chunk's length was counted as completed
  // Bit k mod 32 is set once the node at index k of the node list served a body that failed
  // verification; badNodeCount counts the distinct bits.
  std::uint32_t badNodeMask = 0;
  std::uint32_t badNodeCount = 0;
  std::uint32_t nodeIndex = 0;    // index in the node list of the node of the last request
  HttpRequestStatus lastStatus;   // NotStarted before the first request
  std::uint64_t endPosition = 0;  // position of the window after the last request
  // The check of the bytes on disk before any download ran (or was skipped, the file being
  // allocated empty) once; a pipeline run again over this chunk always checks them.
  bool existingChecked = false;
  // The digests of the body the last request wrote into the window, taken as it arrived: set
  // only when that request wrote exactly the chunk's range, from its first byte on, and cleared
  // by Prepare and Discard. The check after a download compares these instead of reading back
  // bytes that were just written.
  struct ReceivedDigests {
    std::uint32_t crc32 = 0;
    std::optional<std::array<std::uint8_t, 32>> sha256;  // when the chunk has expectedSha256
  };
  std::optional<ReceivedDigests> received;
  // When the chunk's partial file was built from the blocks of files already on disk: the byte
  // ranges (first and last, inclusive, absolute) that were found nowhere, fetched alone before
  // the chunk is checked. Empty otherwise. Set before the pipeline runs, never changed after.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> missingRanges;
  ChunkRace race;
};

}  // namespace halv

#endif  // HALV_TRANSFER_TRANSFER_SHARED_DATA_H_
