// The run log on real files: block buffering, checked lines and the rules
// at the end of the run.
#include "run/run_log.h"

#include <gtest/gtest.h>

#include "run/in_out_error.h"
#include "run/run_state.h"
#include "support/scratch_dir.h"
#include "support/test_helpers.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

class RunLogTest : public ::testing::Test {
 protected:
  RunLogTest() : state_(os_) {
    state_.MessageFilePath = dir_.Write("msg17.txt", "");
  }

  std::string Log() const {
    return ScratchDir::ReadOrEmpty(dir_.Path("msg17.log"));
  }
  bool LogExists() const { return ScratchDir::Exists(dir_.Path("msg17.log")); }

  ScratchDir dir_;
  TestPlatform os_;
  RunState state_;
};

TEST_F(RunLogTest, StartWritesTheDateLineAndClearsTheFlags) {
  state_.ErrorsReported = true;
  state_.ActionLogged = true;
  StartRunLog(state_);
  EXPECT_EQ(state_.LogPath, dir_.Path("msg17.log"));
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_FALSE(state_.ActionLogged);
  state_.ActionLogged = true;
  FinishRunLog(state_);
  EXPECT_EQ(Log(), "12/7/26 9:05:03\r\n");
}

TEST_F(RunLogTest, AnExistingLogIsCutAndRewritten) {
  dir_.Write("msg17.log", std::string(1000, 'x'));
  StartRunLog(state_);
  state_.ActionLogged = true;
  FinishRunLog(state_);
  EXPECT_EQ(Log(), "12/7/26 9:05:03\r\n");
}

TEST_F(RunLogTest, PiecesJoinIntoOneLineAndTextsMayHoldLineEnds) {
  StartRunLog(state_);
  WriteLogLine(state_, {"Code ", -5, ' ', 'x', std::string("<a>")});
  WriteLogLine(state_, {"Attachment Line: ", "A", "\r\n"});
  WriteLogLine(state_, {});
  state_.ActionLogged = true;
  FinishRunLog(state_);
  EXPECT_EQ(
      Log(),
      "12/7/26 9:05:03\r\nCode -5 x<a>\r\nAttachment Line: A\r\n\r\n\r\n");
}

TEST_F(RunLogTest, TheFileReceivesWholeBlocksUntilTheClose) {
  StartRunLog(state_);
  const std::string line(200, 'a');
  WriteLogLine(state_, {line});
  // 17 bytes of date line + 202 of this line: one block of 128 so far.
  EXPECT_EQ(os_.writes, std::vector<size_t>({128}));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.LogPath).size(), 128u);
  state_.ActionLogged = true;
  FinishRunLog(state_);
  EXPECT_EQ(os_.writes, std::vector<size_t>({128, 91}));
  EXPECT_EQ(Log(), "12/7/26 9:05:03\r\n" + line + "\r\n");
}

TEST_F(RunLogTest, NothingRecordedDeletesTheLogAndAsksNothing) {
  StartRunLog(state_);
  WriteLogLine(state_, {"Attachment Line: x"});
  FinishRunLog(state_);
  EXPECT_FALSE(LogExists());
  EXPECT_TRUE(os_.boxes.empty());
}

TEST_F(RunLogTest, AnActionKeepsTheLogWithoutAQuestion) {
  StartRunLog(state_);
  state_.ActionLogged = true;
  FinishRunLog(state_);
  EXPECT_TRUE(LogExists());
  EXPECT_TRUE(os_.boxes.empty());
  EXPECT_TRUE(os_.opened.empty());
}

TEST_F(RunLogTest, AnErrorKeepsTheLogAndAsksToOpenIt) {
  for (bool yes : {false, true}) {
    os_.boxes.clear();
    os_.opened.clear();
    os_.answer_yes = yes;
    StartRunLog(state_);
    WriteLogLine(state_, {"Source File <x> does not exist"});
    state_.ErrorsReported = true;
    FinishRunLog(state_);
    EXPECT_TRUE(LogExists());
    ASSERT_EQ(os_.boxes.size(), 1u);
    EXPECT_EQ(os_.boxes[0].kind, "question");
    EXPECT_EQ(os_.boxes[0].caption, "Stashwel");
    EXPECT_EQ(os_.boxes[0].text, "Errors Reported. Open Log File?");
    // The question comes after the close: the whole log is on disk.
    EXPECT_NE(Log().find("does not exist\r\n"), std::string::npos);
    EXPECT_EQ(os_.opened, yes ? std::vector<std::string>{state_.LogPath}
                              : std::vector<std::string>{});
  }
}

TEST_F(RunLogTest, AFailedBlockWriteIsRaisedAtTheEndOfTheLine) {
  StartRunLog(state_);
  os_.write_error = 112;
  os_.write_budget = 0;
  WriteLogLine(state_, {std::string(100, 'a')});  // stays in the buffer
  EXPECT_TRUE(RaisesInOutError(
      [&] {
        WriteLogLine(state_, {std::string(300, 'b'), "c"});
      },
      112, InOutOperation::kLogWrite, state_.LogPath, "I/O error 112"));
}

// A failed close is raised. A log that recorded something stays with what
// was handed over; an empty one went while it was still open, as it goes
// whenever nothing was recorded.
TEST_F(RunLogTest, AFailedCloseIsRaisedAndTheLogStays) {
  for (const bool recorded : {true, false}) {
    SCOPED_TRACE(recorded);
    os_.close_error = 0;
    StartRunLog(state_);
    state_.ActionLogged = recorded;
    os_.close_error = 5;
    EXPECT_TRUE(RaisesInOutError([&] { FinishRunLog(state_); }, 5,
                                 InOutOperation::kLogClose, state_.LogPath));
    EXPECT_EQ(LogExists(), recorded);
    EXPECT_TRUE(os_.boxes.empty());
    state_.Log.reset();
  }
}

TEST_F(RunLogTest, AFailedCreationIsRaised) {
  state_.MessageFilePath = dir_.Path("no such folder") + kSeparator + "m.txt";
  EXPECT_TRUE(RaisesInOutError(
      [&] { StartRunLog(state_); }, 3, InOutOperation::kLogCreate,
      LogPathFor(state_.MessageFilePath, state_.syntax), "Invalid filename"));
}

}  // namespace
}  // namespace stashwell

namespace stashwell {
namespace {

TEST_F(RunLogTest, BestEffortFlushHandsOverWhatTheBufferHolds) {
  StartRunLog(state_);
  WriteLogLine(state_, {std::string(300, 'a')});
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.LogPath).size(), 256u);
  state_.Log->FlushBestEffort();
  EXPECT_EQ(Log(), "12/7/26 9:05:03\r\n" + std::string(300, 'a') + "\r\n");
  state_.Log->Close();
}

}  // namespace
}  // namespace stashwell
