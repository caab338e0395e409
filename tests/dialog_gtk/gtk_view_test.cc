#include "app/gtk/gtk_view.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/exit_status.h"
#include "app/startup_parameters.h"
#include "app/updater_dialog.h"
#include "dialog_fakes.h"
#include "locale/custom_boost_locale.h"
#include "locale/embedded_message_catalog.h"
#include "locale/messages.h"
#include "platform/string_resources.h"
#include "temp_dir.h"

// Fontconfig, D-Bus (through the accessibility bridge) and GLib keep process-long caches that they
// never free; LeakSanitizer would report them at exit. Nothing of ours is suppressed.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\nleak:libglib-2.0.so\n";
}

namespace halv {
namespace {

using Updater::GtkView;
using Updater::LanguageChoice;

const char kDisplayName[] = "Halvane Demo";
const char* const kLanguages[] = {"",   "cs", "de", "el",    "es_AR", "es_ES", "fr",
                                  "it", "ja", "ko", "nl",    "pl",    "pt",    "ro",
                                  "ru", "th", "tr", "zh_CN", "zh_TW"};

// A private X server for the whole suite, started and stopped by its PID.
class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      close(fds[0]);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start (Debian package xvfb)";
    setenv("DISPLAY", (":" + number).c_str(), 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("GDK_BACKEND", "x11", 1);
    setenv("GTK_THEME", "Adwaita", 1);
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
};

const auto* const kXvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

void Settle() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

// Lays the toplevel out at its width and draws it into a PNG.
void Shot(GtkWidget* toplevel, const std::string& name) {
  Settle();
  int width = 0, height = 0, unused = 0;
  gtk_widget_get_preferred_width(toplevel, &width, &unused);
  gtk_widget_get_preferred_height_for_width(toplevel, width, &height, &unused);
  GtkAllocation allocation = {0, 0, width, height};
  gtk_widget_size_allocate(toplevel, &allocation);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(toplevel, cr);
  cairo_destroy(cr);
  mkdir(HALV_SCREENSHOT_DIR, 0755);
  const std::string path = std::string(HALV_SCREENSHOT_DIR) + "/" + name + ".png";
  EXPECT_EQ(cairo_surface_write_to_png(surface, path.c_str()), CAIRO_STATUS_SUCCESS) << path;
  cairo_surface_destroy(surface);
}

// Lines a text in `language` needs in a label of the window at the width its labels get, set
// as the window sets it (its language and unbreakable runs included).
double LinesAtWindowWidth(const std::string& text, const std::string& language = "") {
  GtkView view;
  view.Open("measure");
  view.SetLanguage(language);
  view.ShowHeading(kDisplayName, "Cancel");
  GtkWidget* label = view.widgets().status;
  const int width = Updater::kGtkWindowWidth - 2 * 10;
  int minimum = 0, oneLine = 0, natural = 0;
  view.ShowProgress("Xg");
  gtk_widget_get_preferred_height_for_width(label, width, &minimum, &oneLine);
  view.ShowProgress(text);
  gtk_widget_get_preferred_height_for_width(label, width, &minimum, &natural);
  return static_cast<double>(natural) / oneLine;
}

// The lines of the laid-out text of `label`, at the width the window gives it.
std::vector<std::string> LaidOutLines(GtkWidget* label) {
  std::vector<std::string> lines;
  PangoLayout* layout = gtk_label_get_layout(GTK_LABEL(label));
  const char* text = pango_layout_get_text(layout);
  for (GSList* line = pango_layout_get_lines_readonly(layout); line != nullptr; line = line->next) {
    const auto* laid = static_cast<PangoLayoutLine*>(line->data);
    lines.emplace_back(text + laid->start_index, static_cast<std::size_t>(laid->length));
  }
  return lines;
}

// The language the label's attributes give its text ("" when none).
std::string LabelLanguage(GtkWidget* label) {
  PangoAttrList* attributes = gtk_label_get_attributes(GTK_LABEL(label));
  if (attributes == nullptr) return std::string();
  PangoAttrIterator* iterator = pango_attr_list_get_iterator(attributes);
  PangoAttribute* found = pango_attr_iterator_get(iterator, PANGO_ATTR_LANGUAGE);
  std::string language =
      found ? pango_language_to_string(reinterpret_cast<PangoAttrLanguage*>(found)->value) : "";
  pango_attr_iterator_destroy(iterator);
  return language;
}

// The height the window takes at its width, once GTK has done its layout.
int WindowHeight(GtkView& view) {
  Settle();
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_height_for_width(view.widgets().window, Updater::kGtkWindowWidth,
                                            &minimum, &natural);
  return natural;
}

// A button with its whole label fits within the fixed-width window's border.
void ExpectLabelFits(GtkWidget* button) {
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_width(button, &minimum, &natural);
  EXPECT_LE(natural, Updater::kGtkWindowWidth - 2 * 10) << gtk_button_get_label(GTK_BUTTON(button));
}

TEST(GtkViewTest, EveryViewInEveryLanguageFitsAndIsRendered) {
  const EmbeddedMessageCatalog catalog;
  CustomBoostLocale locale(catalog, "");
  for (const char* language : kLanguages) {
    SCOPED_TRACE(language);
    locale.SetLanguage(language);
    const std::string tag = *language ? language : "en";
    const std::string title = locale.Format(messages::kDownloaderTitle, kDisplayName);
    const std::string launching = locale.Format(messages::kLaunchingDownloader, kDisplayName);

    // The longest size line a download shows: thousands of megabytes with a decimal, and a rate
    // of a fast line.
    const std::string size = Updater::ProgressSizeText(locale, 1234567890, 2345678901, 123456789);
    const std::string percent = locale.Format(messages::kPercent, "42");

    // Every text of the fixed-width window fits on two lines, the size line on one (a script
    // whose lines are taller than Latin ones measures more than 1 without wrapping).
    EXPECT_LT(LinesAtWindowWidth(size), 2.0) << size;
    std::vector<std::string> texts = {locale.Translate(messages::kLanguagePrompt), launching,
                                      locale.Translate(messages::kCheckingFiles)};
    for (int seconds : {-1, 1, 30, 59, 90, 3599, 3600, 3660, 5400, 7200, 7260, 36000, 359999}) {
      texts.push_back(locale.FormatTimeRemaining(seconds));
    }
    for (const std::string& text : texts) {
      EXPECT_LE(LinesAtWindowWidth(text, language), 2.0) << text;
    }

    GtkView view;
    view.Open(title);
    view.SetLanguage(language);
    view.ShowHeading(kDisplayName, locale.Translate(messages::kCancel));
    LanguageChoice choice;
    choice.prompt = locale.Translate(messages::kLanguagePrompt);
    choice.confirm = locale.Translate(messages::kConfirmLanguage);
    choice.names = {"English", "Deutsch", "日本語", "ภาษาไทย", "Ελληνικά"};
    view.ShowLanguageChoice(choice);
    Shot(view.widgets().window, tag + "-1-language");
    // The window keeps one height through every view and every status text.
    const int height = WindowHeight(view);
    EXPECT_TRUE(gtk_widget_get_visible(view.widgets().languages));
    EXPECT_FALSE(gtk_widget_get_visible(view.widgets().progress));

    // A made-up status: 42 of 100 bytes, 90 seconds to go.
    view.ShowProgress(locale.FormatTimeRemaining(-1));
    EXPECT_EQ(WindowHeight(view), height);
    view.SetProgress(Updater::ProgressPercent(42, 100), percent, size,
                     locale.FormatTimeRemaining(90));
    Shot(view.widgets().window, tag + "-2-progress");
    EXPECT_EQ(WindowHeight(view), height);
    EXPECT_EQ(gtk_progress_bar_get_text(GTK_PROGRESS_BAR(view.widgets().progress)), percent);
    EXPECT_TRUE(gtk_progress_bar_get_show_text(GTK_PROGRESS_BAR(view.widgets().progress)));
    EXPECT_TRUE(gtk_widget_get_visible(view.widgets().size));
    EXPECT_EQ(gtk_label_get_text(GTK_LABEL(view.widgets().size)), size);
    EXPECT_EQ(gtk_label_get_text(GTK_LABEL(view.widgets().heading)), std::string(kDisplayName));
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(view.widgets().cancel)),
              locale.Translate(messages::kCancel));
    EXPECT_TRUE(gtk_widget_is_sensitive(view.widgets().cancel));
    ExpectLabelFits(view.widgets().cancel);
    EXPECT_FALSE(gtk_widget_get_visible(view.widgets().prompt));
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(view.widgets().progress)),
                     0.42);
    EXPECT_EQ(gtk_label_get_text(GTK_LABEL(view.widgets().status)), locale.FormatTimeRemaining(90));

    // The check of files on disk shows no rate.
    view.SetProgress(Updater::ProgressPercent(60, 100), locale.Format(messages::kPercent, "60"),
                     Updater::ProgressSizeText(locale, 1234567890, 2345678901, 0),
                     locale.Translate(messages::kCheckingFiles));
    Shot(view.widgets().window, tag + "-2-checking");
    EXPECT_EQ(WindowHeight(view), height);
    for (const std::string& text : texts) {
      view.SetProgress(50, percent, size, text);
      EXPECT_EQ(WindowHeight(view), height) << text;
    }

    view.ShowLaunching(launching);
    Shot(view.widgets().window, tag + "-3-launching");
    EXPECT_EQ(WindowHeight(view), height);
    EXPECT_TRUE(gtk_widget_get_visible(view.widgets().pulse));
    EXPECT_FALSE(gtk_widget_get_visible(view.widgets().progress));

    // Every label speaks the chosen language, so that Pango picks its glyph forms.
    const std::string pangoLanguage = *language ? language : "en";
    for (GtkWidget* label : {view.widgets().heading, view.widgets().status}) {
      std::string expected = pangoLanguage;
      for (char& c : expected) c = c == '_' ? '-' : static_cast<char>(std::tolower(c));
      EXPECT_EQ(LabelLanguage(label), expected);
    }

    view.ShowError(locale.Format(messages::kDownloaderErrorTitle, kDisplayName),
                   locale.Translate(messages::kConnectionError), locale.Translate(messages::kRetry),
                   locale.Translate(messages::kClose));
    ASSERT_NE(view.widgets().errorBox, nullptr);
    Shot(view.widgets().errorBox, tag + "-4-error");
    ASSERT_NE(view.widgets().retry, nullptr);
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(view.widgets().retry)),
              locale.Translate(messages::kRetry));
    ExpectLabelFits(view.widgets().retry);
    // The box's other button is ours, in the chosen language, not GTK's stock OK.
    ASSERT_NE(view.widgets().close, nullptr);
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(view.widgets().close)),
              locale.Translate(messages::kClose));
    ExpectLabelFits(view.widgets().close);
    EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(view.widgets().errorBox)),
              locale.Format(messages::kDownloaderErrorTitle, kDisplayName));
    EXPECT_NE(gtk_window_get_icon(GTK_WINDOW(view.widgets().window)), nullptr);
    view.Quit();
    Settle();
  }
}

// Whether the UTF-8 text ends (or starts) with a Hangul syllable.
bool EndsInHangul(const std::string& text) {
  return text.size() >= 3 && static_cast<unsigned char>(text[text.size() - 3]) >= 0xEA &&
         static_cast<unsigned char>(text[text.size() - 3]) <= 0xED;
}
bool StartsWithHangul(const std::string& text) {
  return text.size() >= 3 && static_cast<unsigned char>(text[0]) >= 0xEA &&
         static_cast<unsigned char>(text[0]) <= 0xED;
}

// Lines break where the language breaks them: the product's name stays whole on one line (cs,
// el and pl once split it), and Korean breaks between words, never between two syllables of one.
TEST(GtkViewTest, TheProductNameAndKoreanWordsStayWholeOnALine) {
  const EmbeddedMessageCatalog catalog;
  CustomBoostLocale locale(catalog, "");
  const std::string address = "https://support.example.com/halvane";
  for (const char* language : kLanguages) {
    SCOPED_TRACE(language);
    locale.SetLanguage(language);
    GtkView view;
    view.Open(locale.Format(messages::kDownloaderTitle, kDisplayName));
    view.SetLanguage(language);
    view.ShowHeading(kDisplayName, locale.Translate(messages::kCancel));
    view.ShowLaunching(locale.Format(messages::kLaunchingDownloader, kDisplayName));
    Shot(view.widgets().window, std::string("lines-") + (*language ? language : "en"));
    std::vector<std::vector<std::string>> laid = {LaidOutLines(view.widgets().status)};
    for (const char* message :
         {messages::kConnectionError, messages::kOutOfMemoryError, messages::kDiskFullError,
          messages::kDiskWriteError, messages::kUnexpectedError, messages::kLaunchFailedError,
          messages::kServerNotAnswering}) {
      const std::string text = message == messages::kLaunchFailedError
                                   ? locale.Format(message, kDisplayName, address)
                                   : locale.Format(message, address);
      view.ShowError("error", text, locale.Translate(messages::kRetry),
                     locale.Translate(messages::kClose));
      Shot(view.widgets().errorBox, "lines-error");
      laid.push_back(LaidOutLines(view.widgets().errorText));
      gtk_dialog_response(GTK_DIALOG(view.widgets().errorBox), GTK_RESPONSE_CLOSE);
    }
    for (const auto& lines : laid) {
      std::string joined;
      for (const std::string& line : lines) joined += line + "\n";
      SCOPED_TRACE(joined);
      bool named = false;
      for (const std::string& line : lines)
        named = named || line.find(kDisplayName) != std::string::npos;
      // A text that holds the name holds it on one line.
      std::string whole;
      for (const std::string& line : lines) whole += line;
      if (whole.find(kDisplayName) != std::string::npos) {
        EXPECT_TRUE(named);
      }
      if (std::string(language) != "ko") continue;
      for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_FALSE(EndsInHangul(lines[i - 1]) && StartsWithHangul(lines[i]))
            << "a word broken between \"" << lines[i - 1] << "\" and \"" << lines[i] << "\"";
      }
    }
    view.Quit();
    Settle();
  }
}

TEST(GtkViewTest, WindowHasTheFixedWidth) {
  GtkView view;
  view.Open("Halvane Demo Downloader");
  view.ShowProgress(std::string(400, 'x'));  // a text far too long for one line
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_width(view.widgets().window, &minimum, &natural);
  EXPECT_EQ(natural, Updater::kGtkWindowWidth);
  view.Quit();
}

TEST(GtkViewTest, PostedTasksRunOnTheLoopAndNotAfterQuit) {
  int ran = 0;
  {
    GtkView view;
    view.Open("t");
    std::thread poster([&view, &ran] {
      view.Post([&ran] { ++ran; });
      view.Post([&view] { view.Quit(); });
      view.Post([&ran] { ran += 100; });
    });
    poster.join();
    view.RunLoop();
    // Still queued in GLib's context, dropped when it runs.
    Settle();
  }
  Settle();
  EXPECT_EQ(ran, 1);
}

// The dialog logic over the GTK window, driven with xdotool from another thread.
class DrivenDialog {
 public:
  explicit DrivenDialog(const std::string& resources)
      : startup_(StringResourceTable::FromText(resources), {"halvane-updater"},
                 UserFolders{temp_.Child("cache"), temp_.Child("data"), temp_.Child("state")}),
        locale_(catalog_, "") {
    if (!startup_.languages().empty()) locale_.SetLanguage(startup_.defaultLanguage());
  }

  // Runs the dialog, and on the GTK thread, as soon as the button `which` is shown, runs
  // `before` and clicks it; the exit code.
  int RunClicking(GtkWidget* GtkView::Widgets::*which, std::function<void()> before) {
    auto dialog = Updater::Dialog::CreateSingleton(
        view_, transfers, locale_, startup_,
        [](const StartupParameters&, const std::string&, const std::string&, const std::string&) {
          return true;
        });
    struct Click {
      GtkView* view;
      GtkWidget* GtkView::Widgets::*which;
      std::function<void()> before;
      bool clicked = false;
    } click{&view_, which, std::move(before)};
    // Polled by the loop itself: the button appears when a report reaches the GTK thread.
    const guint source = g_timeout_add(
        5,
        [](gpointer data) -> gboolean {
          auto* click = static_cast<Click*>(data);
          GtkWidget* button = click->view->widgets().*(click->which);
          if (button == nullptr || !gtk_widget_get_visible(button)) return G_SOURCE_CONTINUE;
          if (click->before) click->before();
          click->clicked = true;
          gtk_button_clicked(GTK_BUTTON(button));
          return G_SOURCE_REMOVE;
        },
        &click);
    const int code = dialog->Run();
    if (!click.clicked) g_source_remove(source);
    transfers.StopMonitor();
    // The server forgets this run's windows before the next test searches windows by title.
    Settle();
    gdk_display_sync(gdk_display_get_default());
    return code;
  }

  // Runs the dialog while `keys` (xdotool key commands) are typed into the first window whose
  // title matches `window`; the exit code.
  int Run(const std::string& window, const std::string& keys) {
    auto dialog = Updater::Dialog::CreateSingleton(
        view_, transfers, locale_, startup_,
        [this](const StartupParameters&, const std::string& language, const std::string&,
               const std::string&) {
          launchedLanguage = language;
          return true;
        });
    typist_ = std::thread([window, keys] {
      // Waits for the window, gives it the focus and types.
      const std::string command = "xdotool search --sync --onlyvisible --name '" + window +
                                  "' windowfocus --sync %1 " + keys;
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    });
    const int code = dialog->Run();
    typist_.join();
    transfers.StopMonitor();
    return code;
  }

  testing::ScriptedTransfers transfers;
  std::string launchedLanguage;

 private:
  test::TempDir temp_;
  const StartupParameters startup_;
  const EmbeddedMessageCatalog catalog_;
  CustomBoostLocale locale_;
  GtkView view_;
  std::thread typist_;
};

const char kResources[] =
    "103=dpartner\n104=spartner\n105=launchid\n106=skinpkg\n107=mainpkg\n108=Halvane Demo\n"
    "109=Halvane Demo\n";

TEST(GtkDialogTest, EscapeMidTransferClosesTheWindow) {
  DrivenDialog run(kResources);
  run.transfers.Expect("mainpkg", "m", {testing::Status("m", TransferState::Initialized)},
                       {testing::Progress("m", 1, 3, 100)});
  run.transfers.Expect("skinpkg", "s", {testing::Status("s", TransferState::Initialized)},
                       {testing::Progress("s", 1, 3, 100)});
  // Only the press: the window is gone before a release could reach it.
  EXPECT_EQ(run.Run("Downloader$", "keydown Escape"), Updater::kCanceled);
}

TEST(GtkDialogTest, ErrorBoxIsDismissedWithReturn) {
  DrivenDialog run(kResources);
  run.transfers.Expect(
      "mainpkg", "m",
      {testing::Status("m", TransferState::Initialized, TransferError::ConnectionError)}, {});
  run.transfers.Expect("skinpkg", "s", {testing::Status("s", TransferState::Initialized)},
                       {testing::Progress("s", 1, 3, 100)});
  // The error box takes the focus from the window; Return presses Close, not Retry beside it,
  // and the run ends with the status of its failure.
  EXPECT_EQ(run.Run("Error$", "key Return"), kExitNetwork);
}

TEST(GtkDialogTest, LanguageIsChosenWithTheKeyboard) {
  DrivenDialog run(std::string(kResources) +
                   "106=en=skin-en;de=skin-de\n129=en=English;de=Deutsch\n130=en\n");
  run.transfers.Expect("mainpkg", "m", {testing::Status("m", TransferState::Initialized)},
                       {testing::Complete("m", "bin/app")});
  run.transfers.Expect("skin-de", "s", {testing::Status("s", TransferState::Initialized)},
                       {testing::Complete("s", "skin.dat")});
  // Down selects the second language, Tab moves to OK, Return confirms.
  EXPECT_EQ(run.Run("Downloader$", "key --delay 50 Down Tab Return"), Updater::kLaunched);
  EXPECT_EQ(run.launchedLanguage, "de");
}

// Clicked, not typed: these search no window by title, so they run after the typed ones.
TEST(GtkDialogTest, CancelEndsTheRunAsClosingTheWindowDoes) {
  DrivenDialog run(kResources);
  run.transfers.Expect("mainpkg", "m", {testing::Status("m", TransferState::Initialized)},
                       {testing::Progress("m", 1, 3, 100)});
  run.transfers.Expect("skinpkg", "s", {testing::Status("s", TransferState::Initialized)},
                       {testing::Progress("s", 1, 3, 100)});
  EXPECT_EQ(run.RunClicking(&GtkView::Widgets::cancel, nullptr), Updater::kCanceled);
}

TEST(GtkDialogTest, RetryStartsBothTransfersAgain) {
  DrivenDialog run(kResources);
  run.transfers.Expect(
      "mainpkg", "m",
      {testing::Status("m", TransferState::Initialized, TransferError::ConnectionError)}, {});
  run.transfers.Expect("skinpkg", "s", {testing::Status("s", TransferState::Initialized)},
                       {testing::Progress("s", 1, 3, 100)});
  const int code = run.RunClicking(&GtkView::Widgets::retry, [&run] {
    run.transfers.Expect("mainpkg", "m2", {testing::Status("m2", TransferState::Initialized)},
                         {testing::Complete("m2", "bin/app")});
    run.transfers.Expect("skinpkg", "s2", {testing::Status("s2", TransferState::Initialized)},
                         {testing::Complete("s2", "skin.dat")});
  });
  EXPECT_EQ(code, Updater::kLaunched);
  EXPECT_EQ(run.transfers.canceled(), (std::vector<std::string>{"m", "s"}))
      << "the failed run's transfers are stopped, keeping their files, before the new ones";
  EXPECT_EQ(run.transfers.initialized().size(), 4u);
}

}  // namespace
}  // namespace halv
