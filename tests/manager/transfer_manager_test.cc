#include "manager/transfer_manager.h"

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file/posix_shared_file.h"
#include "manager_fakes.h"
#include "scoped_environment.h"
#include "start_gate.h"
#include "temp_dir.h"

namespace halv {
namespace {

class TransferManagerTest : public ::testing::Test {
 protected:
  TransferManagerTest()
      : cache_("XDG_CACHE_HOME", dir_.path()),
        store_("transfers", files_),
        factory_(&store_, &workflows_),
        manager_(&factory_, &store_) {
    behavior_.fileFactory = &files_;
  }

  TransferParams Params() const {
    TransferParams params;
    params.partnerId = "R";
    params.packageId = "abc";
    params.versionId = "7";
    return params;
  }

  // A transfer description as an earlier run left it in the store.
  void Store(const std::string& fileId, const std::string& contentId) {
    TransferParams params = Params();
    params.transferId = contentId;
    params.destPath = dir_.path() + "/dest";
    ASSERT_TRUE(store_.Save(fileId, TransferManifest(params)));
  }

  test::TempDir dir_;
  test::ScopedEnvironmentVariable cache_;
  PosixSharedFileFactory files_;
  JsonTempFileManifestStore<TransferManifest> store_;
  test::FakeWorkflowFactory workflows_;
  StoredTransferFactory factory_;
  TempFileTransferManager manager_;
  TransferBehavior behavior_;
};

TEST_F(TransferManagerTest, CreatesTransfersWithFreshIdsAndFindsThemAgain) {
  const auto first = manager_.CreateTransfer(Params(), behavior_);
  const auto second = manager_.CreateTransfer(Params(), behavior_);
  const std::string firstId = first->GetStatus().transferId;
  EXPECT_EQ(firstId.size(), 32u);
  EXPECT_NE(firstId, second->GetStatus().transferId);
  EXPECT_EQ(manager_.GetTransfer(firstId, behavior_), first);
  EXPECT_EQ(first->GetStatus().state, TransferState::Initializing);
}

TEST_F(TransferManagerTest, RestoresFromTheStoreOnlyWhatNamesItsOwnId) {
  const std::string id(32, 'a');
  Store(id, id);
  const auto restored = manager_.GetTransfer(id, behavior_);
  ASSERT_TRUE(restored);
  const TransferStatus status = restored->GetStatus();
  EXPECT_EQ(status.state, TransferState::Suspended);
  EXPECT_EQ(status.destPath, dir_.path() + "/dest");
  EXPECT_EQ(status.versionId, "7");
  EXPECT_EQ(manager_.GetTransfer(id, behavior_), restored) << "restored once";

  const std::string other(32, 'b');
  Store(other, std::string(32, 'c'));
  EXPECT_FALSE(manager_.GetTransfer(other, behavior_)) << "a description of another id";
  EXPECT_FALSE(manager_.GetTransfer(std::string(32, 'd'), behavior_)) << "nothing stored";
}

TEST_F(TransferManagerTest, ShutdownSuspendsAndRefusesCreationAndRestores) {
  const auto transfer = manager_.CreateTransfer(Params(), behavior_);
  const std::string id = transfer->GetStatus().transferId;
  const std::string stored(32, 'a');
  Store(stored, stored);
  manager_.Shutdown();
  EXPECT_EQ(transfer->GetStatus().state, TransferState::Canceled)
      << "a transfer that never started is cancelled";
  EXPECT_FALSE(manager_.CreateTransfer(Params(), behavior_));
  EXPECT_FALSE(manager_.GetTransfer(id, behavior_));
  EXPECT_FALSE(manager_.GetTransfer(stored, behavior_)) << "no restore after shutdown";
}

TEST_F(TransferManagerTest, ShutdownRacingCreationsAndRestoresLeavesNothingRunning) {
  // Creations and restores from several threads while another shuts the manager down: every
  // transfer handed out before the shutdown is suspended or cancelled, none afterwards.
  std::vector<std::string> ids;
  for (int i = 0; i < 8; ++i) {
    ids.push_back(std::string(31, 'a') + static_cast<char>('0' + i));
    Store(ids.back(), ids.back());
  }
  test::StartGate gate;
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<Transfer>> handedOut(16);
  for (int t = 0; t < 16; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      handedOut[t] = t % 2 ? manager_.GetTransfer(ids[t / 2], behavior_)
                           : manager_.CreateTransfer(Params(), behavior_);
    });
  }
  threads.emplace_back([&] {
    gate.Wait();
    manager_.Shutdown();
  });
  gate.Open();
  for (std::thread& thread : threads) thread.join();
  for (const auto& transfer : handedOut) {
    if (!transfer) continue;
    const TransferState state = transfer->GetStatus().state;
    EXPECT_TRUE(state == TransferState::Suspended || state == TransferState::Canceled)
        << static_cast<int>(state);
  }
}

}  // namespace
}  // namespace halv
