#ifndef HALV_LOCALE_BOOST_LOCALE_H_
#define HALV_LOCALE_BOOST_LOCALE_H_

#include <cstdint>
#include <locale>
#include <memory>
#include <mutex>
#include <string>

#include "locale/simple_locale.h"

namespace halv {

// A SimpleLocale over a Boost.Locale locale with a gettext messages facet. How that locale is
// made for a language is left to the derived class (SetLanguage).
// Thread-safety: any thread; a language switch replaces the locale under a mutex, and every
// text is made from the one locale taken under that mutex, so a switch never tears a text in two
// languages. A replaced locale lives until the last text made from it is done.
class BoostLocale : public SimpleLocale {
 public:
  std::string GetLanguage() const override;
  std::string Translate(const std::string& message) const override;
  std::string FormatDuration(std::int32_t hours, std::int32_t minutes,
                             std::int32_t seconds) const override;

 protected:
  // The locale starts as the process's default one, without translations.
  BoostLocale(std::string domain, std::string root, std::string language);

  const std::string& domain() const { return domain_; }
  const std::string& root() const { return root_; }
  // Makes language and locale the current ones.
  void Install(std::string language, std::locale locale);

 private:
  std::shared_ptr<const std::locale> CurrentLocale() const;
  // The translation of message, filled with the numbers by Boost.Locale's message formatting in
  // locale.
  std::string FormatNumbers(const std::locale& locale, const char* message, std::int32_t first,
                            std::int32_t second) const;

  // Constant after construction.
  const std::string domain_;
  const std::string root_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::string language_;
  // Shared rather than copied: the reference count of std::locale lives in the uninstrumented
  // standard library, where ThreadSanitizer cannot see that a reader is done with it.
  std::shared_ptr<const std::locale> locale_;
};

}  // namespace halv

#endif  // HALV_LOCALE_BOOST_LOCALE_H_
