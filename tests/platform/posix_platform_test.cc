// Behaviour of the POSIX platform that Windows has no counterpart for:
// permission bits, dot files, special files, a full disk, the terminal and
// the desktop opener.
#ifndef _WIN32

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mount.h>
#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/date_time.h"
#include "platform/platform.h"
#include "platform/posix/posix_files.h"
#include "platform/system_platform.h"
#include "support/platform_wrapper.h"
#include "support/scratch_dir.h"
#include "support/search_entries.h"

namespace stashwell {
namespace {

// 1 June 1970 00:00:00 UTC: before 1980 in every time zone.
constexpr time_t kJune1970 = 13046400;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void SetTime(const std::string& path, time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
      << std::strerror(errno);
}

// What a child process wrote to stderr and how it ended.
struct ChildResult {
  std::string stderr_text;
  int exit_code = -1;
};

// Runs body in a child process that has left its session, so it has no
// controlling terminal, with stderr going to a pipe. The child's exit code
// is body's result.
ChildResult RunWithoutTerminal(const std::function<int()>& body) {
  ChildResult result;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    setsid();
    dup2(pipe_fds[1], STDERR_FILENO);
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, STDIN_FILENO);
    _exit(body());
  }
  close(pipe_fds[1]);
  char buffer[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
    result.stderr_text.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

class PosixPlatformTest : public ::testing::Test {
 protected:
  std::unique_ptr<Platform> os_ = MakeSystemPlatform(0, nullptr);
  ScratchDir dir_;
  CopyReceipt receipt_;
};

TEST_F(PosixPlatformTest, SyntaxIsPosix) {
  const PathSyntax& syntax = os_->Syntax();
  EXPECT_EQ(syntax.separator, '/');
  EXPECT_FALSE(syntax.drive_colon);
  EXPECT_EQ(syntax.alternate_separator, 0);
  for (int b = 0; b < 256; ++b) EXPECT_FALSE(syntax.lead_byte[b]) << b;
}

TEST_F(PosixPlatformTest, WildcardCharactersInAPathAreOrdinary) {
  const std::string star = dir_.Write("a*b", "x");
  EXPECT_TRUE(os_->IsExistingFile(star));
  dir_.Write("axb", "x");
  EXPECT_FALSE(os_->IsExistingFile(dir_.Path("a?b")));
  EXPECT_FALSE(os_->IsExistingFile(dir_.Path("a*")));
}

// Both removals refuse a file without its owner's write bit (root
// included) and a file the run holds open as its message; the proven one
// also leaves a file that changed since its proof was taken.
TEST_F(PosixPlatformTest, RemovalsRefuseALockedFileOrOneTheRunHolds) {
  enum class Hold { kNone, kWriteBitOff, kOpenAsMessage, kChanged };
  for (const bool proven : {false, true}) {
    for (const Hold hold : {Hold::kWriteBitOff, Hold::kOpenAsMessage,
                            Hold::kChanged, Hold::kNone}) {
      SCOPED_TRACE(std::string(proven ? "proven " : "plain ") +
                   std::to_string(static_cast<int>(hold)));
      const std::string file = dir_.Write("locked.txt", "keep");
      std::unique_ptr<File> message;
      if (hold == Hold::kWriteBitOff) {
        ASSERT_EQ(chmod(file.c_str(), 0444), 0);
      }
      if (hold == Hold::kOpenAsMessage) {
        ASSERT_EQ(os_->Open(file, FileUse::kMessage, &message), 0u);
      }
      std::unique_ptr<File> opened;
      ASSERT_EQ(os_->Open(file, FileUse::kComparison, &opened), 0u);
      const std::optional<FileProof> proof = opened->Proof();
      ASSERT_TRUE(proof.has_value());
      opened->Close();
      if (hold == Hold::kChanged) dir_.Write("locked.txt", "kept, longer");
      const std::string before = ScratchDir::ReadOrEmpty(file);
      bool removed = false;
      if (proven) {
        const Removal removal = os_->RemoveProvenFile(file, *proof);
        EXPECT_EQ(removal, hold == Hold::kNone      ? Removal::kRemoved
                           : hold == Hold::kChanged ? Removal::kNotProven
                                                    : Removal::kRefused);
        removed = removal == Removal::kRemoved;
      } else {
        removed = os_->RemoveFile(file);
        EXPECT_EQ(removed, hold == Hold::kNone || hold == Hold::kChanged);
      }
      EXPECT_EQ(ScratchDir::Exists(file), !removed);
      if (!removed) {
        EXPECT_EQ(ScratchDir::ReadOrEmpty(file), before);
      }
      if (message) message->Close();
      chmod(file.c_str(), 0644);
      std::remove(file.c_str());
    }
  }
}

TEST_F(PosixPlatformTest, RemoveFileRemovesALinkNotItsTarget) {
  const std::string target = dir_.Write("target.txt", "keep");
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  const std::string link = dir_.Path("link.txt");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_TRUE(os_->RemoveFile(link));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(target), "keep");
}

TEST_F(PosixPlatformTest, DotFilesAreHidden) {
  dir_.Write(".eud1.log", "x");
  dir_.Write("eud2.log", "x");
  const auto with_hidden = os_->FindMatching(dir_.Path("*.log"), 35);
  const SearchEntry* hidden = Find(with_hidden, ".eud1.log");
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(hidden->attributes, kAttrHidden | kAttrArchive);
  const SearchEntry* plain = Find(with_hidden, "eud2.log");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->attributes, kAttrArchive);

  const auto without_hidden = os_->FindMatching(dir_.Path("*.log"), 33);
  EXPECT_EQ(Find(without_hidden, ".eud1.log"), nullptr);
  EXPECT_NE(Find(without_hidden, "eud2.log"), nullptr);
}

TEST_F(PosixPlatformTest, SearchNeverListsDotAndDotDot) {
  const auto entries = os_->FindMatching(dir_.Path("*"), 0xFF);
  EXPECT_EQ(Find(entries, "."), nullptr);
  EXPECT_EQ(Find(entries, ".."), nullptr);
}

TEST_F(PosixPlatformTest, PipesAndDanglingLinksAreSystemEntries) {
  const std::string fifo = dir_.Path("eud7.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string dangling = dir_.Path("eud8.log");
  ASSERT_EQ(symlink(dir_.Path("nowhere").c_str(), dangling.c_str()), 0);
  const std::string linked = dir_.Path("eud9.log");
  ASSERT_EQ(symlink(fifo.c_str(), linked.c_str()), 0);

  EXPECT_TRUE(os_->FindMatching(dir_.Path("eud*.log"), 35).empty());
  const auto all = os_->FindMatching(dir_.Path("eud*.log"), 35 | kAttrSystem);
  ASSERT_EQ(all.size(), 3u);
  for (const SearchEntry& entry : all) {
    EXPECT_NE(entry.attributes & kAttrSystem, 0u) << entry.name;
    EXPECT_EQ(entry.attributes & kAttrArchive, 0u) << entry.name;
  }
}

// Only regular files on a disk are files: FIFOs, sockets, device nodes and
// the kernel's generated files are none, also behind a link; their opens
// never block and are refused as missing.
TEST_F(PosixPlatformTest, OnlyRegularDiskFilesAreFiles) {
  const std::string fifo = dir_.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const std::string node = dir_.Path("null");
  ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  const std::string zero = dir_.Path("zero");
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  const std::string uptime = dir_.Path("uptime");
  ASSERT_EQ(symlink("/proc/uptime", uptime.c_str()), 0);
  const std::string plain = dir_.Write("plain.txt", "x");
  const std::string linked = dir_.Path("linked");
  ASSERT_EQ(symlink(plain.c_str(), linked.c_str()), 0);

  std::vector<std::string> paths = {fifo, node, zero, std::string("/dev/null")};
#if defined(__linux__)
  // The kernel's generated files: never deletable, different at each read.
  paths.insert(paths.end(), {uptime, std::string("/proc/uptime"),
                             std::string("/sys/kernel/uevent_seqnum")});
#endif
  for (const std::string& path : paths) {
    EXPECT_FALSE(os_->IsExistingFile(path)) << path;
    std::unique_ptr<File> file;
    EXPECT_EQ(os_->Open(path, FileUse::kComparison, &file), kErrorFileNotFound)
        << path;
    EXPECT_EQ(os_->Open(path, FileUse::kMessage, &file), kErrorFileNotFound)
        << path;
    EXPECT_EQ(CopyThroughFolder(*os_, path, dir_.Path("copy")),
              kErrorFileNotFound)
        << path;
    EXPECT_FALSE(ScratchDir::Exists(dir_.Path("copy"))) << path;
  }
  EXPECT_TRUE(os_->IsExistingFile(plain));
  EXPECT_TRUE(os_->IsExistingFile(linked));
  std::unique_ptr<File> file;
  ASSERT_EQ(os_->Open(linked, FileUse::kMessage, &file), 0u);
  // The open left blocking mode on for the reads: the descriptor of this
  // file is found by its inode.
  struct stat target;
  ASSERT_EQ(stat(linked.c_str(), &target), 0);
  int found = 0;
  for (int fd = 3; fd < 1024; ++fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_ino != target.st_ino ||
        st.st_dev != target.st_dev) {
      continue;
    }
    ++found;
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  }
  EXPECT_EQ(found, 1);
  EXPECT_EQ(file->Close(), 0u);
}

// A file without its owner's write bit is not replaced, as Windows refuses
// a read-only file even to an administrator.
TEST_F(PosixPlatformTest, OpenForWriteRefusesAReadOnlyFileEvenForRoot) {
  const std::string file = dir_.Write("msg.log", "earlier log");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  std::unique_ptr<File> handle;
  EXPECT_EQ(os_->Open(file, FileUse::kLog, &handle), kErrorAccessDenied);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "earlier log");
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(os_->Open(file, FileUse::kLog, &handle), 0u);
  EXPECT_EQ(handle->Close(), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(file), "");
}

TEST_F(PosixPlatformTest, SearchWithoutAFolderLooksInTheCurrentOne) {
  dir_.Write("eud1.log", "x");
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  const auto entries = os_->FindMatching("eud*.log", 35);
  ASSERT_EQ(chdir(previous), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "eud1.log");
}

// The folder is listed once for both searches of a run; a change to the
// folder is seen by the next search, and the files' times always are.
TEST_F(PosixPlatformTest, SearchesSeeTheFolderAsItIsNow) {
  dir_.Write("eud1.log", "x");
  dir_.Write("eud2.tmp", "x");
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("eud*.log"), 35)),
            std::vector<std::string>{"eud1.log"});
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("eud*.tmp"), 35)),
            std::vector<std::string>{"eud2.tmp"});

  // Beyond the granularity of the folder's change time.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_TRUE(os_->RemoveFile(dir_.Path("eud2.tmp")));
  const std::string added = dir_.Write("eud3.tmp", "x");
  EXPECT_EQ(Names(os_->FindMatching(dir_.Path("eud*.tmp"), 35)),
            std::vector<std::string>{"eud3.tmp"});

  SetTime(added, kJune1970);
  const auto entries = os_->FindMatching(dir_.Path("eud*.tmp"), 35);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].last_write);
  EXPECT_FALSE(PackDosTime(*entries[0].last_write));
}

TEST_F(PosixPlatformTest, FileDated1970ExistsAndHasNoPackedTime) {
  const std::string file = dir_.Write("eud1.log", "x");
  SetTime(file, kJune1970);
  EXPECT_TRUE(os_->IsExistingFile(file));
  const auto entries = os_->FindMatching(dir_.Path("eud*.log"), 35);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].last_write);
  EXPECT_FALSE(PackDosTime(*entries[0].last_write));
  EXPECT_EQ(entries[0].last_write->year, 1970);
}

TEST_F(PosixPlatformTest, SearchKeepsMillisecondsOfTheWriteTime) {
  const std::string file = dir_.Write("eud1.log", "x");
  const timespec times[2] = {{1623760496, 250000000}, {1623760496, 250000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  const auto entries = os_->FindMatching(dir_.Path("eud*.log"), 35);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_TRUE(entries[0].last_write);
  EXPECT_EQ(entries[0].last_write->millisecond, 250);
}

TEST_F(PosixPlatformTest, CopyKeepsPermissionBitsAndNanoseconds) {
  const std::string source = dir_.Write("source.txt", "abc");
  ASSERT_EQ(chmod(source.c_str(), 0440), 0);
  const timespec times[2] = {{1623760496, 123456789}, {1623760496, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
  const std::string destination = dir_.Path("copy.txt");
  ASSERT_EQ(CopyThroughFolder(*os_, source, destination), 0u);
  EXPECT_EQ(ModeOf(destination), 0440u);
  struct stat st;
  ASSERT_EQ(stat(destination.c_str(), &st), 0);
  const timespec written = st.st_mtim;
  EXPECT_EQ(written.tv_sec, 1623760496);
  EXPECT_EQ(written.tv_nsec, 123456789);
}

// A copy of many write-back stretches holds every byte, the part after the
// last whole stretch too: by the kernel's offload within one file system,
// and by reads and writes from another (shared memory, where it is one).
TEST_F(PosixPlatformTest, ALargeCopyIsWholeEitherWay) {
  std::string bytes((size_t{17} << 20) + 4099, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i ^ (i >> 11) ^ (i >> 19));
  }
  std::vector<std::string> sources = {dir_.Write("big.bin", bytes)};
  struct stat here, shm;
  const std::string other =
      "/dev/shm/stashwell-copy-" + std::to_string(getpid()) + ".bin";
  if (stat(dir_.Path("").c_str(), &here) == 0 && stat("/dev/shm", &shm) == 0 &&
      shm.st_dev != here.st_dev) {
    std::ofstream(other, std::ios::binary) << bytes;
    sources.push_back(other);
  }
  for (const std::string& source : sources) {
    SCOPED_TRACE(source);
    const std::string destination = dir_.Path("copy.bin");
    EXPECT_EQ(CopyThroughFolder(*os_, source, destination), 0u);
    EXPECT_TRUE(ScratchDir::ReadOrEmpty(destination) == bytes);
    unlink(destination.c_str());
  }
  unlink(other.c_str());  // the scratch folder takes the rest with it
}

TEST_F(PosixPlatformTest, CopyNeverFollowsALinkAtTheDestination) {
  const std::string source = dir_.Write("source.txt", "new");
  const std::string target = dir_.Path("target.txt");
  const std::string link = dir_.Path("link.txt");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(CopyThroughFolder(*os_, source, link), kErrorFileExists);
  EXPECT_FALSE(ScratchDir::Exists(target));
}

// Runs body in a child process that cannot write to folders it does not
// own: as root it becomes the unprivileged user 65534 first, since
// permission bits do not stop root. The child's exit code is body's result.
int RunUnprivileged(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

TEST_F(PosixPlatformTest, AFolderThatRefusesNewFilesIsAccessDenied) {
  const std::string source = dir_.Write("source.txt", "x");
  ASSERT_EQ(chmod(source.c_str(), 0644), 0);
  const std::string folder = dir_.MakeDir("locked");
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  EXPECT_EQ(RunUnprivileged([&] {
              return static_cast<int>(
                  CopyThroughFolder(*os_, source, folder + "/copy.txt"));
            }),
            static_cast<int>(kErrorAccessDenied));
  EXPECT_EQ(RunUnprivileged([&] {
              std::unique_ptr<File> file;
              return static_cast<int>(
                  os_->Open(folder + "/run.log", FileUse::kLog, &file));
            }),
            static_cast<int>(kErrorAccessDenied));
  EXPECT_FALSE(ScratchDir::Exists(folder + "/copy.txt"));
  EXPECT_FALSE(ScratchDir::Exists(folder + "/run.log"));
}

// A name behind a folder the user may not enter is no missing name: it
// cannot be reached, and the reason comes with it. A name that is not
// there is missing, as before.
TEST_F(PosixPlatformTest, ANameBehindAClosedFolderCannotBeReached) {
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const std::string top = dir_.MakeDir("top");
  dir_.MakeDir("top/dest");
  ASSERT_EQ(chmod(top.c_str(), 0000), 0);
  EXPECT_EQ(RunUnprivileged([&] {
              uint32_t code = 0;
              const PathKind behind = os_->Examine(top + "/dest", &code);
              const PathKind missing =
                  os_->Examine(dir_.Path("nowhere/dest"), nullptr);
              return behind == PathKind::kUnreachable &&
                             missing == PathKind::kMissing
                         ? static_cast<int>(code)
                         : 0;
            }),
            static_cast<int>(kErrorAccessDenied));
  ASSERT_EQ(chmod(top.c_str(), 0755), 0);
}

TEST_F(PosixPlatformTest, CopyOfAFolderIsRefused) {
  const std::string folder = dir_.MakeDir("sub");
  EXPECT_EQ(CopyThroughFolder(*os_, folder, dir_.Path("copy")),
            kErrorAccessDenied);
  EXPECT_FALSE(ScratchDir::Exists(dir_.Path("copy")));
}

#ifdef __linux__
// A device node at the log's path (here one like /dev/full, made in the
// scratch folder) is no log, and its name is how others reach the device:
// the open is refused and the node stays as it was, never written.
TEST_F(PosixPlatformTest, ADeviceAtTheLogsPathIsRefusedAndLeftAlone) {
  const std::string log = dir_.Path("m.log");
  if (mknod(log.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "no device nodes here";
  }
  std::unique_ptr<File> file;
  EXPECT_EQ(os_->Open(log, FileUse::kLog, &file), kErrorAccessDenied);
  EXPECT_EQ(file, nullptr);
  struct stat st;
  ASSERT_EQ(lstat(log.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(1, 7));
}

// A small tmpfs is a real full disk. It needs root and a kernel that lets
// the test mount; where that is missing the test fails rather than pass
// without having looked.
class FullDiskTest : public PosixPlatformTest {
 protected:
  void SetUp() override {
    disk_ = dir_.MakeDir("disk");
    if (mount("tmpfs", disk_.c_str(), "tmpfs", 0, "size=256k") != 0) {
      const int error = errno;
      FAIL() << "cannot mount a 256 KiB tmpfs at " << disk_ << " ("
             << std::strerror(error)
             << "); the full-disk tests need root and permission to mount";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(disk_.c_str(), MNT_DETACH);
  }
  std::string disk_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, CopyOntoAFullDiskLeavesNoPartialFile) {
  const std::string source =
      dir_.Write("big.bin", std::string(1024 * 1024, 'b'));
  const std::string destination = disk_ + "/big.bin";
  EXPECT_EQ(CopyThroughFolder(*os_, source, destination), kErrorDiskFull);
  EXPECT_FALSE(ScratchDir::Exists(destination));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(source).size(), 1024u * 1024u);
  // The space is free again: a small copy fits.
  const std::string small = dir_.Write("small.bin", "abc");
  EXPECT_EQ(CopyThroughFolder(*os_, small, disk_ + "/small.bin"), 0u);
}

TEST_F(FullDiskTest, WriteOntoAFullDiskIsDiskFull) {
  std::unique_ptr<File> file;
  ASSERT_EQ(os_->Open(disk_ + "/log.txt", FileUse::kLog, &file), 0u);
  const std::string block(64 * 1024, 'x');
  uint32_t code = 0;
  for (int i = 0; i < 16 && code == 0; ++i) {
    code = file->Write(block.data(), block.size());
  }
  EXPECT_EQ(code, kErrorDiskFull);
  file->Close();
}
#endif  // __linux__

TEST_F(PosixPlatformTest, ASecondCloseReportsAnInvalidHandle) {
  std::unique_ptr<File> file;
  ASSERT_EQ(os_->Open(dir_.Write("a.txt", "x"), FileUse::kComparison, &file),
            0u);
  EXPECT_EQ(file->Close(), 0u);
  EXPECT_EQ(file->Close(), kErrorInvalidHandle);
}

TEST_F(PosixPlatformTest, MessageBoxesAreLinesOnStderr) {
  const ChildResult result = RunWithoutTerminal([this] {
    os_->Tell(Notice::kWarning, "Usage: Stashwell %6 <Move_To_path>",
              "Check Filter Action");
    os_->Tell(Notice::kError, "Exception EInOutError\r\nDisk full.\r\n",
              "Application Error");
    return 0;
  });
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.stderr_text,
            "Check Filter Action: Usage: Stashwell %6 <Move_To_path>\n"
            "Application Error: Exception EInOutError\r\nDisk full.\r\n\n");
}

TEST_F(PosixPlatformTest, OpeningWithoutTheDesktopOpenerSaysSoOnStderr) {
  // A Yes to the question on a machine without xdg-open: the user is told
  // why nothing opens and where the log is. With an opener on PATH that
  // starts, nothing is written.
  const std::string bin = dir_.path() + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  const auto open_with_path = [this](const std::string& path_value) {
    return RunWithoutTerminal([this, path_value] {
      setenv("PATH", path_value.c_str(), 1);
      os_->OpenWithShell("/mail/eud1.log");
      return 0;
    });
  };
  const ChildResult missing = open_with_path(bin);
  EXPECT_EQ(missing.exit_code, 0);
  const std::string missing_text =
      "xdg-open is not installed (it comes with xdg-utils)";
  EXPECT_EQ(missing.stderr_text,
            "stashwell: cannot open the log: " + missing_text +
                "; the log is /mail/eud1.log\n");

  for (const char* name : {"xdg-open", "open"}) {
    const std::string script = bin + "/" + name;
    FILE* file = std::fopen(script.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("#!/bin/sh\nexit 0\n", file);
    std::fclose(file);
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  }
  const ChildResult present = open_with_path(bin);
  EXPECT_EQ(present.exit_code, 0);
  EXPECT_EQ(present.stderr_text, "");
}

TEST_F(PosixPlatformTest, QuestionWithoutATerminalIsAnsweredNo) {
  const ChildResult result = RunWithoutTerminal([this] {
    return os_->AskYesNo("Errors Reported. Open Log File?", "Stashwel") ? 6 : 7;
  });
  EXPECT_EQ(result.exit_code, 7);
  EXPECT_EQ(result.stderr_text,
            "Stashwel: Errors Reported. Open Log File? [y/N] n\n");
}

// Asks the question in a child process whose controlling terminal is a
// pseudo-terminal, answers with `typed` once the question has appeared and
// gives back what the terminal showed and whether the answer was Yes.
struct TerminalExchange {
  std::string shown;
  std::string on_stderr;
  int result = -1;  // 6 Yes, 7 No
};

TerminalExchange AskThroughTerminal(Platform& os, const std::string& typed) {
  TerminalExchange exchange;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    return exchange;
  }
  const std::string slave_name = ptsname(master);
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return exchange;
  const pid_t child = fork();
  if (child == 0) {
    close(master);
    close(err_pipe[0]);
    setsid();
    const int slave = open(slave_name.c_str(), O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(99);
    dup2(err_pipe[1], STDERR_FILENO);
    _exit(os.AskYesNo("Errors Reported. Open Log File?", "Stashwel") ? 6 : 7);
  }
  close(err_pipe[1]);
  const std::string question =
      "Stashwel: Errors Reported. Open Log File? [y/N] ";
  // Read what the terminal shows until the whole question is there.
  while (exchange.shown.find(question) == std::string::npos) {
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) break;
    char buffer[256];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    exchange.shown.append(buffer, static_cast<size_t>(n));
  }
  const std::string line = typed + "\n";
  if (write(master, line.data(), line.size()) !=
      static_cast<ssize_t>(line.size())) {
    kill(child, SIGKILL);
  }
  int status = 0;
  if (waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    exchange.result = WEXITSTATUS(status);
  }
  char buffer[256];
  ssize_t n;
  while ((n = read(err_pipe[0], buffer, sizeof buffer)) > 0) {
    exchange.on_stderr.append(buffer, static_cast<size_t>(n));
  }
  close(err_pipe[0]);
  close(master);
  return exchange;
}

TEST_F(PosixPlatformTest, QuestionOnTheTerminalTakesYesOnlyFromY) {
  const struct {
    const char* typed;
    int result;
  } cases[] = {{"y", 6}, {"Yes", 6}, {"yep", 6}, {"n", 7},
               {"", 7},  {" y", 7},  {"no", 7}};
  for (const auto& c : cases) {
    const TerminalExchange exchange = AskThroughTerminal(*os_, c.typed);
    EXPECT_EQ(exchange.result, c.result) << "answer \"" << c.typed << "\"";
    EXPECT_EQ(exchange.shown.rfind(
                  "Stashwel: Errors Reported. Open Log File? [y/N] ", 0),
              0u)
        << exchange.shown;
    EXPECT_EQ(exchange.on_stderr, "");
  }
}

TEST_F(PosixPlatformTest, OpenWithShellStartsTheDesktopOpener) {
  const std::string opener = "xdg-open";
  const std::string record = dir_.Path("opened.txt");
  const std::string script = dir_.Write(
      opener, "#!/bin/sh\necho noise\nprintf '%s' \"$1\" > '" + record +
                  ".tmp'\nmv '" + record + ".tmp' '" + record + "'\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path != nullptr ? old_path : "";
  setenv("PATH", (dir_.path() + ":/usr/bin:/bin").c_str(), 1);
  os_->OpenWithShell("/some folder/run.log");
  setenv("PATH", saved.c_str(), 1);
  for (int i = 0; i < 100 && !ScratchDir::Exists(record); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ScratchDir::ReadOrEmpty(record), "/some folder/run.log");
  // The opener was not waited for; collect it now.
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

TEST(PosixProcessTest, CommandLineIsArgvAfterTheProgram) {
  char program[] = "/usr/local/bin/stashwell";
  char first[] = "/mail/in/eud1.tmp";
  char empty[] = "";
  char* argv[] = {program, first, empty, nullptr};
  const auto os = MakeSystemPlatform(3, argv);
  const CommandLine line = os->ReadCommandLine();
  EXPECT_FALSE(line.is_text);
  EXPECT_EQ(line.argv, (std::vector<std::string>{"/mail/in/eud1.tmp", ""}));
  EXPECT_EQ(os->ProgramFileName(), "stashwell");
}

TEST(PosixProcessTest, WithoutArgumentsTheNameHasADefault) {
  const auto os = MakeSystemPlatform(0, nullptr);
  EXPECT_TRUE(os->ReadCommandLine().argv.empty());
  EXPECT_EQ(os->ProgramFileName(), "stashwell");
}

void SomeCode() {}

TEST(PosixProcessTest, CodeOffsetIsRelativeToTheLoadAddress) {
  const auto os = MakeSystemPlatform(0, nullptr);
  const void* address = reinterpret_cast<const void*>(&SomeCode);
  Dl_info info;
  ASSERT_NE(dladdr(address, &info), 0);
  EXPECT_EQ(os->CodeOffset(address),
            reinterpret_cast<uintptr_t>(address) -
                reinterpret_cast<uintptr_t>(info.dli_fbase));
  // An address in no module is reported as it is.
  EXPECT_EQ(os->CodeOffset(reinterpret_cast<const void*>(16)), 16u);
}

// A run killed in the middle of a copy (here by a file-size limit, which
// stops it at a known byte) leaves nothing under the destination name, and
// at most a temporary file in the program's own folder. The next run takes
// the name for the whole file, so a file that holds just the bytes copied so
// far is never taken for a duplicate of anything there; it removes the
// killed run's temporary file and the folder, and never an attachment
// named like a temporary file.
TEST_F(PosixPlatformTest, ACopyKilledMidwayLeavesNothingUnderTheName) {
  constexpr rlim_t kLimit = 64 * 1024;
  std::string bytes(1 << 20, 'x');
  for (size_t i = 0; i < bytes.size(); i += 251) bytes[i] = 'y';
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named ? "named" : "unnamed");
    ScratchDir dir;
    const std::string source = dir.Write("report.pdf", bytes);
    const std::string folder = dir.MakeDir("dest");
    const std::string destination = folder + "/report.pdf";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_DFL);
      const rlimit limit = {kLimit, kLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
      CopyWaysPlatform os(*os_, {.unnamed = !named});
      std::unique_ptr<Folder> dest;
      if (os.OpenFolder(folder, &dest) == 0) {
        dest->CopyIn(source, "report.pdf", &receipt_);
      }
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    EXPECT_FALSE(ScratchDir::Exists(destination));
    const std::string own = folder + "/" + kOwnFolder;
    EXPECT_EQ(ScratchDir::Exists(own), named);
    size_t leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      EXPECT_EQ(entry.path().filename().string(), kOwnFolder);
    }
    if (named) {
      for (const auto& entry : std::filesystem::directory_iterator(own)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name, TemporaryName(static_cast<uint64_t>(child), 0));
        EXPECT_EQ(entry.file_size(), kLimit) << name;
        ++leftovers;
      }
      EXPECT_EQ(leftovers, 1u);
    }
    // An attachment that happens to bear a temporary name, as another
    // program may have left it, is no leftover.
    const std::string lookalike =
        dir.Write("dest/" + TemporaryName(static_cast<uint64_t>(child), 1),
                  "an attachment");
    EXPECT_EQ(CopyThroughFolder(*os_, source, destination), 0u);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(destination), bytes);
    EXPECT_FALSE(ScratchDir::Exists(own));
    EXPECT_EQ(ScratchDir::ReadOrEmpty(lookalike), "an attachment");
  }
}

// The program's own folder is used only while it is a real folder of the
// run's user: a file, a link or another user's folder under its name takes
// nothing from the copy, which stages under the next of its names, and is
// left as it was; where the link leads nothing is written.
TEST_F(PosixPlatformTest, WhatHoldsTheProgramsFolderNameFailsNoCopy) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::function<void(const std::string& own, const std::string& victim)>
        plant;
  };
  const Case cases[] = {
      {"a file", [](const std::string& own,
                    const std::string&) { std::ofstream(own) << "x"; }},
      {"a link to a folder",
       [](const std::string& own, const std::string& victim) {
         fs::create_directory_symlink(victim, own);
       }},
      {"another user's folder",
       [](const std::string& own, const std::string&) {
         fs::create_directory(own);
         ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string folder = dir.MakeDir("dest");
    const std::string victim = dir.MakeDir("victim");
    const std::string own = folder + "/" + kOwnFolder;
    c.plant(own, victim);
    const auto planted = fs::symlink_status(own).type();
    CopyWaysPlatform os(*os_, {.unnamed = false});
    std::unique_ptr<Folder> dest;
    ASSERT_EQ(os.OpenFolder(folder, &dest), 0u);
    EXPECT_EQ(dest->CopyIn(dir.Write("a.pdf", "a"), "a.pdf", &receipt_), 0u);
    EXPECT_EQ(ScratchDir::ReadOrEmpty(folder + "/a.pdf"), "a");
    EXPECT_EQ(fs::symlink_status(own).type(), planted);
    EXPECT_TRUE(fs::is_empty(victim));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(Sorted(names), (std::vector<std::string>{".stashwell", "a.pdf"}));
  }
}

// Where a file system has neither a no-replace rename nor hard links, a
// copy reserves its name with an empty file and records the reservation in
// the program's own folder. The next copy into the folder clears what a
// dead run reserved, only while the name still holds an empty file and the
// record says the reservation was made (its line end); a live run's
// reservation stays.
TEST_F(PosixPlatformTest, ADeadRunsReservationIsClearedOnlyWhileEmpty) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const auto record = [&](pid_t process, int n, const std::string& text) {
    dir_.Write(std::string("dest/") + kOwnFolder + "/reserved" +
                   TemporaryName(static_cast<uint64_t>(process), n),
               text);
  };
  const std::string folder = dir_.MakeDir("dest");
  dir_.MakeDir(std::string("dest/") + kOwnFolder);
  dir_.Write("dest/reserved.pdf", "");
  record(child, 0, "reserved.pdf\n");
  dir_.Write("dest/unconfirmed.pdf", "");
  record(child, 1, "unconfirmed.pdf");
  dir_.Write("dest/published.pdf", "a copy");
  record(child, 2, "published.pdf\n");
  dir_.Write("dest/live.pdf", "");
  record(getpid(), 0, "live.pdf\n");
  const std::string source = dir_.Write("report.pdf", "the report");
  EXPECT_EQ(CopyThroughFolder(*os_, source, folder + "/report.pdf"), 0u);
  EXPECT_FALSE(ScratchDir::Exists(folder + "/reserved.pdf"));
  EXPECT_TRUE(ScratchDir::Exists(folder + "/unconfirmed.pdf"));
  EXPECT_EQ(ScratchDir::ReadOrEmpty(folder + "/published.pdf"), "a copy");
  EXPECT_TRUE(ScratchDir::Exists(folder + "/live.pdf"));
  std::vector<std::string> records;
  for (const auto& entry :
       std::filesystem::directory_iterator(folder + "/" + kOwnFolder)) {
    records.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(records, std::vector<std::string>{
                         "reserved" +
                         TemporaryName(static_cast<uint64_t>(getpid()), 0)});
}

// The destination folder is opened once per run: swapped for a link to
// another folder between two copies, it still receives the second copy and
// answers for its own names, and nothing is written where the link leads.
TEST_F(PosixPlatformTest, AFolderSwappedForALinkDuringTheRunRedirectsNoCopy) {
  namespace fs = std::filesystem;
  const std::string dest = dir_.MakeDir("dest");
  const std::string elsewhere = dir_.MakeDir("elsewhere");
  std::unique_ptr<Folder> folder;
  ASSERT_EQ(os_->OpenFolder(dest, &folder), 0u);
  ASSERT_EQ(folder->CopyIn(dir_.Write("a.pdf", "a"), "a.pdf", &receipt_), 0u);
  fs::rename(dest, dir_.Path("dest.old"));
  fs::create_directory_symlink(elsewhere, dest);
  dir_.Write("elsewhere/c.pdf", "c");
  ASSERT_EQ(folder->CopyIn(dir_.Write("b.pdf", "b"), "b.pdf", &receipt_), 0u);
  EXPECT_EQ(folder->Flush(), 0u);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(dir_.Path("dest.old") + "/b.pdf"), "b");
  EXPECT_EQ(folder->Examine("a.pdf"), PathKind::kFile);
  EXPECT_EQ(folder->Examine("c.pdf"), PathKind::kMissing);
  EXPECT_EQ(Sorted(folder->PlainFileNames("", ".pdf")),
            (std::vector<std::string>{"a.pdf", "b.pdf"}));
  EXPECT_EQ(Names(os_->FindMatching(elsewhere + "/*", 0)),
            std::vector<std::string>{"c.pdf"});
}

// A folder lists as plain files only regular files whose names begin and
// end as asked, byte for byte; hidden ones among them. Links (to a file or
// nowhere), FIFOs and folders are left to a lookup of their own.
TEST_F(PosixPlatformTest, AFolderListsPlainFilesOnly) {
  for (const char* name :
       {"r1.pdf", ".r2.pdf", "r3.pdf", "R4.pdf", "r5.PDF", "r.pdf"}) {
    dir_.Write(name, "x");
  }
  dir_.MakeDir("r6.pdf");
  ASSERT_EQ(mkfifo(dir_.Path("r7.pdf").c_str(), 0644), 0);
  ASSERT_EQ(symlink(dir_.Path("r1.pdf").c_str(), dir_.Path("r8.pdf").c_str()),
            0);
  ASSERT_EQ(symlink("nowhere", dir_.Path("r9.pdf").c_str()), 0);
  std::unique_ptr<Folder> folder;
  ASSERT_EQ(os_->OpenFolder(dir_.path(), &folder), 0u);
  EXPECT_EQ(Sorted(folder->PlainFileNames("r", ".pdf")),
            (std::vector<std::string>{"r.pdf", "r1.pdf", "r3.pdf"}));
  EXPECT_EQ(Sorted(folder->PlainFileNames(".r", ".pdf")),
            std::vector<std::string>{".r2.pdf"});
  // Listed twice, the folder is read from its start each time.
  EXPECT_EQ(folder->PlainFileNames("r", ".pdf").size(), 3u);
  EXPECT_EQ(folder->Examine("r6.pdf"), PathKind::kFolder);
  EXPECT_EQ(folder->Examine("r7.pdf"), PathKind::kOther);
  EXPECT_EQ(folder->Examine("r8.pdf"), PathKind::kFile);
  EXPECT_EQ(folder->Examine("r9.pdf"), PathKind::kOther);
  EXPECT_EQ(folder->Examine("r10.pdf"), PathKind::kMissing);
}

#ifdef __linux__
// Without /proc an unnamed copy is named through its descriptor (which
// root may do), not made again under a temporary name.
TEST_F(PosixPlatformTest, WithoutProcAnUnnamedCopyIsNamedByItsDescriptor) {
  const std::string source = dir_.Write("a.bin", std::string(70000, 'a'));
  const std::string folder = dir_.MakeDir("dest");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // /proc hidden by an empty file system, in a mount namespace of its own.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/proc", "tmpfs", 0, "size=16k") != 0) {
      _exit(77);
    }
    CopyWaysPlatform os(*os_, {});
    std::unique_ptr<Folder> dest;
    uint32_t code = os.OpenFolder(folder, &dest);
    if (code == 0) code = dest->CopyIn(source, "a.bin", &receipt_);
    const bool unnamed =
        os.published == std::vector<std::string>{"unnamed link"};
    _exit(code != 0 ? static_cast<int>(code % 64) : unnamed ? 0 : 99);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_NE(WEXITSTATUS(status), 77)
      << "cannot hide /proc: the test needs root and permission to mount";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ScratchDir::ReadOrEmpty(folder + "/a.bin"),
            std::string(70000, 'a'));
  EXPECT_FALSE(ScratchDir::Exists(folder + "/" + kOwnFolder));
}
#endif  // __linux__

// Ignored by the platform, a file-size limit fails the copy like a full
// disk, and the copy removes only its own temporary file.
TEST_F(PosixPlatformTest, AFileSizeLimitFailsTheCopyLikeAFullDisk) {
  for (const bool named : {false, true}) {
    ScratchDir dir;
    const std::string source = dir.Write("a.bin", std::string(200000, 'a'));
    const std::string folder = dir.MakeDir("dest");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit limit = {65536, 65536};
      setrlimit(RLIMIT_FSIZE, &limit);
      CopyWaysPlatform os(*os_, {.unnamed = !named});
      std::unique_ptr<Folder> dest;
      uint32_t code = os.OpenFolder(folder, &dest);
      if (code == 0) code = dest->CopyIn(source, "a.bin", &receipt_);
      _exit(static_cast<int>(code));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(kErrorDiskFull));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
  }
}

}  // namespace
}  // namespace stashwell

#endif  // _WIN32
