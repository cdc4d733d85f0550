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

  // Makes a new file in "in" the attachment, to go to "out" under its name.
  void Prepare(const std::string& bytes, const std::string& name = "a.pdf") {
    attachment_ =
        AttachmentAt(dir_.Write("in" + Sep() + name, bytes), os_.Syntax());
    SetDestinationName(name);
  }
  // The attachment goes to name in DestinationDir.
  void SetDestinationName(const std::string& name) {
    attachment_.DestinationName = name;
    destination_path_ = state_.DestinationDir + Sep() + name;
  }
  // Copies and verifies, keeping the copy's code in copy_code_, and settles
  // what the run holds, as the scan does at its end.
  void Move() {
    CopyAndVerify();
    destination_->removals.Settle(state_);
  }
  void CopyAndVerify() {
    const PlacedBytes placed =
        CopyAndLog(state_, *destination_, attachment_, false);
    copy_code_ = placed.copy_error;
    held_ = VerifyAndDeleteSource(state_, *destination_, attachment_, placed);
  }
  // The duplicate case: no copy, the comparison's proofs of both files.
  void VerifyDuplicate() {
    VerifyDuplicateIn(state_, *destination_, attachment_);
  }
  static void VerifyDuplicateIn(RunState& state, Destination& destination,
                                const Attachment& attachment) {
    ComparedFiles compared;
    ASSERT_EQ(
        CompareFiles(state.platform, attachment.SourcePath,
                     destination.folder.PathOf(attachment.DestinationName),
                     &compared, KnownFiles::kBothFiles),
        Comparison::kIdentical);
    EXPECT_TRUE(VerifyAndDeleteSource(state, destination, attachment,
                                      {0, {compared.first, compared.second}}));
  }
  // The log after line 1, once the log is closed.
  // The log after line 1, once the held removals are settled and the log
  // is closed; "(no log)" when it was deleted because nothing was recorded.
  std::string LogLines() {
    if (state_.Log) destination_->removals.Settle(state_);
    return stashwell::LogLines(state_);
  }
  std::string MovingLine() const {
    return "Moving from <" + attachment_.SourcePath + "> to <" +
           destination_path_ + ">\r\n";
  }

  ScratchDir dir_;
  CopyAndRemovalFaultPlatform os_;
  RunState state_;
  // Made anew where a test starts with a folder the run has not opened.
  std::optional<Destination> destination_{std::in_place, state_};
  Attachment attachment_;
  std::string destination_path_;  // as the log shows it
  std::string source_dir_;
  std::string dest_dir_;
  int32_t copy_code_ = 0;
  bool held_ = false;  // the source's removal was held
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
  fs::last_write_time(attachment_.SourcePath, stamp);
  const auto source_time = fs::last_write_time(attachment_.SourcePath);
  Move();
  EXPECT_TRUE(held_);
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(copy_code_, 0);
  EXPECT_FALSE(ScratchDir::Exists(attachment_.SourcePath));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination_path_),
            "attachment bytes\r\n\x1A\x00\xFF");
  EXPECT_EQ(fs::last_write_time(destination_path_), source_time);
  EXPECT_EQ(LogLines(), MovingLine());
}

TEST_F(VerifiedMoveTest, ASourceRemovedBeforeTheCopyGivesCode2) {
  Prepare("x");
  fs::remove(attachment_.SourcePath);
  Move();
  EXPECT_EQ(copy_code_, 2);
  EXPECT_FALSE(held_);
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_FALSE(ScratchDir::Exists(destination_path_));
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
    fs::copy_file(attachment_.SourcePath, destination_path_);
    fs::remove(attachment_.SourcePath);
  };
  Move();
  EXPECT_EQ(copy_code_, 2);
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination_path_), "the attachment");
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
  EXPECT_EQ(ScratchDir::ReadOrEmpty(attachment_.SourcePath), "the attachment");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination_path_), "other");
  EXPECT_TRUE(os_.removed.empty());
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 80\r\n" +
                            kCopyFailedFileThere);
}

TEST_F(VerifiedMoveTest, ACopyFailingAfterLeavingAFileKeepsTheSource) {
  Prepare("the attachment");
  os_.before_copy = [&] { dir_.Write("out" + Sep() + "a.pdf", "half"); };
  os_.copy_error = kErrorFileExists;
  Move();
  EXPECT_TRUE(ScratchDir::Exists(attachment_.SourcePath));
  EXPECT_TRUE(os_.removed.empty());
  EXPECT_EQ(LogLines(), MovingLine() + "Copy File returned error; Code 80\r\n" +
                            kCopyFailedFileThere);
}

TEST_F(VerifiedMoveTest, CodesAreWrittenAsSigned32BitNumbers) {
  Prepare("x");
  os_.copy_error = 0x80000000u;
  EXPECT_EQ(CopyAndLog(state_, *destination_, attachment_, false).copy_error,
            INT32_MIN);
  os_.copy_error = 0xFFFFFFFFu;
  CopyAndLog(state_, *destination_, attachment_, false);
  os_.copy_error = 1234567;
  CopyAndLog(state_, *destination_, attachment_, false);
  EXPECT_EQ(LogLines(),
            MovingLine() + "Copy File returned error; Code -2147483648\r\n" +
                MovingLine() + "Copy File returned error; Code -1\r\n" +
                MovingLine() + "Copy File returned error; Code 1234567\r\n");
}

TEST_F(VerifiedMoveTest, ASourceThatCannotBeDeletedStaysBesideItsCopy) {
  Prepare("x");
  fs::permissions(
      attachment_.SourcePath,
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
  Move();
  EXPECT_TRUE(ScratchDir::Exists(attachment_.SourcePath));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination_path_), "x");
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), MovingLine() + kCouldNotDelete);
}

TEST_F(VerifiedMoveTest, ARefusedDeletionIsReported) {
  Prepare("x");
  os_.refuse_remove = true;
  Move();
  EXPECT_TRUE(ScratchDir::Exists(attachment_.SourcePath));
  EXPECT_TRUE(ScratchDir::Exists(destination_path_));
  EXPECT_EQ(LogLines(), MovingLine() + kCouldNotDelete);
}

TEST_F(VerifiedMoveTest, WithoutACopyTheSourceIsDeletedSilently) {
  // The duplicate case: the file at the destination is the same as the
  // source, and no copy was made for this attachment.
  Prepare("same");
  dir_.Write("out" + Sep() + "a.pdf", "same");
  VerifyDuplicate();
  // It goes once the identical file's name is on the disk too.
  EXPECT_TRUE(ScratchDir::Exists(attachment_.SourcePath));
  destination_->removals.Settle(state_);
  EXPECT_EQ(os_.flushes, 1);
  EXPECT_FALSE(ScratchDir::Exists(attachment_.SourcePath));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination_path_), "same");
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
  destination_->removals.Settle(state_);
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
    Destination destination(state);
    state.MessageFilePath = dir.Path("msg.txt");
    StartRunLog(state);
    state.DestinationDir = dir.MakeDir("out");
    dir.MakeDir("in");
    dir.Write("out" + Sep() + "b.pdf", "b");
    os.flush_error = flush_error;
    std::string expected;
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) {
      const Attachment attachment = AttachmentAt(
          dir.Write("in" + Sep() + name, name[0] == 'b' ? "b" : name),
          os.Syntax());
      if (name[0] == 'b') {
        VerifyDuplicateIn(state, destination, attachment);
        if (flush_error != 0) expected += kCouldNotDelete;
        continue;
      }
      const PlacedBytes placed =
          CopyAndLog(state, destination, attachment, false);
      EXPECT_TRUE(
          VerifyAndDeleteSource(state, destination, attachment, placed));
      // Nothing goes before the flush.
      EXPECT_TRUE(ScratchDir::Exists(attachment.SourcePath)) << name;
      expected += "Moving from <" + attachment.SourcePath + "> to <" +
                  state.DestinationDir + Sep() + name + ">\r\n";
      if (flush_error != 0) expected += kCouldNotDelete;
    }
    EXPECT_TRUE(os.removed.empty());
    EXPECT_EQ(os.flushes, 0);
    destination.removals.Settle(state);
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
    destination_.emplace(state_);
    Prepare("the attachment");
    CopyAndVerify();
    const std::string moving = MovingLine();
    c.world(attachment_.SourcePath, destination_path_);
    destination_->removals.Settle(state_);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(attachment_.SourcePath), c.source_after);
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
    EXPECT_FALSE(destination_->removals.Full(state_)) << i;
    Prepare("x", "a" + std::to_string(i) + ".pdf");
    CopyAndVerify();
  }
  EXPECT_TRUE(destination_->removals.Full(state_));
  destination_->removals.Settle(state_);
  EXPECT_FALSE(destination_->removals.Full(state_));
  Prepare("y", "b.pdf");
  CopyAndVerify();
  WriteLogLine(state_, {std::string(kMostHeldBytes - 1, 'z')});
  EXPECT_FALSE(destination_->removals.Full(state_));
  WriteLogLine(state_, {"z"});
  EXPECT_TRUE(destination_->removals.Full(state_));
  destination_->removals.Settle(state_);
  EXPECT_EQ(os_.flushes, 2);
  EXPECT_FALSE(ScratchDir::Exists(attachment_.SourcePath));
}

TEST_F(VerifiedMoveTest, AFolderInTheWayMakesTheCopyFail) {
  Prepare("x");
  dir_.MakeDir("out" + Sep() + "a.pdf");
  Move();
  EXPECT_NE(copy_code_, 0);
  EXPECT_TRUE(ScratchDir::Exists(attachment_.SourcePath));
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
  SetDestinationName(std::string(name_length, 'n'));
  ASSERT_EQ(destination_path_.size(), 255u);
  Move();
  EXPECT_EQ(copy_code_, 0);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(destination_path_), "long");
  EXPECT_FALSE(ScratchDir::Exists(attachment_.SourcePath));
  EXPECT_EQ(LogLines(), MovingLine());
}

TEST_F(VerifiedMoveTest, LongerPathsReachThePlatformWhole) {
  Prepare("x");
  SetDestinationName(std::string(300, 'n'));
  os_.copy_error = kErrorFilenameTooLong;
  Move();
  ASSERT_EQ(os_.copied_to.size(), 1u);
  EXPECT_EQ(os_.copied_to[0], destination_path_);
  EXPECT_EQ(os_.copied_from[0], attachment_.SourcePath);
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
  EXPECT_TRUE(ScratchDir::Exists(attachment_.SourcePath));
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
  EXPECT_FALSE(ScratchDir::Exists(destination_path_));
  EXPECT_TRUE(fs::is_empty(dest_dir_));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(attachment_.SourcePath).size(),
            512u * 1024);
  EXPECT_EQ(LogLines(), MovingLine() +
                            "Copy File returned error; Code 112\r\n" +
                            kNotFoundAfterCopy);
}
#endif  // __linux__

}  // namespace
}  // namespace stashwell
