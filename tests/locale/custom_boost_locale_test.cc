#include "locale/custom_boost_locale.h"

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "locale/embedded_message_catalog.h"
#include "locale/messages.h"
#include "mo_file.h"
#include "start_gate.h"

namespace halv {
namespace {

constexpr std::int32_t kLargest = std::numeric_limits<std::int32_t>::max();

// The translations of the catalog the given path names, straight from its bytes.
// No entries for a language without a catalog.
MoFile CatalogFor(const MessageCatalog& catalog, const std::string& language) {
  const std::vector<char> bytes = catalog.Load("/" + language + "/LC_MESSAGES/updater.mo", "UTF-8");
  return bytes.empty() ? MoFile() : ReadMoFile(bytes);
}

class CustomBoostLocaleTest : public testing::Test {
 protected:
  EmbeddedMessageCatalog catalog_;
};

TEST_F(CustomBoostLocaleTest, LanguageWithoutCatalogShowsTheEnglishTexts) {
  for (const char* language : {"en_US.UTF-8", "en_US", "en", "C", "C.UTF-8", "xx_YY.UTF-8"}) {
    SCOPED_TRACE(language);
    CustomBoostLocale locale(catalog_, language);
    EXPECT_EQ(locale.GetLanguage(), language);
    for (const char* message : messages::kAll) {
      EXPECT_EQ(locale.Translate(message), message);
    }
    EXPECT_EQ(locale.Format(messages::kDownloaderTitle, "X"), "X Downloader");
  }
}

// Each language reads the catalog of its own name, then the one of its language alone.
TEST_F(CustomBoostLocaleTest, LanguagesFallBackToTheirCatalogs) {
  const struct {
    const char* language;
    const char* catalog;
  } kCases[] = {
      {"de_DE.UTF-8", "de"},
      {"de_AT.UTF-8", "de"},
      {"de", "de"},
      {"de_CH", "de"},
      {"es_MX.UTF-8", "es_MX"},
      {"es_AR", "es_AR"},
      {"es_GB.UTF-8", "es"},
      {"es_ES", "es"},
      {"es", "es"},
      {"zh_HK.UTF-8", "zh_HK"},
      {"zh_TW", "zh_TW"},
      {"zh", "zh"},
      {"zh_CN.UTF-8", "zh"},
      {"pt_BR.UTF-8", "pt"},
      {"fr_CA.ISO-8859-1", "fr"},
      {"sr_RS@latin", ""},
      {"de_DE.UTF-8@euro", "de"},
      {"ja_JP.eucJP", "ja"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.language);
    CustomBoostLocale locale(catalog_, c.language);
    const MoFile expected = CatalogFor(catalog_, c.catalog);
    for (const char* message : messages::kAll) {
      const std::string translation = locale.Translate(message);
      if (expected.entries.empty()) {
        EXPECT_EQ(translation, message);
      } else {
        EXPECT_EQ(translation, expected.entries.at(message));
      }
    }
  }
}

// Every catalog reaches the user through Boost.Locale, including its non-Latin texts.
TEST_F(CustomBoostLocaleTest, EveryCatalogTranslatesThroughTheLocale) {
  for (const char* language : {"cs", "de", "el", "es_AR", "es_ES", "fr", "it", "ja", "ko", "nl",
                               "pl", "pt", "ro", "ru", "th", "tr", "zh_CN", "zh_TW"}) {
    SCOPED_TRACE(language);
    CustomBoostLocale locale(catalog_, language);
    const MoFile expected = CatalogFor(catalog_, language);
    for (const char* message : messages::kAll) {
      EXPECT_EQ(locale.Translate(message), expected.entries.at(message));
    }
  }
}

TEST_F(CustomBoostLocaleTest, GermanTextsAndNumbers) {
  CustomBoostLocale locale(catalog_, "de_DE.UTF-8");
  EXPECT_EQ(locale.Format(messages::kDownloaderTitle, "Halvane Demo"),
            "Downloader für Halvane Demo");
  EXPECT_EQ(locale.FormatTimeRemaining(-1), "Restzeit wird berechnet");
  EXPECT_EQ(locale.FormatTimeRemaining(90), "Noch 2 Minuten");
  EXPECT_EQ(locale.FormatTimeRemaining(7260), "Noch 2 Stunden und 2 Minuten");
  // Numbers in the time-remaining line are written without grouping in every language.
  EXPECT_EQ(locale.FormatDuration(12345, 5, 0), "Noch 12345 Stunden und 5 Minuten");
}

TEST_F(CustomBoostLocaleTest, SetLanguageSwitchesAndKeepsTheGivenName) {
  CustomBoostLocale locale(catalog_, "fr");
  EXPECT_EQ(locale.Translate(messages::kOneMinuteRemaining), "Il reste 1 minute");
  locale.SetLanguage("ja_JP");
  EXPECT_EQ(locale.GetLanguage(), "ja_JP");
  EXPECT_EQ(locale.Translate(messages::kOneMinuteRemaining), "残り 1 分");
  locale.SetLanguage("en_US");
  EXPECT_EQ(locale.Translate(messages::kOneMinuteRemaining), "1 minute remaining");
}

TEST_F(CustomBoostLocaleTest, TimeRemaining) {
  CustomBoostLocale locale(catalog_, "en_US.UTF-8");
  const struct {
    std::int32_t seconds;
    const char* text;
  } kCases[] = {
      {-1, "Calculating time remaining"},
      {-2, "Calculating time remaining"},
      {std::numeric_limits<std::int32_t>::min(), "Calculating time remaining"},
      {0, "0 seconds remaining"},
      {1, "1 second remaining"},
      {2, "2 seconds remaining"},
      {59, "59 seconds remaining"},
      {60, "1 minute remaining"},
      {61, "2 minutes remaining"},
      {90, "2 minutes remaining"},
      {119, "2 minutes remaining"},
      {120, "3 minutes remaining"},
      {3479, "58 minutes remaining"},
      {3480, "59 minutes remaining"},
      {3540, "1 hour remaining"},
      {3600, "1 hour, 1 minute remaining"},
      {3660, "1 hour, 2 minutes remaining"},
      {7199, "2 hours remaining"},
      {7200, "2 hours, 1 minute remaining"},
      {7260, "2 hours, 2 minutes remaining"},
      // Adding the minute saturates instead of wrapping to a negative count.
      {kLargest - 60, "596523 hours, 14 minutes remaining"},
      {kLargest - 59, "596523 hours, 14 minutes remaining"},
      {kLargest, "596523 hours, 14 minutes remaining"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(locale.FormatTimeRemaining(c.seconds), c.text) << c.seconds;
  }
}

TEST_F(CustomBoostLocaleTest, DurationTable) {
  CustomBoostLocale locale(catalog_, "en_US.UTF-8");
  const struct {
    std::int32_t hours, minutes, seconds;
    const char* text;
  } kCases[] = {
      {2, 2, 0, "2 hours, 2 minutes remaining"},
      {3, 59, 30, "3 hours, 59 minutes remaining"},
      {2, 1, 59, "2 hours, 1 minute remaining"},
      {2, 0, 59, "2 hours remaining"},
      {1, 2, 5, "1 hour, 2 minutes remaining"},
      {1, 1, 5, "1 hour, 1 minute remaining"},
      {1, 0, 5, "1 hour remaining"},
      {0, 2, 5, "2 minutes remaining"},
      {0, 1, 5, "1 minute remaining"},
      {0, 0, 2, "2 seconds remaining"},
      {0, 0, 1, "1 second remaining"},
      {0, 0, 0, "0 seconds remaining"},
      {-1, -1, -1, "0 seconds remaining"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(locale.FormatDuration(c.hours, c.minutes, c.seconds), c.text)
        << c.hours << ":" << c.minutes << ":" << c.seconds;
  }
}

TEST_F(CustomBoostLocaleTest, PlaceholdersAreFilledOnceInTheTranslatedText) {
  CustomBoostLocale locale(catalog_, "en_US.UTF-8");
  const struct {
    const char* message;
    const char* first;
    const char* second;
    const char* text;
  } kCases[] = {
      {"{2}, then {1}, then {1}", "a", "b", "b, then a, then {1}"},
      {"{1} and {2}", "a", "b", "a and b"},
      {"no placeholders", "a", "b", "no placeholders"},
      {"only {2}", "a", "b", "only b"},
      {"{1}{2}", "", "", ""},
      // An argument is inserted as text: its own placeholders are never filled.
      {"{1} and {2}", "{2}", "b", "{2} and b"},
      {"{2} and {1}", "{1}", "{1}", "{1} and {1}"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(locale.Format(c.message, c.first, c.second), c.text) << c.message;
  }
  EXPECT_EQ(locale.Format("{1} {1}", "x"), "x {1}");
  EXPECT_EQ(locale.Format("none", "x"), "none");
  EXPECT_EQ(locale.Format("{1}", "{1}"), "{1}");
}

TEST_F(CustomBoostLocaleTest, FormatTranslatedTranslatesTheArgument) {
  CustomBoostLocale locale(catalog_, "it");
  EXPECT_EQ(
      locale.FormatTranslated(messages::kDownloaderErrorTitle, messages::kCalculatingTimeRemaining),
      "Errore del Downloader di Calcolo del tempo rimanente");
  EXPECT_EQ(locale.Format(messages::kDownloaderErrorTitle, messages::kCalculatingTimeRemaining),
            "Errore del Downloader di Calculating time remaining");
}

TEST_F(CustomBoostLocaleTest, Numbers) {
  CustomBoostLocale locale(catalog_, "de_DE.UTF-8");
  const struct {
    double value;
    std::int32_t precision;
    const char* text;
  } kCases[] = {
      {1.5, 2, "1.50"}, {1234567.891, 1, "1234567.9"},
      {0.125, 0, "0"},  {-2.5, 1, "-2.5"},
      {3, -4, "3"},     {0, 3, "0.000"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(locale.FormatNumber(c.value, c.precision), c.text) << c.value;
  }
  EXPECT_EQ(locale.FormatPercent(0.5, 0), "50%");
  EXPECT_EQ(locale.FormatPercent(0.123456, 2), "12.35%");
  EXPECT_EQ(locale.FormatPercent(1, 1), "100.0%");
}

TEST_F(CustomBoostLocaleTest, Bytes) {
  CustomBoostLocale locale(catalog_, "en_US.UTF-8");
  const struct {
    std::uint64_t bytes;
    const char* text;
  } kCases[] = {
      {0, "0 KB"},
      {1023, "1 KB"},
      {1048575, "1024 KB"},
      {1048576, "1.00 MB"},
      {1572864, "1.50 MB"},
      {1073741823, "1024.00 MB"},
      {1073741824, "1.00 GB"},
      {5368709120, "5.00 GB"},
      {std::numeric_limits<std::uint64_t>::max(), "17179869184.00 GB"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(locale.FormatBytes(c.bytes), c.text) << c.bytes;
  }
}

// The dialog reads texts on the monitor thread while the user's language choice switches the
// locale on the GUI thread: every text must come out whole in one of the two languages.
TEST_F(CustomBoostLocaleTest, TextsStayWholeWhileTheLanguageSwitches) {
  CustomBoostLocale locale(catalog_, "de");
  const std::set<std::string> expected = {"Noch 2 Stunden und 2 Minuten",
                                          "Il reste 2 heures et 2 minutes"};
  test::StartGate gate;
  std::vector<std::thread> readers;
  std::vector<std::vector<std::string>> seen(4);
  for (auto& texts : seen) {
    readers.emplace_back([&locale, &gate, &texts] {
      gate.Wait();
      for (int i = 0; i < 200; ++i) {
        texts.push_back(locale.FormatTimeRemaining(7260));
      }
    });
  }
  gate.Open();
  for (int i = 0; i < 20; ++i) {
    locale.SetLanguage(i % 2 == 0 ? "fr" : "de");
  }
  for (std::thread& reader : readers) {
    reader.join();
  }
  for (const auto& texts : seen) {
    for (const std::string& text : texts) {
      EXPECT_EQ(expected.count(text), 1u) << text;
    }
  }
}

}  // namespace
}  // namespace halv
