#include "transfer/transfer_status.h"

#include <gtest/gtest.h>

namespace halv {
namespace {

void ExpectNoProgress(const TransferStatus& status) {
  EXPECT_EQ(status.receivedBytes, 0u);
  EXPECT_EQ(status.transferredBytes, 0u);
  EXPECT_EQ(status.completedBytes, 0u);
  EXPECT_EQ(status.totalBytes, 0u);
  EXPECT_EQ(status.bytesPerSecond, 0u);
  EXPECT_EQ(status.secondsRemaining, -1);
}

TEST(TransferStatusTest, DefaultStatusStandsForNoTransferAndIsFinishedWithUnknownError) {
  const TransferStatus status;
  EXPECT_EQ(status.transferId, "");
  EXPECT_EQ(status.partnerId, "?");
  EXPECT_EQ(status.packageId, "?");
  EXPECT_EQ(status.versionId, "?");
  EXPECT_EQ(status.destPath, "?");
  EXPECT_EQ(status.state, TransferState::None);
  EXPECT_EQ(status.error, TransferError::UnknownError);
  EXPECT_FALSE(status.retryable);
  EXPECT_EQ(status.runPath, "");
  ExpectNoProgress(status);
  EXPECT_TRUE(status.IsFinished());
}

TEST(TransferStatusTest, NewStatusCarriesItsIdAndStateAndNothingElse) {
  const TransferStatus status("0123456789abcdef0123456789abcdef", TransferState::Initializing);
  EXPECT_EQ(status.transferId, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(status.partnerId, "?");
  EXPECT_EQ(status.packageId, "?");
  EXPECT_EQ(status.versionId, "?");
  EXPECT_EQ(status.destPath, "");
  EXPECT_EQ(status.state, TransferState::Initializing);
  EXPECT_EQ(status.error, TransferError::None);
  EXPECT_FALSE(status.retryable);
  EXPECT_EQ(status.runPath, "");
  ExpectNoProgress(status);
  EXPECT_FALSE(status.IsFinished());
}

TEST(TransferStatusTest, FinishedInTheEndStatesAndUnderAnErrorThatRetryCannotClear) {
  struct Case {
    TransferState state;
    TransferError error;
    bool retryable;
    bool finished;
  };
  const Case cases[] = {
      {TransferState::None, TransferError::None, false, true},
      {TransferState::Initializing, TransferError::None, false, false},
      {TransferState::InitializingPaused, TransferError::None, false, false},
      {TransferState::Initialized, TransferError::None, false, false},
      {TransferState::Transferring, TransferError::None, false, false},
      {TransferState::Paused, TransferError::None, false, false},
      {TransferState::Suspended, TransferError::None, false, true},
      {TransferState::Complete, TransferError::None, false, true},
      {TransferState::Canceled, TransferError::None, false, true},
      // An error finishes a transfer unless Retry may clear it.
      {TransferState::Initializing, TransferError::ConnectionError, false, true},
      {TransferState::Initializing, TransferError::ConnectionError, true, false},
      {TransferState::Transferring, TransferError::InsufficientSpace, true, false},
      {TransferState::Transferring, TransferError::ChecksumError, false, true},
      {TransferState::Paused, TransferError::UnknownError, false, true},
      // The end states stay finished whatever the error says.
      {TransferState::Complete, TransferError::FileAccessError, true, true},
      {TransferState::Suspended, TransferError::ConnectionError, true, true},
      // The retryable flag alone, without an error, changes nothing.
      {TransferState::Transferring, TransferError::None, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "state " << static_cast<int>(c.state) << ", error "
                                    << c.error << ", retryable " << c.retryable);
    TransferStatus status("id", c.state);
    status.error = c.error;
    status.retryable = c.retryable;
    EXPECT_EQ(status.IsFinished(), c.finished);
  }
}

}  // namespace
}  // namespace halv
