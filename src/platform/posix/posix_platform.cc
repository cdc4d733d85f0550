// The Platform on POSIX systems. Paths use "/", error
// codes are the Win32 codes of the same meaning, message boxes are lines on
// stderr and the yes/no question goes to the terminal.
#if !defined(__linux__)
#include <dlfcn.h>
#endif
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

#include "platform/posix/mapped_view.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_locale.h"
#include "platform/system_platform.h"

extern char** environ;
#if defined(__linux__)
// The first and the first-past-the-end byte of the program's own image.
extern "C" const char __ehdr_start[];
extern "C" const char _end[];
#endif

namespace stashwell {
namespace {

uint32_t LastError() { return Win32CodeFromErrno(errno); }

// Writes all of text to fd; false when it cannot.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads one line (without its end) from fd; false when nothing at all can
// be read.
bool ReadLine(int fd, std::string* line) {
  bool any = false;
  for (;;) {
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') return true;
    *line += c;
  }
}

// Writes caption, ": ", text and a line end to stderr.
void WriteMessageLine(const std::string& text, const std::string& caption) {
  const std::string line = caption + ": " + text + "\n";
  std::fflush(stderr);
  WriteAll(STDERR_FILENO, line);
}

// Asks on the controlling terminal: caption, ": ", text, " [y/N] ", then
// reads one line; true only for an answer beginning with y or Y. With no
// terminal the question and the answer "n" go to stderr and the answer is
// No.
bool AskOnTerminal(const std::string& text, const std::string& caption) {
  const std::string question = caption + ": " + text + " [y/N] ";
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) {
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, question + "n\n");
    return false;
  }
  std::string answer;
  const bool asked = WriteAll(tty, question) && ReadLine(tty, &answer);
  close(tty);
  return asked && !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// Starts the desktop's opener (xdg-open) on path without
// waiting for it; its output goes nowhere. When the opener cannot be
// started (not installed), a line on stderr says so and names the log.
void OpenWithDesktop(const std::string& path) {
  const char* opener = "xdg-open";
  const char* package_hint = " (it comes with xdg-utils)";
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null",
                                   O_WRONLY, 0);
  std::string opener_arg = opener;
  std::string path_arg = path;
  char* const args[] = {opener_arg.data(), path_arg.data(), nullptr};
  pid_t child;
  // The run does not wait for the opener; the process ends soon after.
  const int failed =
      posix_spawnp(&child, opener, &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    // The user answered Yes and sees nothing open: say why, and where the
    // log is.
    std::fflush(stderr);
    WriteAll(STDERR_FILENO, std::string("stashwell: cannot open the log: ") +
                                opener + " is not installed" + package_hint +
                                "; the log is " + path + "\n");
  }
}

FileId IdOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The files this process holds open for a use that shares no deletion, by
// descriptor. On Windows those opens share no deletion, so the run log and
// the message file cannot be deleted (nor moved away as an attachment)
// while they are open; RemoveFile keeps the same rule here.
using UnsharedFiles = std::map<int, FileId>;

class PosixFile : public File {
 public:
  // opened: the file's proof as its open found it, for a file opened to be
  // read; its size and proof are then told from that look until the file
  // is first read.
  PosixFile(int fd, const struct stat& st, UnsharedFiles* unshared,
            bool removable, std::optional<FileProof> opened)
      : fd_(fd),
        id_(IdOf(st)),
        unshared_(unshared),
        removable_(removable),
        opened_(std::move(opened)) {
    if (unshared_ != nullptr) (*unshared_)[fd_] = id_;
  }
  ~PosixFile() override {
    if (fd_ >= 0) Close();
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  uint32_t Read(void* buffer, size_t size, size_t* count) override {
    opened_.reset();
    for (;;) {
      const ssize_t n = read(fd_, buffer, size);
      if (n >= 0) {
        *count = static_cast<size_t>(n);
        return 0;
      }
      if (errno != EINTR) return LastError();
    }
  }

  uint32_t View(uint64_t offset, size_t most,
                std::string_view* bytes) override {
    opened_.reset();
    return view_.Map(fd_, offset, most, bytes);
  }
  bool ViewPays(uint64_t offset) override {
    return MappedView::Pays(fd_, offset);
  }

  uint32_t Write(const void* data, size_t size) override {
    opened_.reset();
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd_, bytes + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return LastError();
      }
      if (n == 0) return kErrorDiskFull;
      done += static_cast<size_t>(n);
    }
    return 0;
  }

  uint32_t Size(uint64_t* size) override {
    if (opened_) {
      *size = opened_->size;
      return 0;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0) return LastError();
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
  }

  std::optional<FileId> Identity() override { return id_; }

  std::optional<FileProof> Proof() override {
    return opened_ ? opened_ : ProofOfOpen(fd_);
  }

  uint32_t Flush() override { return fdatasync(fd_) == 0 ? 0 : LastError(); }

  // The name goes while this run still holds the file open (and, for the
  // log, locked): no other run can have taken the file over in between.
  bool RemoveName(const std::string& path) override {
    if (!removable_) return false;
    struct stat named;
    return lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
           IdOf(named) == id_ && unlink(path.c_str()) == 0;
  }

  uint32_t Close() override {
    if (fd_ < 0) return kErrorInvalidHandle;
    const uint32_t viewed = view_.Release();
    if (unshared_ != nullptr) unshared_->erase(fd_);
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) return LastError();
    return viewed;
  }

 private:
  MappedView view_;
  int fd_;
  FileId id_;
  UnsharedFiles* unshared_;
  bool removable_;
  std::optional<FileProof> opened_;
};

class PosixPlatform : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    command_line_.is_text = false;
    for (int i = 1; i < argc; ++i) command_line_.argv.push_back(argv[i]);
    if (argc > 0 && argv != nullptr && argv[0] != nullptr && *argv[0]) {
      program_name_ = FileNamePart(argv[0], syntax_);
    }
    if (program_name_.empty()) program_name_ = "stashwell";
    syntax_.max_path = PATH_MAX - 1;
    // A file-size limit would otherwise kill the run in the middle of a
    // write; ignored, it fails the write like a full disk, which the run
    // reports.
    signal(SIGXFSZ, SIG_IGN);
#ifdef __GLIBC__
    // A run lives a few milliseconds: memory handed back to the system as
    // its buffers go would only be unmapped once more at its exit.
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
#endif
  }

  const PathSyntax& Syntax() override { return syntax_; }

  // "*" and "?" are ordinary characters in POSIX names: the path is tested
  // as written. A file's dates play no part. Only a regular file on a disk
  // is a file (links followed): FIFOs, devices, sockets and the kernel's
  // generated files are no files a mail client saved.
  PathKind Examine(const std::string& path, uint32_t* code) override {
    return ExamineAt(AT_FDCWD, path.c_str(), file_systems_, code);
  }

  std::optional<FileId> IdentityOf(const std::string& path) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return IdOf(st);
  }

  uint32_t Open(const std::string& path, FileUse use,
                std::unique_ptr<File>* file) override {
    int fd = -1;
    struct stat st;
    std::optional<FileProof> opened;
    const uint32_t code = use == FileUse::kLog
                              ? OpenLog(path, &fd, &st)
                              : OpenReadable(path, use, &fd, &st, &opened);
    if (code != 0) return code;
    *file = std::make_unique<PosixFile>(
        fd, st, use == FileUse::kComparison ? nullptr : &unshared_,
        use == FileUse::kLog, std::move(opened));
    return 0;
  }

  // What stands at the name decides first (MayRemove): a link goes as a
  // name, a folder or a device, FIFO or socket stays. A file without its
  // owner's write bit is refused, as Windows refuses to delete a read-only
  // file; the mode is looked at rather than access(), which lets root
  // through. A file open for the log or the message is refused too
  // (UnsharedFiles).
  bool RemoveFile(const std::string& path) override {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    const Found found = FoundInMode(st.st_mode);
    if (!MayRemove(found)) return false;
    if (found == Found::kDiskFile && !MayRemoveDiskFile(st.st_mode, IdOf(st))) {
      return false;
    }
    return unlink(path.c_str()) == 0;
  }

  // The name is looked at without following a link: a link is no file the
  // run read, and what it leads to is not the run's to delete. The look
  // that proves the file also gives what RemoveFile asks of a disk file.
  Removal RemoveProvenFile(const std::string& path,
                           const FileProof& proof) override {
    mode_t mode = 0;
    if (ProofOfName(AT_FDCWD, path.c_str(), &mode) != proof) {
      return Removal::kNotProven;
    }
    return MayRemoveDiskFile(mode, proof.id) && unlink(path.c_str()) == 0
               ? Removal::kRemoved
               : Removal::kRefused;
  }

  uint32_t OpenFolder(const std::string& path,
                      std::unique_ptr<Folder>* folder) override {
    return PosixFolder::Open(path, folder, file_systems_);
  }

  std::vector<SearchEntry> FindMatching(const std::string& mask,
                                        uint32_t attributes) override {
    return FindMatchingEntries(mask, attributes, folder_names_);
  }

  DayCount LocalNow() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return EncodeDayCount(LocalTimeOf(now));
  }

  LocaleFormats ReadLocaleFormats() override {
    return ReadPosixLocaleFormats();
  }

  bool AskYesNo(const std::string& text, const std::string& caption) override {
    return AskOnTerminal(text, caption);
  }
  // Both kinds of box are the same line on stderr.
  void Tell(Notice, const std::string& text,
            const std::string& caption) override {
    WriteMessageLine(text, caption);
  }
  void OpenWithShell(const std::string& path) override {
    OpenWithDesktop(path);
  }

  CommandLine ReadCommandLine() override { return command_line_; }
  std::string ProgramFileName() override { return program_name_; }

  uintptr_t CodeOffset(const void* address) override {
#if defined(__linux__)
    // The linker marks where the program's image begins and ends; unlike
    // dladdr, this also knows the static program, which has no module
    // list.
    const auto at = reinterpret_cast<uintptr_t>(address);
    const auto begin = reinterpret_cast<uintptr_t>(__ehdr_start);
    const auto end = reinterpret_cast<uintptr_t>(_end);
    return at >= begin && at < end ? at - begin : at;
#else
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) {
      return reinterpret_cast<uintptr_t>(address);
    }
    return reinterpret_cast<uintptr_t>(address) -
           reinterpret_cast<uintptr_t>(info.dli_fbase);
#endif
  }

 private:
  // The log is the run's own file. Its path is opened without following a
  // link and without blocking (a FIFO there would hang the run), and what
  // the name holds decides (TreatLogName): only a regular file with one
  // link is written; a link or a second name of another file is removed
  // (the file it leads to is left alone) and the log made anew,
  // exclusively; a folder, FIFO, socket or device is refused and left: its
  // name is how someone else reaches it. Otherwise the run would cut to
  // zero and fill a file that is not its log, anywhere.
  //
  // The file is locked before it is cut to zero: a second run on the same
  // message (another process, or another open in this one) is refused as
  // Windows refuses it through the share mode, and never wipes what the
  // first run is writing.
  static uint32_t OpenLog(const std::string& path, int* opened,
                          struct stat* opened_stat) {
    const uint32_t kRefused = OpenRefusal(FileUse::kLog, Found::kSpecial);
    // Windows refuses to replace a read-only file, even for an
    // administrator; the owner's write bit is looked at rather than
    // access(), which lets root through.
    struct stat existing;
    if (lstat(path.c_str(), &existing) == 0) {
      const Found found = FoundInMode(existing.st_mode);
      if (TreatLogName(found, existing.st_nlink) == LogName::kRefuse) {
        return OpenRefusal(FileUse::kLog, found);
      }
      if (found == Found::kDiskFile && (existing.st_mode & S_IWUSR) == 0) {
        return kErrorAccessDenied;
      }
    }
    int fd =
        open(path.c_str(),
             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    // Creating in a folder that does not exist is "path not found", as on
    // Windows.
    if (fd < 0 && errno == ENOENT) return kErrorPathNotFound;
    // A FIFO or socket put there since the look above (ENXIO).
    if (fd < 0 && errno == ENXIO) return kRefused;
    // A link at the path (ELOOP; EMLINK on some BSDs): not the run's file.
    const bool foreign_name = fd < 0 && (errno == ELOOP || errno == EMLINK);
    if (fd < 0 && !foreign_name) return LastError();
    struct stat st;
    if (fd >= 0) {
      if (fstat(fd, &st) != 0) {
        const uint32_t code = LastError();
        close(fd);
        return code;
      }
      const Found found = FoundInMode(st.st_mode);
      const LogName treatment = TreatLogName(found, st.st_nlink);
      if (treatment != LogName::kWrite) {
        close(fd);
        fd = -1;
        if (treatment == LogName::kRefuse) {
          return OpenRefusal(FileUse::kLog, found);
        }
      }
    }
    if (fd < 0) {
      if (unlink(path.c_str()) != 0) return LastError();
      fd = open(path.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0) return LastError();
    }
    uint32_t code = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      code = kErrorSharingViolation;
    } else if (fstat(fd, opened_stat) != 0) {
      code = LastError();
    } else if (TreatLogName(FoundInMode(opened_stat->st_mode),
                            opened_stat->st_nlink) != LogName::kWrite) {
      // Swapped meanwhile for another file's second name.
      code = kRefused;
    } else if ((opened_stat->st_size != 0 && ftruncate(fd, 0) != 0) ||
               fcntl(fd, F_SETFL, 0) != 0) {
      // An empty file is not cut: on ext4 a file cut to zero is written
      // out as soon as it is closed (so that a replaced file's new bytes
      // are not lost), which cost a fresh log 0.1 ms at its close.
      code = LastError();
    }
    if (code != 0) {
      close(fd);
      return code;
    }
    *opened = fd;
    return 0;
  }

  // A disk file goes only with its owner's write bit, and while this run
  // does not hold it open for its log or its message.
  bool MayRemoveDiskFile(mode_t mode, const FileId& id) const {
    if ((mode & S_IWUSR) == 0) return false;
    for (const auto& [fd, held] : unshared_) {
      if (held == id) return false;
    }
    return true;
  }

  // POSIX has no share modes: both read uses read the same way; only
  // RemoveFile tells them apart.
  uint32_t OpenReadable(const std::string& path, FileUse use, int* opened,
                        struct stat* opened_stat,
                        std::optional<FileProof>* proof) {
    const int fd =
        OpenDiskFileForRead(path.c_str(), file_systems_, opened_stat, proof);
    if (fd < 0) return LastError();
    // A folder opens for reading on POSIX; the rule refuses it, as Windows
    // does. Anything else that is no disk file was refused by the open as
    // missing, OpenRefusal's answer for reading.
    if (S_ISDIR(opened_stat->st_mode)) {
      close(fd);
      return OpenRefusal(use, Found::kFolder);
    }
    *opened = fd;
    return 0;
  }

  PathSyntax syntax_ = PathSyntax::Posix();
  FolderNames folder_names_;
  FileSystemKinds file_systems_;
  UnsharedFiles unshared_;
  CommandLine command_line_;
  std::string program_name_;
};

}  // namespace

std::unique_ptr<Platform> MakeSystemPlatform(int argc, char** argv) {
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace stashwell
