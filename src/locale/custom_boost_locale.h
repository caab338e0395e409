#ifndef HALV_LOCALE_CUSTOM_BOOST_LOCALE_H_
#define HALV_LOCALE_CUSTOM_BOOST_LOCALE_H_

#include <string>

#include "locale/boost_locale.h"
#include "locale/message_catalog.h"

namespace halv {

// A BoostLocale whose translations come from a MessageCatalog: Boost.Locale's gettext loader
// reads the catalog files through the catalog's Load instead of the file system.
// Ownership: catalog is not owned and must outlive the locale.
// Thread-safety: any thread (see BoostLocale); SetLanguage reads the environment when given an
// empty name, so it should not race with changes to the environment.
class CustomBoostLocale final : public BoostLocale {
 public:
  CustomBoostLocale(const MessageCatalog& catalog, const std::string& language);

  // Generates the locale for language, or for the user's Linux locale (SystemLocaleName) when
  // language is empty, always with UTF-8 text, and reads its catalog: first the one for
  // language_COUNTRY, then the one for the language alone; none means English.
  void SetLanguage(const std::string& language) override;

 private:
  const MessageCatalog* const catalog_;
};

}  // namespace halv

#endif  // HALV_LOCALE_CUSTOM_BOOST_LOCALE_H_
