#include "app/updater_dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/startup_parameters.h"
#include "dialog_fakes.h"
#include "locale/custom_boost_locale.h"
#include "locale/embedded_message_catalog.h"
#include "locale/messages.h"
#include "platform/string_resources.h"
#include "temp_dir.h"

namespace halv {
namespace {

using test::TempDir;
using testing::Complete;
using testing::Progress;
using testing::RecordingView;
using testing::ScriptedTransfers;
using testing::Status;
using Updater::Dialog;

const char kResources[] =
    "103=dpartner\n104=spartner\n105=launchid\n106=skinpkg\n107=mainpkg\n108=Halvane Demo\n"
    "109=Halvane Demo\n";

// The user's system language for a locale built with an empty name: English, whatever the
// environment of the test says.
std::string EnglishDesktop() {
  setenv("LC_ALL", "C.UTF-8", 1);
  return std::string();
}

struct LaunchCall {
  std::string language, mainRunPath, skinRunPath;
};

// One dialog over scripted transfers and a recording view, in a temporary data folder.
class DialogRun {
 public:
  // `dataHome` is the base of the data folder (a temporary folder when empty).
  explicit DialogRun(const std::string& resources = kResources,
                     const std::string& dataHome = std::string())
      : startup_(
            StringResourceTable::FromText(resources), {"halvane-updater"},
            UserFolders{temp_.Child("cache"), dataHome.empty() ? temp_.Child("data") : dataHome,
                        temp_.Child("state")}),
        locale_(catalog_, EnglishDesktop()) {}

  // Both transfers initialize, the main one reports progress, both complete.
  void ScriptSuccess() {
    transfers.Expect("mainpkg", "main-id", {Status("main-id", TransferState::Initialized)},
                     {Progress("main-id", 750, 1000, 90), Complete("main-id", "bin/app")});
    transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                     {Progress("skin-id", 10, 20, 5), Complete("skin-id", "skin.dat")});
  }

  int Run(Updater::LaunchFunction launch = nullptr) {
    if (!launch) {
      launch = [this](const StartupParameters&, const std::string& language,
                      const std::string& mainRunPath, const std::string& skinRunPath) {
        launches.push_back({language, mainRunPath, skinRunPath});
        return true;
      };
    }
    dialog_ = Dialog::CreateSingleton(view, transfers, locale_, startup_, launch);
    const int code = dialog_->Run();
    transfers.StopMonitor();
    return code;
  }

  Dialog& dialog() { return *dialog_; }
  const StartupParameters& startup() const { return startup_; }
  SimpleLocale& locale() { return locale_; }

  ScriptedTransfers transfers;
  RecordingView view;
  std::vector<LaunchCall> launches;  // written on the launch thread, read after Run

 private:
  TempDir temp_;
  const StartupParameters startup_;
  const EmbeddedMessageCatalog catalog_;
  CustomBoostLocale locale_;
  std::unique_ptr<Dialog> dialog_;
};

TEST(ProgressPercentTest, IsSafeForEveryCount) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t done, total;
    int percent;
  } cases[] = {{0, 0, 0},       {5, 0, 0},         {750, 1000, 75},   {1, 3, 33},
               {999, 1000, 99}, {1000, 1000, 100}, {1001, 1000, 100}, {kMax, kMax, 100},
               {kMax, 1, 100},  {1, kMax, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(Updater::ProgressPercent(c.done, c.total), c.percent) << c.done << "/" << c.total;
  }
}

TEST(ErrorMessageTest, NamesTheCauseOfEachError) {
  const struct {
    TransferError error;
    const char* message;
  } cases[] = {
      {TransferError::ManifestError, messages::kUnexpectedError},
      {TransferError::ConnectionError, messages::kConnectionError},
      {TransferError::InsufficientMemory, messages::kOutOfMemoryError},
      {TransferError::InsufficientSpace, messages::kDiskFullError},
      {TransferError::FileAccessError, messages::kDiskWriteError},
      {TransferError::ChecksumError, messages::kUnexpectedError},
      {TransferError::FileError, messages::kDiskWriteError},
      {TransferError::RequestError, messages::kUnexpectedError},
      {TransferError::UnknownError, messages::kUnexpectedError},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(Updater::ErrorMessage(c.error), c.message) << static_cast<int>(c.error);
  }
}

TEST(DialogTest, DownloadsBothPackagesThenLaunchesAndExitsZero) {
  DialogRun run;
  run.ScriptSuccess();
  EXPECT_EQ(run.Run(), Updater::kLaunched);

  EXPECT_EQ(run.transfers.initialized(),
            (std::vector<std::string>{"dpartner/mainpkg/?", "spartner/skinpkg/?"}));
  const std::string data = run.startup().dataFolder();
  EXPECT_EQ(run.transfers.started(),
            (std::map<std::string, std::string>{{"main-id", data + "/mainpkg"},
                                                {"skin-id", data + "/skinpkg"}}))
      << "sibling folders named by the package ids";
  ASSERT_EQ(run.launches.size(), 1u);
  EXPECT_EQ(run.launches[0].mainRunPath, "bin/app");
  EXPECT_EQ(run.launches[0].skinRunPath, "skin.dat");

  EXPECT_EQ(run.view.shown().front().view, "open");
  EXPECT_EQ(run.view.shown().front().text, "Halvane Demo Downloader");
  const auto progress = run.view.Last("progress");
  EXPECT_EQ(progress.percent, 75);  // the skin's 50% is never shown
  EXPECT_EQ(progress.text, "0.0 MB of 0.0 MB|" + run.locale().FormatTimeRemaining(90));
  EXPECT_EQ(run.view.Last("heading").text, "Halvane Demo|Cancel");
  EXPECT_EQ(run.view.Last("launching").text, "Launching Halvane Demo Downloader");
  EXPECT_TRUE(run.view.Last("error").view.empty());
}

TEST(DialogTest, LaunchesOnlyAfterTheSecondTransferInEitherOrder) {
  for (const bool skinFirst : {false, true}) {
    DialogRun run;
    // The earlier one completes at once; the later one reports progress for a while.
    std::vector<TransferStatus> slow;
    const std::string slowId = skinFirst ? "main-id" : "skin-id";
    for (int i = 0; i < 20; ++i) slow.push_back(Progress(slowId, 1, 2, 1));
    slow.push_back(Complete(slowId, skinFirst ? "bin/app" : "skin.dat"));
    const std::vector<TransferStatus> fast = {
        Complete(skinFirst ? "skin-id" : "main-id", skinFirst ? "skin.dat" : "bin/app")};
    run.transfers.Expect("mainpkg", "main-id", {Status("main-id", TransferState::Initialized)},
                         skinFirst ? slow : fast);
    run.transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                         skinFirst ? fast : slow);
    EXPECT_EQ(run.Run(), Updater::kLaunched);
    ASSERT_EQ(run.launches.size(), 1u);
    EXPECT_EQ(run.launches[0].mainRunPath, "bin/app");
    EXPECT_EQ(run.launches[0].skinRunPath, "skin.dat");
  }
}

TransferStatus WithMessage(TransferStatus status, const std::string& message) {
  status.errorMessage = message;
  return status;
}

// The exit status is the one halvane-get has for the same failure (app/exit_status.h).
TEST(DialogTest, EveryFailureShowsItsMessageAndExitsWithItsStatus) {
  const std::string unexpected =
      "An unexpected error occurred. Please visit support.halvane.com for further assistance.";
  const struct {
    const char* name;
    TransferStatus mainEnd;
    std::string message;
    int exit = kExitFailed;
  } cases[] = {
      {"connection", Status("main-id", TransferState::Transferring, TransferError::ConnectionError),
       messages::kConnectionError, kExitNetwork},
      {"memory", Status("main-id", TransferState::Transferring, TransferError::InsufficientMemory),
       messages::kOutOfMemoryError},
      {"disk full", Status("main-id", TransferState::Complete, TransferError::InsufficientSpace),
       messages::kDiskFullError, kExitDiskFull},
      {"access", Status("main-id", TransferState::Suspended, TransferError::FileAccessError),
       messages::kDiskWriteError, kExitLocalFiles},
      {"file", Status("main-id", TransferState::Transferring, TransferError::FileError),
       messages::kDiskWriteError, kExitLocalFiles},
      {"checksum", Status("main-id", TransferState::Transferring, TransferError::ChecksumError),
       unexpected, kExitNotAuthentic},
      {"unknown", Status("main-id", TransferState::Canceled, TransferError::UnknownError),
       unexpected},
      // Ends without an error that nothing of this run asked for.
      {"canceled", Status("main-id", TransferState::Canceled), unexpected},
      {"suspended", Status("main-id", TransferState::Suspended), unexpected},
      {"gone", Status("main-id", TransferState::None), unexpected},
      // The words of a failed node or document follow the sentence; internal messages do not.
      // A server that refused or did not answer is named as not answering, not the user's
      // connection; a name that did not resolve or a proxy that failed point at the connection.
      {"a node in words",
       WithMessage(Status("main-id", TransferState::Transferring, TransferError::ConnectionError),
                   "node 127.0.0.1:1, file a.bin: the server 127.0.0.1:1 refused the connection "
                   "(libcurl error 7)"),
       "The server 127.0.0.1:1 is not answering. Please try again later.\n\nnode 127.0.0.1:1, "
       "file a.bin: the server 127.0.0.1:1 refused the connection (libcurl error 7)",
       kExitNetwork},
      {"a host in words",
       WithMessage(Status("main-id", TransferState::Initializing, TransferError::ConnectionError),
                   "the server h:8080 did not answer in time (libcurl error 28)"),
       "The server h:8080 is not answering. Please try again later.\n\nthe server h:8080 did "
       "not answer in time (libcurl error 28)",
       kExitNetwork},
      {"a name that did not resolve",
       WithMessage(Status("main-id", TransferState::Initializing, TransferError::ConnectionError),
                   "the host name h could not be resolved (libcurl error 6)"),
       std::string(messages::kConnectionError) +
           "\n\nthe host name h could not be resolved (libcurl error 6)",
       kExitNetwork},
      {"a proxy in words",
       WithMessage(Status("main-id", TransferState::Initializing, TransferError::ConnectionError),
                   "the proxy p:3128 refused the connection (libcurl error 7)"),
       std::string(messages::kConnectionError) +
           "\n\nthe proxy p:3128 refused the connection (libcurl error 7)",
       kExitNetwork},
      {"a document in words",
       WithMessage(Status("main-id", TransferState::Transferring, TransferError::ManifestError),
                   "no such document at http://h/manifests/p/current.xml"),
       unexpected + "\n\nno such document at http://h/manifests/p/current.xml", kExitNotFound},
      {"an internal message",
       WithMessage(Status("main-id", TransferState::Transferring, TransferError::UnknownError),
                   "Transfer::Start called twice"),
       unexpected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DialogRun run;
    run.transfers.Expect("mainpkg", "main-id", {Status("main-id", TransferState::Initialized)},
                         {Progress("main-id", 1, 2, 1), c.mainEnd});
    run.transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                         {Complete("skin-id", "skin.dat")});
    EXPECT_EQ(run.Run(), c.exit);
    // A transfer's error offers Retry; an end that nothing asked for does not.
    const std::string retry = c.mainEnd.error != TransferError::None ? "|Retry" : "";
    EXPECT_EQ(run.view.Last("error").text, "Halvane Demo Downloader Error|" + c.message + retry);
    EXPECT_TRUE(run.launches.empty());
  }
}

TEST(DialogTest, RefusedStartsShowTheUnexpectedError) {
  const struct {
    const char* name;
    std::string resources;
    bool initializeFails;
    bool startThrows;
  } cases[] = {
      {"empty skin package id", std::string(kResources) + "106=\n", false, false},
      {"initialization error", kResources, true, false},
      {"exception in a monitor report", kResources, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DialogRun run(c.resources);
    run.ScriptSuccess();
    if (c.initializeFails) {
      run.transfers.InitializeReturns("skinpkg", TransferStatus());
    }
    if (c.startThrows) run.transfers.StartThrows();
    EXPECT_EQ(run.Run(), Updater::kFailed);
    EXPECT_EQ(run.view.Last("error").text,
              "Halvane Demo Downloader Error|An unexpected error occurred. Please visit "
              "support.halvane.com for further assistance." +
                  std::string(c.initializeFails ? "|Retry" : ""));
    EXPECT_TRUE(run.transfers.started().empty());
    if (c.resources.find("106=\n") != std::string::npos) {
      EXPECT_TRUE(run.transfers.initialized().empty());
    }
  }
}

TEST(DialogTest, DestinationThatCannotBeCreatedShowsTheDiskMessage) {
  TempDir temp;
  // A file where the data folder's parent should be.
  const std::string blocked = temp.path() + "/file";
  { std::ofstream(blocked) << "x"; }
  DialogRun run(kResources, blocked);
  run.ScriptSuccess();
  EXPECT_EQ(run.Run(), kExitLocalFiles);
  EXPECT_EQ(run.view.Last("error").text,
            std::string("Halvane Demo Downloader Error|") + messages::kDiskWriteError);
}

TEST(DialogTest, FailedOrThrowingLaunchShowsTheLaunchMessage) {
  for (const bool throws : {false, true}) {
    DialogRun run;
    run.ScriptSuccess();
    const int code = run.Run([throws](const StartupParameters&, const std::string&,
                                      const std::string&, const std::string&) -> bool {
      if (throws) throw std::runtime_error("no program");
      return false;
    });
    EXPECT_EQ(code, Updater::kFailed);
    EXPECT_EQ(run.view.Last("error").text,
              "Halvane Demo Downloader Error|The Halvane Demo Downloader could not be launched. "
              "Please visit support.halvane.com for further assistance.");
  }
}

TEST(DialogTest, ClosingMidTransferEndsAtOnceAndLaterReportsDoNothing) {
  DialogRun run;
  std::vector<TransferStatus> endless(1, Progress("main-id", 1, 4, 30));
  run.transfers.Expect("mainpkg", "main-id", {Status("main-id", TransferState::Initialized)},
                       endless);
  run.transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                       {Complete("skin-id", "skin.dat")});
  run.view.onShown = [&run](const RecordingView::Shown& shown) {
    if (shown.view == "progress" && shown.percent == 25) run.view.listener()->OnCloseRequested();
  };
  EXPECT_EQ(run.Run(), Updater::kCanceled);
  // The monitor kept reporting progress until it was stopped; none reached the view again.
  const auto shown = run.view.shown();
  EXPECT_EQ(shown.back().percent, 25);
  EXPECT_TRUE(run.launches.empty());
}

TEST(DialogTest, ClosingWhileTheProgramRunsEndsAtOnceAndLeavesItRunning) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> launchEnded;
  {
    DialogRun run;
    run.ScriptSuccess();
    run.view.onShown = [&run](const RecordingView::Shown& shown) {
      if (shown.view == "launching") run.view.listener()->OnCloseRequested();
    };
    const int code = run.Run([released, &launchEnded](const StartupParameters&, const std::string&,
                                                      const std::string&, const std::string&) {
      released.wait();
      launchEnded.set_value();
      return true;
    });
    EXPECT_EQ(code, Updater::kCanceled);
  }  // the dialog is gone while the program still runs
  release.set_value();
  launchEnded.get_future().wait();
}

TEST(DialogTest, ARerunOverCompleteFilesSaysItIsChecking) {
  DialogRun run;
  TransferStatus checking = Progress("main-id", 3 * 1048576, 10 * 1048576, -1);
  checking.checking = true;
  run.transfers.Expect("mainpkg", "main-id", {Status("main-id", TransferState::Initialized)},
                       {checking, Complete("main-id", "bin/app")});
  run.transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                       {Complete("skin-id", "skin.dat")});
  EXPECT_EQ(run.Run(), Updater::kLaunched);
  EXPECT_EQ(run.view.Last("progress").text,
            "3.0 MB of 10.0 MB|Checking the files already downloaded");
}

TEST(DialogTest, MegabytesAreWrittenAsTheLanguageWritesDecimals) {
  const struct {
    std::uint64_t bytes;
    const char* language;
    const char* text;
  } cases[] = {
      {0, "", "0.0"},         {1048575, "", "0.9"},  // never rounded up to done
      {1572864, "de", "1,5"}, {1572864, "ja", "1.5"}, {5368709120, "fr", "5120,0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Updater::FormatMegabytes(c.bytes, c.language), c.text) << c.bytes << c.language;
  }
}

TEST(DialogTest, RetryStartsAgainAfterTheStoppedTransfers) {
  DialogRun run;
  run.transfers.Expect(
      "mainpkg", "main-id",
      {Status("main-id", TransferState::Initialized, TransferError::ConnectionError)}, {});
  run.transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                       {Progress("skin-id", 10, 20, 5)});
  run.view.retries = 1;
  run.view.onShown = [&run](const testing::RecordingView::Shown& shown) {
    if (shown.view != "error") return;
    run.transfers.Expect("mainpkg", "main-2", {Status("main-2", TransferState::Initialized)},
                         {Complete("main-2", "bin/app")});
    run.transfers.Expect("skinpkg", "skin-2", {Status("skin-2", TransferState::Initialized)},
                         {Complete("skin-2", "skin.dat")});
  };
  EXPECT_EQ(run.Run(), Updater::kLaunched);
  EXPECT_EQ(run.transfers.canceled(), (std::vector<std::string>{"main-id", "skin-id"}));
  ASSERT_EQ(run.launches.size(), 1u);
  EXPECT_EQ(run.launches[0].mainRunPath, "bin/app");
}

// Dismissing the box ends the run with the status of the error it showed.
TEST(DialogTest, ErrorBoxDismissedClosesWithFailure) {
  DialogRun run;
  run.transfers.Expect(
      "mainpkg", "main-id",
      {Status("main-id", TransferState::Initialized, TransferError::ConnectionError)}, {});
  run.transfers.Expect("skinpkg", "skin-id", {Status("skin-id", TransferState::Initialized)},
                       {Complete("skin-id", "skin.dat")});
  EXPECT_EQ(run.Run(), kExitNetwork);
  // An error reported with the initialization does not start the transfer.
  EXPECT_EQ(run.transfers.started().count("main-id"), 0u);
}

TEST(DialogTest, LanguageChoiceSwitchesTheLocaleBeforeTheTransfers) {
  DialogRun run(std::string(kResources) +
                "106=en=skin-en;de=skin-de\n108=en=Demo;de=Vorführung\n"
                "129=en=English;de=Deutsch\n130=en\n");
  run.transfers.Expect("skin-de", "skin-id", {Status("skin-id", TransferState::Initialized)},
                       {Complete("skin-id", "skin.dat")});
  run.transfers.Expect("mainpkg", "main-id", {Status("main-id", TransferState::Initialized)},
                       {Complete("main-id", "bin/app")});
  run.view.onShown = [&run](const RecordingView::Shown& shown) {
    if (shown.view == "choice") {
      // Nothing starts before the choice.
      EXPECT_TRUE(run.transfers.initialized().empty());
      run.view.Post([&run] { run.view.listener()->OnLanguageChosen(1); });
    }
  };
  EXPECT_EQ(run.Run(), Updater::kLaunched);
  EXPECT_EQ(run.view.Last("choice").text,
            std::string(messages::kLanguagePrompt) + "|OK|English;Deutsch;");
  EXPECT_EQ(run.view.Last("title").text, "Downloader für Vorführung");
  EXPECT_EQ(run.view.Last("launching").text, "Downloader für Vorführung wird gestartet");
  ASSERT_EQ(run.launches.size(), 1u);
  EXPECT_EQ(run.launches[0].language, "de");
  EXPECT_EQ(run.transfers.started().at("skin-id"), run.startup().dataFolder() + "/skin-de");
}

TEST(DialogTest, TheBuildNamesTheSupportAddressAndTitlesNeverLackTheName) {
  // A plain display name with languages configured, and a support address of its own.
  for (const bool throws : {false, true}) {
    DialogRun run(std::string(kResources) + "129=en=English;de=Deutsch\n130=de\n" +
                  "134=help.example.org\n");
    run.ScriptSuccess();
    if (throws) run.transfers.StartThrows();
    run.view.onShown = [&run](const RecordingView::Shown& shown) {
      if (shown.view == "choice") {
        run.view.Post([&run] { run.view.listener()->OnLanguageChosen(1); });
      }
    };
    const int code = run.Run([](const StartupParameters&, const std::string&, const std::string&,
                                const std::string&) -> bool { return false; });
    EXPECT_EQ(code, Updater::kFailed);
    EXPECT_EQ(run.view.Last("title").text, "Downloader für Halvane Demo");
    const std::string error = run.view.Last("error").text;
    EXPECT_NE(error.find("help.example.org"), std::string::npos) << error;
    EXPECT_EQ(error.find("support.halvane.com"), std::string::npos) << error;
    EXPECT_EQ(error.find('{'), std::string::npos) << error;
    // The window draws in the chosen language, and the box's button speaks it.
    EXPECT_EQ(run.view.languages, (std::vector<std::string>{"", "de"}));
    EXPECT_EQ(run.view.closeLabels, std::vector<std::string>{"Schließen"});
  }
}

TEST(DialogTest, DataFolderFailureShowsOnlyTheErrorBox) {
  DialogRun run;
  auto dialog =
      Dialog::CreateSingleton(run.view, run.transfers, run.locale(), run.startup(), nullptr);
  EXPECT_EQ(dialog->RunError(messages::kDiskWriteError), Updater::kFailed);
  EXPECT_EQ(run.view.Last("error").text,
            std::string("Halvane Demo Downloader Error|") + messages::kDiskWriteError);
  EXPECT_TRUE(run.transfers.initialized().empty());
}

TEST(DialogTest, OneDialogPerProcess) {
  EXPECT_THROW(Dialog::GetSingleton(), std::logic_error);
  DialogRun run;
  auto first =
      Dialog::CreateSingleton(run.view, run.transfers, run.locale(), run.startup(), nullptr);
  EXPECT_EQ(&Dialog::GetSingleton(), first.get());
  EXPECT_THROW(
      Dialog::CreateSingleton(run.view, run.transfers, run.locale(), run.startup(), nullptr),
      std::logic_error);
  first.reset();
  EXPECT_THROW(Dialog::GetSingleton(), std::logic_error);
}

}  // namespace
}  // namespace halv
