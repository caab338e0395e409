#include "locale/simple_locale.h"

#include <algorithm>
#include <ios>
#include <limits>
#include <locale>
#include <sstream>

#include "locale/messages.h"

namespace halv {
namespace {

constexpr char kFirstPlaceholder[] = "{1}";
constexpr char kSecondPlaceholder[] = "{2}";
constexpr std::size_t kPlaceholderLength = 3;

}  // namespace

std::string SimpleLocale::FormatTranslated(const std::string& message,
                                           const std::string& argument) const {
  return Format(message, Translate(argument));
}

std::string SimpleLocale::Format(const std::string& message, const std::string& first,
                                 const std::string& second) const {
  // Both placeholders are found in the translation before anything is inserted, so a "{2}" that
  // the first argument brings along is left as text.
  const std::string text = Translate(message);
  struct Fill {
    std::size_t position;
    const std::string* value;
  };
  Fill fills[] = {{text.find(kFirstPlaceholder), &first}, {text.find(kSecondPlaceholder), &second}};
  if (fills[1].position < fills[0].position) {
    std::swap(fills[0], fills[1]);
  }
  std::string result;
  std::size_t copied = 0;
  for (const Fill& fill : fills) {
    if (fill.position == std::string::npos) {
      continue;
    }
    result.append(text, copied, fill.position - copied);
    result.append(*fill.value);
    copied = fill.position + kPlaceholderLength;
  }
  result.append(text, copied, std::string::npos);
  return result;
}

std::string SimpleLocale::Format(const std::string& message, const std::string& argument) const {
  std::string text = Translate(message);
  const std::size_t position = text.find(kFirstPlaceholder);
  if (position != std::string::npos) {
    text.replace(position, kPlaceholderLength, argument);
  }
  return text;
}

std::string SimpleLocale::FormatNumber(double value, std::int32_t precision) const {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream << std::fixed;
  stream.precision(std::max<std::int32_t>(precision, 0));
  stream << value;
  return stream.str();
}

std::string SimpleLocale::FormatPercent(double value, std::int32_t precision) const {
  return FormatNumber(value * 100, precision) + "%";
}

std::string SimpleLocale::FormatBytes(std::uint64_t bytes) const {
  constexpr std::uint64_t kKilobyte = 1024;
  constexpr std::uint64_t kMegabyte = kKilobyte * 1024;
  constexpr std::uint64_t kGigabyte = kMegabyte * 1024;
  const double value = static_cast<double>(bytes);
  if (bytes < kMegabyte) {
    return FormatNumber(value / kKilobyte, 0) + " KB";
  }
  if (bytes < kGigabyte) {
    return FormatNumber(value / kMegabyte, 2) + " MB";
  }
  return FormatNumber(value / kGigabyte, 2) + " GB";
}

std::string SimpleLocale::FormatTimeRemaining(std::int32_t seconds) const {
  if (seconds < 0) {
    return Translate(messages::kCalculatingTimeRemaining);
  }
  constexpr std::int32_t kMinute = 60;
  constexpr std::int32_t kHour = 3600;
  constexpr std::int32_t kLargest = std::numeric_limits<std::int32_t>::max();
  std::int32_t n = seconds;
  if (n > kMinute) {
    n = n > kLargest - kMinute ? kLargest : n + kMinute;
  }
  return FormatDuration(n / kHour, n % kHour / kMinute, n % kMinute);
}

}  // namespace halv
