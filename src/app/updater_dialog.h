#ifndef HALV_APP_UPDATER_DIALOG_H_
#define HALV_APP_UPDATER_DIALOG_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/exit_status.h"
#include "app/startup_parameters.h"
#include "app/transfer_monitor.h"
#include "app/updater_view.h"
#include "transfer/transfer_error.h"
#include "transfer/transfer_status.h"

namespace halv {

class SimpleLocale;

namespace Updater {

// The transfer operations the dialog needs: the services that run transfers and the monitor
// that reports on them (Services and TransferMonitorImpl in the product; fakes in tests).
// Thread-safety: any thread.
class TransferService {
 public:
  virtual ~TransferService() = default;
  // A new transfer of the package, initializing; versionId "?" asks for the current version.
  virtual TransferStatus InitializeTransfer(const std::string& partnerId,
                                            const std::string& packageId,
                                            const std::string& versionId) = 0;
  // Starts the initialized transfer into destPath.
  virtual TransferStatus StartTransfer(const std::string& transferId,
                                       const std::string& destPath) = 0;
  // Reports on the transfer to `callback` on the monitor's thread, from the next cycle until its
  // next one-time event.
  virtual void Watch(const std::string& transferId, TransferMonitorCallback* callback) = 0;
  // Stops the transfer and keeps its files, so that a new transfer of the package resumes them.
  virtual void CancelTransfer(const std::string& transferId) = 0;
};

// The process exit status of a run: the statuses of halvane-get (app/exit_status.h), read from
// the transfer that failed when an error box was shown for one.
enum ExitCode : int {
  kLaunched = kExitComplete,     // both packages are complete and the program was started and ended
  kFailed = kExitFailed,         // an error box was shown for anything but a transfer's failure
  kCanceled = kExitInterrupted,  // the window was closed (or Cancel pressed) before the launch
};

// Starts the downloaded program and waits for it to exit (Launch in the product).
using LaunchFunction =
    std::function<bool(const StartupParameters& startup, const std::string& language,
                       const std::string& mainRunPath, const std::string& skinRunPath)>;

// The bar position for transferred of total bytes: 0 when the total is unknown (0), otherwise
// the integer part of the percentage, clamped to 0..100.
int ProgressPercent(std::uint64_t transferredBytes, std::uint64_t totalBytes);

// The size line's numbers: megabytes (of 2^20 bytes) with one decimal, the decimal mark as the
// language writes it ("12,5" in German, "12.5" in English).
std::string FormatMegabytes(std::uint64_t bytes, const std::string& language);

// The size line of the progress view in the locale's language: megabytes done of all, then,
// while bytes come over the network (`bytesPerSecond` above 0), the rate in megabytes per second.
std::string ProgressSizeText(const SimpleLocale& locale, std::uint64_t doneBytes,
                             std::uint64_t totalBytes, std::uint64_t bytesPerSecond);

// The message id (untranslated) that tells the user about `error`.
const char* ErrorMessage(TransferError error);

// The updater's dialog logic: the language choice, the two transfers of a run (the downloader
// package and its skin), the product's name, the progress, size and time-remaining lines (a
// check of files on disk says so instead of a time), the launch of the downloaded program once
// both are complete, and the error box, whose Retry starts both transfers again. Cancel is
// closing the window: the transfers end with the process's services, which suspend them, and
// the next run resumes their files. It draws through a View, so the same flow runs in a GTK
// window and on a terminal.
// Ownership: owned by the entry; the view, the service and the locale are not owned and outlive
// it. At most one per process (CreateSingleton).
// Thread-safety: Run and the ViewListener operations on the GUI thread; the On... transfer
// reports on the monitor's thread. Reports never touch the view directly: they post copies of
// what to show to the GUI thread, which drops them once the window is closed. The launched
// program is waited for on a thread of the dialog's own, so that closing the window ends the
// run at once while the program keeps running.
class Dialog final : public TransferMonitorCallback, public ViewListener {
 public:
  // The one dialog of the process; a second call throws std::logic_error.
  static std::unique_ptr<Dialog> CreateSingleton(View& view, TransferService& service,
                                                 SimpleLocale& locale,
                                                 const StartupParameters& startup,
                                                 LaunchFunction launch);
  // Throws std::logic_error when there is none.
  static Dialog& GetSingleton();

  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;
  ~Dialog() override;

  // Opens the window and runs its loop until it closes; the exit status of the run. A second
  // call returns kFailed at once.
  int Run();
  // Shows only the error box with the translation of `message` and runs the loop until it is
  // dismissed (a start-up failure: no transfer starts); returns `exitCode`.
  // `detail`, when given, follows the translated message on a line of its own (a path, which
  // needs no translation).
  int RunError(const std::string& message, const std::string& detail = std::string(),
               int exitCode = kFailed);

  // TransferMonitorCallback (monitor thread). OnTransferError is the same as OnTransferFinished.
  void OnTransferProgress(const TransferStatus& status) override;
  void OnTransferInitialized(const TransferStatus& status) override;
  void OnTransferError(const TransferStatus& status) override;
  void OnTransferFinished(const TransferStatus& status) override;

  // ViewListener (GUI thread).
  void OnLanguageChosen(int index) override;
  void OnCloseRequested() override;
  void OnErrorDismissed() override;
  void OnRetryRequested() override;

 private:
  // What the GUI thread shows.
  enum class Phase { Idle, Choosing, Transferring, Launching, Error, Closed };
  // Shared with the launch thread, which reports through it while the dialog lives.
  struct LaunchLink {
    std::mutex mutex;
    Dialog* dialog = nullptr;  // guarded by mutex
  };

  Dialog(View& view, TransferService& service, SimpleLocale& locale,
         const StartupParameters& startup, LaunchFunction launch);

  std::string DisplayName() const;
  std::string Title() const;
  void ShowHeading();
  void StartTransfers();
  void StartLaunch();
  void OnLaunchFinished(bool launched);
  // Shows the error box with the translation of `message`, once per run; the run then ends with
  // `exitCode`. Any thread.
  void Fail(const std::string& message, int exitCode = kFailed);
  // Shows the error box with a finished text, with Retry when `retry`; any thread.
  void FailWithText(const std::string& text, bool retry = false, int exitCode = kFailed);
  // GUI thread.
  void Close(int exitCode);
  // Runs a monitor report; an exception ends the run with the unexpected-error message.
  void Guard(const std::function<void()>& report);

  // Constant after construction.
  View& view_;
  TransferService& service_;
  SimpleLocale& locale_;
  const StartupParameters startup_;
  const LaunchFunction launch_;
  const std::shared_ptr<LaunchLink> link_;

  // GUI thread only.
  Phase phase_ = Phase::Idle;
  int exitCode_ = kCanceled;
  std::thread launchThread_;
  std::atomic<bool> launchEnded_{false};

  std::mutex mutex_;
  // Guarded by mutex_.
  bool shown_ = false;
  bool closed_ = false;
  bool failed_ = false;
  bool retryable_ = false;  // the error box shown offers Retry
  bool launching_ = false;
  std::string language_;  // the language the transfers were started in
  std::string mainTransferId_;
  std::string skinTransferId_;
  std::string mainRunPath_;
  std::string skinRunPath_;
  bool mainDone_ = false;
  bool skinDone_ = false;
};

}  // namespace Updater
}  // namespace halv

#endif  // HALV_APP_UPDATER_DIALOG_H_
