#include "platform/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include "platform/name_mask.h"
#include "platform/page_buffer.h"

namespace stashwell {

uint32_t Win32CodeFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
      return kErrorAccessDenied;
    case EROFS:
      return kErrorWriteProtect;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EBUSY:
      return kErrorSharingViolation;
    case EEXIST:
      return kErrorFileExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      return kErrorDiskFull;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ELOOP:
      return kErrorInvalidName;
    case ENOTSUP:
      return kErrorNotSupported;
    default:
      return 1117;  // ERROR_IO_DEVICE: an I/O error the table does not name
  }
}

DateTimeFields LocalTimeOf(const timespec& instant) {
  struct tm local {};
  const time_t seconds = instant.tv_sec;
  localtime_r(&seconds, &local);
  DateTimeFields fields;
  fields.year = local.tm_year + 1900;
  fields.month = local.tm_mon + 1;
  fields.day = local.tm_mday;
  fields.hour = local.tm_hour;
  fields.minute = local.tm_min;
  // A leap second is shown as the last second of its minute.
  fields.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  fields.millisecond = static_cast<int>(instant.tv_nsec / 1000000);
  fields.day_of_week = local.tm_wday;
  return fields;
}

timespec ModificationTime(const struct stat& st) {
#ifdef __APPLE__
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

namespace {

#if defined(__linux__)
// File systems whose files the kernel makes up as they are read.
bool IsGeneratedFileSystem(long type) {
  constexpr long kGenerated[] = {
      PROC_SUPER_MAGIC,    SYSFS_MAGIC,
      DEBUGFS_MAGIC,       TRACEFS_MAGIC,
      SECURITYFS_MAGIC,    CGROUP_SUPER_MAGIC,
      CGROUP2_SUPER_MAGIC, 0x62656570 /* configfs */,
      PSTOREFS_MAGIC,      BPF_FS_MAGIC,
      EFIVARFS_MAGIC,
  };
  for (long generated : kGenerated) {
    if (type == generated) return true;
  }
  return false;
}
#endif

}  // namespace

const bool* FileSystemKinds::Find(dev_t device) const {
  for (const auto& [known, generated] : known_) {
    if (known == device) return &generated;
  }
  return nullptr;
}

bool FileSystemKinds::IsGenerated(dev_t device, const char* path, int fd) {
  if (const bool* generated = Find(device)) return *generated;
  bool generated = false;
#if defined(__linux__)
  struct statfs fs;
  const int result = fd >= 0 ? fstatfs(fd, &fs) : statfs(path, &fs);
  if (result != 0) return false;  // asked again next time
  generated = IsGeneratedFileSystem(static_cast<long>(fs.f_type));
#else
  (void)path;
  (void)fd;
#endif
  known_.emplace_back(device, generated);
  return generated;
}

// A file system not met before is asked through the file itself.
bool FileSystemKinds::IsGeneratedAt(dev_t device, int at, const char* name) {
  if (const bool* generated = Find(device)) return *generated;
#ifdef O_PATH
  constexpr int kLookOnly = O_PATH | O_CLOEXEC;
#else
  constexpr int kLookOnly = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#endif
  const int fd = openat(at, name, kLookOnly);
  if (fd < 0) return false;  // asked again next time
  const bool generated = IsGenerated(device, nullptr, fd);
  close(fd);
  return generated;
}

bool IsDiskFile(const struct stat& st, const char* path, int fd,
                FileSystemKinds* kinds) {
  if (!S_ISREG(st.st_mode)) return false;
  FileSystemKinds once;
  return !(kinds != nullptr ? kinds : &once)->IsGenerated(st.st_dev, path, fd);
}

PathKind ExamineAt(int at, const char* name, FileSystemKinds* kinds) {
  struct stat st;
  if (fstatat(at, name, &st, 0) != 0) {
    return fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0
               ? PathKind::kOther
               : PathKind::kMissing;
  }
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  if (!S_ISREG(st.st_mode)) return PathKind::kOther;
  return kinds->IsGeneratedAt(st.st_dev, at, name) ? PathKind::kOther
                                                   : PathKind::kFile;
}

int OpenDiskFileForRead(const char* path, FileSystemKinds* kinds,
                        struct stat* opened) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat own;
  struct stat& st = opened != nullptr ? *opened : own;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISDIR(st.st_mode) && !IsDiskFile(st, path, fd, kinds)) {
    error = ENOENT;
  } else if (fcntl(fd, F_SETFL, 0) != 0) {
    // The open set no other status flag: clearing them all clears the
    // non-blocking mode alone.
    error = errno;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

namespace {

constexpr size_t kCopyBlock = 1 << 20;
// What one copy_file_range call is asked for: as much as the kernel takes
// in one call (it stops at about 2 GiB), as cp does, rather than a call per
// MiB.
constexpr size_t kOffloadRequest = size_t{1} << 30;

// Closes a descriptor when it goes out of scope, unless released.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Copies from the current offset of in to the end with read and write.
// 0 or an errno value.
int CopyByReadWrite(int in, int out) {
  const PageBuffer buffer = MakePageBuffer(kCopyBlock);
  for (;;) {
    const ssize_t got = read(in, buffer.get(), kCopyBlock);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    size_t done = 0;
    while (done < static_cast<size_t>(got)) {
      const ssize_t put =
          write(out, buffer.get() + done, static_cast<size_t>(got) - done);
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (put == 0) return ENOSPC;
      done += static_cast<size_t>(put);
    }
  }
}

// Copies the whole of in (expected_size bytes at the start) to out: with the
// kernel's copy offload where it works, else with read and write from where
// the offload stopped. 0 or an errno value.
int CopyContents(int in, int out, off_t expected_size) {
#ifdef __linux__
  off_t copied = 0;
  for (;;) {
    const ssize_t n =
        copy_file_range(in, nullptr, out, nullptr, kOffloadRequest, 0);
    if (n > 0) {
      copied += n;
      continue;
    }
    if (n == 0) {
      // Some file systems report an empty file where there is data; read
      // it the plain way then.
      if (copied == 0 && expected_size > 0) break;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
        errno == EINVAL || errno == ENOTSUP || errno == EBADF) {
      break;
    }
    return errno;
  }
#else
  (void)expected_size;
#endif
  return CopyByReadWrite(in, out);
}

// A missing folder on the way to a new file is "path not found", as on
// Windows.
uint32_t CreateError(int error) {
  return error == ENOENT ? kErrorPathNotFound : Win32CodeFromErrno(error);
}

// Flushes a file's bytes (and what reading them back needs) to the disk.
int SyncData(int fd) {
#ifdef __APPLE__
  return fsync(fd);
#else
  return fdatasync(fd);
#endif
}

// True while the process of that number lives (or belongs to someone the
// run may not signal, which lives all the same).
bool ProcessLives(uint64_t process) {
  if (process == 0 || process > static_cast<uint64_t>(INT32_MAX)) return false;
  return kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM;
}

// Removes from the program's own folder (open as folder) the temporary files
// of runs that no longer live: their process is gone and no one holds the
// file's lock. Only regular files with the program's temporary names are
// looked at; no attachment is ever placed in this folder.
void RemoveLeftovers(int folder) {
  const int listing = dup(folder);
  if (listing < 0) return;
  DIR* dir = fdopendir(listing);
  if (dir == nullptr) {
    close(listing);
    return;
  }
  while (const dirent* item = readdir(dir)) {
    const std::string name = item->d_name;
    const std::optional<uint64_t> process = TemporaryNameProcess(name);
    if (!process || ProcessLives(*process)) continue;
    const int fd = openat(folder, name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlinkat(folder, name.c_str(), 0);
    }
    close(fd);
  }
  closedir(dir);
}

// Where a copy collects its bytes before they get the destination name: an
// unnamed file of the destination folder, or a file of the program's own
// folder inside it (kOwnFolder), locked while the run lives.
struct Staged {
  int fd = -1;
  int own_folder = -1;    // the program's own folder, for a named file
  std::string temporary;  // its name there; empty for an unnamed file
};

// Opens an unnamed file in folder. False when the file system has none
// (the caller then uses a name); a failure that a name would meet as well
// is returned in *code.
bool StageUnnamed(int folder, Staged* staged, uint32_t* code) {
#ifdef O_TMPFILE
  const int fd = openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    staged->fd = fd;
    return true;
  }
  if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return false;
  *code = CreateError(errno);
  return true;
#else
  (void)folder;
  (void)staged;
  (void)code;
  return false;
#endif
}

// Creates a new file of the program's own in its own folder of folder,
// made when missing. What killed runs left there the caller has removed.
uint32_t StageNamed(int folder, Staged* staged) {
  // Another run may remove the folder when it finds it empty, between its
  // creation here and the file's: then it is made again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (mkdirat(folder, kOwnFolder, 0700) != 0 && errno != EEXIST) {
      return CreateError(errno);
    }
    const int own = openat(folder, kOwnFolder,
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (own < 0) {
      if (errno == ENOENT) continue;
      return CreateError(errno);
    }
    for (int n = 0; n < 1000; ++n) {
      std::string name = TemporaryName(static_cast<uint64_t>(getpid()), n);
      const int fd =
          openat(own, name.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        // The lock tells later runs that this file is in use.
        flock(fd, LOCK_EX | LOCK_NB);
        staged->fd = fd;
        staged->own_folder = own;
        staged->temporary = std::move(name);
        return 0;
      }
      if (errno != EEXIST) break;
    }
    const int error = errno;
    close(own);
    if (error == ENOENT) continue;
    return error == EEXIST ? kErrorFileExists : CreateError(error);
  }
  return kErrorPathNotFound;
}

// Gives an unnamed file the name in folder; fails when the name is taken.
// 0 or an errno value.
int LinkUnnamed(int fd, int folder, const std::string& name) {
#ifdef O_TMPFILE
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), folder, name.c_str(),
                AT_SYMLINK_FOLLOW) == 0
             ? 0
             : errno;
#else
  (void)fd;
  (void)folder;
  (void)name;
  return ENOTSUP;
#endif
}

// Renames temporary (in from) to name (in to) unless the name is taken.
// 0 or an errno value.
int RenameNoReplace(int from, const std::string& temporary, int to,
                    const std::string& name) {
  int error = ENOTSUP;
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (renameat2(from, temporary.c_str(), to, name.c_str(), RENAME_NOREPLACE) ==
      0) {
    return 0;
  }
  error = errno;
#elif defined(__APPLE__) && defined(RENAME_EXCL)
  if (renameatx_np(from, temporary.c_str(), to, name.c_str(), RENAME_EXCL) ==
      0) {
    return 0;
  }
  error = errno;
#endif
  if (error != EINVAL && error != ENOSYS && error != ENOTSUP &&
      error != EOPNOTSUPP) {
    return error;
  }
  // A file system without the no-replace rename: a hard link refuses a
  // taken name as well.
  if (linkat(from, temporary.c_str(), to, name.c_str(), 0) != 0) return errno;
  unlinkat(from, temporary.c_str(), 0);
  return 0;
}

// True when a listed entry is a regular file, a link being none: from the
// type the listing gives, and asked only when the file system gives none.
bool IsPlainEntry(int folder, const dirent& item) {
#ifdef DT_UNKNOWN
  if (item.d_type != DT_UNKNOWN) return item.d_type == DT_REG;
#endif
  struct stat st;
  return fstatat(folder, item.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

}  // namespace

PosixFolder::PosixFolder(int fd, FileSystemKinds* kinds, CopyStaging staging)
    : fd_(fd),
      kinds_(kinds != nullptr ? kinds : &own_kinds_),
      staging_(staging) {}

PosixFolder::~PosixFolder() { close(fd_); }

uint32_t PosixFolder::Open(const std::string& path,
                           std::unique_ptr<Folder>* folder,
                           FileSystemKinds* kinds, CopyStaging staging) {
  const int fd = open(path.empty() ? "." : path.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return CreateError(errno);
  folder->reset(new PosixFolder(fd, kinds, staging));
  return 0;
}

PathKind PosixFolder::Examine(const std::string& name) {
  return ExamineAt(fd_, name.c_str(), kinds_);
}

std::vector<std::string> PosixFolder::PlainFileNames(std::string_view prefix,
                                                     std::string_view suffix) {
  std::vector<std::string> names;
  // A listing of its own, from the folder's first entry.
  const int listing = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return names;
  DIR* dir = fdopendir(listing);
  if (dir == nullptr) {
    close(listing);
    return names;
  }
  while (const dirent* item = readdir(dir)) {
    const std::string_view name = item->d_name;
    if (name.size() < prefix.size() + suffix.size() ||
        !name.starts_with(prefix) || !name.ends_with(suffix)) {
      continue;
    }
    if (IsPlainEntry(fd_, *item)) names.emplace_back(name);
  }
  closedir(dir);
  return names;
}

uint32_t PosixFolder::ListingCostInLookups() {
  // Measured on ext4 with names of about a dozen bytes: an entry takes
  // about 30 bytes of the folder's size and listing it about 0.45 us; a
  // lookup of a name costs 1 to 1.5 us once the name is cached and 5 to
  // 11 us when it is not, as in a run that starts cold. So a lookup costs
  // about as much as listing 10 entries, some 320 bytes of the folder: a
  // folder of 100,000 files, 2.9 MB, lists in about 40 ms, the time of
  // some 9,000 lookups.
  constexpr off_t kBytesPerLookup = 320;
  // A folder whose status tells no size (some network and user-space
  // file systems give 0): as many lookups as a folder of a few hundred
  // entries would be worth.
  constexpr uint32_t kUnknown = 64;
  struct stat st;
  if (fstat(fd_, &st) != 0 || st.st_size <= 0) return kUnknown;
  const off_t cost = 1 + st.st_size / kBytesPerLookup;
  return cost >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(cost);
}

uint32_t PosixFolder::Flush() {
  return fsync(fd_) == 0 ? 0 : Win32CodeFromErrno(errno);
}

uint32_t PosixFolder::CopyIn(const std::string& source,
                             const std::string& name) {
  return Copy(source, name, staging_);
}

uint32_t PosixFolder::Copy(const std::string& source, const std::string& name,
                           CopyStaging staging) {
  // Only a regular disk file is copied, and a FIFO put in the attachment's
  // place cannot block the open.
  struct stat st;
  FileCloser in(OpenDiskFileForRead(source.c_str(), kinds_, &st));
  if (in.get() < 0) return Win32CodeFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;

  const int folder = fd_;
  // A taken name is refused before any byte is copied; the publication
  // below refuses it again should it be taken meanwhile.
  struct stat taken;
  if (fstatat(folder, name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
    return kErrorFileExists;
  }

  // What killed runs left in the program's own folder goes, whichever way
  // this copy stages its bytes.
  {
    FileCloser own(openat(folder, kOwnFolder,
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (own.get() >= 0) {
      RemoveLeftovers(own.get());
      unlinkat(folder, kOwnFolder, AT_REMOVEDIR);
    }
  }

  Staged staged;
  uint32_t code = 0;
  if (staging == CopyStaging::kNamedOnly ||
      !StageUnnamed(folder, &staged, &code)) {
    code = StageNamed(folder, &staged);
  }
  if (code != 0) return code;
  FileCloser out(staged.fd);
  FileCloser own_folder(staged.own_folder);
  // On every way out the temporary name, if any, is removed unless it was
  // published, and the program's own folder goes when it is empty.
  bool published = false;
  struct Cleanup {
    ~Cleanup() {
      if (staged.temporary.empty()) return;
      if (!published) unlinkat(staged.own_folder, staged.temporary.c_str(), 0);
      unlinkat(folder, kOwnFolder, AT_REMOVEDIR);
    }
    Staged& staged;
    bool& published;
    int folder;
  } cleanup{staged, published, folder};

  int error = CopyContents(in.get(), out.get(), st.st_size);
  if (error == 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, ModificationTime(st)};
    if (futimens(out.get(), times) != 0) error = errno;
  }
  if (error == 0 && fchmod(out.get(), st.st_mode & 0777) != 0) error = errno;
  // The bytes reach the disk before the copy gets its name, so the name
  // never holds a file that a power cut would empty.
  if (error == 0 && SyncData(out.get()) != 0) error = errno;
  if (error != 0) return Win32CodeFromErrno(error);

  if (staged.temporary.empty()) {
    error = LinkUnnamed(out.get(), folder, name);
    // The file gets its name through its /proc entry: without /proc it
    // cannot be named, and the copy is made again under a temporary name.
    if (error == ENOENT && access("/proc/self/fd", X_OK) != 0) {
      out.reset();
      return Copy(source, name, CopyStaging::kNamedOnly);
    }
  } else {
    error = RenameNoReplace(staged.own_folder, staged.temporary, folder, name);
  }
  if (error != 0) return CreateError(error);
  published = true;
  // The new name reaches the disk with the folder's Flush, which the run
  // asks for before the source goes.
  struct stat made;
  const bool known = fstat(out.get(), &made) == 0;
  if (close(out.release()) != 0) {
    const int late_error = errno;
    // The copy may not be whole on the disk: the name just given is taken
    // back, if it still holds this copy, and the source stays.
    struct stat named;
    if (known &&
        fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == made.st_dev && named.st_ino == made.st_ino) {
      unlinkat(folder, name.c_str(), 0);
    }
    return Win32CodeFromErrno(late_error);
  }
  return 0;
}

namespace {

// Win32 attribute bits of an entry. Symbolic links are judged by what they
// point to; a link that points nowhere is neither a file nor a folder.
uint32_t AttributesOf(const std::string& name, const struct stat& st) {
  uint32_t attributes = 0;
  if (S_ISDIR(st.st_mode)) {
    attributes |= kAttrDirectory;
  } else if (S_ISREG(st.st_mode)) {
    attributes |= kAttrArchive;
  } else {
    attributes |= kAttrSystem;
  }
  if (!S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0) {
    attributes |= kAttrReadOnly;
  }
  if (!name.empty() && name[0] == '.') attributes |= kAttrHidden;
  return attributes;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

const std::vector<std::string>* FolderNames::Get(const std::string& folder) {
  struct stat now;
  if (stat(folder.c_str(), &now) != 0) {
    valid_ = false;
    return nullptr;
  }
  if (valid_ && folder == folder_ && now.st_dev == seen_.st_dev &&
      now.st_ino == seen_.st_ino && SameTime(now.st_mtim, seen_.st_mtim) &&
      SameTime(now.st_ctim, seen_.st_ctim)) {
    return &names_;
  }
  valid_ = false;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return nullptr;
  names_.clear();
  while (const dirent* item = readdir(dir)) {
    const std::string_view name = item->d_name;
    if (name == "." || name == "..") continue;
    names_.emplace_back(name);
  }
  closedir(dir);
  folder_ = folder;
  seen_ = now;
  valid_ = true;
  return &names_;
}

std::vector<SearchEntry> FindMatchingEntries(const std::string& mask,
                                             uint32_t attributes,
                                             FolderNames& folders) {
  const size_t slash = mask.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? std::string("/")
                                                        : mask.substr(0, slash);
  const std::string pattern =
      slash == std::string::npos ? mask : mask.substr(slash + 1);
  const std::string prefix =
      slash == std::string::npos ? std::string() : mask.substr(0, slash + 1);

  std::vector<SearchEntry> entries;
  const std::vector<std::string>* names = folders.Get(folder);
  if (names == nullptr) return entries;
  constexpr uint32_t kSkippable =
      kAttrHidden | kAttrSystem | kAttrVolume | kAttrDirectory;
  for (const std::string& name : *names) {
    if (!MatchesMask(name, pattern)) continue;
    const std::string path = prefix + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && lstat(path.c_str(), &st) != 0) {
      continue;  // gone since the folder was listed
    }
    SearchEntry entry;
    entry.name = name;
    entry.attributes = AttributesOf(name, st);
    if ((entry.attributes & kSkippable & ~attributes) != 0) continue;
    entry.last_write = LocalTimeOf(ModificationTime(st));
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace stashwell
