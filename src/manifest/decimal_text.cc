#include "manifest/decimal_text.h"

#include <cstddef>

namespace halv {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Splits `text` into sign and digits; false when anything but white space surrounds them.
bool SplitNumber(const std::string& text, bool* negative, std::size_t* begin, std::size_t* end) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsSpace(text[first])) ++first;
  while (last > first && IsSpace(text[last - 1])) --last;
  *negative = false;
  // A minus sign only: documents never write "+", and what a program reads one way another may
  // read another.
  if (first < last && text[first] == '-') {
    *negative = true;
    ++first;
  }
  if (first == last) return false;
  for (std::size_t i = first; i < last; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  *begin = first;
  *end = last;
  return true;
}

std::optional<std::uint64_t> Magnitude(const std::string& text, std::size_t begin, std::size_t end,
                                       std::uint64_t max) {
  std::uint64_t value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> ParseDecimalUnsigned(const std::string& text, std::uint64_t max) {
  bool negative = false;
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!SplitNumber(text, &negative, &begin, &end) || negative) return std::nullopt;
  return Magnitude(text, begin, end, max);
}

std::optional<std::int64_t> ParseDecimalSigned(const std::string& text, std::int64_t min,
                                               std::int64_t max) {
  bool negative = false;
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!SplitNumber(text, &negative, &begin, &end)) return std::nullopt;
  if (negative) {
    const std::uint64_t limit = min < 0 ? 0 - static_cast<std::uint64_t>(min) : 0;
    const auto magnitude = Magnitude(text, begin, end, limit);
    if (!magnitude) return std::nullopt;
    if (*magnitude == 0) return 0;
    return -static_cast<std::int64_t>(*magnitude - 1) - 1;
  }
  if (max < 0) return std::nullopt;
  const auto magnitude = Magnitude(text, begin, end, static_cast<std::uint64_t>(max));
  if (!magnitude) return std::nullopt;
  return static_cast<std::int64_t>(*magnitude);
}

}  // namespace halv
