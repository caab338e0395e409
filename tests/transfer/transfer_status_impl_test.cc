#include "transfer/transfer_status_impl.h"
#include "manual_clock.h"
#include "start_gate.h"

#include <chrono>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/property_tree/ptree.hpp>

#include "manifest/package_manifest.h"
#include "manifest/xml_manifest_parser.h"
#include "transfer/transfer_params.h"

namespace halv {
namespace {

using std::chrono::milliseconds;

constexpr std::int32_t kMaxSeconds = std::numeric_limits<std::int32_t>::max();
constexpr std::uint64_t kMaxBytes = std::numeric_limits<std::uint64_t>::max();

TransferParams Params() {
  TransferParams params;
  params.transferId = "0123456789abcdef0123456789abcdef";
  params.partnerId = "R";
  params.packageId = "abc";
  params.versionId = "7";
  return params;
}

// A package of two files, 10 and 6 bytes, that starts bin/app.
StandardPackageManifest Package() {
  std::istringstream xml(
      "<package><id>abc</id><name>Demo</name><partnerId>R</partnerId><versionId>7</versionId>"
      "<run>bin/app</run><files>"
      "<file><path>bin/app</path><chunksize>4</chunksize><size>10</size>"
      "<checksums>000000010000000200000003</checksums></file>"
      "<file><path>data/a.bin</path><chunksize>8</chunksize><size>6</size>"
      "<checksums>00000004</checksums></file>"
      "</files></package>");
  boost::property_tree::ptree tree;
  ParseXmlManifest(xml, tree);
  StandardPackageManifest package;
  package.Read(tree);
  return package;
}

std::string StateName(TransferState state) {
  return "state " + std::to_string(static_cast<int>(state));
}

TEST(TransferStatusImplTest, StartsAsANewInitializingStatusWithTheParamsIds) {
  TransferParams params = Params();
  TransferStatusImpl impl(params, 10, 500);  // the process-wide steady clock
  const TransferStatus status = impl.GetStatus();
  EXPECT_EQ(status.transferId, params.transferId);
  EXPECT_EQ(status.partnerId, "R");
  EXPECT_EQ(status.packageId, "abc");
  EXPECT_EQ(status.versionId, "7");
  EXPECT_EQ(status.destPath, "?");
  EXPECT_EQ(status.state, TransferState::Initializing);
  EXPECT_EQ(status.error, TransferError::None);
  EXPECT_FALSE(status.retryable);
  EXPECT_EQ(status.receivedBytes, 0u);
  EXPECT_EQ(status.bytesPerSecond, 0u);
  EXPECT_EQ(status.secondsRemaining, -1);
  EXPECT_FALSE(status.IsFinished());
}

TEST(TransferStatusImplTest, SnapshotsReadTheParamsAsTheyAreNow) {
  TransferParams params = Params();
  TransferStatusImpl impl(params, 10, 500);
  params.destPath = "/home/u/Games";
  params.versionId = "8";
  const TransferStatus status = impl.GetStatus();
  EXPECT_EQ(status.destPath, "/home/u/Games");
  EXPECT_EQ(status.versionId, "8");
}

TEST(TransferStatusImplTest, ShowsTheRunPathOnlyOnceComplete) {
  const TransferParams params = Params();
  TransferStatusImpl impl(params, 10, 500);
  impl.SetPackage(Package());
  const TransferState states[] = {
      TransferState::Initializing, TransferState::Initialized, TransferState::Transferring,
      TransferState::Paused,       TransferState::Suspended,   TransferState::Canceled,
      TransferState::Complete,
  };
  for (TransferState state : states) {
    SCOPED_TRACE(StateName(state));
    impl.StoredStatus().state = state;
    const TransferStatus status = impl.GetStatus();
    EXPECT_EQ(status.totalBytes, 16u);
    EXPECT_EQ(status.runPath, state == TransferState::Complete ? "bin/app" : "");
  }
  EXPECT_EQ(impl.StoredStatus().runPath, "bin/app");
}

TEST(TransferStatusImplTest, CountsBytesAndNeverTakesBackMoreThanWasWritten) {
  const TransferParams params = Params();
  TransferStatusImpl impl(params, 10, 500);
  impl.AddReceivedBytes(120);
  impl.AddTransferredBytes(100);
  impl.AddCompletedBytes(64);
  impl.RemoveTransferredBytes(30);
  TransferStatus status = impl.GetStatus();
  EXPECT_EQ(status.receivedBytes, 120u);
  EXPECT_EQ(status.transferredBytes, 70u);
  EXPECT_EQ(status.completedBytes, 64u);

  // A miscounted discard bottoms out at 0 instead of wrapping to nearly 2^64.
  impl.RemoveTransferredBytes(71);
  EXPECT_EQ(impl.GetStatus().transferredBytes, 0u);
  impl.AddTransferredBytes(5);
  EXPECT_EQ(impl.GetStatus().transferredBytes, 5u);
}

TEST(TransferStatusImplTest, ChecksUntilTheFirstByteComesOverTheNetwork) {
  const TransferParams params = Params();
  TransferStatusImpl impl(params, 10, 500);
  impl.StoredStatus().state = TransferState::Transferring;
  EXPECT_FALSE(impl.GetStatus().checking) << "nothing checked on disk yet";
  impl.NoteDiskCheck();
  impl.AddTransferredBytes(4096);  // verified on disk
  EXPECT_TRUE(impl.GetStatus().checking);
  EXPECT_EQ(impl.GetStatus().receivedBytes, 0u);
  impl.StoredStatus().error = TransferError::ConnectionError;
  EXPECT_FALSE(impl.GetStatus().checking) << "a failing transfer checks nothing";
  impl.StoredStatus().error = TransferError::None;
  impl.AddReceivedBytes(1);
  EXPECT_FALSE(impl.GetStatus().checking);
}

TEST(TransferStatusImplTest, DeltasReportWhatAccumulatedSinceTheLastTake) {
  const TransferParams params = Params();
  test::ManualClock clock;
  TransferStatusImpl impl(params, 10, 500, clock);
  impl.AddReceivedBytes(100);
  EXPECT_EQ(impl.TakeReceivedBytesDelta(), 100u);
  impl.AddReceivedBytes(50);
  EXPECT_EQ(impl.TakeReceivedBytesDelta(), 50u);
  EXPECT_EQ(impl.TakeReceivedBytesDelta(), 0u);

  impl.StoredStatus().state = TransferState::Transferring;
  impl.GetStatus();
  clock.Advance(milliseconds(700));
  impl.GetStatus();
  EXPECT_EQ(impl.PeekActiveTimeDelta(), 700u);
  EXPECT_EQ(impl.PeekActiveTimeDelta(), 700u);
  EXPECT_EQ(impl.TakeActiveTimeDelta(), 700u);
  clock.Advance(milliseconds(300));
  impl.GetStatus();
  EXPECT_EQ(impl.PeekActiveTimeDelta(), 300u);
  EXPECT_EQ(impl.TakeActiveTimeDelta(), 300u);
  EXPECT_EQ(impl.TakeActiveTimeDelta(), 0u);
}

// One snapshot of a scenario: the clock moves, bytes arrive (and are written) or written bytes
// are taken back, the transfer is in `state`, then the snapshot is taken.
struct Step {
  std::int64_t advanceMs;
  std::uint64_t receive;
  std::uint64_t takeBack;
  TransferState state;
  bool failing;  // a retryable ConnectionError stands on the status
};

TransferStatus Take(TransferStatusImpl& impl, test::ManualClock& clock, const Step& step) {
  clock.Advance(milliseconds(step.advanceMs));
  impl.AddReceivedBytes(step.receive);
  impl.AddTransferredBytes(step.receive);
  impl.RemoveTransferredBytes(step.takeBack);
  TransferStatus& stored = impl.StoredStatus();
  stored.state = step.state;
  stored.error = step.failing ? TransferError::ConnectionError : TransferError::None;
  stored.retryable = step.failing;
  return impl.GetStatus();
}

constexpr TransferState kTransferring = TransferState::Transferring;
constexpr TransferState kPaused = TransferState::Paused;

TEST(TransferStatusImplTest, RateIsTheWindowedReceiveRate) {
  struct RateStep {
    Step step;
    std::uint64_t bytesPerSecond;
  };
  struct Scenario {
    std::string name;
    std::uint32_t window;
    std::vector<RateStep> steps;
  };
  const Scenario scenarios[] = {
      {"one sample gives no rate, two a second apart divide by the window",
       10,
       {{{0, 0, 0, kTransferring, false}, 0}, {{1000, 1000, 0, kTransferring, false}, 100}}},
      {"no samples before transferring",
       10,
       {{{0, 500, 0, TransferState::Initializing, false}, 0},
        {{1000, 500, 0, TransferState::Initialized, false}, 0},
        {{1000, 0, 0, kTransferring, false}, 0},
        {{1000, 1000, 0, kTransferring, false}, 100}}},
      {"climbs over the first window, then samples older than the window are dropped",
       4,
       {{{0, 0, 0, kTransferring, false}, 0},
        {{1000, 1000, 0, kTransferring, false}, 250},
        {{1000, 1000, 0, kTransferring, false}, 500},
        {{1000, 1000, 0, kTransferring, false}, 750},
        {{1000, 1000, 0, kTransferring, false}, 750},
        {{1000, 1000, 0, kTransferring, false}, 750},
        {{1000, 4000, 0, kTransferring, false}, 1500}}},
      {"never fewer than two samples, however old",
       2,
       {{{0, 0, 0, kTransferring, false}, 0},
        {{100000, 5000, 0, kTransferring, false}, 50},
        {{1000, 1000, 0, kTransferring, false}, 500}}},
      {"no bytes between the oldest and the newest sample",
       10,
       {{{0, 5000, 0, kTransferring, false}, 0}, {{1000, 0, 0, kTransferring, false}, 0}}},
      {"a window of 0 counts as 1 second",
       0,
       {{{0, 0, 0, kTransferring, false}, 0},
        {{400, 1000, 0, kTransferring, false}, 1000},
        {{600, 1000, 0, kTransferring, false}, 1000}}},
      {"paused and failing transfers keep sampling, finished ones do not",
       10,
       {{{0, 0, 0, kTransferring, false}, 0},
        {{1000, 1000, 0, kTransferring, false}, 100},
        {{1000, 0, 0, kPaused, false}, 100},
        {{1000, 1000, 0, kTransferring, true}, 200},
        {{1000, 3000, 0, TransferState::Complete, false}, 200},
        {{1000, 3000, 0, TransferState::Suspended, false}, 200}}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    const TransferParams params = Params();
    test::ManualClock clock;
    TransferStatusImpl impl(params, scenario.window, 500, clock);
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "step " << i);
      EXPECT_EQ(Take(impl, clock, scenario.steps[i].step).bytesPerSecond,
                scenario.steps[i].bytesPerSecond);
    }
  }
}

TEST(TransferStatusImplTest, EstimateIsHeldWhileTransferringAndRefreshedOtherwise) {
  struct EstimateStep {
    Step step;
    std::int32_t secondsRemaining;
    std::uint64_t activeMs;
  };
  // 10000 bytes in the package; the estimate is kept for 500 ms of active time.
  const EstimateStep steps[] = {
      // No bytes yet: no estimate.
      {{0, 0, 0, kTransferring, false}, -1, 0},
      // 1000 ms for 1000 bytes: 1 ms per byte times the 9000 missing.
      {{1000, 1000, 0, kTransferring, false}, 9, 1000},
      // 1200 ms of active time is within the hold: the estimate stays (fresh it would be 7).
      {{200, 500, 0, kTransferring, false}, 9, 1200},
      // 1500 ms for 3000 bytes times the 7000 missing: 3.5, rounded up.
      {{300, 1500, 0, kTransferring, false}, 4, 1500},
      // Paused time is not active time; the estimate is recomputed on every snapshot.
      {{5000, 0, 0, kPaused, false}, 4, 1500},
      {{1000, 0, 3000, kPaused, false}, 5, 1500},
      // The time since the paused snapshot is not counted either, and 1500 ms is within the hold
      // of the estimate computed at 1500 ms.
      {{1000, 0, 0, kTransferring, false}, 5, 1500},
      {{400, 3000, 0, kTransferring, false}, 5, 1900},
      // 2000 ms for 6000 bytes times the 7000 missing: 2.33, rounded up.
      {{100, 0, 0, kTransferring, false}, 3, 2000},
      // A retryable error stops active time and refreshes the estimate on every snapshot.
      {{1000, 0, 0, kTransferring, true}, 3, 2000},
      {{1000, 0, 1000, kTransferring, true}, 3, 2000},
      {{1000, 0, 2000, kTransferring, true}, 4, 2000},
  };
  const TransferParams params = Params();
  test::ManualClock clock;
  TransferStatusImpl impl(params, 10, 500, clock);
  impl.StoredStatus().totalBytes = 10000;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(testing::Message() << "step " << i);
    EXPECT_EQ(Take(impl, clock, steps[i].step).secondsRemaining, steps[i].secondsRemaining);
    EXPECT_EQ(impl.PeekActiveTimeDelta(), steps[i].activeMs);
  }
}

TEST(TransferStatusImplTest, EstimateNeitherWrapsNorOverflows) {
  struct Case {
    std::string name;
    std::uint64_t totalBytes;
    std::uint64_t receivedBytes;
    std::uint64_t transferredBytes;
    std::int32_t secondsRemaining;
  };
  // Every case spends 1000 ms of active time on its received bytes.
  const Case cases[] = {
      {"all written", 10000, 1000, 10000, 0},
      {"more written than the package holds", 10000, 1000, 12000, 0},
      {"one second per byte, just in range", kMaxSeconds, 1, 0, kMaxSeconds},
      {"one second per byte, just out of range", std::uint64_t{1} << 31, 1, 0, kMaxSeconds},
      {"a total of 2^64 - 1 bytes", kMaxBytes, 1, 0, kMaxSeconds},
      // received × 1000 would overflow 64 bits: 2^-62 ms per byte times 2^64 bytes is 4 seconds.
      {"2^62 bytes received", kMaxBytes, std::uint64_t{1} << 62, 0, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TransferParams params = Params();
    test::ManualClock clock;
    TransferStatusImpl impl(params, 10, 500, clock);
    impl.StoredStatus().totalBytes = c.totalBytes;
    impl.StoredStatus().state = kTransferring;
    impl.GetStatus();
    clock.Advance(milliseconds(1000));
    impl.AddReceivedBytes(c.receivedBytes);
    impl.AddTransferredBytes(c.transferredBytes);
    EXPECT_EQ(impl.GetStatus().secondsRemaining, c.secondsRemaining);
  }
}

TEST(TransferStatusImplTest, CountersAddUpWhenManyThreadsReportAtOnce) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 20000;
  constexpr int kSnapshots = 2000;
  const TransferParams params = Params();
  test::ManualClock clock;
  TransferStatusImpl impl(params, 10, 500, clock);
  impl.StoredStatus().state = kTransferring;
  test::StartGate gate;

  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&] {
      gate.Wait();
      for (int i = 0; i < kRounds; ++i) {
        impl.AddReceivedBytes(3);
        impl.AddTransferredBytes(3);
        impl.RemoveTransferredBytes(1);
        impl.AddCompletedBytes(2);
      }
    });
  }
  // The monitor's side: snapshots (under the transfer's lock in the product; this thread is the
  // only caller here) and the events' deltas, while the writers run.
  std::uint64_t takenReceived = 0;
  bool monotonic = true;
  threads.emplace_back([&] {
    gate.Wait();
    std::uint64_t lastReceived = 0;
    for (int i = 0; i < kSnapshots; ++i) {
      clock.Advance(milliseconds(100));
      const TransferStatus status = impl.GetStatus();
      monotonic = monotonic && status.receivedBytes >= lastReceived;
      lastReceived = status.receivedBytes;
      takenReceived += impl.TakeReceivedBytesDelta();
    }
  });
  gate.Open();
  for (std::thread& thread : threads) thread.join();

  const TransferStatus status = impl.GetStatus();
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(status.receivedBytes, 3u * kWriters * kRounds);
  EXPECT_EQ(status.transferredBytes, 2u * kWriters * kRounds);
  EXPECT_EQ(status.completedBytes, 2u * kWriters * kRounds);
  EXPECT_EQ(takenReceived + impl.TakeReceivedBytesDelta(), 3u * kWriters * kRounds);
}

}  // namespace
}  // namespace halv
