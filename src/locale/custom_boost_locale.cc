#include "locale/custom_boost_locale.h"

#include <locale>
#include <vector>

#include <boost/locale/generator.hpp>
#include <boost/locale/gnu_gettext.hpp>
#include <boost/locale/info.hpp>

#include "locale/system_locale.h"

namespace halv {

CustomBoostLocale::CustomBoostLocale(const MessageCatalog& catalog, const std::string& language)
    : BoostLocale(catalog.GetDomain(), catalog.GetRoot(), language), catalog_(&catalog) {
  SetLanguage(language);
}

void CustomBoostLocale::SetLanguage(const std::string& language) {
  const std::string name = WithUtf8Encoding(language.empty() ? SystemLocaleName() : language);
  boost::locale::generator generator;
  // The messages facet is built below from the catalog; the generator's own would look for
  // catalogs on disk.
  generator.categories(boost::locale::all_categories ^ boost::locale::message_facet);
  const std::locale base = generator.generate(name);
  const auto& information = std::use_facet<boost::locale::info>(base);

  boost::locale::gnu_gettext::messages_info messages;
  messages.language = information.language();
  messages.country = information.country();
  messages.variant = information.variant();
  messages.encoding = information.encoding();
  messages.paths.push_back(root());
  // The domain name alone: its message ids are UTF-8.
  messages.domains.push_back(boost::locale::gnu_gettext::messages_info::domain(domain()));
  const MessageCatalog* catalog = catalog_;
  messages.callback = [catalog](const std::string& path, const std::string& encoding) {
    return catalog->Load(path, encoding);
  };
  Install(language,
          std::locale(base, boost::locale::gnu_gettext::create_messages_facet<char>(messages)));
}

}  // namespace halv
