#ifndef HALV_LOCALE_SIMPLE_LOCALE_H_
#define HALV_LOCALE_SIMPLE_LOCALE_H_

#include <cstdint>
#include <string>

namespace halv {

// Translates the program's English messages into the current language and fills their
// placeholders "{1}" and "{2}"; writes numbers, percentages, byte sizes and the time-remaining
// line. All strings are UTF-8.
// Thread-safety: every method may be called from any thread; implementations say whether
// SetLanguage may overlap the others.
class SimpleLocale {
 public:
  virtual ~SimpleLocale() = default;

  // The language name last set, as given (empty for the user's system language).
  virtual std::string GetLanguage() const = 0;
  // Switches to the language; an empty name means the user's system language.
  virtual void SetLanguage(const std::string& language) = 0;
  // The translation of message in the current language, or message itself when there is none.
  virtual std::string Translate(const std::string& message) const = 0;

  // Format with the argument translated first.
  virtual std::string FormatTranslated(const std::string& message,
                                       const std::string& argument) const;
  // The translation of message with its first "{1}" replaced by first and its first "{2}" by
  // second. The arguments are inserted as they are: a placeholder inside an argument stays text.
  // A placeholder the translation lacks is simply not filled.
  virtual std::string Format(const std::string& message, const std::string& first,
                             const std::string& second) const;
  // The translation of message with its first "{1}" replaced by argument.
  virtual std::string Format(const std::string& message, const std::string& argument) const;
  // value in fixed notation with precision digits after a point, without grouping, whatever the
  // process's global locale is (1.5 with precision 2 is "1.50"). A negative precision counts as 0.
  virtual std::string FormatNumber(double value, std::int32_t precision) const;
  // FormatNumber of value x 100, followed by "%".
  virtual std::string FormatPercent(double value, std::int32_t precision) const;
  // Kilobytes without decimals below 1 MiB ("1024 KB"), else megabytes below 1 GiB, else
  // gigabytes, both with two decimals ("1.00 MB").
  virtual std::string FormatBytes(std::uint64_t bytes) const;
  // The time-remaining line for a whole number of seconds. Any negative number means no estimate
  // yet ("Calculating time remaining"). Above one minute, 60 seconds are added (saturating at
  // the largest value) so that the line never promises less than is left and seconds are
  // dropped: 61 to 119 read as 2 minutes.
  virtual std::string FormatTimeRemaining(std::int32_t seconds) const;
  // One of the ten time-remaining messages, chosen by hours and minutes (seconds only when both
  // are 0), translated and filled with the numbers. Negative parts count as 0.
  virtual std::string FormatDuration(std::int32_t hours, std::int32_t minutes,
                                     std::int32_t seconds) const = 0;
};

}  // namespace halv

#endif  // HALV_LOCALE_SIMPLE_LOCALE_H_
