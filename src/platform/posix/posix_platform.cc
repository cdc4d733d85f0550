// The Platform on POSIX systems (Linux and macOS). Paths use "/", error
// codes are the Win32 codes of the same meaning, message boxes are lines on
// stderr and the yes/no question goes to the terminal.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <map>
#include <utility>

#include "platform/posix/posix_copy.h"
#include "platform/posix/posix_disk_file.h"
#include "platform/posix/posix_errors.h"
#include "platform/posix/posix_locale.h"
#include "platform/posix/posix_search.h"
#include "platform/posix/posix_time.h"
#include "platform/posix/posix_user.h"
#include "platform/system_platform.h"

namespace stashwell {
namespace {

uint32_t LastError() { return Win32CodeFromErrno(errno); }

int Descriptor(FileHandle file) { return static_cast<int>(file); }

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    command_line_.is_text = false;
    for (int i = 1; i < argc; ++i) command_line_.argv.push_back(argv[i]);
    if (argc > 0 && argv != nullptr && argv[0] != nullptr && *argv[0]) {
      const std::string program = argv[0];
      const size_t slash = program.rfind('/');
      program_name_ =
          slash == std::string::npos ? program : program.substr(slash + 1);
    }
    if (program_name_.empty()) program_name_ = "stashwell";
    syntax_.max_path = PATH_MAX - 1;
    // A file-size limit would otherwise kill the run in the middle of a
    // write; ignored, it fails the write like a full disk, which the run
    // reports.
    signal(SIGXFSZ, SIG_IGN);
  }

  const PathSyntax& Syntax() override { return syntax_; }

  // "*" and "?" are ordinary characters in POSIX names: the path is tested
  // as written. A file's dates play no part. Only a regular file on a disk
  // counts (links followed): FIFOs, devices, sockets and the kernel's
  // generated files are no files a mail client saved.
  bool IsExistingFile(const std::string& path) override {
    struct stat st;
    return stat(path.c_str(), &st) == 0 &&
           IsDiskFile(st, path.c_str(), -1, &file_systems_);
  }

  bool IsExistingDirectory(const std::string& path) override {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  // A file without its owner's write bit is refused, as Windows refuses to
  // delete a read-only file. The mode is looked at rather than access(),
  // which lets root through.
  // A file this program holds open through OpenForWrite or OpenForRead is
  // refused too: on Windows those opens share no deletion, so the run log
  // and the message file cannot be deleted (nor moved away as an
  // attachment) while they are open.
  bool RemoveFile(const std::string& path) override {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      for (const auto& [fd, id] : unshared_) {
        if (id == std::make_pair(st.st_dev, st.st_ino)) return false;
      }
    }
    return unlink(path.c_str()) == 0;
  }

  uint32_t CopyFileNoReplace(const std::string& source,
                             const std::string& destination) override {
    return CopyFileExclusive(source, destination, CopyStaging::kUnnamedFirst,
                             &file_systems_);
  }

  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override {
    return FindMatchingEntries(mask, attributes, folder_names_);
  }

  bool IsSameFile(const std::string& first,
                  const std::string& second) override {
    struct stat a, b;
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  }

  // The file is locked before it is cut to zero: a second run on the same
  // message (another process, or another open in this one) is refused as
  // Windows refuses it through the share mode, and never wipes what the
  // first run is writing.
  uint32_t OpenForWrite(const std::string& path, FileHandle* file) override {
    // Windows refuses to replace a read-only file, even for an
    // administrator; the owner's write bit is looked at rather than
    // access(), which lets root through.
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode) &&
        (existing.st_mode & S_IWUSR) == 0) {
      return kErrorAccessDenied;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    // Creating in a folder that does not exist is "path not found", as on
    // Windows.
    if (fd < 0) return errno == ENOENT ? kErrorPathNotFound : LastError();
    uint32_t code = 0;
    struct stat st;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      code = kErrorSharingViolation;
    } else if (fstat(fd, &st) != 0) {
      code = LastError();
    } else if (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
      // Only a regular file has a length to cut; a device has none.
      code = LastError();
    }
    if (code != 0) {
      close(fd);
      return code;
    }
    HoldUnshared(fd);
    *file = fd;
    return 0;
  }

  // POSIX has no share modes: both read opens read the same way; only
  // RemoveFile tells them apart.
  uint32_t OpenReadable(const std::string& path, FileHandle* file) {
    const int fd = OpenDiskFileForRead(path.c_str(), &file_systems_);
    if (fd < 0) return LastError();
    // A folder opens for reading on POSIX; Windows refuses it.
    struct stat st;
    uint32_t code = 0;
    if (fstat(fd, &st) != 0) {
      code = LastError();
    } else if (S_ISDIR(st.st_mode)) {
      code = kErrorAccessDenied;
    }
    if (code != 0) {
      close(fd);
      return code;
    }
    *file = fd;
    return 0;
  }

  uint32_t OpenForRead(const std::string& path, FileHandle* file) override {
    const uint32_t code = OpenReadable(path, file);
    if (code == 0) HoldUnshared(Descriptor(*file));
    return code;
  }

  uint32_t OpenShared(const std::string& path, FileHandle* file) override {
    return OpenReadable(path, file);
  }

  uint32_t Read(FileHandle file, void* buffer, size_t size,
                size_t* count) override {
    for (;;) {
      const ssize_t n = read(Descriptor(file), buffer, size);
      if (n >= 0) {
        *count = static_cast<size_t>(n);
        return 0;
      }
      if (errno != EINTR) return LastError();
    }
  }

  uint32_t Write(FileHandle file, const void* data, size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(Descriptor(file), bytes + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      if (n == 0) return kErrorDiskFull;
      done += static_cast<size_t>(n);
    }
    return 0;
  }

  uint32_t Size(FileHandle file, uint64_t* size) override {
    struct stat st;
    if (fstat(Descriptor(file), &st) != 0) return LastError();
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
  }

  uint32_t Close(FileHandle file) override {
    unshared_.erase(Descriptor(file));
    return close(Descriptor(file)) == 0 ? 0 : LastError();
  }

  DayCount LocalNow() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return EncodeDayCount(LocalFields(now));
  }

  LocaleFormats ReadLocaleFormats() override {
    return ReadPosixLocaleFormats();
  }

  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return AskOnTerminal(text, caption);
  }
  void ShowWarning(const std::string& text,
                   const std::string& caption) override {
    WriteMessageLine(text, caption);
  }
  void ShowError(const std::string& text, const std::string& caption) override {
    WriteMessageLine(text, caption);
  }
  void OpenWithShell(const std::string& path) override {
    OpenWithDesktop(path);
  }

  CommandLine ReadCommandLine() override { return command_line_; }
  std::string ProgramFileName() override { return program_name_; }

  uintptr_t CodeOffset(const void* address) override {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
      return reinterpret_cast<uintptr_t>(address);
    }
    return reinterpret_cast<uintptr_t>(address) -
           reinterpret_cast<uintptr_t>(info.dli_fbase);
  }

 private:
  // Remembers the file behind a descriptor that shares no deletion.
  void HoldUnshared(int fd) {
    struct stat st;
    if (fstat(fd, &st) == 0) unshared_[fd] = {st.st_dev, st.st_ino};
  }

  PathSyntax syntax_ = PathSyntax::Posix();
  FolderNames folder_names_;
  FileSystemKinds file_systems_;
  // Files opened by OpenForWrite and OpenForRead, until closed.
  std::map<int, std::pair<dev_t, ino_t>> unshared_;
  CommandLine command_line_;
  std::string program_name_;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace stashwell
