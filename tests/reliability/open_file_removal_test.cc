// A file the program holds open for writing (the run log) or for reading
// (the message file) cannot be deleted while it is open, on every system;
// and an attachment line that names one of them is refused before any
// copy, so the log keeps every line and no copy floods the destination.
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

  std::unique_ptr<File> log;
  ASSERT_EQ(os->Open(written, FileUse::kLog, &log), 0u);
  std::unique_ptr<File> message;
  ASSERT_EQ(os->Open(read, FileUse::kMessage, &message), 0u);
  EXPECT_FALSE(os->RemoveFile(written));
  EXPECT_FALSE(os->RemoveFile(read));
  EXPECT_TRUE(ScratchDir::Exists(written));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(read), "message");

  ASSERT_EQ(log->Close(), 0u);
  ASSERT_EQ(message->Close(), 0u);
  EXPECT_TRUE(os->RemoveFile(written));
  EXPECT_TRUE(os->RemoveFile(read));
  EXPECT_FALSE(ScratchDir::Exists(written));
  EXPECT_FALSE(ScratchDir::Exists(read));
}

// An attachment line naming the run log or the message file, in any
// spelling, is an error of its own: nothing is copied (one message naming
// its log on many lines once made a numbered copy of the growing log per
// line) and the file stays as it was.
TEST(OpenFileRemovalTest, AnAttachmentLineNamingARunFileLeavesItUntouched) {
  const struct {
    const char* name;
    // The line's path, from the folder of the message (with "/" or "\").
    std::string (*spell)(const std::string& folder, const std::string& file);
  } cases[] = {
      {"msg.log",
       [](const std::string& folder, const std::string& file) {
         return folder + kSeparator + file;
       }},
      {"msg.txt",
       [](const std::string& folder, const std::string& file) {
         return folder + kSeparator + file;
       }},
      {"msg.log",
       [](const std::string& folder, const std::string& file) {
         return folder + kSeparator + "sub" + kSeparator + ".." + kSeparator +
                file;
       }},
      {"msg.txt",
       [](const std::string& folder, const std::string& file) {
         return folder + kSeparator + "." + kSeparator + file;
       }},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const std::string destination = dir.MakeDir("dest");
    dir.MakeDir("sub");
    const std::string attachment = dir.Write("a.pdf", "A");
    const std::string own = c.spell(dir.path(), c.name);
    const std::string message = dir.Path("msg.txt");
    std::string text;
    for (int i = 0; i < 3; ++i) text += "Attachment Converted: " + own + "\r\n";
    text += "Attachment Converted: " + attachment + "\r\n";
    dir.Write("msg.txt", text);
    TestPlatform os;
    os.SetArguments({message, destination});
    EXPECT_EQ(RunProgram(os), 0) << own;

    const std::string log = ScratchDir::ReadOrEmpty(dir.Path("msg.log"));
    const std::string error =
        "Error - <" + own + "> is this run's own file (source not deleted)\r\n";
    size_t count = 0;
    for (size_t at = log.find(error); at != std::string::npos;
         at = log.find(error, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 3u) << log;
    EXPECT_EQ(log.find("Error - could not delete source file"),
              std::string::npos)
        << log;
    // Only the attachment reached the destination.
    for (const char* copy : {"msg.log", "msg1.log", "msg.txt", "msg1.txt"}) {
      EXPECT_FALSE(ScratchDir::Exists(destination + kSeparator + copy))
          << own << " " << copy;
    }
    EXPECT_EQ(ScratchDir::ReadOrEmpty(destination + kSeparator + "a.pdf"), "A");
  }
}

}  // namespace
}  // namespace stashwell
