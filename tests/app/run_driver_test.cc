// Whole runs through the driver on real files, with the user and the clock
// replaced.
#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/scratch_dir.h"
#include "support/test_platform.h"

#ifdef __linux__
// The test binary's own fdatasync, fsync and unlink stand in front of the C
// library's (the program calls them through it), so a test can record the
// order in which a run flushes and deletes. They record only while
// g_disk_calls points somewhere.
namespace {

std::vector<std::string>* g_disk_calls = nullptr;

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::string DescriptorPath(int fd) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
}

}  // namespace

extern "C" int fdatasync(int fd) {
  static const auto real = Real<int (*)(int)>("fdatasync");
  if (g_disk_calls != nullptr) g_disk_calls->push_back("fdatasync");
  return real(fd);
}

extern "C" int fsync(int fd) {
  static const auto real = Real<int (*)(int)>("fsync");
  if (g_disk_calls != nullptr) {
    g_disk_calls->push_back("fsync " + DescriptorPath(fd));
  }
  return real(fd);
}

extern "C" int unlink(const char* path) {
  static const auto real = Real<int (*)(const char*)>("unlink");
  if (g_disk_calls != nullptr)
    g_disk_calls->push_back("unlink " + std::string(path));
  return real(path);
}
#endif

namespace stashwell {
namespace {

size_t CountEntries(const std::string& dir) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(RunProgram, FewerThanTwoArgumentsShowTheUsageWarningOnly) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{}, {"msg.txt"}, {"", "dest"}}) {
    ScratchDir dir;
    const std::string message = dir.Write("msg.txt", "x");
    TestPlatform os;
    std::vector<std::string> argv = arguments;
    if (!argv.empty() && !argv[0].empty()) argv[0] = message;
    os.SetArguments(argv);
    EXPECT_EQ(RunProgram(os), 0);
    ASSERT_EQ(os.boxes.size(), 1u);
    EXPECT_EQ(os.boxes[0].kind, "warning");
    EXPECT_EQ(os.boxes[0].caption, "Check Filter Action");
    EXPECT_EQ(os.boxes[0].text, "Usage: Stashwell %6 <Move_To_path>");
    EXPECT_TRUE(os.writes.empty());
    EXPECT_EQ(CountEntries(dir.path()), 1u);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(message), "x");
  }
}

TEST(RunProgram, AMissingMessageFolderEndsWithTheErrorReport) {
  ScratchDir dir;
  TestPlatform os;
  os.SetArguments({dir.Path("missing") + kSeparator + "msg.txt", dir.path()});
  EXPECT_EQ(RunProgram(os), 1);
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].kind, "error");
  EXPECT_EQ(os.boxes[0].caption, "Application Error");
  const std::string& text = os.boxes[0].text;
  const std::string head =
      "Exception EInOutError in module " + os.ProgramFileName() + " at ";
  ASSERT_EQ(text.substr(0, head.size()), head) << text;
  const std::string location = text.substr(head.size(), 8);
  EXPECT_EQ(location.find_first_not_of("0123456789ABCDEF"), std::string::npos)
      << text;
  EXPECT_EQ(text.substr(head.size() + 8), ".\r\nInvalid filename.\r\n");
  EXPECT_EQ(CountEntries(dir.path()), 0u);
}

TEST(RunProgram, AFailedLogCloseEndsWithTheErrorReportAndKeepsTheLog) {
  ScratchDir dir;
  TestPlatform os;
  const std::string message = dir.Write("msg.txt", "no attachments\r\n");
  os.SetArguments({message, dir.path()});
  os.close_error = 112;
  EXPECT_EQ(RunProgram(os), 1);
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_NE(os.boxes[0].text.find(".\r\nI/O error 112.\r\n"),
            std::string::npos);
  EXPECT_TRUE(ScratchDir::Exists(dir.Path("msg.log")));
}

TEST(RunProgram, AQuietRunLeavesNoLog) {
  ScratchDir dir;
  TestPlatform os;
  const std::string message = dir.Write("msg.txt", "From: a\r\n");
  os.SetArguments({message, dir.path(), "/v"});
  EXPECT_EQ(RunProgram(os), 0);
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_FALSE(ScratchDir::Exists(dir.Path("msg.log")));
}

TEST(RunProgram, AMessageFileNamedLikeALogSurvivesItsRun) {
  ScratchDir dir;
  TestPlatform os;
  // The scan keeps the message when it cannot be opened; here it is read
  // and deleted only after a complete scan, so the bytes must be intact
  // until then: the log must never be created on top of it.
  const std::string message = dir.Write("x.log", "From: a\r\n");
  os.SetArguments({message, dir.Path("no such folder")});
  os.close_error = 0;
  EXPECT_EQ(RunProgram(os), 0);
  EXPECT_FALSE(ScratchDir::Exists(dir.Path("x.log.log")));
  // Either the scan deleted it after reading it whole, or it is unchanged.
  if (ScratchDir::Exists(message)) {
    EXPECT_EQ(ScratchDir::ReadOrEmpty(message), "From: a\r\n");
  }
}

// A second run on the same message, started while the first one writes its
// log (here: between the echo of the attachment line and the test of the
// destination folder), is refused at the log's creation and leaves the
// first run's log and work alone.
TEST(RunProgram, ASecondRunOnTheSameMessageIsRefusedWhileTheFirstRuns) {
  struct MeetingPlatform : TestPlatform {
    // The one folder the run examines is the destination.
    PathKind Examine(const std::string& path, uint32_t* code) override {
      if (TestPlatform::Examine(path, code) == PathKind::kFolder && meanwhile) {
        std::exchange(meanwhile, nullptr)();
      }
      return TestPlatform::Examine(path, code);
    }
    std::function<void()> meanwhile;
  };
  ScratchDir dir;
  const std::string dest = dir.MakeDir("dest");
  const std::string attachment = dir.Write("report.pdf", "bytes");
  const std::string message =
      dir.Write("msg.txt", "Attachment Converted: " + attachment + "\r\n");
  MeetingPlatform first;
  first.SetArguments({message, dest});
  TestPlatform second;
  second.SetArguments({message, dest});
  int second_exit = -1;
  first.meanwhile = [&] { second_exit = RunProgram(second); };
  EXPECT_EQ(RunProgram(first), 0);
  EXPECT_EQ(second_exit, 1);
  ASSERT_EQ(second.boxes.size(), 1u);
  EXPECT_NE(second.boxes[0].text.find(".\r\nI/O error 32.\r\n"),
            std::string::npos)
      << second.boxes[0].text;
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir.Path("msg.log")),
            "12/7/26 9:05:03\r\nAttachment Line: Attachment Converted: " +
                attachment + "\r\n\r\nMoving from <" + attachment + "> to <" +
                dest + kSeparator + "report.pdf>\r\n");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dest + kSeparator + "report.pdf"), "bytes");
  EXPECT_TRUE(first.boxes.empty());
}

// Running short of memory or of file handles is a failure of the run, not
// an expected condition: the lines already written stay in the log and the
// error report says what ran short.
TEST(RunProgram, ShortagesEndWithTheErrorReport) {
  struct ShortPlatform : TestPlatform {
    PathKind Examine(const std::string& path, uint32_t* code) override {
      const PathKind kind = TestPlatform::Examine(path, code);
      if (kind == PathKind::kFolder && out_of_memory) throw std::bad_alloc();
      return kind;
    }
    uint32_t Open(const std::string& path, FileUse use,
                  std::unique_ptr<File>* file) override {
      if (use == FileUse::kMessage && open_error != 0) return open_error;
      return TestPlatform::Open(path, use, file);
    }
    bool out_of_memory = false;
    uint32_t open_error = 0;
  };
  const struct {
    bool out_of_memory;
    uint32_t open_error;
    const char* kind;
    const char* message;
    bool echoed;  // the attachment line was logged before the failure
  } cases[] = {
      {true, 0, "EOutOfMemory", "Out of memory", true},
      {false, kErrorTooManyOpenFiles, "EInOutError", "Too many open files",
       false},
      {false, kErrorNotEnoughMemory, "EInOutError", "I/O error 8", false},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const std::string line = "Attachment Converted: " + dir.Path("a.pdf");
    const std::string message = dir.Write("msg.txt", line + "\r\n");
    ShortPlatform os;
    os.out_of_memory = c.out_of_memory;
    os.open_error = c.open_error;
    os.SetArguments({message, dir.path()});
    int code = -1;
    EXPECT_NO_THROW(code = RunProgram(os)) << c.message;
    EXPECT_EQ(code, 1) << c.message;
    ASSERT_EQ(os.boxes.size(), 1u) << c.message;
    EXPECT_EQ(os.boxes[0].caption, "Application Error");
    const std::string& text = os.boxes[0].text;
    EXPECT_EQ(text.rfind(std::string("Exception ") + c.kind + " in module ", 0),
              0u)
        << text;
    EXPECT_TRUE(text.ends_with(std::string(".\r\n") + c.message + ".\r\n"))
        << text;
    const std::string log = ScratchDir::ReadOrEmpty(dir.Path("msg.log"));
    EXPECT_EQ(
        log.find("Attachment Line: " + line + "\r\n\r\n") != std::string::npos,
        c.echoed)
        << log;
    // The scan never completed: the message stays.
    EXPECT_EQ(ScratchDir::ReadOrEmpty(message), line + "\r\n");
  }
}

// Whatever holds the log's name before the run, the run writes and cuts no
// file but a log of its own, and nothing outside the mail folder is read,
// written or created. A link to a file elsewhere, a link to the attachment
// the message names, a second name of another file or a link that leads
// nowhere gives way to a new log; a FIFO no one reads (whose open would
// block for ever) is refused with the error report and left where it is.
TEST(RunProgram, TheLogIsTheRunsOwnFileWhateverHoldsItsName) {
  namespace fs = std::filesystem;
  enum class Holder {
    kLinkToOther,
    kLinkToAttachment,
    kSecondName,
    kLinkToNowhere,
    kFifo
  };
  const struct {
    Holder holder;
    const char* name;
    bool refused;
  } cases[] = {
#ifndef _WIN32
      {Holder::kLinkToOther, "link to another file", false},
      {Holder::kLinkToAttachment, "link to the attachment", false},
      {Holder::kLinkToNowhere, "link to nowhere", false},
      {Holder::kFifo, "FIFO", true},
#endif
      {Holder::kSecondName, "second name of another file", false},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    dir.MakeDir("mail");
    dir.MakeDir("other");
    dir.MakeDir("att");
    const std::string dest = dir.MakeDir("dest");
    const std::string victim = dir.Write(
        std::string("other") + kSeparator + "victim.txt", "victim bytes");
    const std::string bytes(5000, 'a');
    const std::string attachment =
        dir.Write(std::string("att") + kSeparator + "report.pdf", bytes);
    const std::string message =
        dir.Write(std::string("mail") + kSeparator + "m.txt",
                  "Attachment Converted: \"" + attachment + "\"\r\n");
    const std::string log =
        dir.Path(std::string("mail") + kSeparator + "m.log");
    const std::string nowhere =
        dir.Path(std::string("other") + kSeparator + "nowhere.txt");
    switch (c.holder) {
      case Holder::kLinkToOther:
        fs::create_symlink(victim, log);
        break;
      case Holder::kLinkToAttachment:
        fs::create_symlink(attachment, log);
        break;
      case Holder::kSecondName:
        fs::create_hard_link(victim, log);
        break;
      case Holder::kLinkToNowhere:
        fs::create_symlink(nowhere, log);
        break;
      case Holder::kFifo:
#ifndef _WIN32
        ASSERT_EQ(mkfifo(log.c_str(), 0666), 0);
#endif
        break;
    }
    TestPlatform os;
    os.SetArguments({message, dest});
    EXPECT_EQ(RunProgram(os), c.refused ? 1 : 0) << c.name;
    EXPECT_EQ(ScratchDir::ReadOrEmpty(victim), "victim bytes") << c.name;
    EXPECT_FALSE(fs::exists(fs::symlink_status(nowhere))) << c.name;
    if (c.refused) {
      ASSERT_EQ(os.boxes.size(), 1u) << c.name;
      EXPECT_EQ(os.boxes[0].caption, "Application Error") << c.name;
      EXPECT_TRUE(fs::is_fifo(fs::symlink_status(log))) << c.name;
      EXPECT_EQ(ScratchDir::ReadOrEmpty(attachment), bytes) << c.name;
      EXPECT_TRUE(ScratchDir::Exists(message)) << c.name;
      continue;
    }
    EXPECT_TRUE(os.boxes.empty()) << c.name;
    EXPECT_EQ(ScratchDir::ReadOrEmpty(
                  dir.Path(std::string("dest") + kSeparator + "report.pdf")),
              bytes)
        << c.name;
    EXPECT_FALSE(ScratchDir::Exists(attachment)) << c.name;
    // The log is a file of its own, one name, holding the run's lines.
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(log))) << c.name;
    EXPECT_EQ(fs::hard_link_count(log), 1u) << c.name;
    EXPECT_NE(ScratchDir::ReadOrEmpty(log).find("Moving from <" + attachment),
              std::string::npos)
        << c.name;
  }
}

// The message deleted is the message read: the mail client's next message,
// renamed over the message file while the run copies an attachment (POSIX:
// the run reads the message then), or once the run has read it (Windows:
// while the run reads it, the message cannot be renamed over), stays, and a
// log line says so.
TEST(RunProgram, AMessageReplacedDuringTheRunStays) {
  namespace fs = std::filesystem;
  struct ReplacingPlatform : TestPlatform {
    uint32_t FolderCopyIn(WrappedFolder& folder, const std::string& source,
                          const std::string& name,
                          CopyReceipt* receipt) override {
      if (during_copy && meanwhile) std::exchange(meanwhile, nullptr)();
      return TestPlatform::FolderCopyIn(folder, source, name, receipt);
    }
    uint32_t FileClose(WrappedFile& file) override {
      const uint32_t code = TestPlatform::FileClose(file);
      if (file.use() == FileUse::kMessage && meanwhile) {
        std::exchange(meanwhile, nullptr)();
      }
      return code;
    }
    bool during_copy = false;
    std::function<void()> meanwhile;
  };
  for (const bool during_copy : {
#ifndef _WIN32
           true,
#endif
           false}) {
    ScratchDir dir;
    const std::string dest = dir.MakeDir("dest");
    const std::string attachment = dir.Write("report.pdf", "bytes");
    const std::string message =
        dir.Write("msg.txt", "Attachment Converted: " + attachment + "\r\n");
    const std::string next = "Attachment Converted: next.pdf\r\n";
    ReplacingPlatform os;
    os.SetArguments({message, dest});
    os.during_copy = during_copy;
    os.meanwhile = [&] { fs::rename(dir.Write("next.tmp", next), message); };
    EXPECT_EQ(RunProgram(os), 0);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(message), next) << during_copy;
    EXPECT_EQ(
        ScratchDir::ReadOrEmpty(dir.Path("dest") + kSeparator + "report.pdf"),
        "bytes");
    const std::string log = ScratchDir::ReadOrEmpty(dir.Path("msg.log"));
    EXPECT_NE(log.find("Eudora Message File <" + message +
                       "> was replaced during the run - not deleted\r\n"),
              std::string::npos)
        << log;
  }
}

// A run with nothing to record deletes its log while it still holds it open
// and locked: the log of the next message's run, made under the same name
// or written into the same file once the first run let it go, stays.
TEST(RunProgram, ALogReplacedAfterItsCloseIsNotDeleted) {
  namespace fs = std::filesystem;
  struct ReplacingPlatform : TestPlatform {
    uint32_t FileClose(WrappedFile& file) override {
      const uint32_t code = TestPlatform::FileClose(file);
      if (file.use() == FileUse::kLog && meanwhile) {
        std::exchange(meanwhile, nullptr)();
      }
      return code;
    }
    std::function<void()> meanwhile;
  };
  ScratchDir dir;
  const std::string message = dir.Write("msg.txt", "nothing to do\r\n");
  const std::string other_log = "the next run's moves\r\n";
  // The next run renames its log over the name, or opens the same file
  // again (the first run's lock is gone with its close) and writes there.
  const std::function<void()> next_runs[] = {
      [&] {
        fs::rename(dir.Write("next.log.tmp", other_log), dir.Path("msg.log"));
      },
      [&] {
        std::ofstream(dir.Path("msg.log"), std::ios::binary | std::ios::app)
            << other_log;
      },
  };
  for (const auto& next_run : next_runs) {
    dir.Write("msg.txt", "nothing to do\r\n");
    fs::remove(dir.Path("msg.log"));
    ReplacingPlatform os;
    os.SetArguments({message, dir.path()});
    os.meanwhile = next_run;
    EXPECT_EQ(RunProgram(os), 0);
    EXPECT_TRUE(os.boxes.empty());
    EXPECT_EQ(ScratchDir::ReadOrEmpty(dir.Path("msg.log")), other_log);
  }
  // Without a replacement the empty log goes, as before.
  const std::string again = dir.Write("msg2.txt", "nothing to do\r\n");
  TestPlatform plain;
  plain.SetArguments({again, dir.path()});
  EXPECT_EQ(RunProgram(plain), 0);
  EXPECT_FALSE(ScratchDir::Exists(dir.Path("msg2.log")));
}

#ifdef __linux__
// Durable before the source goes: each moved attachment's copy is flushed
// (its bytes), and the destination folder with the new names once for the
// run, before any of their sources is deleted; a duplicate's identical
// file is flushed through the comparison's open, and its source waits for
// the same folder flush. The log keeps the run's order all the same.
TEST(RunProgram, EachCopyIsOnTheDiskBeforeItsSourceGoes) {
  ScratchDir dir;
  const std::string dest = dir.MakeDir("dest");
  const std::string first_duplicate = dir.Write("photo.jpg", "same bytes");
  dir.Write(std::string("dest") + kSeparator + "photo.jpg", "same bytes");
  const std::string moved = dir.Write("report.pdf", std::string(5000, 'r'));
  const std::string duplicate = dir.Write("notes.txt", "same notes");
  dir.Write(std::string("dest") + kSeparator + "notes.txt", "same notes");
  const std::string missing = dir.Path("gone.pdf");
  const std::string second = dir.Write("budget.xls", "budget");
  std::string text = "From: a@b\r\n";
  for (const std::string& path :
       {first_duplicate, moved, duplicate, missing, second}) {
    text += "Attachment Converted: " + path + "\r\n";
  }
  const std::string message = dir.Write("msg.txt", text);
  TestPlatform os;
  os.SetArguments({message, dest});
  std::vector<std::string> calls;
  g_disk_calls = &calls;
  const int code = RunProgram(os);
  g_disk_calls = nullptr;
  EXPECT_EQ(code, 0);
  EXPECT_EQ(calls, std::vector<std::string>({
                       "fdatasync",  // the first duplicate's identical file
                       "fdatasync",  // the copy of the moved file
                       "fdatasync",  // the second duplicate's identical file
                       "fdatasync",  // the copy of the second moved file
                       "fsync " + std::filesystem::canonical(dest).string(),
                       "unlink " + first_duplicate,
                       "unlink " + moved,
                       "unlink " + duplicate,
                       "unlink " + second,
                       "unlink " + message,
                   }));
  const auto echo = [](const std::string& path) {
    return "Attachment Line: Attachment Converted: " + path + "\r\n\r\n";
  };
  const auto in_dest = [&](const char* name) {
    return dest + kSeparator + name;
  };
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir.Path("msg.log")),
            "12/7/26 9:05:03\r\n" + echo(first_duplicate) + "Duplicate of <" +
                first_duplicate + "> already in <" + in_dest("photo.jpg") +
                "> - only deleting source\r\n" + echo(moved) + "Moving from <" +
                moved + "> to <" + in_dest("report.pdf") + ">\r\n" +
                echo(duplicate) + "Duplicate of <" + duplicate +
                "> already in <" + in_dest("notes.txt") +
                "> - only deleting source\r\n" + echo(missing) +
                "Source File <" + missing +
                "> does not exist\r\nFrom: a@b\r\n\r\n\r\n" + echo(second) +
                "Moving from <" + second + "> to <" + in_dest("budget.xls") +
                ">\r\n");
}
#endif

// The same order as each platform's own calls give it, recorded at the
// seam, so that it is checked under wine for the Windows implementation
// too: every publication (each copy flushed before it, on Windows written
// through) and the comparisons' flushes of the duplicates' identical files
// come before the folder's flush, and that before any source is deleted.
TEST(RunProgram, EveryPublicationAndFlushComesBeforeAnySourceGoes) {
  struct RecordingPlatform : TestPlatform {
    void OnCall(const char* what) override {
      const std::string call = what;
      if (call == "Folder::CopyIn" || call == "File::Flush" ||
          call == "Folder::Flush" || call == "RemoveProvenFile") {
        calls.push_back(call);
      }
    }
    std::vector<std::string> calls;
  };
  ScratchDir dir;
  const std::string dest = dir.MakeDir("dest");
  std::string text;
  for (const char* name : {"same.txt", "new.pdf", "again.txt", "other.doc"}) {
    const std::string bytes = std::string("bytes of ") + name;
    text += "Attachment Converted: " + dir.Write(name, bytes) + "\r\n";
    if (name[0] != 'n' && name[0] != 'o') {
      dir.Write(std::string("dest") + kSeparator + name, bytes);
    }
  }
  RecordingPlatform os;
  os.SetArguments({dir.Write("msg.txt", text), dest});
  EXPECT_EQ(RunProgram(os), 0);
  EXPECT_EQ(os.calls,
            std::vector<std::string>({
                "File::Flush",     // same.txt's identical file
                "Folder::CopyIn",  // new.pdf
                "File::Flush",     // again.txt's identical file
                "Folder::CopyIn",  // other.doc
                "Folder::Flush",
                "RemoveProvenFile",  // the four sources
                "RemoveProvenFile", "RemoveProvenFile", "RemoveProvenFile",
                "RemoveProvenFile",  // the message
            }));
  for (const char* name : {"same.txt", "new.pdf", "again.txt", "other.doc"}) {
    EXPECT_FALSE(ScratchDir::Exists(dir.Path(name))) << name;
    EXPECT_TRUE(ScratchDir::Exists(dest + kSeparator + name)) << name;
  }
}

}  // namespace
}  // namespace stashwell
