// The run log and the message file can stand in the destination folder
// under an attachment's name (the destination is the message's folder).
// Neither is a settled file there: the log is still being written and the
// message is deleted when the scan ends. An attachment is never taken for
// a duplicate of either; it moves under a numbered name and is kept.
#include <gtest/gtest.h>

#include "app/run_driver.h"
#include "support/scratch_dir.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

struct RunFileCase {
  const char* attachment_name;
  const char* attachment_bytes;  // nullptr: the message's own bytes
  const char* numbered_name;
};

class RunFilePlacementTest : public testing::TestWithParam<RunFileCase> {};

TEST_P(RunFilePlacementTest, TheAttachmentIsMovedUnderANumberedName) {
  const RunFileCase& c = GetParam();
  ScratchDir dir;
  const std::string mail = dir.MakeDir("mail");
  const std::string attachments = dir.MakeDir("att");
  const std::string source = attachments + kSeparator + c.attachment_name;
  const std::string message = mail + kSeparator + "msg.txt";
  const std::string text = "Attachment Converted: " + source + "\r\n";
  const std::string bytes =
      c.attachment_bytes != nullptr ? c.attachment_bytes : text;
  dir.Write("mail" + std::string(1, kSeparator) + "msg.txt", text);
  dir.Write("att" + std::string(1, kSeparator) + c.attachment_name, bytes);

  TestPlatform os;
  os.SetArguments({message, mail});
  EXPECT_EQ(RunProgram(os), 0);

  const std::string numbered = mail + kSeparator + c.numbered_name;
  EXPECT_EQ(ScratchDir::ReadOrEmpty(numbered), bytes);
  EXPECT_TRUE(ScratchDir::Exists(numbered));
  EXPECT_FALSE(ScratchDir::Exists(source));
  const std::string log =
      ScratchDir::ReadOrEmpty(mail + kSeparator + "msg.log");
  EXPECT_EQ(log.find("Duplicate of"), std::string::npos) << log;
  EXPECT_NE(log.find("Changing name to \"" + numbered + "\"\r\nMoving from <" +
                     source + "> to <" + numbered + ">\r\n"),
            std::string::npos)
      << log;
}

INSTANTIATE_TEST_SUITE_P(
    RunFiles, RunFilePlacementTest,
    testing::Values(
        // The log on disk is still empty: its first lines are in its buffer.
        RunFileCase{"msg.log", "", "msg1.log"},
        // The same bytes as the message, which the scan deletes at its end.
        RunFileCase{"msg.txt", nullptr, "msg1.txt"}));

}  // namespace
}  // namespace stashwell
