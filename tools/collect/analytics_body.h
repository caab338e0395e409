#ifndef HALV_TOOLS_COLLECT_ANALYTICS_BODY_H_
#define HALV_TOOLS_COLLECT_ANALYTICS_BODY_H_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// The analytics documents the updater posts, read back into records. The updater writes every
// value as a JSON string and every non-ASCII byte as its own \u00XX escape; both are undone
// here. Plain functions and values: any thread.
namespace halv::collect {

// The largest body the collector reads; anything longer is refused unread.
constexpr std::size_t kMaxBodyBytes = std::size_t{1} << 20;

// The largest number of seconds a record may carry (about 31 years); larger ones are refused, so
// sums of them stay finite. Whole numbers are refused above INT64_MAX; their sums in a report
// saturate there.
constexpr double kMaxSeconds = 1e9;

// Why a body was refused; the reason names are stored in the database.
enum class Refusal {
  NotJson,       // not a JSON document (or not UTF-8, or nested deeper than any known shape)
  UnknownShape,  // JSON, but none of the known documents
  TooLarge,      // longer than kMaxBodyBytes
  BadRequest,    // not HTTP the collector can answer: wrong method, path or malformed request
};

// "not-json", "unknown-shape", "too-large", "bad-request".
const char* RefusalName(Refusal refusal);

class BodyRefused : public std::runtime_error {
 public:
  BodyRefused(Refusal refusal, const std::string& message)
      : std::runtime_error(message), refusal_(refusal) {}
  Refusal refusal() const { return refusal_; }

 private:
  Refusal refusal_;
};

// The ids every document carries.
struct PackageKey {
  std::string partnerId;  // "pid"
  std::string packageId;  // "pkgid"
  std::string versionId;  // "vid"
};

// One report of a transfer: bytes and active time since its previous report.
struct TransferRecord {
  PackageKey key;
  std::string transferId;  // "tid"
  std::string status;      // "active", "suspended", "completed" or "canceled"
  std::uint64_t bytes = 0;
  double durationSeconds = 0;
};

// A counter object ("numStarts" = "1") or an error object (a counter plus the error text).
struct EventRecord {
  PackageKey key;
  std::vector<std::pair<std::string, std::uint64_t>> metrics;  // in document order
  bool hasError = false;
  std::string error;
};

// What one node delivered to one transfer since the previous report.
struct NodeRecord {
  PackageKey key;
  std::string cdn;  // the node's host
  std::uint64_t bytes = 0;
  double requestSeconds = 0;
};

enum class BodyShape { Transfer, Event, Array };

// "transfer", "event", "array".
const char* ShapeName(BodyShape shape);

// A whole accepted document. `position` of an array element is its index in the array.
struct AnalyticsBody {
  BodyShape shape = BodyShape::Event;
  std::vector<TransferRecord> transfers;
  std::vector<std::pair<std::size_t, EventRecord>> events;
  std::vector<std::pair<std::size_t, NodeRecord>> nodes;
};

// Reads one posted body. Known documents: a transfer record (exactly "pid", "pkgid", "vid",
// "tid", "status", "transferBytes", "duration"); an event object (exactly "pid", "pkgid", "vid",
// "metrics", "dimensions"), which is a node object when its metrics are exactly "bytes" and
// "requestTime" and its dimensions exactly "cdn", and a counter or error object otherwise (at
// least one metric, each a whole number; dimensions empty or exactly "error"); and an array of
// event objects, possibly empty. Members may come in any order but not twice. Whole numbers are
// 0 to INT64_MAX, seconds 0 to kMaxSeconds; no text may hold a NUL. Throws BodyRefused (NotJson
// or UnknownShape) for anything else.
AnalyticsBody ParseAnalyticsBody(const std::string& text);

// The updater escapes text byte by byte, so a JSON reader turns "é" (\u00C3\u00A9) into two
// characters. When every character of `text` is below U+0100 and those characters, taken as
// bytes, are valid UTF-8, answers those bytes; otherwise answers `text` unchanged.
std::string FoldByteEscapes(const std::string& text);

// Decodes one UTF-8 character at text[pos], advancing pos. Returns false (pos unchanged) for
// anything that is not the shortest encoding of a scalar value.
bool NextUtf8(const std::string& text, std::size_t& pos, std::uint32_t& code);

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_ANALYTICS_BODY_H_
