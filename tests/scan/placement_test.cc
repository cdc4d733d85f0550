// Attachment placement on real folders: the three cases, the "/V" filter,
// the file-name part, and the cases it refuses to act on.
#include "scan/placement.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "run/run_log.h"
#include "scan/numbered_name.h"
#include "support/scratch_dir.h"
#include "support/test_helpers.h"
#include "support/test_platform.h"

namespace stashwell {
namespace {

namespace fs = std::filesystem;

TEST(FileNamePart, WindowsRulesTakeTheLastComponent) {
  const PathSyntax windows = PathSyntax::Windows();
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"C:\\Mail\\Attach\\report.pdf", "report.pdf"},
      {"C:report.pdf", "report.pdf"},
      {"report.pdf", "report.pdf"},
      {"\\\\server\\share\\a b.txt", "a b.txt"},
      {"C:\\Mail\\Attach\\", ""},
      {"C:\\Mail\\Attach\\.", "."},
      {"C:\\Mail\\Attach\\..", ".."},
      {"", ""},
      // "/" ends a component too, so no name can climb out of its folder.
      {"C:\\Mail\\Attach\\a/../../x.exe", "x.exe"},
      {"C:/Mail/report.pdf", "report.pdf"},
      {"C:\\Mail\\a/", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileNamePart(c.path, windows), c.name) << c.path;
  }
}

TEST(FileNamePart, SecondBytesOfDoubleByteCharactersAreNoSeparator) {
  PathSyntax shift_jis = PathSyntax::Windows();
  for (int b = 0x81; b <= 0x9F; ++b) shift_jis.lead_byte[b] = true;
  EXPECT_EQ(FileNamePart("C:\\x\\\x95\x5C.txt", shift_jis), "\x95\x5C.txt");
  EXPECT_EQ(FileNamePart("C:\\x\\\x95\x5C.txt", PathSyntax::Windows()), ".txt");
}

TEST(FileNamePart, PosixRulesTakeTheSlashOnly) {
  const PathSyntax posix = PathSyntax::Posix();
  EXPECT_EQ(FileNamePart("/mail/attach/report.pdf", posix), "report.pdf");
  EXPECT_EQ(FileNamePart("/mail/a\\b:c.pdf", posix), "a\\b:c.pdf");
  EXPECT_EQ(FileNamePart("/mail/", posix), "");
}

// Records the platform calls placement makes and lets a test mark files as
// taken.
class PlacementPlatform : public TestPlatform {
 public:
  PathKind Examine(const std::string& path, uint32_t* code) override {
    calls.push_back("exists " + path);
    if (all_taken_from != 0 && calls.size() >= all_taken_from) {
      return PathKind::kFile;
    }
    return TestPlatform::Examine(path, code);
  }
  // A lookup in the destination folder counts as one of the path.
  PathKind FolderExamine(WrappedFolder& folder,
                         const std::string& name) override {
    calls.push_back("exists " + folder.PathOf(name));
    if (all_taken_from != 0 && calls.size() >= all_taken_from) {
      return PathKind::kFile;
    }
    return TestPlatform::FolderExamine(folder, name);
  }
  std::optional<FileId> IdentityOf(const std::string& path) override {
    calls.push_back("identify " + path);
    return TestPlatform::IdentityOf(path);
  }
  // Lets another run act at a fixed moment: just before a copy, for as
  // many copies as before_copy_times says; copy_error fails the next copy.
  uint32_t FolderCopyIn(WrappedFolder& folder, const std::string& source,
                        const std::string& name,
                        CopyReceipt* receipt) override {
    const std::string destination = folder.PathOf(name);
    calls.push_back("copy " + source + " " + destination);
    if (before_copy_times > 0 && before_copy) {
      --before_copy_times;
      before_copy(destination);
    }
    if (copy_error != 0) return std::exchange(copy_error, 0);
    return TestPlatform::FolderCopyIn(folder, source, name, receipt);
  }
  bool RemoveFile(const std::string& path) override {
    calls.push_back("remove " + path);
    return TestPlatform::RemoveFile(path);
  }
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override {
    calls.push_back("remove " + path);
    return TestPlatform::RemoveProvenFile(path, proof);
  }
  uint32_t FolderFlush(WrappedFolder& folder) override {
    calls.push_back("flush " + folder.path());
    return TestPlatform::FolderFlush(folder);
  }
  // Lets another run act at a fixed moment: just before the comparison's
  // open number before_open (1-based).
  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    if (use == FileUse::kComparison && ++opens == before_open && meanwhile) {
      meanwhile();
    }
    return TestPlatform::Open(path, use, file);
  }

  bool Copied() const {
    for (const auto& call : calls) {
      if (call.rfind("copy ", 0) == 0) return true;
    }
    return false;
  }
  bool Removed(const std::string& path) const {
    for (const auto& call : calls) {
      if (call == "remove " + path) return true;
    }
    return false;
  }

  std::vector<std::string> calls;
  size_t opens = 0;
  size_t before_open = 0;
  std::function<void()> meanwhile;
  std::function<void(const std::string&)> before_copy;
  int before_copy_times = 1;
  uint32_t copy_error = 0;
  // Every existence test from this call on (1-based) finds a file.
  size_t all_taken_from = 0;
};

class PlacementTest : public ::testing::Test {
 protected:
  PlacementTest() : state_(os_) {
    state_.MessageFilePath = dir_.Path("msg.txt");
    in_ = dir_.MakeDir("in");
    out_ = dir_.MakeDir("out");
    state_.DestinationDir = out_;
    StartRunLog(state_);
  }

  // Places the current attachment and settles what the run holds, as the
  // scan does at its end.
  void Place() {
    placed_ = PlaceAttachment(state_, destination_, source_);
    destination_.removals.Settle(state_);
  }
  // Writes an attachment file into "in" and makes it the current one.
  void Attach(const std::string& name, const std::string& bytes) {
    source_ = dir_.Write("in" + Sep() + name, bytes);
  }
  // Where the last placement put the attachment, as the log shows it.
  std::string DestinationPath() {
    return destination_.folder.PathOf(placed_.attachment.DestinationName);
  }
  std::string In(const std::string& name) const { return in_ + Sep() + name; }
  std::string Out(const std::string& name) const { return out_ + Sep() + name; }
  // The log after line 1, once the held removals are settled and the log
  // is closed; "(no log)" when it was deleted because nothing was recorded.
  std::string LogLines() {
    if (state_.Log) destination_.removals.Settle(state_);
    return stashwell::LogLines(state_);
  }
  static std::string Moving(const std::string& from, const std::string& to) {
    return "Moving from <" + from + "> to <" + to + ">\r\n";
  }

  ScratchDir dir_;
  PlacementPlatform os_;
  RunState state_;
  Destination destination_{state_};
  std::string source_;
  Placement placed_;
  std::string in_;
  std::string out_;
};

TEST_F(PlacementTest, ANewNameIsMovedUnderItsOwnName) {
  Attach("report.pdf", "new");
  Place();
  EXPECT_EQ(placed_.how, Placed::kMoved);
  EXPECT_EQ(placed_.attachment.AttachmentName, "report.pdf");
  EXPECT_EQ(DestinationPath(), Out("report.pdf"));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("report.pdf")), "new");
  EXPECT_FALSE(ScratchDir::Exists(In("report.pdf")));
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(os_.calls, std::vector<std::string>({
                           "identify " + In("report.pdf"),
                           "identify " + state_.MessageFilePath,
                           "exists " + Out("report.pdf"),
                           "copy " + In("report.pdf") + " " + Out("report.pdf"),
                           // The copy's receipt looked the name up: no
                           // second lookup before the removal is held.
                           "flush " + out_,
                           "remove " + In("report.pdf"),
                       }));
  EXPECT_EQ(LogLines(), Moving(In("report.pdf"), Out("report.pdf")));
}

TEST_F(PlacementTest, ADuplicateOnlyDeletesTheSource) {
  dir_.Write("out" + Sep() + "report.pdf", "same bytes");
  const auto stamp = fs::last_write_time(Out("report.pdf"));
  Attach("report.pdf", "same bytes");
  Place();
  EXPECT_EQ(placed_.how, Placed::kDuplicate);
  EXPECT_FALSE(ScratchDir::Exists(In("report.pdf")));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("report.pdf")), "same bytes");
  EXPECT_EQ(fs::last_write_time(Out("report.pdf")), stamp);
  EXPECT_FALSE(os_.Copied());
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), "Duplicate of <" + In("report.pdf") + "> already in <" +
                            Out("report.pdf") + "> - only deleting source\r\n");
}

TEST_F(PlacementTest, ADifferentVersionTakesTheFirstFreeNumberedName) {
  dir_.Write("out" + Sep() + "report.pdf", "old");
  dir_.Write("out" + Sep() + "report1.pdf", "older");
  Attach("report.pdf", "new");
  Place();
  EXPECT_EQ(placed_.how, Placed::kNumbered);
  EXPECT_EQ(placed_.attachment.DestinationName, "report2.pdf");
  EXPECT_EQ(DestinationPath(), Out("report2.pdf"));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("report.pdf")), "old");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("report1.pdf")), "older");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("report2.pdf")), "new");
  EXPECT_FALSE(ScratchDir::Exists(In("report.pdf")));
  EXPECT_TRUE(state_.ActionLogged);
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), "Different version of <" + In("report.pdf") +
                            "> already in destination. Changing name to \"" +
                            Out("report2.pdf") + "\"\r\n" +
                            Moving(In("report.pdf"), Out("report2.pdf")));
}

TEST_F(PlacementTest, EveryNumberedNameTakenKeepsTheSource) {
  dir_.Write("out" + Sep() + "report.pdf", "old");
  Attach("report.pdf", "new");
  // Calls before the search: the test against the run's own files (the
  // attachment's identity, and the message's, which this run has not
  // opened; the log's was learned when it was made), the existence test of
  // the name and the identity test (the destination's identity; the
  // attachment's is the one just learned), all of real files; the
  // comparison looks for neither file again, its opens tell. From the
  // fifth on (the numbered names, and one look ahead past the first)
  // every name is taken.
  os_.all_taken_from = 5;
  Place();
  EXPECT_EQ(placed_.why, Kept::kNoFreeName);
  EXPECT_EQ(os_.calls.size(), 4 + kLastNameNumber + 1);
  EXPECT_EQ(os_.calls[3], "identify " + Out("report.pdf"));
  EXPECT_EQ(os_.calls.back(), "exists " + Out("report65535.pdf"));
  EXPECT_TRUE(ScratchDir::Exists(In("report.pdf")));
  EXPECT_FALSE(os_.Copied());
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_FALSE(state_.ActionLogged);
  EXPECT_EQ(LogLines(), "Error - no free numbered name for <" +
                            Out("report.pdf") + "> (source not deleted)\r\n");
}

TEST_F(PlacementTest, VcfOnlyHandlesNamesEndingInVcf) {
  state_.VcfOnly = true;
  std::string expected;
  for (const char* name : {"card.vcf", "CARD2.VCF", "a.b.Vcf", ".vcf"}) {
    Attach(name, name);
    Place();
    EXPECT_EQ(ScratchDir::ReadOrEmpty(Out(name)), name);
    EXPECT_FALSE(ScratchDir::Exists(In(name))) << name;
    expected += Moving(In(name), Out(name));
  }
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(PlacementTest, VcfOnlyPassesOtherNamesOverWithoutATrace) {
  state_.VcfOnly = true;
  for (const char* name : {"card.vcf.txt", "cardvcf", "report.pdf"}) {
    Attach(name, name);
    Place();
    EXPECT_EQ(placed_.why, Kept::kFilteredOut);
    EXPECT_EQ(placed_.attachment.AttachmentName, name);
    EXPECT_EQ(DestinationPath(), Out(name));
    EXPECT_EQ(ScratchDir::ReadOrEmpty(In(name)), name);
    EXPECT_FALSE(ScratchDir::Exists(Out(name))) << name;
  }
  EXPECT_TRUE(os_.calls.empty());
  EXPECT_FALSE(state_.ActionLogged);
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), "(no log)");
}

TEST_F(PlacementTest, WithoutVcfOnlyEveryNameIsHandled) {
  for (const char* name : {"card.vcf", "cardvcf"}) {
    Attach(name, name);
    Place();
    EXPECT_EQ(ScratchDir::ReadOrEmpty(Out(name)), name);
  }
}

TEST_F(PlacementTest, ATrailingSeparatorOnTheDestinationGivesTwo) {
  state_.DestinationDir = out_ + Sep();
  Attach("report.pdf", "new");
  Place();
  const std::string doubled = out_ + Sep() + Sep() + "report.pdf";
  EXPECT_EQ(DestinationPath(), doubled);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("report.pdf")), "new");
  EXPECT_EQ(LogLines(), Moving(In("report.pdf"), doubled));
}

// Anything that holds the name takes it, as a different file does: a
// folder, a FIFO, a socket, a link that leads nowhere. The attachment goes
// under the next numbered name and the holder is left alone.
TEST_F(PlacementTest, WhateverHoldsTheNameTakesIt) {
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"folder", [](const std::string& path) { fs::create_directory(path); }},
#ifndef _WIN32
      {"FIFO",
       [](const std::string& path) {
         ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
       }},
      {"socket",
       [](const std::string& path) {
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         ASSERT_GE(fd, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         ASSERT_LT(path.size(), sizeof address.sun_path);
         std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
         ASSERT_EQ(
             bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address),
             0);
         close(fd);
       }},
      {"link to nowhere",
       [](const std::string& path) {
         fs::create_symlink(path + ".missing", path);
       }},
#endif
  };
  for (const auto& c : cases) {
    const std::string holder = Out(std::string(c.name) + ".pdf");
    c.make(holder);
    Attach(std::string(c.name) + ".pdf", "new");
    Place();
    const std::string numbered = Out(std::string(c.name) + "1.pdf");
    EXPECT_EQ(DestinationPath(), numbered) << c.name;
    EXPECT_EQ(ScratchDir::ReadOrEmpty(numbered), "new") << c.name;
    EXPECT_FALSE(ScratchDir::Exists(In(std::string(c.name) + ".pdf")))
        << c.name;
    EXPECT_TRUE(fs::exists(fs::symlink_status(holder))) << c.name;
    EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(holder))) << c.name;
  }
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(
      LogLines(),
      "Different version of <" + In("folder.pdf") +
          "> already in destination. Changing name to \"" + Out("folder1.pdf") +
          "\"\r\n" + Moving(In("folder.pdf"), Out("folder1.pdf"))
#ifndef _WIN32
          + "Different version of <" + In("FIFO.pdf") +
          "> already in destination. Changing name to \"" + Out("FIFO1.pdf") +
          "\"\r\n" + Moving(In("FIFO.pdf"), Out("FIFO1.pdf")) +
          "Different version of <" + In("socket.pdf") +
          "> already in destination. Changing name to \"" + Out("socket1.pdf") +
          "\"\r\n" + Moving(In("socket.pdf"), Out("socket1.pdf")) +
          "Different version of <" + In("link to nowhere.pdf") +
          "> already in destination. Changing name to \"" +
          Out("link to nowhere1.pdf") + "\"\r\n" +
          Moving(In("link to nowhere.pdf"), Out("link to nowhere1.pdf"))
#endif
  );
}

// Another run publishes a file under the name between placement's decision
// and the publication of the copy: placement decides again for that file.
// The program's own folder's names are held for it, in any letter case: an
// attachment of such a name takes a numbered one, and the copies after it
// still find their workroom.
TEST_F(PlacementTest, TheProgramsOwnFolderNamesAreNoAttachmentsNames) {
  for (const char* name : {".stashwell", ".Stashwell-1", ".stashwell-2"}) {
    SCOPED_TRACE(name);
    Attach(name, name);
    Place();
    const std::string numbered = Out(std::string("1") + name);
    EXPECT_EQ(DestinationPath(), numbered);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(numbered), name);
    EXPECT_FALSE(ScratchDir::Exists(Out(name)));
  }
  EXPECT_FALSE(state_.ErrorsReported);
}

TEST_F(PlacementTest, ALostPublicationDecidesAgainForTheNewFile) {
  // An identical file: the source is a duplicate, and the copy is gone.
  os_.before_copy = [&](const std::string& destination) {
    std::ofstream(destination, std::ios::binary) << "same";
  };
  Attach("same.pdf", "same");
  Place();
  EXPECT_FALSE(ScratchDir::Exists(In("same.pdf")));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("same.pdf")), "same");
  EXPECT_FALSE(ScratchDir::Exists(Out("same1.pdf")));
  // A different file: the next numbered name.
  os_.before_copy_times = 1;
  os_.before_copy = [&](const std::string& destination) {
    std::ofstream(destination, std::ios::binary) << "other run";
  };
  Attach("diff.pdf", "mine");
  Place();
  EXPECT_FALSE(ScratchDir::Exists(In("diff.pdf")));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("diff.pdf")), "other run");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("diff1.pdf")), "mine");
  EXPECT_FALSE(state_.ErrorsReported);
  EXPECT_EQ(LogLines(), "Duplicate of <" + In("same.pdf") + "> already in <" +
                            Out("same.pdf") + "> - only deleting source\r\n" +
                            "Different version of <" + In("diff.pdf") +
                            "> already in destination. Changing name to \"" +
                            Out("diff1.pdf") + "\"\r\n" +
                            Moving(In("diff.pdf"), Out("diff1.pdf")));
}

// A name lost to another run's file each time, far more often than
// kPlacementRounds: every loss means a placed file, so placement goes on to
// the next free numbered name and places the attachment without an error.
// A name that stays taken with no file at it is decided kPlacementRounds
// times; the last round reports the copy's error, and the source stays.
TEST_F(PlacementTest, ANameLostToFilesIsDecidedAgainUntilPlaced) {
  constexpr int kLosses = 3 * kPlacementRounds;
  int published = 0;
  os_.before_copy_times = kLosses;
  os_.before_copy = [&](const std::string& destination) {
    std::ofstream(destination, std::ios::binary) << "other run " << ++published;
  };
  Attach("report.pdf", "mine");
  Place();
  EXPECT_EQ(published, kLosses);
  EXPECT_FALSE(ScratchDir::Exists(In("report.pdf")));
  EXPECT_EQ(
      ScratchDir::ReadOrEmpty(Out("report" + std::to_string(kLosses) + ".pdf")),
      "mine");
  EXPECT_FALSE(state_.ErrorsReported);

  int refused = 0;
  os_.before_copy_times = 100;
  os_.before_copy = [&](const std::string&) {
    ++refused;
    os_.copy_error = kErrorFileExists;
  };
  Attach("taken.pdf", "mine");
  Place();
  EXPECT_EQ(refused, kPlacementRounds);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(In("taken.pdf")), "mine");
  EXPECT_TRUE(state_.ErrorsReported);
  const std::string log = LogLines();
  EXPECT_TRUE(log.ends_with(Moving(In("taken.pdf"), Out("taken.pdf")) +
                            "Copy File returned error; Code 80\r\n"
                            "Error - destination file not found after copy "
                            "(source not deleted)\r\n"))
      << log;
}

TEST_F(PlacementTest, ADuplicateAfterAFailedCopyStillDeletesItsSource) {
  // A failed copy's code must not stay with the next attachment.
  os_.copy_error = kErrorAccessDenied;
  Attach("a.pdf", "a");
  Place();
  ASSERT_TRUE(ScratchDir::Exists(In("a.pdf")));
  dir_.Write("out" + Sep() + "b.pdf", "b");
  Attach("b.pdf", "b");
  Place();
  EXPECT_FALSE(ScratchDir::Exists(In("b.pdf")));
}

TEST_F(PlacementTest, ASourcePathWithoutSeparatorIsItsOwnName) {
  source_ = "report.pdf";
  state_.VcfOnly = true;  // keeps the test from touching the file system
  Place();
  EXPECT_EQ(placed_.attachment.AttachmentName, "report.pdf");
  EXPECT_EQ(DestinationPath(), Out("report.pdf"));
}

TEST_F(PlacementTest, TheSameFileIsLeftInPlace) {
  // The destination folder is the attachment's own folder, spelled in
  // several ways. The file must never be deleted as its own duplicate.
  dir_.MakeDir("in" + Sep() + "sub");
  const std::vector<std::string> spellings = {
      in_,
      in_ + Sep(),
      in_ + Sep() + ".",
      in_ + Sep() + "sub" + Sep() + "..",
      dir_.path() + Sep() + "out" + Sep() + ".." + Sep() + "in",
  };
  std::string expected;
  for (const std::string& spelling : spellings) {
    Attach("report.pdf", "only copy");
    state_.DestinationDir = spelling;
    Place();
    EXPECT_EQ(ScratchDir::ReadOrEmpty(In("report.pdf")), "only copy")
        << spelling;
    EXPECT_FALSE(os_.Copied()) << spelling;
    EXPECT_FALSE(os_.Removed(In("report.pdf"))) << spelling;
    EXPECT_FALSE(state_.ActionLogged);
    EXPECT_FALSE(state_.ErrorsReported);
    expected += "File <" + In("report.pdf") +
                "> is already in the destination folder - left in place\r\n";
  }
  // The line sets no flag; keep the log to read it.
  state_.ActionLogged = true;
  EXPECT_EQ(LogLines(), expected);
}

#ifdef _WIN32
TEST_F(PlacementTest, TheSameFileInAnotherLetterCaseIsLeftInPlace) {
  Attach("Report.pdf", "only copy");
  std::string upper = in_;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  state_.DestinationDir = upper;
  Place();
  EXPECT_EQ(ScratchDir::ReadOrEmpty(In("Report.pdf")), "only copy");
  EXPECT_FALSE(os_.Copied());
}
#else
TEST_F(PlacementTest, TheSameFileThroughALinkIsLeftInPlace) {
  const std::string link = dir_.Path("link");
  fs::create_directory_symlink(in_, link);
  Attach("report.pdf", "only copy");
  state_.DestinationDir = link;
  Place();
  EXPECT_EQ(ScratchDir::ReadOrEmpty(In("report.pdf")), "only copy");
  EXPECT_FALSE(os_.Copied());
  EXPECT_FALSE(os_.Removed(In("report.pdf")));
}
#endif

TEST_F(PlacementTest, TheRunsOwnFilesAreNeverTakenForDuplicates) {
  // The destination is the message's folder. On disk the log is still
  // empty (its first line waits in the buffer) and the message holds the
  // same bytes as the second attachment: both would pass for duplicates.
  dir_.Write("msg.txt", "message bytes");
  state_.DestinationDir = dir_.path();
  Attach("msg.log", "");
  Place();
  EXPECT_EQ(DestinationPath(), dir_.Path("msg1.log"));
  Attach("msg.txt", "message bytes");
  Place();
  EXPECT_EQ(DestinationPath(), dir_.Path("msg1.txt"));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir_.Path("msg.txt")), "message bytes");
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir_.Path("msg1.txt")), "message bytes");
  EXPECT_TRUE(ScratchDir::Exists(dir_.Path("msg1.log")));
  EXPECT_FALSE(ScratchDir::Exists(In("msg.log")));
  EXPECT_FALSE(ScratchDir::Exists(In("msg.txt")));
  const std::string log = LogLines();
  EXPECT_EQ(log.find("Duplicate"), std::string::npos) << log;
  EXPECT_NE(log.find("Changing name to \"" + dir_.Path("msg1.log") + "\""),
            std::string::npos)
      << log;
}

TEST_F(PlacementTest, ANameThatWouldClimbOutStaysInTheDestination) {
  // On Windows "/" separates as "\" does; elsewhere it is the separator.
  dir_.MakeDir("in" + Sep() + "sub");
  Attach("x.pdf", "x");
  source_ = in_ + Sep() + "sub/../x.pdf";
  ASSERT_TRUE(os_.IsExistingFile(source_));
  os_.calls.clear();
  Place();
  EXPECT_EQ(placed_.attachment.AttachmentName, "x.pdf");
  EXPECT_EQ(DestinationPath(), Out("x.pdf"));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(Out("x.pdf")), "x");
  EXPECT_FALSE(ScratchDir::Exists(dir_.Path("x.pdf")));
  EXPECT_FALSE(ScratchDir::Exists(In("x.pdf")));
}

TEST_F(PlacementTest, APathWithoutAFileNameIsReportedAndKept) {
  std::string expected;
  for (const std::string& last :
       {std::string(), std::string("."), std::string("..")}) {
    source_ = in_ + Sep() + last;
    Place();
    expected +=
        "Error - no file name in <" + source_ + "> (source not deleted)\r\n";
  }
  // Under "/V" as well: a missing name cannot be judged by the filter.
  state_.VcfOnly = true;
  source_ = in_ + Sep() + "..";
  Place();
  expected +=
      "Error - no file name in <" + source_ + "> (source not deleted)\r\n";
  EXPECT_TRUE(os_.calls.empty());
  EXPECT_TRUE(state_.ErrorsReported);
  EXPECT_FALSE(state_.ActionLogged);
  EXPECT_TRUE(fs::is_directory(in_));
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_EQ(LogLines(), expected);
}

}  // namespace
}  // namespace stashwell

namespace stashwell {
namespace {

// Another run moves one of the two files away in the middle of the
// comparison, after both were found: the attachment is then handled as the
// existence tests would handle it a moment later, and the run goes on.
TEST_F(PlacementTest, AFileMovedAwayDuringTheComparisonIsMissingNotFatal) {
  struct Case {
    const char* name;
    size_t before_open;  // 1, 2: the length opens; 3, 4: the content opens
    bool source_goes;
  };
  const Case kCases[] = {
      {"source before its length is read", 1, true},
      {"destination before its length is read", 2, false},
      {"destination before its bytes are read", 3, false},
      {"source before its bytes are read", 4, true},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    PlacementPlatform os;
    RunState state(os);
    Destination destination(state);
    state.MessageFilePath = dir.Path("msg.txt");
    state.DestinationDir = dir.MakeDir("out");
    dir.MakeDir("elsewhere");
    StartRunLog(state);
    state.FromLine = "From: a@b";
    const std::string out = state.DestinationDir + Sep() + "report.pdf";
    dir.Write("out" + Sep() + "report.pdf", "same size");
    const std::string source = dir.Write("report.pdf", "same SIZE");
    const std::string moved = c.source_goes ? source : out;
    const std::string away = dir.Path("elsewhere" + Sep() + "report.pdf");
    os.before_open = c.before_open;
    os.meanwhile = [&] { fs::rename(moved, away); };
    const Placement placed = PlaceAttachment(state, destination, source);
    EXPECT_EQ(placed.how, c.source_goes ? Placed::kKept : Placed::kMoved);
    EXPECT_EQ(placed.why, c.source_goes ? Kept::kSourceGone : Kept::kNot);
    destination.removals.Settle(state);
    FinishRunLog(state);
    std::string log;
    ASSERT_TRUE(ScratchDir::Read(dir.Path("msg.log"), &log));
    log = log.substr(sizeof kDateLine - 1);
    if (c.source_goes) {
      EXPECT_EQ(log, "Source File <" + source +
                         "> does not exist\r\nFrom: a@b\r\n\r\n\r\n");
      EXPECT_EQ(ScratchDir::ReadOrEmpty(out), "same size");
      EXPECT_TRUE(state.ErrorsReported);
    } else {
      // The name is free again: the attachment takes it.
      EXPECT_EQ(log, Moving(source, out));
      EXPECT_EQ(ScratchDir::ReadOrEmpty(out), "same SIZE");
      EXPECT_FALSE(ScratchDir::Exists(source));
      EXPECT_FALSE(state.ErrorsReported);
    }
    EXPECT_TRUE(ScratchDir::Exists(away));
  }
}

}  // namespace
}  // namespace stashwell
