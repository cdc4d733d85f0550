// The verified move on real files: the copy that never overwrites, its log
// lines and flags, and when the source may be deleted.
#include "transfer/verified_move.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "run/run_log.h"
#include "support/scratch_dir.h"
#include "support/test_helpers.h"
#include "support/test_platform.h"
#include "transfer/file_identity.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace stashwell {
namespace {

namespace fs = std::filesystem;

// The system platform with the copy and the deletion open to faults.
class CopyAndRemovalFaultPlatform : public TestPlatform {
 public:
  uint32_t FolderCopyIn(WrappedFolder& folder, const std::string& source,
                        const std::string& name,
                        CopyReceipt* receipt) override {
    copied_from.push_back(source);
    copied_to.push_back(folder.PathOf(name));
    if (before_copy) before_copy();
    if (copy_error != 0) return copy_error;
    return TestPlatform::FolderCopyIn(folder, source, name, receipt);
  }
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override {
    removed.push_back(path);
    if (refuse_remove) return Removal::kRefused;
    return TestPlatform::RemoveProvenFile(path, proof);
  }
  uint32_t FolderFlush(WrappedFolder& folder) override {
    ++flushes;
    if (flush_error != 0) return flush_error;
    return TestPlatform::FolderFlush(folder);
  }

  std::function<void()> before_copy;
  uint32_t flush_error = 0;
  int flushes = 0;
  uint32_t copy_error = 0;
  bool refuse_remove = false;
  std::vector<std::string> copied_from;
  std::vector<std::string> copied_to;
  std::vector<std::string> removed;
};

class VerifiedMoveTest : public ::testing::Test {
 protected:
  VerifiedMoveTest() : state_(os_) {
    state_.MessageFilePath = dir_.Path("msg.txt");
    StartRunLog(state_);
    source_dir_ = dir_.MakeDir("in");
    dest_dir_ = dir_.MakeDir("out");
    state_.DestinationDir = dest_dir_;
  }

  // Sets SourcePath to a new file in "in" and DestinationPath to "out".
  void Prepare(const std::string& bytes, const std::string& name = "a.pdf") {
    state_.SourcePath = dir_.Write("in" + Sep() + name, bytes);
    state_.DestinationPath = dest_dir_ + Sep() + name;
  }
  // Copies and verifies, keeping the copy's code in copy_code_, and settles
  // what the run holds, as the scan does at its end.
  void Move() {
    CopyAndVerify();
    state_.Removals.Settle(state_);
  }
  void CopyAndVerify() {
    CopyReceipt receipt;
    copy_code_ = CopyAndLog(state_, false, &receipt);
    VerifyAndDeleteSource(state_, copy_code_, receipt);
  }
  // The duplicate case: no copy, the comparison's proofs of both files.
  void VerifyDuplicate() { VerifyDuplicateIn(state_); }
  static void VerifyDuplicateIn(RunState& state) {
    ComparedFiles compared;
    ASSERT_EQ(CompareFiles(state.platform, state.SourcePath,
                           state.DestinationPath, &compared),
              Comparison::kIdentical);
    VerifyAndDeleteSource(state, std::nullopt,
                          {compared.first, compared.second});
  }
  // The log after line 1, once the log is closed.
  std::string LogLines() { return stashwell::LogLines(state_); }
  std::string MovingLine() const {
    return "Moving from <" + state_.SourcePath + "> to <" +
           state_.DestinationPath + ">\r\n";
  }

  ScratchDir dir_;
  CopyAndRemovalFaultPlatform os_;
  RunState state_;
  std::string source_dir_;
  std::string dest_dir_;
  int32_t copy_code_ = 0;
};

constexpr char kNotFoundAfterCopy[] =
    "Error - destination file not found after copy (source not deleted)\r\n";
constexpr char kCopyFailedFileThere[] =
    "Error - copy failed and another file is at the destination (source not "
    "deleted)\r\n";
constexpr char kCouldNotDelete[] = "Error - could not delete source file\r\n";

TEST_F(VerifiedMoveTest, ASuccessfulMoveWritesOneLine) {
  Prepare("attachment bytes\r\n\x1A\x00\xFF");
  const auto stamp =
      fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  fs::last_write_time(state_.SourcePath, stamp);
  const auto source_time = fs::last_write_time(state_.SourcePath);
  Move();
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(copy_code_, 0);
  EXPECT_FALSE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.DestinationPath),
            "attachment bytes\r\n\x1A\x00\xFF");
  EXPECT_EQ(fs::last_write_time(state_.DestinationPath), source_time);
  EXPECT_EQ(LogLines(), MovingLine());
}

TEST_F(VerifiedMoveTest, ASourceRemovedBeforeTheCopyGivesCode2) {
  Prepare("x");
  fs::remove(state_.SourcePath);
  Move();
  EXPECT_EQ(copy_code_, 2);
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_FALSE(ScratchDir::Exists(state_.DestinationPath));
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 2\r\n" +
                            kNotFoundAfterCopy);
}

// Another run moves the same attachment into the destination after this
// run found the name free and before its copy: the copy fails with "file
// not found", and the other run's whole file under the name stays. A failed
// copy removes nothing but what it made itself.
TEST_F(VerifiedMoveTest, AnotherRunsCopyUnderTheNameSurvivesAFailedCopy) {
  Prepare("the attachment");
  os_.before_copy = [&] {
    fs::copy_file(state_.SourcePath, state_.DestinationPath);
    fs::remove(state_.SourcePath);
  };
  Move();
  EXPECT_EQ(copy_code_, 2);
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.DestinationPath), "the attachment");
  EXPECT_TRUE(os_.removed.empty());
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 2\r\n" +
                            kCopyFailedFileThere);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dest_dir_)) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"a.pdf"});
}

TEST_F(VerifiedMoveTest, AFileCreatedAtTheDestinationInBetweenIsKept) {
  // Another program puts a file at the destination after placement found
  // the name free: the copy refuses to replace it, and the source, the only
  // copy of the attachment, stays.
  Prepare("the attachment");
  os_.before_copy = [&] { dir_.Write("out" + Sep() + "a.pdf", "other"); };
  Move();
  EXPECT_EQ(copy_code_, 80);
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.SourcePath), "the attachment");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.DestinationPath), "other");
  EXPECT_TRUE(os_.removed.empty());
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 80\r\n" +
                            kCopyFailedFileThere);
}

TEST_F(VerifiedMoveTest, ACopyFailingAfterLeavingAFileKeepsTheSource) {
  Prepare("the attachment");
  os_.before_copy = [&] { dir_.Write("out" + Sep() + "a.pdf", "half"); };
  os_.copy_error = kErrorFileExists;
  Move();
  EXPECT_TRUE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_TRUE(os_.removed.empty());
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 80\r\n" +
                            kCopyFailedFileThere);
}

TEST_F(VerifiedMoveTest, CodesAreWrittenAsSigned32BitNumbers) {
  Prepare("x");
  os_.copy_error = 0x80000000u;
  CopyReceipt receipt;
  EXPECT_EQ(CopyAndLog(state_, false, &receipt), INT32_MIN);
  os_.copy_error = 0xFFFFFFFFu;
  CopyAndLog(state_, false, &receipt);
  os_.copy_error = 1234567;
  CopyAndLog(state_, false, &receipt);
  EXPECT_EQ(LogLines(),
            MovingLine() + "Copy File returned error; Code -2147483648\r\n" +
                MovingLine() + "Copy File returned error; Code -1\r\n" +
                MovingLine() + "Copy File returned error; Code 1234567\r\n");
}

TEST_F(VerifiedMoveTest, ASourceThatCannotBeDeletedStaysBesideItsCopy) {
  Prepare("x");
  fs::permissions(
      state_.SourcePath,
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
  Move();
  EXPECT_TRUE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.DestinationPath), "x");
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), MovingLine() + kCouldNotDelete);
}

TEST_F(VerifiedMoveTest, ARefusedDeletionIsReported) {
  Prepare("x");
  os_.refuse_remove = true;
  Move();
  EXPECT_TRUE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_TRUE(ScratchDir::Exists(state_.DestinationPath));
  EXPECT_EQ(LogLines(), MovingLine() + kCouldNotDelete);
}

TEST_F(VerifiedMoveTest, WithoutACopyTheSourceIsDeletedSilently) {
  // The duplicate case: the file at the destination is the same as the
  // source, and no copy was made for this attachment.
  Prepare("same");
  dir_.Write("out" + Sep() + "a.pdf", "same");
  VerifyDuplicate();
  // It goes once the identical file's name is on the disk too.
  EXPECT_TRUE(ScratchDir::Exists(state_.SourcePath));
  state_.Removals.Settle(state_);
  EXPECT_EQ(os_.flushes, 1);
  EXPECT_FALSE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.DestinationPath), "same");
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_FALSE(state_.ActionLogged);
  EXPECT_TRUE(os_.copied_to.empty());
  EXPECT_EQ(LogLines(), "(no log)");
}

TEST_F(VerifiedMoveTest, WithoutACopyAnUndeletableSourceIsReported) {
  Prepare("same");
  dir_.Write("out" + Sep() + "a.pdf", "same");
  os_.refuse_remove = true;
  VerifyDuplicate();
  state_.Removals.Settle(state_);
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), kCouldNotDelete);
}

// The sources of copies wait for one flush of the destination folder, the
// log keeping the run's order meanwhile; a duplicate's source behind them
// waits too. When the flush fails, no source goes: each gets the line of a
// source that could not be deleted, where its removal would have been
// logged, the duplicate's too, as the name of the file it relies on may
// not be on the disk.
TEST_F(VerifiedMoveTest, SourcesOfCopiesGoOnlyAfterOneFlushOfTheFolder) {
  for (const uint32_t flush_error : {0u, 1117u}) {
    SCOPED_TRACE(flush_error);
    ScratchDir dir;
    CopyAndRemovalFaultPlatform os;
    RunState state(os);
    state.MessageFilePath = dir.Path("msg.txt");
    StartRunLog(state);
    state.DestinationDir = dir.MakeDir("out");
    dir.MakeDir("in");
    dir.Write("out" + Sep() + "b.pdf", "b");
    os.flush_error = flush_error;
    std::string expected;
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) {
      state.SourcePath =
          dir.Write("in" + Sep() + name, name[0] == 'b' ? "b" : name);
      state.DestinationPath = state.DestinationDir + Sep() + name;
      if (name[0] == 'b') {
        VerifyDuplicateIn(state);
        if (flush_error != 0) expected += kCouldNotDelete;
        continue;
      }
      CopyReceipt receipt;
      const int32_t code = CopyAndLog(state, false, &receipt);
      VerifyAndDeleteSource(state, code, receipt);
      // Nothing goes before the flush.
      EXPECT_TRUE(ScratchDir::Exists(state.SourcePath)) << name;
      expected += "Moving from <" + state.SourcePath + "> to <" +
                  state.DestinationPath + ">\r\n";
      if (flush_error != 0) expected += kCouldNotDelete;
    }
    EXPECT_TRUE(os.removed.empty());
    EXPECT_EQ(os.flushes, 0);
    state.Removals.Settle(state);
    EXPECT_EQ(os.flushes, 1);
    EXPECT_EQ(ScratchDir::Exists(dir.Path("in" + Sep() + "a.pdf")),
              flush_error != 0);
    EXPECT_EQ(ScratchDir::Exists(dir.Path("in" + Sep() + "b.pdf")),
              flush_error != 0);
    EXPECT_EQ(ScratchDir::Exists(dir.Path("in" + Sep() + "c.pdf")),
              flush_error != 0);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(dir.Path("out" + Sep() + "c.pdf")),
              "c.pdf");
    EXPECT_EQ(state.ErrorsReported, flush_error != 0);
    FinishRunLog(state);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(dir.Path("msg.log")),
              kDateLine + expected);
  }
}

// A source whose removal waits for the flush is removed only while its name
// still leads to the very file that was copied, unchanged, and while the
// destination still holds the copy: anything the world did meanwhile keeps
// the source, with a line that says why.
TEST_F(VerifiedMoveTest, ASourceGoesOnlyWhileBothFilesAreAsTheMoveLeftThem) {
  const std::string changed =
      "Error - source file changed after it was read (source not deleted)\r\n";
  const std::string copy_changed =
      "Error - destination file changed before the source was deleted "
      "(source not deleted)\r\n";
  struct Case {
    const char* name;
    std::function<void(const std::string& source, const std::string& copy)>
        world;
    std::string line;          // after the Moving line
    std::string source_after;  // the source's bytes afterwards
  };
  const Case cases[] = {
      {"another run took it, the client saved its next attachment there",
       [&](const std::string& source, const std::string&) {
         fs::rename(source, dir_.Path("taken away.pdf"));
         dir_.Write("in" + Sep() + "a.pdf", "the next attachment");
       },
       changed, "the next attachment"},
      {"rewritten in place",
       [](const std::string& source, const std::string&) {
         std::ofstream(source, std::ios::binary | std::ios::in) << "THE";
       },
       changed, "THE attachment"},
      {"replaced by write and rename",
       [&](const std::string& source, const std::string&) {
         fs::rename(dir_.Write("in" + Sep() + "new.tmp", "edited"), source);
       },
       changed, "edited"},
      {"the copy removed from the destination",
       [](const std::string&, const std::string& copy) { fs::remove(copy); },
       copy_changed, "the attachment"},
      {"the copy replaced in the destination",
       [&](const std::string&, const std::string& copy) {
         fs::remove(copy);
         dir_.Write("out" + Sep() + "a.pdf", "other bytes!!!");
       },
       copy_changed, "the attachment"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dest_dir_);
    fs::create_directory(dest_dir_);
    state_.Destination.reset();
    Prepare("the attachment");
    CopyAndVerify();
    const std::string moving = MovingLine();
    c.world(state_.SourcePath, state_.DestinationPath);
    state_.Removals.Settle(state_);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.SourcePath), c.source_after);
    EXPECT_TRUE(state_.ErrorsReported);
    FinishRunLog(state_);
    std::string log;
    ASSERT_TRUE(ScratchDir::Read(dir_.Path("msg.log"), &log));
    EXPECT_EQ(log, kDateLine + moving + c.line);
    state_.ErrorsReported = false;
    state_.ActionLogged = false;
    StartRunLog(state_);
  }
}

// What the run holds stays within its bounds whatever the message holds:
// at kMostHeldRemovals removals, or kMostHeldBytes of lines waiting behind
// them, the run is told to settle.
TEST_F(VerifiedMoveTest, WhatTheRunHoldsStaysBounded) {
  for (size_t i = 0; i < kMostHeldRemovals; ++i) {
    EXPECT_FALSE(state_.Removals.Full(state_)) << i;
    Prepare("x", "a" + std::to_string(i) + ".pdf");
    CopyAndVerify();
  }
  EXPECT_TRUE(state_.Removals.Full(state_));
  state_.Removals.Settle(state_);
  EXPECT_FALSE(state_.Removals.Full(state_));
  Prepare("y", "b.pdf");
  CopyAndVerify();
  WriteLogLine(state_, {std::string(kMostHeldBytes - 1, 'z')});
  EXPECT_FALSE(state_.Removals.Full(state_));
  WriteLogLine(state_, {"z"});
  EXPECT_TRUE(state_.Removals.Full(state_));
  state_.Removals.Settle(state_);
  EXPECT_EQ(os_.flushes, 2);
  EXPECT_FALSE(ScratchDir::Exists(state_.SourcePath));
}

TEST_F(VerifiedMoveTest, AFolderInTheWayMakesTheCopyFail) {
  Prepare("x");
  dir_.MakeDir("out" + Sep() + "a.pdf");
  Move();
  EXPECT_NE(copy_code_, 0);
  EXPECT_TRUE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code " +
                            std::to_string(copy_code_) + "\r\n" +
                            kNotFoundAfterCopy);
}

TEST_F(VerifiedMoveTest, PathsOf255CharactersAreCopied) {
  // Folders of the scratch folder's depth, then a name that brings the
  // destination path to exactly 255 characters.
  Prepare("long");
  std::string folder = dest_dir_;
  while (folder.size() + 1 + 60 < 255 - 20) {
    folder += Sep() + std::string(50, 'd');
    fs::create_directory(folder);
  }
  const size_t name_length = 255 - folder.size() - 1;
  state_.DestinationDir = folder;
  state_.DestinationPath = folder + Sep() + std::string(name_length, 'n');
  ASSERT_EQ(state_.DestinationPath.size(), 255u);
  Move();
  EXPECT_EQ(copy_code_, 0);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.DestinationPath), "long");
  EXPECT_FALSE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_EQ(LogLines(), MovingLine());
}

TEST_F(VerifiedMoveTest, LongerPathsReachThePlatformWhole) {
  Prepare("x");
  state_.DestinationPath = dest_dir_ + Sep() + std::string(300, 'n');
  os_.copy_error = kErrorFilenameTooLong;
  Move();
  ASSERT_EQ(os_.copied_to.size(), 1u);
  EXPECT_EQ(os_.copied_to[0], state_.DestinationPath);
  EXPECT_EQ(os_.copied_from[0], state_.SourcePath);
  EXPECT_EQ(LogLines(), MovingLine() +
                            "Copy File returned error; Code 206\r\n" +
                            kNotFoundAfterCopy);
}

#ifdef __linux__
// A folder made immutable refuses new files even to root.
class ImmutableFolder {
 public:
  explicit ImmutableFolder(const std::string& path)
      : fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY)) {
    int flags = 0;
    if (fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      set_ = ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
  }
  ~ImmutableFolder() {
    int flags = 0;
    if (set_ && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) close(fd_);
  }
  bool set() const { return set_; }

 private:
  int fd_;
  bool set_ = false;
};

TEST_F(VerifiedMoveTest, AFolderThatRefusesWritesGivesCode5) {
  Prepare("x");
  ImmutableFolder guard(dest_dir_);
  if (!guard.set()) GTEST_SKIP() << "cannot make a folder immutable here";
  Move();
  EXPECT_EQ(copy_code_, 5);
  EXPECT_TRUE(ScratchDir::Exists(state_.SourcePath));
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 5\r\n" +
                            kNotFoundAfterCopy);
}

// A small tmpfs mounted on a folder for the length of a test.
class SmallVolume {
 public:
  SmallVolume(const std::string& path, const char* size) : path_(path) {
    const std::string options = std::string("size=") + size;
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallVolume() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST_F(VerifiedMoveTest, AFullDiskGivesCode112AndLeavesNoPartialCopy) {
  Prepare(std::string(512 * 1024, 'z'));
  SmallVolume volume(dest_dir_, "64k");
  if (!volume.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  Move();
  EXPECT_EQ(copy_code_, 112);
  EXPECT_FALSE(ScratchDir::Exists(state_.DestinationPath));
  EXPECT_TRUE(fs::is_empty(dest_dir_));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(state_.SourcePath).size(), 512u * 1024);
  EXPECT_EQ(LogLines(), MovingLine() +
                            "Copy File returned error; Code 112\r\n" +
                            kNotFoundAfterCopy);
}
#endif  // __linux__

}  // namespace
}  // namespace stashwell
