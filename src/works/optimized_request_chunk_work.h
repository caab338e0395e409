#ifndef HALV_WORKS_OPTIMIZED_REQUEST_CHUNK_WORK_H_
#define HALV_WORKS_OPTIMIZED_REQUEST_CHUNK_WORK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/property_tree/ptree_fwd.hpp>

#include "file/bounded_file_data.h"
#include "http/http_request.h"
#include "optimizer/optimized_request_params.h"
#include "transfer/transfer_shared_data.h"
#include "transfer/transfer_work.h"
#include "work/limited_retry_simple_work.h"
#include "work/simple_work.h"

namespace halv {

class Sha256Hasher;

// Writes a response body into a window of a destination file with the window's plain Write
// (a positioned write, several times cheaper than copying into the mapping).
// Ownership: lives on the stack of one request attempt. Thread-safety: the thread running the
// request only.
class HttpBoundedFileDataWriter : public HttpWriteCallback {
 public:
  explicit HttpBoundedFileDataWriter(std::shared_ptr<BoundedFileData> data)
      : data_(std::move(data)) {}

  // Success when every byte was written; WriteFailed when fewer were; Incomplete (0 bytes) when
  // the body runs past the window (the server ignored the range or sent more), OutOfMemory
  // (0 bytes) on an allocation failure, WriteFailed (0 bytes) on any other failure.
  HttpRequestStatus Write(const char* data, std::size_t length) override;

 private:
  const std::shared_ptr<BoundedFileData> data_;
};

// The body writer of a chunk request: also counts the written bytes as the chunk's progress
// (transferred, then received), and takes the chunk's digests of what it wrote while the bytes
// are still in the processor's cache, so that the check after the download need not read the
// window back.
// Ownership and threads as HttpBoundedFileDataWriter.
class TransferHttpWriter : public HttpBoundedFileDataWriter {
 public:
  explicit TransferHttpWriter(std::shared_ptr<TransferSharedMapData> chunk);
  ~TransferHttpWriter() override;

  HttpRequestStatus Write(const char* data, std::size_t length) override;

  // The digests of every byte written so far, in the order written; the SHA-256 only when the
  // chunk expects one. Once only: it finishes the hash.
  TransferSharedMapData::ReceivedDigests TakeDigests();

 private:
  const std::shared_ptr<TransferSharedMapData> chunk_;
  std::uint32_t crc32_ = 0;
  std::unique_ptr<Sha256Hasher> sha256_;  // empty when the chunk has no expected SHA-256
};

// Turns a Success that is not exactly `chunk`'s range (a 206 whose Content-Range names it, or a
// 200 for a chunk that is the whole file, with every byte of it) into Incomplete.
void CheckChunkRange(const TransferSharedMapData& chunk, HttpRequestStatus& status);

// Downloads one chunk once per attempt: the optimizer picks a node and the time-outs, one ranged
// GET writes the body into the chunk's window, and the outcome feeds the node's statistics and
// the optimizer. Failed attempts are tried again on other nodes within the retry limit; probes
// and time-outs the optimizer can still answer with longer time-outs are retried for free, and so
// are requests the optimizer's watch gave up because their node fell far behind the others
// (reported as TimedOut with "given up" in the details).
// An answer is accepted only when it is exactly the asked range (a 206 whose Content-Range names
// it, or a 200 for a chunk that is the whole file) with every byte of it: anything else ends as
// Incomplete before any statistics count it as a good sample.
// While the chunk's file has no chunk left to start, the optimizer's watch may start a racing
// copy (RaceChunkWork) of the request; when that copy verified first, the attempt ends at once
// (or, when it already ran, its writes are refused and its request cancelled) and succeeds with
// "lost the race" in its details, its node's statistics counting what it sent.
// Ownership: held by shared pointers, the first child of its chunk's retrying transfer.
// Thread-safety: ExecuteTask on one worker thread at a time; Interrupt from any thread.
class OptimizedRequestChunkWork : public TransferWork, public LimitedRetrySimpleWork {
 public:
  OptimizedRequestChunkWork(std::uint32_t retryLimit,
                            std::shared_ptr<TransferWorkInterface> transfer,
                            std::shared_ptr<TransferSharedMapData> chunk);
  ~OptimizedRequestChunkWork() override;

  // "name", the params (unlocked), then the chunk data; after an attempt that lost a race, also
  // "race" = "lost".
  void Describe(boost::property_tree::ptree& tree) const override;
  // After an attempt that lost a race: logged at the default level, beside the racing copy's
  // line that says it won.
  bool IsImportant() const override;
  // True for a free retry without counting one; otherwise the retry limit's rule.
  bool ShouldRetry() override;
  WorkStatus ExecuteTask() override;
  // Cancels the running request, if any; its Perform then returns Cancelled soon.
  void Interrupt() override;

  // For tests and the optimizer's view of this chunk's attempts.
  const OptimizedRequestParams& GetRequestParams() const { return params_; }

 private:
  // Success, Stopped, Retryable or Error for a request's result.
  static WorkResult ToWorkResult(HttpRequestResult result);
  // Whether a racing copy's bytes are the chunk's.
  bool RacerWon() const;
  // The end of an attempt whose chunk a racing copy verified first. Takes the race mutex.
  WorkStatus LostRace(HttpRequestStatus status, std::uint32_t requestTimeMs);
  // Drops the attempt's request, here and where a racing copy would find it.
  void ForgetRequest();

  const std::shared_ptr<TransferSharedMapData> chunk_;
  // Used by the thread running the task only.
  OptimizedRequestParams params_;
  mutable std::mutex mutex_;
  // Guarded by mutex_; empty between attempts.
  std::shared_ptr<HttpRequest> request_;
  // Guarded by mutex_: the last attempt ended because a racing copy verified first.
  bool lostRace_ = false;
};

// The racing copy of a chunk whose first request runs on `firstHost`: asks the optimizer for an
// idle node (GetRaceNode), receives the whole chunk into a buffer of its own, verifies it and,
// when no copy verified before, commits it into the file under the chunk's race lock and cancels
// the first request. It never fails its chunk: lost, wrong, failed or without a node, it ends
// with Success, its status data saying what it got and its work log line ("race") how it ended;
// its node's statistics and the optimizer count what the node sent either way. Its bytes count
// as received only when it won, and then only those the first request had not received.
// Ownership: held by shared pointers, a child of its file's LazyTransferMultipleChunksWork, which
// starts it beside the chunk's pipeline. Thread-safety: ExecuteTask on one worker thread;
// Interrupt and Describe from any thread.
class RaceChunkWork : public TransferWork, public SimpleWork {
 public:
  RaceChunkWork(std::shared_ptr<TransferWorkInterface> transfer,
                std::shared_ptr<TransferSharedMapData> chunk, std::string firstHost);
  ~RaceChunkWork() override;

  // "name", the params (unlocked), the chunk data, "raceOf" (the first request's node), "race"
  // ("won", "lost", "wrong bytes", "failed", "no idle node", or empty before the end) and
  // "important" = true.
  void Describe(boost::property_tree::ptree& tree) const override;
  // A racing copy is rare and says which copy the file holds: logged at the default level.
  bool IsImportant() const override { return true; }
  WorkStatus ExecuteTask() override;
  // Cancels the running request, if any.
  void Interrupt() override;

 private:
  // Whether `buffer` holds the chunk's right bytes.
  bool Verify(const std::vector<unsigned char>& buffer) const;
  // Writes `buffer` into the file unless a copy verified before; true when it did.
  bool Commit(const std::vector<unsigned char>& buffer);
  void SetOutcome(const char* outcome);

  const std::shared_ptr<TransferSharedMapData> chunk_;
  const std::string firstHost_;
  // Used by the thread running the task only.
  OptimizedRequestParams params_;
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<HttpRequest> request_;
  std::string outcome_;
};

}  // namespace halv

#endif  // HALV_WORKS_OPTIMIZED_REQUEST_CHUNK_WORK_H_
