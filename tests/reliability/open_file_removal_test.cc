// A file the program holds open for writing (the run log) or for reading
// (the message file) cannot be deleted while it is open, on every system:
// an attachment line that names one of them copies it but leaves it in
// place, so the log keeps every line and no move goes unrecorded.
#include <gtest/gtest.h>

#include <memory>

#include "app/run_driver.h"
#include "platform/system_platform.h"
#include "support/scratch_dir.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

TEST(OpenFileRemovalTest, AFileOpenForWritingOrReadingIsNotDeleted) {
  ScratchDir dir;
  const std::unique_ptr<Platform> os = MakeSystemPlatform(0, nullptr);
  const std::string written = dir.Path("written.log");
  const std::string read = dir.Write("read.txt", "message");

  FileHandle log = kNoFile;
  ASSERT_EQ(os->OpenForWrite(written, &log), 0u);
  FileHandle message = kNoFile;
  ASSERT_EQ(os->OpenForRead(read, &message), 0u);
  EXPECT_FALSE(os->RemoveFile(written));
  EXPECT_FALSE(os->RemoveFile(read));
  EXPECT_TRUE(ScratchDir::Exists(written));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(read), "message");

  ASSERT_EQ(os->Close(log), 0u);
  ASSERT_EQ(os->Close(message), 0u);
  EXPECT_TRUE(os->RemoveFile(written));
  EXPECT_TRUE(os->RemoveFile(read));
  EXPECT_FALSE(ScratchDir::Exists(written));
  EXPECT_FALSE(ScratchDir::Exists(read));
}

TEST(OpenFileRemovalTest, AnAttachmentLineNamingTheRunLogLeavesTheLog) {
  ScratchDir dir;
  const std::string destination = dir.MakeDir("dest");
  const std::string attachment = dir.Write("a.pdf", "A");
  const std::string log = dir.Path("msg.log");
  const std::string message = dir.Write(
      "msg.txt", "Attachment Converted: " + log +
                     "\r\nAttachment Converted: " + attachment + "\r\n");
  TestPlatform os;
  os.SetArguments({message, destination});
  EXPECT_EQ(RunProgram(os), 0);

  const std::string text = ScratchDir::ReadOrEmpty(log);
  const std::string moved_log = destination + kSeparator + "msg.log";
  const std::string moved = destination + kSeparator + "a.pdf";
  EXPECT_NE(text.find("Moving from <" + log + "> to <" + moved_log +
                      ">\r\nError - could not delete source file\r\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Moving from <" + attachment + "> to <" + moved + ">"),
            std::string::npos)
      << text;
  EXPECT_TRUE(ScratchDir::Exists(moved_log));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(moved), "A");
  EXPECT_FALSE(ScratchDir::Exists(attachment));
}

TEST(OpenFileRemovalTest, AnAttachmentLineNamingTheMessageLeavesTheMessage) {
  ScratchDir dir;
  const std::string destination = dir.MakeDir("dest");
  const std::string message = dir.Path("msg.txt");
  const std::string text = "Attachment Converted: " + message + "\r\n";
  dir.Write("msg.txt", text);
  TestPlatform os;
  os.SetArguments({message, destination});
  EXPECT_EQ(RunProgram(os), 0);

  const std::string moved = destination + kSeparator + "msg.txt";
  EXPECT_NE(ScratchDir::ReadOrEmpty(dir.Path("msg.log"))
                .find("Moving from <" + message + "> to <" + moved +
                      ">\r\nError - could not delete source file\r\n"),
            std::string::npos);
  // The copy keeps the message's bytes; the scan, once complete, deletes
  // the message itself.
  EXPECT_EQ(ScratchDir::ReadOrEmpty(moved), text);
  EXPECT_FALSE(ScratchDir::Exists(message));
}

}  // namespace
}  // namespace stashwell
