// Raw bytes through the collector's reader of posted analytics bodies, as a client could send
// them. Every input must end in a document whose records keep their invariants or in
// BodyRefused; nothing may crash, however deep or long. Every text read is also printed as the
// report prints it, which must leave no control character and no NUL in the output.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics_body.h"
#include "report_format.h"

namespace {

void CheckText(const std::string& text) {
  if (text.find('\0') != std::string::npos) __builtin_trap();
  for (const std::string& shown : {halv::collect::Printable(text), halv::collect::JsonString(text)}) {
    for (const char c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
  }
}

void CheckKey(const halv::collect::PackageKey& key) {
  CheckText(key.partnerId);
  CheckText(key.packageId);
  CheckText(key.versionId);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  halv::collect::AnalyticsBody body;
  try {
    body = halv::collect::ParseAnalyticsBody(text);
  } catch (const halv::collect::BodyRefused&) {
    return 0;
  }
  const std::size_t records = body.transfers.size() + body.events.size() + body.nodes.size();
  if (body.shape == halv::collect::BodyShape::Transfer && records != 1) __builtin_trap();
  if (body.shape == halv::collect::BodyShape::Event && records != 1) __builtin_trap();
  for (const auto& record : body.transfers) {
    if (!std::isfinite(record.durationSeconds) || record.durationSeconds > halv::collect::kMaxSeconds ||
        record.bytes > INT64_MAX) {
      __builtin_trap();
    }
    CheckKey(record.key);
    CheckText(record.transferId);
  }
  for (const auto& [position, event] : body.events) {
    if (event.metrics.empty() || position >= records) __builtin_trap();
    CheckKey(event.key);
    CheckText(event.error);
    for (const auto& [counter, count] : event.metrics) CheckText(counter);
  }
  for (const auto& [position, node] : body.nodes) {
    if (!std::isfinite(node.requestSeconds) || position >= records) __builtin_trap();
    CheckKey(node.key);
    CheckText(node.cdn);
  }
  return 0;
}
