#ifndef HALV_TESTS_DIALOG_DIALOG_FAKES_H_
#define HALV_TESTS_DIALOG_DIALOG_FAKES_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/transfer_monitor.h"
#include "app/updater_dialog.h"
#include "app/updater_view.h"
#include "transfer/transfer_status.h"

namespace halv {
namespace testing {

inline TransferStatus Status(const std::string& id, TransferState state,
                             TransferError error = TransferError::None) {
  TransferStatus status(id, state);
  status.error = error;
  return status;
}

inline TransferStatus Progress(const std::string& id, std::uint64_t done, std::uint64_t total,
                               std::int32_t seconds) {
  TransferStatus status(id, TransferState::Transferring);
  status.transferredBytes = done;
  status.totalBytes = total;
  status.secondsRemaining = seconds;
  return status;
}

inline TransferStatus Complete(const std::string& id, const std::string& runPath) {
  TransferStatus status(id, TransferState::Complete);
  status.runPath = runPath;
  return status;
}

// Transfers that report scripted statuses through a real TransferMonitorImpl polling every
// millisecond. Each id has a script before Start and one after; each poll takes the next status
// and the last one repeats.
class ScriptedTransfers : public Updater::TransferService, public TransferStatusSource {
 public:
  using Script = std::vector<TransferStatus>;

  ScriptedTransfers() : monitor_(new TransferMonitorImpl(*this, SteadyClock::Instance(), 1)) {
    monitor_->Start();
  }
  ~ScriptedTransfers() override { StopMonitor(); }

  // Scripts for the next InitializeTransfer of `packageId`, whose transfer gets `id`.
  void Expect(const std::string& packageId, const std::string& id, Script beforeStart,
              Script afterStart) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_[packageId] = id;
    before_[id] = std::deque<TransferStatus>(beforeStart.begin(), beforeStart.end());
    after_[id] = std::deque<TransferStatus>(afterStart.begin(), afterStart.end());
  }
  void InitializeReturns(const std::string& packageId, TransferStatus status) {
    std::lock_guard<std::mutex> lock(mutex_);
    initializeResults_[packageId] = std::move(status);
  }
  void StartThrows() {
    std::lock_guard<std::mutex> lock(mutex_);
    startThrows_ = true;
  }

  TransferStatus InitializeTransfer(const std::string& partnerId, const std::string& packageId,
                                    const std::string& versionId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    initialized_.push_back(partnerId + "/" + packageId + "/" + versionId);
    const auto result = initializeResults_.find(packageId);
    if (result != initializeResults_.end()) return result->second;
    return Status(ids_.at(packageId), TransferState::Initializing);
  }
  TransferStatus StartTransfer(const std::string& transferId,
                               const std::string& destPath) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (startThrows_) throw std::runtime_error("start failed");
    started_[transferId] = destPath;
    return Status(transferId, TransferState::Transferring);
  }
  void Watch(const std::string& transferId, TransferMonitorCallback* callback) override {
    monitor_->Watch(transferId, callback);
  }
  void CancelTransfer(const std::string& transferId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    canceled_.push_back(transferId);
  }
  TransferStatus GetTransferStatus(const std::string& transferId) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& script = started_.count(transferId) != 0 ? after_[transferId] : before_[transferId];
    if (script.empty()) return TransferStatus();
    TransferStatus status = script.front();
    if (script.size() > 1) script.pop_front();
    return status;
  }

  std::vector<std::string> initialized() {
    std::lock_guard<std::mutex> lock(mutex_);
    return initialized_;
  }
  std::vector<std::string> canceled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return canceled_;
  }
  std::map<std::string, std::string> started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  // Joins the monitor's thread: no report follows. Call before the dialog goes. The pointer
  // is not cleared: a report that runs meanwhile may still Watch, and the join waits for it.
  void StopMonitor() {
    if (stopped_) return;
    stopped_ = true;
    delete monitor_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> ids_;
  std::map<std::string, std::deque<TransferStatus>> before_, after_;
  std::map<std::string, TransferStatus> initializeResults_;
  std::map<std::string, std::string> started_;
  std::vector<std::string> initialized_;
  std::vector<std::string> canceled_;
  bool startThrows_ = false;
  TransferMonitorImpl* const monitor_;
  bool stopped_ = false;  // test thread only
};

// A view without a window: records what it is asked to show and runs posted tasks on the
// thread of RunLoop; `onShown` is called there after each recorded view, with its name. An
// error box is dismissed as soon as it is shown.
class RecordingView : public Updater::View {
 public:
  struct Shown {
    std::string view;
    std::string text;
    int percent = -1;
  };

  std::function<void(const Shown&)> onShown;

  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quit_) return;
    tasks_.push_back(std::move(task));
    wakeup_.notify_one();
  }
  void SetListener(Updater::ViewListener* listener) override { listener_ = listener; }
  void Open(const std::string& title) override { Record({"open", title}); }
  void SetTitle(const std::string& title) override { Record({"title", title}); }
  void ShowLanguageChoice(const Updater::LanguageChoice& choice) override {
    std::string names;
    for (const auto& name : choice.names) names += name + ";";
    Record({"choice", choice.prompt + "|" + choice.confirm + "|" + names});
  }
  void ShowHeading(const std::string& name, const std::string& cancel) override {
    Record({"heading", name + "|" + cancel});
  }
  void ShowProgress(const std::string& text) override { Record({"progress", text, 0}); }
  void SetProgress(int percent, const std::string& percentText, const std::string& size,
                   const std::string& text) override {
    Record({"progress", size + "|" + text, percent});
    percentTexts.push_back(percentText);
  }
  void ShowLaunching(const std::string& text) override { Record({"launching", text}); }
  void SetLanguage(const std::string& language) override { languages.push_back(language); }
  // Dismissed at once, as on a terminal; with Retry offered, retried as often as `retries` says.
  void ShowError(const std::string& caption, const std::string& text, const std::string& retry,
                 const std::string& close) override {
    Record({"error", caption + "|" + text + (retry.empty() ? "" : "|" + retry)});
    closeLabels.push_back(close);
    const bool again = !retry.empty() && retries > 0;
    if (again) --retries;
    Post([this, again] {
      if (listener_ == nullptr) return;
      if (again) {
        listener_->OnRetryRequested();
      } else {
        listener_->OnErrorDismissed();
      }
    });
  }
  int retries = 0;                        // GUI thread
  std::vector<std::string> closeLabels;   // of every error box shown; GUI thread
  std::vector<std::string> languages;     // every language set; GUI thread
  std::vector<std::string> percentTexts;  // of every SetProgress; GUI thread
  void RunLoop() override {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wakeup_.wait(lock, [this] { return quit_ || !tasks_.empty(); });
        if (quit_) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }
  void Quit() override {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    tasks_.clear();
    wakeup_.notify_all();
  }

  Updater::ViewListener* listener() { return listener_; }
  std::vector<Shown> shown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
  }
  // The last recorded view of that name, or an empty record.
  Shown Last(const std::string& view) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = shown_.rbegin(); it != shown_.rend(); ++it) {
      if (it->view == view) return *it;
    }
    return Shown();
  }

 private:
  void Record(Shown shown) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shown_.push_back(shown);
    }
    if (onShown) onShown(shown);
  }

  Updater::ViewListener* listener_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  bool quit_ = false;
  std::deque<std::function<void()>> tasks_;
  std::vector<Shown> shown_;
};

}  // namespace testing
}  // namespace halv

#endif  // HALV_TESTS_DIALOG_DIALOG_FAKES_H_
