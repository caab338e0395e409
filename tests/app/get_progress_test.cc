// halvane-get's progress line against a clock the test moves: the rate over the last seconds,
// the time left at that rate, nothing before the sizes are known, and the closing line.

#include "app/get_progress.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "manual_clock.h"

namespace halv {
namespace {

constexpr std::uint64_t kMiB = 1 << 20;

TransferStatus Progress(std::uint64_t done, std::uint64_t total) {
  TransferStatus status("id", TransferState::Transferring);
  status.transferredBytes = done;
  status.receivedBytes = done;
  status.totalBytes = total;
  // The transfer's own rate, which the printer must not show.
  status.bytesPerSecond = 1;
  status.secondsRemaining = 99999;
  return status;
}

// The line a terminal shows after the latest redraw.
std::string LastLine(const std::ostringstream& out) {
  const std::string text = out.str();
  const std::size_t start = text.rfind('\r');
  std::string line = text.substr(start == std::string::npos ? 0 : start + 1);
  const std::size_t end = line.find("\x1b[K");
  return end == std::string::npos ? line : line.substr(0, end);
}

TEST(GetProgressTest, RateAndTimeLeftComeFromTheLastSecondsFromTheFirstSecondOn) {
  test::ManualClock clock;
  std::ostringstream out;
  ProgressPrinter printer(true, clock, out);

  printer.Show(Progress(0, 0));
  EXPECT_EQ(out.str(), "") << "no line before the sizes are known";

  const struct {
    int second;
    std::uint64_t done;
    const char* shown;
  } steps[] = {
      {0, 0, "0%  0 B of 40.0 MiB"},  // no second of samples yet: no rate
      {1, 10 * kMiB, "25%  10.0 MiB of 40.0 MiB  10.0 MiB/s  0:00:03 left"},
      {2, 20 * kMiB, "50%  20.0 MiB of 40.0 MiB  10.0 MiB/s  0:00:02 left"},
      {3, 30 * kMiB, "75%  30.0 MiB of 40.0 MiB  10.0 MiB/s  0:00:01 left"},
      // A stall: the last three seconds (1 to 4) carried 20 MiB.
      {4, 30 * kMiB, "75%  30.0 MiB of 40.0 MiB  6.7 MiB/s  0:00:02 left"},
      // Seconds 4 to 7 carried nothing: no time left can be given.
      {7, 30 * kMiB, "75%  30.0 MiB of 40.0 MiB  0 B/s"},
  };
  int now = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.second);
    clock.Advance(std::chrono::seconds(step.second - now));
    now = step.second;
    printer.Show(Progress(step.done, 40 * kMiB));
    EXPECT_EQ(LastLine(out), step.shown);
  }

  clock.Advance(std::chrono::seconds(1));
  TransferStatus complete = Progress(40 * kMiB, 40 * kMiB);
  complete.state = TransferState::Complete;
  complete.destPath = "/d";
  printer.Finish(complete);
  EXPECT_EQ(LastLine(out),
            "complete: 40.0 MiB in /d; 40.0 MiB received in 8.0 s, 5.0 MiB/s on average");
}

TEST(GetProgressTest, PipedOutputWritesPlainLinesEveryFewSeconds) {
  test::ManualClock clock;
  std::ostringstream out;
  ProgressPrinter printer(false, clock, out);
  for (int second = 0; second <= 6; ++second) {
    printer.Show(Progress(second * kMiB, 0));  // sizes unknown: nothing
    printer.Show(Progress(second * kMiB, 8 * kMiB));
    clock.Advance(std::chrono::seconds(1));
  }
  EXPECT_EQ(out.str(),
            "0%  0 B of 8.0 MiB\n"
            "62%  5.0 MiB of 8.0 MiB  1.0 MiB/s  0:00:03 left\n");
}

TEST(GetProgressTest, ACheckOfFilesOnDiskSaysSoAndCountsNothingAsDownloaded) {
  test::ManualClock clock;
  std::ostringstream out;
  ProgressPrinter printer(false, clock, out);
  // A second of checking 6 MiB on disk, then 1 MiB over the network in the next second.
  TransferStatus checking = Progress(6 * kMiB, 8 * kMiB);
  checking.receivedBytes = 0;
  checking.checking = true;
  printer.Show(Progress(0, 8 * kMiB));
  clock.Advance(std::chrono::seconds(1));
  printer.Show(checking);
  clock.Advance(std::chrono::seconds(1));
  TransferStatus downloading = Progress(7 * kMiB, 8 * kMiB);
  downloading.receivedBytes = kMiB;
  printer.Show(downloading);
  TransferStatus complete = Progress(8 * kMiB, 8 * kMiB);
  complete.state = TransferState::Complete;
  complete.destPath = "/d";
  complete.receivedBytes = 0;
  printer.Finish(complete);
  EXPECT_EQ(out.str(),
            "0%  0 B of 8.0 MiB\n"
            "checking  75%  6.0 MiB of 8.0 MiB\n"
            "87%  7.0 MiB of 8.0 MiB  512.0 KiB/s  0:00:02 left\n"
            "complete: 8.0 MiB in /d; every file was there and checked, 0 B received in 2.0 s, "
            "0 B/s on average\n");
}

}  // namespace
}  // namespace halv
