#ifndef HALV_LOCALE_EMBEDDED_MESSAGE_CATALOG_H_
#define HALV_LOCALE_EMBEDDED_MESSAGE_CATALOG_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "locale/message_catalog.h"

namespace halv {

// The catalogs compiled into the program, one per language of the language table, served from
// memory under the paths "/<language>/LC_MESSAGES/updater.mo". Several languages share a
// catalog: every Latin American Spanish variant reads the es_AR one, zh_HK and zh_MO the zh_TW
// one. A language that is not in the table has no catalog, and Boost.Locale then tries the
// language without its country (de_AT reads de).
// Thread-safety: immutable after construction; any thread may call.
class EmbeddedMessageCatalog final : public MessageCatalog {
 public:
  static constexpr char kDomain[] = "updater";

  EmbeddedMessageCatalog();

  std::string GetRoot() const override;
  std::string GetDomain() const override;
  // A copy of the embedded catalog the path maps to; empty for a path not in the table.
  std::vector<char> Load(const std::string& path, const std::string& encoding) const override;

 private:
  // Constant after construction.
  std::string domain_;
  std::map<std::string, std::uint16_t> files_;  // catalog path -> catalog id
};

}  // namespace halv

#endif  // HALV_LOCALE_EMBEDDED_MESSAGE_CATALOG_H_
