// Contract of the system Platform on real files. Every case here holds on
// both Windows and POSIX; behaviour of one system alone is tested beside its
// implementation.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/date_time.h"
#include "platform/system_platform.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"
#include "support/search_entries.h"
#include "support/test_helpers.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace stashwell {
namespace {

namespace fs = std::filesystem;

// 15 June 2021 12:34:56 UTC and 15 June 1975 12:00:00 UTC.
constexpr std::time_t kSummer2021 = 1623760496;
constexpr std::time_t kSummer1975 = 172065600;

// The local calendar fields of a moment, as the C library sees them.
DateTimeFields LocalFieldsOf(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  DateTimeFields fields =
      FieldsAt(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
               local.tm_hour, local.tm_min, local.tm_sec);
  fields.day_of_week = local.tm_wday;
  return fields;
}

class PlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> os_ = MakeSystemPlatform(0, nullptr);
  ScratchDir dir_;
};

TEST_F(PlatformTest, SyntaxJoinsWithTheSystemSeparator) {
  EXPECT_EQ(os_->Syntax().separator, kSeparator);
}

TEST_F(PlatformTest, ExistenceOfFilesAndFolders) {
  const std::string file = dir_.Write("a.txt", "x");
  const std::string folder = dir_.MakeDir("sub");
  const std::string missing = dir_.Path("missing.txt");
  EXPECT_TRUE(os_->IsExistingFile(file));
  EXPECT_FALSE(os_->IsExistingDirectory(file));
  EXPECT_FALSE(os_->IsExistingFile(folder));
  EXPECT_TRUE(os_->IsExistingDirectory(folder));
  EXPECT_FALSE(os_->IsExistingFile(missing));
  EXPECT_FALSE(os_->IsExistingDirectory(missing));
  EXPECT_FALSE(os_->IsExistingFile(missing + kSeparator + "a.txt"));
}

TEST_F(PlatformTest, FileDatedOutsideThePackedRangeExists) {
  const std::string old_file = dir_.Write("old.txt", "x");
  SetWriteTime(old_file, kSummer1975);
  EXPECT_TRUE(os_->IsExistingFile(old_file));
}

TEST_F(PlatformTest, RemoveFileDeletesAPlainFile) {
  const std::string file = dir_.Write("a.txt", "x");
  EXPECT_TRUE(os_->RemoveFile(file));
  EXPECT_FALSE(ScratchDir::Exists(file));
  EXPECT_FALSE(os_->RemoveFile(file));  // gone now
}

TEST_F(PlatformTest, RemoveFileRefusesReadOnlyFilesAndFolders) {
  const std::string file = dir_.Write("locked.txt", "keep me");
  MakeReadOnly(file);
  EXPECT_FALSE(os_->RemoveFile(file));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "keep me");
  const std::string folder = dir_.MakeDir("sub");
  EXPECT_FALSE(os_->RemoveFile(folder));
  EXPECT_TRUE(os_->IsExistingDirectory(folder));
}

TEST_F(PlatformTest, CopyKeepsBytesAndLastWriteTime) {
  // Larger than any one block of the copy.
  const std::string bytes = PatternBytes(3 * 1024 * 1024 + 17);
  const std::string source = dir_.Write("source.bin", bytes);
  SetWriteTime(source, kSummer2021);
  const std::string destination = dir_.Path("copy.bin");
  EXPECT_EQ(CopyThroughFolder(*os_, source, destination), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination), bytes);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(source), bytes);
  EXPECT_EQ(WriteTime(destination), kSummer2021);
}

TEST_F(PlatformTest, CopyOfAnEmptyFile) {
  const std::string source = dir_.Write("empty", "");
  const std::string destination = dir_.Path("copy");
  EXPECT_EQ(CopyThroughFolder(*os_, source, destination), 0u);
  EXPECT_TRUE(ScratchDir::Exists(destination));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination), "");
}

TEST_F(PlatformTest, CopyNeverReplacesAnExistingFile) {
  const std::string source = dir_.Write("source.txt", "new bytes");
  const std::string destination = dir_.Write("taken.txt", "old");
  SetWriteTime(destination, kSummer2021);
  EXPECT_EQ(CopyThroughFolder(*os_, source, destination), kErrorFileExists);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination), "old");
  EXPECT_EQ(WriteTime(destination), kSummer2021);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(source), "new bytes");
}

TEST_F(PlatformTest, CopyReportsMissingSourceAndMissingFolder) {
  EXPECT_EQ(
      CopyThroughFolder(*os_, dir_.Path("missing.txt"), dir_.Path("copy.txt")),
      kErrorFileNotFound);
  EXPECT_FALSE(ScratchDir::Exists(dir_.Path("copy.txt")));

  const std::string source = dir_.Write("source.txt", "x");
  const std::string destination =
      dir_.Path("no-such-folder") + kSeparator + "copy.txt";
  EXPECT_EQ(CopyThroughFolder(*os_, source, destination), kErrorPathNotFound);
  EXPECT_TRUE(ScratchDir::Exists(source));
}

class FindMatchingTest : public PlatformTest {
 protected:
  void SetUp() override {
    for (const char* name : {"eud1.log", "EUD22.LOG", "eud.log", "eudx.log",
                             "xeud1.log", "eud1.tmp", "note.txt"}) {
      dir_.Write(name, "x");
    }
    dir_.MakeDir("eud9.log");
  }
  // Read-only, hidden and archive: the set the stale-file sweep asks for.
  static constexpr uint32_t kSweepSet = 35;
};

TEST_F(FindMatchingTest, StarMatchesAnyRunWithoutRegardToCase) {
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("eud*.log"), kSweepSet)),
            (std::vector<std::string>{"EUD22.LOG", "eud.log", "eud1.log",
                                      "eudx.log"}));
}

TEST_F(FindMatchingTest, QuestionMarkMatchesOneCharacter) {
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("eud?.log"), kSweepSet)),
            (std::vector<std::string>{"eud1.log", "eudx.log"}));
}

TEST_F(FindMatchingTest, FoldersOnlyWhenAsked) {
  const auto with_folders =
      os_->FindMatching(dir_.Path("eud*.log"), kSweepSet | kAttrDirectory);
  const SearchEntry* folder = Find(with_folders, "eud9.log");
  ASSERT_NE(folder, nullptr);
  EXPECT_NE(folder->attributes & kAttrDirectory, 0u);
  EXPECT_EQ(with_folders.size(), 5u);
}

TEST_F(FindMatchingTest, EntriesCarryAttributes) {
  dir_.Write("eud5.log", PatternBytes(1234));
  const std::string locked = dir_.Write("eud6.log", "x");
  MakeReadOnly(locked);
  const auto entries = os_->FindMatching(dir_.Path("eud*.log"), kSweepSet);
  const SearchEntry* plain = Find(entries, "eud5.log");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->attributes & (kAttrDirectory | kAttrReadOnly), 0u);
  EXPECT_NE(plain->attributes & kAttrArchive, 0u);
  const SearchEntry* read_only = Find(entries, "eud6.log");
  ASSERT_NE(read_only, nullptr);
  EXPECT_NE(read_only->attributes & kAttrReadOnly, 0u);
}

TEST_F(FindMatchingTest, NothingFromAMissingFolderOrWithoutMatches) {
  EXPECT_TRUE(
      os_->FindMatching(dir_.Path("none") + kSeparator + "eud*.log", kSweepSet)
          .empty());
  EXPECT_TRUE(os_->FindMatching(dir_.Path("eud*.xyz"), kSweepSet).empty());
}

TEST_F(PlatformTest, SearchReportsLocalPackedAndDayCountTimes) {
  const std::string file = dir_.Write("eud1.log", "x");
  SetWriteTime(file, kSummer2021);
  const auto entries = os_->FindMatching(dir_.Path("eud*.log"), 35);
  ASSERT_EQ(entries.size(), 1u);
  const DateTimeFields local = LocalFieldsOf(kSummer2021);
  ASSERT_TRUE(entries[0].last_write);
  EXPECT_EQ(PackDosTime(*entries[0].last_write), PackDosTime(local).value());
  EXPECT_NEAR(EncodeDayCount(*entries[0].last_write), EncodeDayCount(local),
              1e-8);
}

TEST_F(PlatformTest, SearchMarksTimesBefore1980AsNotPackable) {
  const std::string file = dir_.Write("eud1.log", "x");
  SetWriteTime(file, kSummer1975);
  const auto entries = os_->FindMatching(dir_.Path("eud*.log"), 35);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].last_write);
  EXPECT_FALSE(PackDosTime(*entries[0].last_write));
  const DateTimeFields local = LocalFieldsOf(kSummer1975);
  EXPECT_NEAR(EncodeDayCount(*entries[0].last_write), EncodeDayCount(local),
              1e-8);
  EXPECT_EQ(entries[0].last_write->year, 1975);
}

TEST_F(PlatformTest, SameFileByPathNotByContents) {
  const std::string a = dir_.Write("a.txt", "same");
  const std::string b = dir_.Write("b.txt", "same");
  const std::string a_again =
      dir_.path() + kSeparator + "." + kSeparator + "a.txt";
  EXPECT_TRUE(SameFile(*os_, a, a));
  EXPECT_TRUE(SameFile(*os_, a, a_again));
  EXPECT_FALSE(SameFile(*os_, a, b));
  EXPECT_FALSE(SameFile(*os_, a, dir_.Path("missing.txt")));
}

TEST_F(PlatformTest, OpenForWriteCreatesOrTruncates) {
  const std::string path = dir_.Write("log.txt", std::string(100, 'z'));
  std::unique_ptr<File> file;
  ASSERT_EQ(os_->Open(path, FileUse::kLog, &file), 0u);
  EXPECT_EQ(file->Write("abc", 3), 0u);
  EXPECT_EQ(file->Close(), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(path), "abc");

  const std::string fresh = dir_.Path("fresh.txt");
  ASSERT_EQ(os_->Open(fresh, FileUse::kLog, &file), 0u);
  EXPECT_EQ(file->Write("", 0), 0u);
  EXPECT_EQ(file->Close(), 0u);
  EXPECT_TRUE(ScratchDir::Exists(fresh));
}

TEST_F(PlatformTest, OpenForWriteInAMissingFolderIsPathNotFound) {
  std::unique_ptr<File> file;
  EXPECT_EQ(
      os_->Open(dir_.Path("none") + kSeparator + "x.log", FileUse::kLog, &file),
      kErrorPathNotFound);
}

TEST_F(PlatformTest, OpenForWriteRefusesAFolder) {
  std::unique_ptr<File> file;
  EXPECT_EQ(os_->Open(dir_.MakeDir("sub"), FileUse::kLog, &file),
            kErrorAccessDenied);
}

TEST_F(PlatformTest, ReadToTheEndAndSize) {
  const std::string bytes = PatternBytes(20000);
  const std::string path = dir_.Write("data.bin", bytes);
  for (const bool shared : {false, true}) {
    std::unique_ptr<File> file;
    ASSERT_EQ(shared ? os_->Open(path, FileUse::kComparison, &file)
                     : os_->Open(path, FileUse::kMessage, &file),
              0u);
    uint64_t size = 0;
    EXPECT_EQ(file->Size(&size), 0u);
    EXPECT_EQ(size, 20000u);
    const std::optional<FileProof> opened = file->Proof();
    std::string read;
    char buffer[4096];
    for (;;) {
      size_t count = 0;
      ASSERT_EQ(file->Read(buffer, sizeof buffer, &count), 0u);
      if (count == 0) break;
      read.append(buffer, count);
    }
    EXPECT_EQ(read, bytes);
    if (shared) {
      // Once read, the file's size and proof are those of the file as it
      // is now, whatever its open found.
      std::ofstream(path, std::ios::binary | std::ios::app) << "more";
      EXPECT_EQ(file->Size(&size), 0u);
      EXPECT_EQ(size, 20004u);
      const std::optional<FileProof> now = file->Proof();
      ASSERT_TRUE(opened && now);
      EXPECT_EQ(now->size, 20004u);
      EXPECT_NE(now, opened);
    }
    EXPECT_EQ(file->Close(), 0u);
  }
}

TEST_F(PlatformTest, ReadOpensRefuseMissingFilesAndFolders) {
  std::unique_ptr<File> file;
  EXPECT_EQ(os_->Open(dir_.Path("missing.txt"), FileUse::kMessage, &file),
            kErrorFileNotFound);
  EXPECT_EQ(os_->Open(dir_.Path("missing.txt"), FileUse::kComparison, &file),
            kErrorFileNotFound);
  EXPECT_EQ(os_->Open(dir_.MakeDir("sub"), FileUse::kMessage, &file),
            kErrorAccessDenied);
}

TEST_F(PlatformTest, ReadOnlyFileOpensForSharedReading) {
  const std::string path = dir_.Write("locked.txt", "abc");
  MakeReadOnly(path);
  std::unique_ptr<File> file;
  ASSERT_EQ(os_->Open(path, FileUse::kComparison, &file), 0u);
  char buffer[8];
  size_t count = 0;
  EXPECT_EQ(file->Read(buffer, sizeof buffer, &count), 0u);
  EXPECT_EQ(std::string(buffer, count), "abc");
  EXPECT_EQ(file->Close(), 0u);
}

// What stands at a path, made for one row of the table below; "" where
// this system cannot make it here. held gets what must stay open while the
// row is checked.
using Maker = std::string (*)(const ScratchDir& dir, const std::string& name,
                              std::vector<std::shared_ptr<void>>* held);

std::string MakePlainFile(const ScratchDir& dir, const std::string& name,
                          std::vector<std::shared_ptr<void>>*) {
  return dir.Write(name, "plain bytes");
}
std::string MakeNothing(const ScratchDir& dir, const std::string& name,
                        std::vector<std::shared_ptr<void>>*) {
  return dir.Path(name);
}
std::string MakeFolder(const ScratchDir& dir, const std::string& name,
                       std::vector<std::shared_ptr<void>>*) {
  return dir.MakeDir(name);
}
// A device node of its own (POSIX, where the run may make one); a device
// name on Windows, which names the device wherever it stands.
std::string MakeDevice(const ScratchDir& dir, const std::string& name,
                       std::vector<std::shared_ptr<void>>*) {
#ifdef _WIN32
  return dir.Path("COM1." + name);
#else
  const std::string path = dir.Path(name);
  return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? path : "";
#endif
}
// The system's own device, reached by its path. Never removed. (Under
// wine a host device is listed as a file by the search, which Windows never
// lists; its open is refused by the handle's type, which
// win32_platform_test checks.)
std::string HostDevice(const ScratchDir&, const std::string&,
                       std::vector<std::shared_ptr<void>>*) {
#ifdef _WIN32
  return "";
#else
  return "/dev/zero";
#endif
}
// A FIFO; on Windows a named pipe, held open by the test.
std::string MakeFifo(const ScratchDir& dir, const std::string& name,
                     std::vector<std::shared_ptr<void>>* held) {
#ifdef _WIN32
  const std::string path = "\\\\.\\pipe\\stashwell-" +
                           std::to_string(GetCurrentProcessId()) + "-" + name;
  HANDLE pipe = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return "";
  held->emplace_back(pipe, [](void* handle) { CloseHandle(handle); });
  (void)dir;
  return path;
#else
  (void)held;
  const std::string path = dir.Path(name);
  return mkfifo(path.c_str(), 0666) == 0 ? path : "";
#endif
}
std::string MakeLink(const std::string& target, const std::string& path) {
  std::error_code error;
  fs::create_symlink(target, path, error);
  return error ? "" : path;
}
// A link to name + ".target", a file of its own.
std::string MakeLinkToFile(const ScratchDir& dir, const std::string& name,
                           std::vector<std::shared_ptr<void>>*) {
  return MakeLink(dir.Write(name + ".target", "target bytes"), dir.Path(name));
}
std::string MakeDanglingLink(const ScratchDir& dir, const std::string& name,
                             std::vector<std::shared_ptr<void>>*) {
  return MakeLink(dir.Path(name + ".gone"), dir.Path(name));
}

// One rule for both systems: what stands at a path decides what the
// program calls it, what each use's open does with it and whether it may be
// deleted, with the same Win32 codes on Windows and POSIX. Only a regular
// file on a disk is a file (links followed); a folder is refused by every
// open (5); anything else that is no disk file is refused as the log (5,
// and left standing) and missing (2) for reading; a link at the log's path
// is replaced by a log of the run's own, and what it leads to is left
// alone; a deletion takes a file or a link's own name, never a folder,
// device or FIFO, nor what a link leads to.
TEST_F(PlatformTest, WhatStandsAtAPathDecidesAlikeOnEverySystem) {
  const struct {
    const char* what;
    Maker make;
    bool is_file;
    bool is_folder;
    uint32_t log;  // the codes of the opens, by use
    uint32_t message;
    uint32_t comparison;
    const char* read;  // what the reading opens read
    bool remove_asked;
    bool removed;  // by RemoveFile
  } rows[] = {
      {"plain", MakePlainFile, true, false, 0, 0, 0, "plain bytes", true, true},
      {"nothing", MakeNothing, false, false, 0, 2, 2, "", true, false},
      {"folder", MakeFolder, false, true, 5, 5, 5, "", true, false},
      {"device", MakeDevice, false, false, 5, 2, 2, "", true, false},
      {"host device", HostDevice, false, false, 5, 2, 2, "", false, false},
      {"fifo", MakeFifo, false, false, 5, 2, 2, "", true, false},
      {"link", MakeLinkToFile, true, false, 0, 0, 0, "target bytes", true,
       true},
      {"dangling", MakeDanglingLink, false, false, 0, 2, 2, "", true, true},
  };
  int checked = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::shared_ptr<void>> held;
    std::string path = row.make(dir_, row.what, &held);
    if (path.empty()) {
      std::printf("not made on this system: %s\n", row.what);
      continue;
    }
    ++checked;
    EXPECT_EQ(os_->IsExistingFile(path), row.is_file);
    EXPECT_EQ(os_->IsExistingDirectory(path), row.is_folder);
    const PathKind kind = os_->Examine(path);
    for (const auto& [use, code] :
         {std::pair{FileUse::kMessage, row.message},
          std::pair{FileUse::kComparison, row.comparison}}) {
      std::unique_ptr<File> file;
      EXPECT_EQ(os_->Open(path, use, &file), code);
      if (code == 0) {
        char buffer[16];
        size_t count = 0;
        ASSERT_EQ(file->Read(buffer, sizeof buffer, &count), 0u);
        EXPECT_EQ(std::string(buffer, count), row.read);
        EXPECT_EQ(file->Close(), 0u);
      }
    }
    if (row.remove_asked) {
      EXPECT_EQ(os_->RemoveFile(path), row.removed);
      if (row.removed) {
        path = row.make(dir_, row.what, &held);
      } else {
        // What stays is what stood there.
        EXPECT_EQ(os_->Examine(path), kind);
      }
    }
    std::unique_ptr<File> log;
    EXPECT_EQ(os_->Open(path, FileUse::kLog, &log), row.log);
    if (row.log == 0) {
      EXPECT_EQ(log->Write("log", 3), 0u);
      EXPECT_EQ(log->Close(), 0u);
      EXPECT_EQ(ScratchDir::ReadOrEmpty(path), "log");
    } else {
      EXPECT_EQ(os_->Examine(path), kind);
    }
    // Nothing a link led to was written or deleted.
    const std::string target = dir_.Path(std::string(row.what) + ".target");
    if (ScratchDir::Exists(target)) {
      EXPECT_EQ(ScratchDir::ReadOrEmpty(target), "target bytes");
    }
  }
  // Every row but the links and the host's device can be made on every
  // system the tests run on.
  EXPECT_GE(checked, 5);
}

TEST_F(PlatformTest, LocalNowFollowsTheSystemClock) {
  const std::time_t now = std::time(nullptr);
  const DayCount expected = EncodeDayCount(LocalFieldsOf(now));
  // Within five seconds of the C library's local time.
  EXPECT_NEAR(os_->LocalNow(), expected, 5.0 / 86400.0);
}

TEST_F(PlatformTest, LocalNowCountsMilliseconds) {
  // Readings a little over a millisecond apart are not all on whole
  // seconds, unless the clock has no sub-second part. (Readings in a tight
  // loop can all fall within one millisecond, and that one may be .000.)
  bool fraction_seen = false;
  for (int i = 0; i < 50 && !fraction_seen; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::microseconds(1300));
    const double ms = DecodeDayCount(os_->LocalNow()).millisecond;
    fraction_seen = ms != 0;
  }
  EXPECT_TRUE(fraction_seen);
}

TEST_F(PlatformTest, ProgramFileNameHasNoFolder) {
  const std::string name = os_->ProgramFileName();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find(kSeparator), std::string::npos);
}

}  // namespace
}  // namespace stashwell
