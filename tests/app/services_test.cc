// Services over a real nginx site: the commands of a transfer through its manager, suspension at
// teardown and restoration by id in the next Services.

#include "app/services.h"

#include "app/transfer_monitor.h"

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "app/transfer_monitor.h"
#include "http/curl_http_request.h"
#include "nginx_site.h"
#include "scoped_environment.h"
#include "temp_dir.h"

namespace halv {
namespace {

namespace fs = std::filesystem;

class ServicesTest : public testing::Test {
 protected:
  ServicesTest()
      : cache_("XDG_CACHE_HOME", temp_.Child("cache")),
        site_(HALV_PUBLISH_BINARY, HALV_SERVE_NGINX, temp_.Child("site"), 2) {
    InitializeCurl();
    content_ = test::PseudoRandomBytes(64 * 65536 + 5, 7);
    test::WriteFile(temp_.Child("in/data.bin"), content_);
    site_.Add(temp_.Child("in"), "R", "abc", "7", "--chunk-size 65536");
    site_.Serve();
    settings_.manifestHost = site_.ManifestHost();
    settings_.workThreads = 8;
  }

  std::unique_ptr<Services> NewServices() {
    return std::make_unique<Services>(settings_, temp_.Child("cache"), AnalyticsEndpoints{});
  }

  // Follows the transfer with the product's monitor until `done` holds; returns that status.
  static TransferStatus WaitFor(Services& services, const std::string& id,
                                const std::function<bool(const TransferStatus&)>& done) {
    class Waiter : public TransferMonitorCallback {
     public:
      explicit Waiter(std::function<bool(const TransferStatus&)> done) : done_(std::move(done)) {}
      void OnTransferProgress(const TransferStatus& s) override { Offer(s); }
      void OnTransferInitialized(const TransferStatus& s) override { Offer(s); }
      void OnTransferError(const TransferStatus& s) override { Offer(s); }
      void OnTransferFinished(const TransferStatus& s) override { Offer(s); }
      TransferStatus Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return found_; });
        return status_;
      }

     private:
      void Offer(const TransferStatus& s) {
        if (!done_(s) && !s.IsFinished() && s.state != TransferState::Initialized) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (found_) return;
        found_ = true;
        status_ = s;
        changed_.notify_all();
      }
      const std::function<bool(const TransferStatus&)> done_;
      std::mutex mutex_;
      std::condition_variable changed_;
      bool found_ = false;
      TransferStatus status_;
    } waiter(done);
    TransferMonitorImpl monitor(services);
    monitor.Watch(id, &waiter);
    monitor.Start();
    return waiter.Wait();
  }

  static bool Initialized(const TransferStatus& s) {
    return s.state == TransferState::Initialized || s.IsFinished();
  }

  test::TempDir temp_;
  test::ScopedEnvironmentVariable cache_;
  test::NginxSite site_;
  std::string content_;
  Settings settings_;
};

TEST_F(ServicesTest, UnknownIdsAnswerWithStatusesInStateNone) {
  auto services = NewServices();
  const TransferStatus unknown = services->GetTransferStatus(std::string(32, 'f'));
  EXPECT_EQ(unknown.transferId, std::string(32, 'f'));
  EXPECT_EQ(unknown.state, TransferState::None);
  EXPECT_EQ(services->StartTransfer("x", temp_.Child("dest")).state, TransferState::None);
}

TEST_F(ServicesTest, PauseResumeAndCancelWithDeletion) {
  auto services = NewServices();
  const std::string id = services->InitializeTransfer("R", "abc").transferId;
  ASSERT_EQ(WaitFor(*services, id, Initialized).state, TransferState::Initialized);
  EXPECT_TRUE(services->HasSufficientSpace(id, temp_.Child("dest")));
  fs::create_directories(temp_.Child("dest"));
  EXPECT_EQ(services->StartTransfer(id, temp_.Child("dest")).state, TransferState::Transferring);
  const TransferStatus paused = services->PauseTransfer(id);
  if (paused.state == TransferState::Paused) {
    EXPECT_EQ(services->ResumeTransfer(id).state, TransferState::Transferring);
  } else {
    EXPECT_EQ(paused.state, TransferState::Complete) << "only a finished transfer refuses";
  }
  WaitFor(*services, id, [](const TransferStatus& s) { return s.IsFinished(); });
  EXPECT_EQ(services->GetTransferStatus(id).state, TransferState::Complete);
  EXPECT_EQ(test::ReadFile(temp_.Child("dest/data.bin")), content_);
  // Cancel with deletion removes what the transfer wrote, even after completion.
  services->CancelTransfer(id, true);
  EXPECT_FALSE(fs::exists(temp_.Child("dest/data.bin")));
}

// As the window's Retry does: a transfer stopped in the middle, then a new one into the same
// folder at once. The new one gets the folder once the stopped one's works let go, and
// completes; the stopped one never makes it fail as "another download".
TEST_F(ServicesTest, ANewTransferIntoTheFolderOfAStoppedOneStartsAndCompletes) {
  auto services = NewServices();
  const std::string dest = temp_.Child("dest");
  fs::create_directories(dest);
  const std::string stopped = services->InitializeTransfer("R", "abc").transferId;
  ASSERT_EQ(WaitFor(*services, stopped, Initialized).state, TransferState::Initialized);
  const std::string again = services->InitializeTransfer("R", "abc").transferId;
  ASSERT_EQ(WaitFor(*services, again, Initialized).state, TransferState::Initialized);

  ASSERT_EQ(services->StartTransfer(stopped, dest).state, TransferState::Transferring);
  services->CancelTransfer(stopped, false);
  const TransferStatus started = services->StartTransfer(again, dest);
  ASSERT_EQ(started.state, TransferState::Transferring) << started.errorMessage;
  const TransferStatus end =
      WaitFor(*services, again, [](const TransferStatus& s) { return s.IsFinished(); });
  EXPECT_EQ(end.state, TransferState::Complete) << end.errorMessage;
  EXPECT_EQ(test::ReadFile(dest + "/data.bin"), content_);
}

TEST_F(ServicesTest, TeardownSuspendsAndTheNextServicesRestoreById) {
  std::string id;
  {
    auto services = NewServices();
    id = services->InitializeTransfer("R", "abc", "7").transferId;
    ASSERT_EQ(WaitFor(*services, id, Initialized).state, TransferState::Initialized);
    fs::create_directories(temp_.Child("dest"));
    services->StartTransfer(id, temp_.Child("dest"));
    services->PauseTransfer(id);
    // Destroying the services suspends the transfer, whose description stays in the store.
  }
  auto services = NewServices();
  const TransferStatus restored = services->RestoreTransfer(id);
  EXPECT_EQ(restored.state, TransferState::Initializing);
  EXPECT_EQ(restored.destPath, temp_.Child("dest"));
  ASSERT_EQ(WaitFor(*services, id, Initialized).state, TransferState::Initialized);
  // The not-given destination continues into the stored one.
  EXPECT_EQ(services->StartTransfer(id, "?").state, TransferState::Transferring);
  const TransferStatus done =
      WaitFor(*services, id, [](const TransferStatus& s) { return s.IsFinished(); });
  EXPECT_EQ(done.state, TransferState::Complete);
  EXPECT_EQ(test::ReadFile(temp_.Child("dest/data.bin")), content_);
}

}  // namespace
}  // namespace halv
