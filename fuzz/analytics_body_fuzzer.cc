// Raw bytes through the collector's reader of posted analytics bodies, as a client could send
// them. Every input must end in a document whose records keep their invariants or in
// BodyRefused; nothing may crash, however deep or long.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "analytics_body.h"

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
    if (!std::isfinite(record.durationSeconds) || record.bytes > INT64_MAX) __builtin_trap();
  }
  for (const auto& [position, event] : body.events) {
    if (event.metrics.empty() || position >= records) __builtin_trap();
  }
  for (const auto& [position, node] : body.nodes) {
    if (!std::isfinite(node.requestSeconds) || position >= records) __builtin_trap();
  }
  return 0;
}
