#include "locale/system_locale.h"

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "locale/custom_boost_locale.h"
#include "locale/embedded_message_catalog.h"
#include "locale/messages.h"

namespace halv {
namespace {

TEST(SystemLocaleTest, WithUtf8Encoding) {
  const struct {
    const char* name;
    const char* result;
  } kCases[] = {
      {"de", "de.UTF-8"},
      {"de_DE", "de_DE.UTF-8"},
      {"de_DE.UTF-8", "de_DE.UTF-8"},
      {"de_DE.utf8", "de_DE.UTF-8"},
      {"de_DE.ISO-8859-1", "de_DE.UTF-8"},
      {"sr_RS@latin", "sr_RS.UTF-8@latin"},
      {"de_DE.ISO-8859-15@euro", "de_DE.UTF-8@euro"},
      {"C", "C.UTF-8"},
      {"", ".UTF-8"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(WithUtf8Encoding(c.name), c.result) << c.name;
  }
}

TEST(SystemLocaleTest, ChoosesTheLanguageLinuxProgramsUse) {
  using Environment = std::map<std::string, std::string>;
  const struct {
    Environment environment;
    const char* name;
  } kCases[] = {
      {{}, "C.UTF-8"},
      {{{"LANG", "de_DE.UTF-8"}}, "de_DE.UTF-8"},
      {{{"LANG", "de_DE"}}, "de_DE.UTF-8"},
      {{{"LANG", "fr_FR.ISO-8859-1"}}, "fr_FR.UTF-8"},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_FR.UTF-8"}}, "fr_FR.UTF-8"},
      {{{"LANG", "de_DE"}, {"LC_MESSAGES", "fr_FR"}, {"LC_ALL", "ja_JP.UTF-8"}}, "ja_JP.UTF-8"},
      {{{"LANG", "de_DE"}, {"LC_ALL", ""}}, "de_DE.UTF-8"},
      // LC_CTYPE says how text is encoded, not which language to show.
      {{{"LC_CTYPE", "ru_RU.UTF-8"}}, "C.UTF-8"},
      {{{"LC_CTYPE", "ru_RU.UTF-8"}, {"LANG", "pl_PL.UTF-8"}}, "pl_PL.UTF-8"},
      // LANGUAGE lists languages in order of preference and wins over a real locale.
      {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "pt_BR:pt:en"}}, "pt_BR.UTF-8"},
      {{{"LC_ALL", "de_DE.UTF-8"}, {"LANGUAGE", "::es_MX"}}, "es_MX.UTF-8"},
      {{{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", ":"}}, "de_DE.UTF-8"},
      // ...but not over the C locale, which gettext keeps in English.
      {{{"LANG", "C"}, {"LANGUAGE", "de"}}, "C.UTF-8"},
      {{{"LC_ALL", "POSIX"}, {"LANGUAGE", "de"}}, "C.UTF-8"},
      {{{"LC_ALL", "C.UTF-8"}, {"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de"}}, "C.UTF-8"},
      {{{"LANGUAGE", "de"}}, "C.UTF-8"},
  };
  for (const auto& c : kCases) {
    const Environment& environment = c.environment;
    const std::string name = SystemLocaleName([&environment](const char* variable) {
      const auto value = environment.find(variable);
      return value == environment.end() ? std::string() : value->second;
    });
    std::string description;
    for (const auto& [variable, value] : environment) {
      description += variable + "=" + value + " ";
    }
    EXPECT_EQ(name, c.name) << description;
  }
}

// Sets the locale variables of this process for one test and restores them afterwards.
class ScopedLocaleEnvironment {
 public:
  explicit ScopedLocaleEnvironment(const std::map<std::string, std::string>& values) {
    for (const char* variable : kVariables) {
      const char* value = std::getenv(variable);
      saved_[variable] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
      unsetenv(variable);
    }
    for (const auto& [variable, value] : values) {
      setenv(variable.c_str(), value.c_str(), 1);
    }
  }
  ScopedLocaleEnvironment(const ScopedLocaleEnvironment&) = delete;
  ScopedLocaleEnvironment& operator=(const ScopedLocaleEnvironment&) = delete;
  ~ScopedLocaleEnvironment() {
    for (const auto& [variable, value] : saved_) {
      if (value) {
        setenv(variable.c_str(), value->c_str(), 1);
      } else {
        unsetenv(variable.c_str());
      }
    }
  }

 private:
  static constexpr const char* kVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"};
  std::map<std::string, std::optional<std::string>> saved_;
};

TEST(SystemLocaleTest, EmptyLanguageFollowsTheEnvironment) {
  EmbeddedMessageCatalog catalog;
  {
    ScopedLocaleEnvironment environment(std::map<std::string, std::string>{{"LANG", "de_AT"}});
    CustomBoostLocale locale(catalog, "");
    EXPECT_EQ(locale.GetLanguage(), "");
    EXPECT_EQ(locale.Translate(messages::kCalculatingTimeRemaining), "Restzeit wird berechnet");
  }
  {
    ScopedLocaleEnvironment environment({{"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "el"}});
    CustomBoostLocale locale(catalog, "");
    EXPECT_EQ(locale.FormatTimeRemaining(1), "Απομένει 1 δευτερόλεπτο");
  }
  {
    ScopedLocaleEnvironment environment({{"LC_ALL", "C"}, {"LANG", "de_DE.UTF-8"}});
    CustomBoostLocale locale(catalog, "fr");
    locale.SetLanguage("");
    EXPECT_EQ(locale.Translate(messages::kCalculatingTimeRemaining), "Calculating time remaining");
  }
}

}  // namespace
}  // namespace halv
