#include "locale/embedded_message_catalog.h"

#include <utility>

#include "locale/embedded_catalogs.h"

namespace halv {
namespace {

struct LanguageEntry {
  const char* language;
  std::uint16_t id;
};

// Which catalog each language reads.
constexpr LanguageEntry kLanguageTable[] = {
    {"cs", 111},    {"de", 112},    {"el", 113},    {"es_AR", 114}, {"es_BO", 114}, {"es_CL", 114},
    {"es_CO", 114}, {"es_CR", 114}, {"es_DO", 114}, {"es_EC", 114}, {"es_SV", 114}, {"es_GT", 114},
    {"es_HN", 114}, {"es_MX", 114}, {"es_NI", 114}, {"es_PA", 114}, {"es_PY", 114}, {"es_PE", 114},
    {"es_PR", 114}, {"es_UY", 114}, {"es_VE", 114}, {"es", 115},    {"es_ES", 115}, {"fr", 116},
    {"it", 117},    {"ja", 118},    {"ko", 119},    {"nl", 120},    {"pl", 121},    {"pt", 122},
    {"ro", 123},    {"ru", 124},    {"th", 125},    {"tr", 126},    {"zh", 127},    {"zh_CN", 127},
    {"zh_SG", 127}, {"zh_TW", 128}, {"zh_HK", 128}, {"zh_MO", 128},
};

}  // namespace

EmbeddedMessageCatalog::EmbeddedMessageCatalog() : domain_(kDomain) {
  for (const LanguageEntry& entry : kLanguageTable) {
    files_.emplace(GetRoot() + "/" + entry.language + "/LC_MESSAGES/" + domain_ + ".mo", entry.id);
  }
}

std::string EmbeddedMessageCatalog::GetRoot() const { return std::string(); }

std::string EmbeddedMessageCatalog::GetDomain() const { return domain_; }

std::vector<char> EmbeddedMessageCatalog::Load(const std::string& path,
                                               const std::string& /*encoding*/) const {
  const auto file = files_.find(path);
  if (file == files_.end()) {
    return {};
  }
  for (std::size_t i = 0; i < kEmbeddedCatalogCount; ++i) {
    const EmbeddedCatalog& catalog = kEmbeddedCatalogs[i];
    if (catalog.id == file->second) {
      const char* bytes = reinterpret_cast<const char*>(catalog.bytes);
      return std::vector<char>(bytes, bytes + catalog.size);
    }
  }
  return {};
}

}  // namespace halv
