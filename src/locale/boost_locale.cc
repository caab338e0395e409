#include "locale/boost_locale.h"

#include <algorithm>
#include <utility>

#include <boost/locale/format.hpp>
#include <boost/locale/message.hpp>
#include <boost/locale/time_zone.hpp>

#include "locale/messages.h"

namespace halv {

BoostLocale::BoostLocale(std::string domain, std::string root, std::string language)
    : domain_(std::move(domain)),
      root_(std::move(root)),
      language_(std::move(language)),
      locale_(std::make_shared<const std::locale>()) {
  // Boost.Locale makes the global time zone's mutex on first use; make it here, on the thread
  // that builds the locale, so that threads formatting texts later only ever use it.
  boost::locale::time_zone::global();
}

std::string BoostLocale::GetLanguage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return language_;
}

void BoostLocale::Install(std::string language, std::locale locale) {
  auto installed = std::make_shared<const std::locale>(std::move(locale));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    language_.swap(language);
    locale_.swap(installed);
  }
  // The replaced locale is released here, outside the lock, or by the last text made from it.
}

std::shared_ptr<const std::locale> BoostLocale::CurrentLocale() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return locale_;
}

std::string BoostLocale::Translate(const std::string& message) const {
  // Without a messages facet (no language set yet) Boost.Locale returns the message itself.
  return boost::locale::translate(message).str(*CurrentLocale());
}

std::string BoostLocale::FormatNumbers(const std::locale& locale, const char* message,
                                       std::int32_t first, std::int32_t second) const {
  boost::locale::format format(boost::locale::translate(message).str(locale));
  format % first % second;
  return format.str(locale);
}

std::string BoostLocale::FormatDuration(std::int32_t hours, std::int32_t minutes,
                                        std::int32_t seconds) const {
  hours = std::max<std::int32_t>(hours, 0);
  minutes = std::max<std::int32_t>(minutes, 0);
  seconds = std::max<std::int32_t>(seconds, 0);
  const std::shared_ptr<const std::locale> current = CurrentLocale();
  const std::locale& locale = *current;
  if (hours >= 2) {
    if (minutes >= 2) {
      return FormatNumbers(locale, messages::kHoursMinutesRemaining, hours, minutes);
    }
    if (minutes == 1) {
      return FormatNumbers(locale, messages::kHoursOneMinuteRemaining, hours, 0);
    }
    return FormatNumbers(locale, messages::kHoursRemaining, hours, 0);
  }
  if (hours == 1) {
    if (minutes >= 2) {
      return FormatNumbers(locale, messages::kOneHourMinutesRemaining, minutes, 0);
    }
    if (minutes == 1) {
      return FormatNumbers(locale, messages::kOneHourOneMinuteRemaining, 0, 0);
    }
    return FormatNumbers(locale, messages::kOneHourRemaining, 0, 0);
  }
  if (minutes >= 2) {
    return FormatNumbers(locale, messages::kMinutesRemaining, minutes, 0);
  }
  if (minutes == 1) {
    return FormatNumbers(locale, messages::kOneMinuteRemaining, 0, 0);
  }
  if (seconds == 1) {
    return FormatNumbers(locale, messages::kOneSecondRemaining, 0, 0);
  }
  return FormatNumbers(locale, messages::kSecondsRemaining, seconds, 0);
}

}  // namespace halv
