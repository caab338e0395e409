#include "locale/embedded_message_catalog.h"

#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "locale/messages.h"
#include "mo_file.h"

namespace halv {
namespace {

std::string CatalogPath(const std::string& language) {
  return "/" + language + "/LC_MESSAGES/updater.mo";
}

MoFile LoadCatalog(const std::string& language) {
  const std::vector<char> bytes = EmbeddedMessageCatalog().Load(CatalogPath(language), "UTF-8");
  EXPECT_FALSE(bytes.empty()) << language;
  return ReadMoFile(bytes);
}

// The "Language:" value of a catalog's header entry.
std::string HeaderLanguage(const MoFile& file) {
  const std::string header = "\n" + file.entries.at("");
  const std::string field = "\nLanguage: ";
  const std::size_t start = header.find(field);
  if (start == std::string::npos) {
    return "";
  }
  const std::size_t value = start + field.size();
  return header.substr(value, header.find('\n', value) - value);
}

// Each placeholder of text ("{1}", "{2}", ...), once per occurrence.
std::multiset<std::string> Placeholders(const std::string& text) {
  std::multiset<std::string> found;
  for (std::size_t open = text.find('{'); open != std::string::npos;
       open = text.find('{', open + 1)) {
    std::size_t close = open + 1;
    while (close < text.size() && text[close] >= '0' && text[close] <= '9') {
      ++close;
    }
    if (close > open + 1 && close < text.size() && text[close] == '}') {
      found.insert(text.substr(open, close + 1 - open));
    }
  }
  return found;
}

TEST(EmbeddedMessageCatalogTest, RootAndDomain) {
  EmbeddedMessageCatalog catalog;
  EXPECT_EQ(catalog.GetRoot(), "");
  EXPECT_EQ(catalog.GetDomain(), "updater");
}

// Every language of the table, with the language its catalog declares.
TEST(EmbeddedMessageCatalogTest, LanguageTableMapsEachLanguageToItsCatalog) {
  const struct {
    const char* language;
    const char* catalog;
  } kCases[] = {
      {"cs", "cs"},       {"de", "de"},       {"el", "el"},       {"es_AR", "es_AR"},
      {"es_BO", "es_AR"}, {"es_CL", "es_AR"}, {"es_CO", "es_AR"}, {"es_CR", "es_AR"},
      {"es_DO", "es_AR"}, {"es_EC", "es_AR"}, {"es_SV", "es_AR"}, {"es_GT", "es_AR"},
      {"es_HN", "es_AR"}, {"es_MX", "es_AR"}, {"es_NI", "es_AR"}, {"es_PA", "es_AR"},
      {"es_PY", "es_AR"}, {"es_PE", "es_AR"}, {"es_PR", "es_AR"}, {"es_UY", "es_AR"},
      {"es_VE", "es_AR"}, {"es", "es_ES"},    {"es_ES", "es_ES"}, {"fr", "fr"},
      {"it", "it"},       {"ja", "ja"},       {"ko", "ko"},       {"nl", "nl"},
      {"pl", "pl"},       {"pt", "pt"},       {"ro", "ro"},       {"ru", "ru"},
      {"th", "th"},       {"tr", "tr"},       {"zh", "zh_CN"},    {"zh_CN", "zh_CN"},
      {"zh_SG", "zh_CN"}, {"zh_TW", "zh_TW"}, {"zh_HK", "zh_TW"}, {"zh_MO", "zh_TW"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(HeaderLanguage(LoadCatalog(c.language)), c.catalog) << c.language;
  }
}

TEST(EmbeddedMessageCatalogTest, PathsOutsideTheTableHaveNoCatalog) {
  EmbeddedMessageCatalog catalog;
  for (const char* path : {"/en/LC_MESSAGES/updater.mo", "/de_DE/LC_MESSAGES/updater.mo",
                           "/es_GB/LC_MESSAGES/updater.mo", "/de/LC_MESSAGES/other.mo",
                           "de/LC_MESSAGES/updater.mo", "/de/LC_MESSAGES/updater.mo/", ""}) {
    EXPECT_TRUE(catalog.Load(path, "UTF-8").empty()) << path;
  }
}

// The eighteen catalogs: each a little-endian revision 0 MO file whose header declares UTF-8,
// its language and no plural forms, holding exactly the program's message ids, each translated
// with the same placeholders as its id.
TEST(EmbeddedMessageCatalogTest, EveryCatalogTranslatesEveryMessageKeepingPlaceholders) {
  const char* const kCatalogs[] = {"cs", "de", "el", "es_AR", "es_ES", "fr",
                                   "it", "ja", "ko", "nl",    "pl",    "pt",
                                   "ro", "ru", "th", "tr",    "zh_CN", "zh_TW"};
  const std::set<std::string> ids(std::begin(messages::kAll), std::end(messages::kAll));
  ASSERT_EQ(ids.size(), std::size(messages::kAll)) << "a message id is listed twice";
  for (const char* language : kCatalogs) {
    SCOPED_TRACE(language);
    const MoFile file = LoadCatalog(language);
    EXPECT_EQ(file.magic, 0x950412deu);
    EXPECT_EQ(file.revision, 0u);
    EXPECT_EQ(file.count, ids.size() + 1);
    ASSERT_EQ(file.entries.count(""), 1u);
    const std::string& header = file.entries.at("");
    EXPECT_NE(header.find("Content-Type: text/plain; charset=UTF-8\n"), std::string::npos);
    EXPECT_EQ(header.find("Plural-Forms"), std::string::npos);
    EXPECT_EQ(HeaderLanguage(file), language);

    std::set<std::string> translated;
    for (const auto& [id, translation] : file.entries) {
      if (!id.empty()) {
        translated.insert(id);
      }
    }
    EXPECT_EQ(translated, ids);
    for (const std::string& id : ids) {
      const auto entry = file.entries.find(id);
      if (entry == file.entries.end()) {
        continue;
      }
      const std::string& translation = entry->second;
      EXPECT_FALSE(translation.empty()) << id;
      // "OK" is the word for the button in most of these languages, and many write a
      // percentage and a rate in megabytes per second as English does.
      if (id != messages::kConfirmLanguage && id != messages::kPercent &&
          id != messages::kMegabytesPerSecond) {
        EXPECT_NE(translation, id) << "untranslated: " << id;
      }
      EXPECT_EQ(Placeholders(translation), Placeholders(id)) << id << " -> " << translation;
    }
  }
}

}  // namespace
}  // namespace halv
