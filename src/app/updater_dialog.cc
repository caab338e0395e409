#include "app/updater_dialog.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "file/paths.h"
#include "http/http_request.h"
#include "locale/messages.h"
#include "locale/simple_locale.h"

namespace halv {
namespace Updater {
namespace {

// The process-wide dialog; guarded by gSingletonMutex.
std::mutex gSingletonMutex;
Dialog* gSingleton = nullptr;

}  // namespace

int ProgressPercent(std::uint64_t transferredBytes, std::uint64_t totalBytes) {
  if (totalBytes == 0) return 0;
  const double percent =
      std::floor(static_cast<double>(transferredBytes) * 100.0 / static_cast<double>(totalBytes));
  if (!(percent > 0.0)) return 0;  // also NaN
  if (percent >= 100.0) return 100;
  return static_cast<int>(percent);
}

std::string FormatMegabytes(std::uint64_t bytes, const std::string& language) {
  // Tenths of a megabyte, rounded down so that a download never reads as done before it is.
  constexpr std::uint64_t kMegabyte = 1024 * 1024;
  const std::uint64_t tenths = bytes / kMegabyte * 10 + bytes % kMegabyte * 10 / kMegabyte;
  static const char* const kDecimalPoint[] = {"", "en", "ja", "ko", "th", "zh_CN", "zh_TW"};
  bool point = false;
  for (const char* code : kDecimalPoint) point = point || language == code;
  return std::to_string(tenths / 10) + (point ? "." : ",") + std::to_string(tenths % 10);
}

std::string ProgressSizeText(const SimpleLocale& locale, std::uint64_t doneBytes,
                             std::uint64_t totalBytes, std::uint64_t bytesPerSecond) {
  const std::string language = locale.GetLanguage();
  std::string text =
      locale.Format(messages::kMegabytesOfTotal, FormatMegabytes(doneBytes, language),
                    FormatMegabytes(totalBytes, language));
  if (bytesPerSecond > 0) {
    text += " \u00b7 " +
            locale.Format(messages::kMegabytesPerSecond, FormatMegabytes(bytesPerSecond, language));
  }
  return text;
}

const char* ErrorMessage(TransferError error) {
  switch (error) {
    case TransferError::ConnectionError:
      return messages::kConnectionError;
    case TransferError::InsufficientMemory:
      return messages::kOutOfMemoryError;
    case TransferError::InsufficientSpace:
      return messages::kDiskFullError;
    case TransferError::FileAccessError:
    case TransferError::FileError:
      return messages::kDiskWriteError;
    default:
      return messages::kUnexpectedError;
  }
}

std::unique_ptr<Dialog> Dialog::CreateSingleton(View& view, TransferService& service,
                                                SimpleLocale& locale,
                                                const StartupParameters& startup,
                                                LaunchFunction launch) {
  std::lock_guard<std::mutex> lock(gSingletonMutex);
  if (gSingleton != nullptr) {
    throw std::logic_error("Dialog::CreateSingleton called multiple times");
  }
  std::unique_ptr<Dialog> dialog(new Dialog(view, service, locale, startup, std::move(launch)));
  gSingleton = dialog.get();
  return dialog;
}

Dialog& Dialog::GetSingleton() {
  std::lock_guard<std::mutex> lock(gSingletonMutex);
  if (gSingleton == nullptr) {
    throw std::logic_error("Dialog::GetSingleton called without CreateSingleton");
  }
  return *gSingleton;
}

Dialog::Dialog(View& view, TransferService& service, SimpleLocale& locale,
               const StartupParameters& startup, LaunchFunction launch)
    : view_(view),
      service_(service),
      locale_(locale),
      startup_(startup),
      launch_(std::move(launch)),
      link_(std::make_shared<LaunchLink>()) {
  link_->dialog = this;
  view_.SetListener(this);
}

Dialog::~Dialog() {
  view_.SetListener(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  {
    // After this the launch thread no longer reaches the dialog.
    std::lock_guard<std::mutex> lock(link_->mutex);
    link_->dialog = nullptr;
  }
  if (launchThread_.joinable()) {
    // A program that still runs keeps running; its waiting thread ends with the process.
    if (launchEnded_) {
      launchThread_.join();
    } else {
      launchThread_.detach();
    }
  }
  std::lock_guard<std::mutex> lock(gSingletonMutex);
  if (gSingleton == this) gSingleton = nullptr;
}

std::string Dialog::DisplayName() const {
  const std::string name = startup_.displayName(locale_.GetLanguage());
  if (!name.empty()) return name;
  // No name for this language: a plain name (no "code=Name" pairs) serves every language, and
  // a list without this language gives its first name, so that no title reads " Downloader".
  const std::string raw = startup_.displayName();
  const auto names = SplitLanguageList(raw);
  return names.empty() ? raw : names.front().second;
}

std::string Dialog::Title() const {
  return locale_.Format(messages::kDownloaderTitle, DisplayName());
}

int Dialog::Run() {
  {
    // The flag is set under the lock and the lock released before the loop runs: the loop's
    // handlers take it again on this thread.
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) return kFailed;
    shown_ = true;
  }
  view_.Open(Title());
  view_.SetLanguage(locale_.GetLanguage());
  ShowHeading();
  view_.ShowProgress(locale_.FormatTimeRemaining(-1));
  if (startup_.languages().empty()) {
    StartTransfers();
  } else {
    LanguageChoice choice;
    choice.prompt = locale_.Translate(messages::kLanguagePrompt);
    choice.confirm = locale_.Translate(messages::kConfirmLanguage);
    choice.numberPrompt = locale_.Format(messages::kLanguageNumberPrompt,
                                         std::to_string(startup_.languages().size()));
    for (const auto& language : startup_.languages()) choice.names.push_back(language.second);
    phase_ = Phase::Choosing;
    view_.ShowLanguageChoice(choice);
  }
  view_.RunLoop();
  return exitCode_;
}

int Dialog::RunError(const std::string& message, const std::string& detail, int exitCode) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) return kFailed;
    shown_ = true;
    failed_ = true;
  }
  phase_ = Phase::Error;
  exitCode_ = exitCode;
  view_.ShowError(
      locale_.Format(messages::kDownloaderErrorTitle, DisplayName()),
      detail.empty() ? locale_.Translate(message) : locale_.Translate(message) + "\n\n" + detail,
      std::string(), locale_.Translate(messages::kClose));
  view_.RunLoop();
  return exitCode_;
}

void Dialog::OnLanguageChosen(int index) {
  if (phase_ != Phase::Choosing) return;
  const auto& languages = startup_.languages();
  if (index >= 0 && static_cast<std::size_t>(index) < languages.size()) {
    locale_.SetLanguage(languages[static_cast<std::size_t>(index)].first);
    view_.SetLanguage(locale_.GetLanguage());
    view_.SetTitle(Title());
    ShowHeading();
  }
  view_.ShowProgress(locale_.FormatTimeRemaining(-1));
  StartTransfers();
}

void Dialog::ShowHeading() {
  view_.ShowHeading(DisplayName(), locale_.Translate(messages::kCancel));
}

void Dialog::StartTransfers() {
  phase_ = Phase::Transferring;
  const std::string language = locale_.GetLanguage();
  const std::string skinPackageId = startup_.skinPackageId(language);
  if (skinPackageId.empty()) {
    // An empty id would place the skin in the main package's folder.
    Fail(messages::kUnexpectedError);
    return;
  }
  try {
    // packageVersion= asks for that version of the program, never the current one in its place:
    // a version the host does not have fails the run with the document's address.
    const TransferStatus main = service_.InitializeTransfer(
        startup_.downloaderPartnerId(), startup_.downloaderPackageId(), startup_.packageVersion());
    const TransferStatus skin = service_.InitializeTransfer(startup_.skinPartnerId(), skinPackageId,
                                                            startup_.skinVersion());
    const auto refused = [](const TransferStatus& update) {
      return update.transferId.empty() || update.error != TransferError::None;
    };
    if (refused(main) || refused(skin)) {
      // Nothing of a refused start is left to retry but the start itself.
      FailWithText(locale_.Format(messages::kUnexpectedError, startup_.supportAddress()), true);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      language_ = language;
      mainTransferId_ = main.transferId;
      skinTransferId_ = skin.transferId;
    }
    service_.Watch(main.transferId, this);
    service_.Watch(skin.transferId, this);
  } catch (const std::exception&) {
    Fail(messages::kUnexpectedError);
  }
}

void Dialog::Guard(const std::function<void()>& report) {
  try {
    report();
  } catch (...) {
    Fail(messages::kUnexpectedError);
  }
}

void Dialog::OnTransferInitialized(const TransferStatus& update) {
  Guard([&] {
    std::string destination;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_ || failed_) return;
      // Sibling folders, so that no file of one package can land among the other's.
      destination = update.transferId == skinTransferId_
                        ? JoinPath(startup_.dataFolder(), startup_.skinPackageId(language_))
                        : startup_.mainFolder();
    }
    // A retryable error reported with the initialization follows as OnTransferError.
    if (update.error != TransferError::None) return;
    if (!PathExists(destination) && !CreateDirectories(destination)) {
      Fail(messages::kDiskWriteError, kExitLocalFiles);
      return;
    }
    service_.StartTransfer(update.transferId, destination);
    service_.Watch(update.transferId, this);
  });
}

void Dialog::OnTransferProgress(const TransferStatus& update) {
  Guard([&] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_ || failed_ || update.transferId != mainTransferId_) return;
    }
    if (update.state != TransferState::Transferring || update.error != TransferError::None) {
      return;
    }
    const int percent = ProgressPercent(update.transferredBytes, update.totalBytes);
    // A check of what an earlier run left has no download rate to show.
    std::string size =
        update.totalBytes == 0
            ? std::string()
            : ProgressSizeText(locale_, std::min(update.transferredBytes, update.totalBytes),
                               update.totalBytes, update.checking ? 0 : update.bytesPerSecond);
    // A check of what an earlier run left has no download rate to tell a time from.
    std::string text = update.checking ? locale_.Translate(messages::kCheckingFiles)
                                       : locale_.FormatTimeRemaining(update.secondsRemaining);
    std::string percentText = locale_.Format(messages::kPercent, std::to_string(percent));
    view_.Post([this, percent, percentText = std::move(percentText), size = std::move(size),
                text = std::move(text)] {
      if (phase_ == Phase::Transferring) view_.SetProgress(percent, percentText, size, text);
    });
  });
}

void Dialog::OnTransferError(const TransferStatus& update) { OnTransferFinished(update); }

void Dialog::OnTransferFinished(const TransferStatus& update) {
  Guard([&] {
    bool launch = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closed_ || failed_) return;
      const bool isMain = update.transferId == mainTransferId_;
      if (!isMain && update.transferId != skinTransferId_) return;
      if (update.error == TransferError::None && update.state == TransferState::Complete) {
        (isMain ? mainDone_ : skinDone_) = true;
        (isMain ? mainRunPath_ : skinRunPath_) = update.runPath;
        launch = mainDone_ && skinDone_ && !launching_;
        launching_ = launching_ || launch;
      }
    }
    if (update.error != TransferError::None) {
      // A server that refused or did not answer is no fault of the user's connection.
      const std::string server = update.error == TransferError::ConnectionError
                                     ? ServerNotAnswering(update.errorMessage)
                                     : std::string();
      std::string text = server.empty()
                             ? locale_.Format(ErrorMessage(update.error), startup_.supportAddress())
                             : locale_.Format(messages::kServerNotAnswering, server);
      // A host, node or document that failed is named in words after the sentence, so that the
      // user (or whoever helps them) knows where to look; other messages are the program's own.
      if ((update.error == TransferError::ConnectionError ||
           update.error == TransferError::ManifestError) &&
          !update.errorMessage.empty()) {
        text += "\n\n" + update.errorMessage;
      }
      const int exitCode = ExitStatusOf(update);
      FailWithText(text, true, exitCode == kExitComplete ? kFailed : exitCode);
    } else if (update.state != TransferState::Complete) {
      // Nothing of this run cancels or suspends its transfers while the window is open, so such
      // an end is unexpected; waiting would leave "Calculating time remaining" up forever.
      Fail(messages::kUnexpectedError);
    } else if (launch) {
      StartLaunch();
    }
  });
}

void Dialog::StartLaunch() {
  std::string text = locale_.Format(messages::kLaunchingDownloader, DisplayName());
  view_.Post([this, text = std::move(text)] {
    if (phase_ != Phase::Transferring) return;
    phase_ = Phase::Launching;
    view_.ShowLaunching(text);
    std::string language, mainRunPath, skinRunPath;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      language = language_;
      mainRunPath = mainRunPath_;
      skinRunPath = skinRunPath_;
    }
    launchThread_ = std::thread([launch = launch_, startup = startup_, link = link_,
                                 ended = &launchEnded_, language, mainRunPath, skinRunPath] {
      bool launched = false;
      try {
        launched = launch(startup, language, mainRunPath, skinRunPath);
      } catch (...) {
        launched = false;
      }
      std::lock_guard<std::mutex> lock(link->mutex);
      if (link->dialog == nullptr) return;  // the dialog is gone, and `ended` with it
      ended->store(true);
      link->dialog->OnLaunchFinished(launched);
    });
  });
}

void Dialog::OnLaunchFinished(bool launched) {
  if (launched) {
    view_.Post([this] {
      if (phase_ == Phase::Launching) Close(kLaunched);
    });
  } else {
    FailWithText(
        locale_.Format(messages::kLaunchFailedError, DisplayName(), startup_.supportAddress()));
  }
}

void Dialog::Fail(const std::string& message, int exitCode) {
  // Only the unexpected error has a placeholder: the support address.
  FailWithText(locale_.Format(message, startup_.supportAddress()), false, exitCode);
}

void Dialog::FailWithText(const std::string& text, bool retry, int exitCode) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || failed_) return;
    failed_ = true;
    retryable_ = retry;
  }
  std::string caption = locale_.Format(messages::kDownloaderErrorTitle, DisplayName());
  std::string retryLabel = retry ? locale_.Translate(messages::kRetry) : std::string();
  std::string closeLabel = locale_.Translate(messages::kClose);
  view_.Post([this, caption = std::move(caption), text, retryLabel = std::move(retryLabel),
              closeLabel = std::move(closeLabel), exitCode] {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Error;
    exitCode_ = exitCode;
    view_.ShowError(caption, text, retryLabel, closeLabel);
  });
}

// The error shown decided the exit status.
void Dialog::OnErrorDismissed() { Close(exitCode_); }

void Dialog::OnRetryRequested() {
  if (phase_ != Phase::Error) return;
  std::string mainId, skinId;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || !retryable_) return;
    // Reports of the old transfers match no id from here on, so none can fail the new run.
    mainId.swap(mainTransferId_);
    skinId.swap(skinTransferId_);
    mainRunPath_.clear();
    skinRunPath_.clear();
    mainDone_ = skinDone_ = false;
    failed_ = retryable_ = false;
  }
  // Stopped with their files kept, and their destinations free: the new transfers resume what
  // the old ones wrote.
  for (const std::string& id : {mainId, skinId}) {
    if (id.empty()) continue;
    try {
      service_.CancelTransfer(id);
    } catch (const std::exception&) {
      // A transfer that cannot be stopped leaves its destination held: the new start says so.
    }
  }
  exitCode_ = kCanceled;
  view_.ShowProgress(locale_.FormatTimeRemaining(-1));
  StartTransfers();
}

void Dialog::OnCloseRequested() { Close(phase_ == Phase::Error ? exitCode_ : kCanceled); }

void Dialog::Close(int exitCode) {
  if (phase_ == Phase::Closed) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  phase_ = Phase::Closed;
  exitCode_ = exitCode;
  view_.Quit();
}

}  // namespace Updater
}  // namespace halv
