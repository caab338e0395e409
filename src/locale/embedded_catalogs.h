#ifndef HALV_LOCALE_EMBEDDED_CATALOGS_H_
#define HALV_LOCALE_EMBEDDED_CATALOGS_H_

#include <cstddef>
#include <cstdint>

namespace halv {

// One compiled GNU gettext catalog embedded in the program. The table and the bytes are generated
// at build time from src/locale/po/ (cmake/EmbedCatalogs.cmake) and never change.
struct EmbeddedCatalog {
  std::uint16_t id;  // 111 to 128, the catalog's number in the language table
  const char* name;  // the language its header declares, for example "es_AR"
  const unsigned char* bytes;
  std::size_t size;
};

extern const EmbeddedCatalog kEmbeddedCatalogs[];
extern const std::size_t kEmbeddedCatalogCount;

}  // namespace halv

#endif  // HALV_LOCALE_EMBEDDED_CATALOGS_H_
