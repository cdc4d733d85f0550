#include "platform/posix/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
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

#include "platform/copy_protocol.h"
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

timespec ModificationTime(const struct stat& st) { return st.st_mtim; }

namespace {

int64_t Nanoseconds(int64_t seconds, int64_t nanoseconds) {
  return seconds * 1000000000 + nanoseconds;
}

std::optional<FileProof> ProofOfStat(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  FileProof proof;
  proof.id = {static_cast<uint64_t>(st.st_dev),
              static_cast<uint64_t>(st.st_ino)};
  proof.size = static_cast<uint64_t>(st.st_size);
  proof.write_time = Nanoseconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  proof.change_time = Nanoseconds(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  return proof;
}

#ifdef STATX_BTIME
timespec TimeOf(const struct statx_timestamp& t) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(t.tv_sec);
  time.tv_nsec = static_cast<long>(t.tv_nsec);
  return time;
}

// The status a stat call would give, from what statx gave.
struct stat StatOfStatx(const struct statx& sx) {
  struct stat st {};
  st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st.st_ino = static_cast<ino_t>(sx.stx_ino);
  st.st_mode = static_cast<mode_t>(sx.stx_mode);
  st.st_nlink = static_cast<nlink_t>(sx.stx_nlink);
  st.st_uid = static_cast<uid_t>(sx.stx_uid);
  st.st_gid = static_cast<gid_t>(sx.stx_gid);
  st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  st.st_size = static_cast<off_t>(sx.stx_size);
  st.st_blksize = static_cast<blksize_t>(sx.stx_blksize);
  st.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
  st.st_atim = TimeOf(sx.stx_atime);
  st.st_mtim = TimeOf(sx.stx_mtime);
  st.st_ctim = TimeOf(sx.stx_ctime);
  return st;
}
#endif

// The status of what name names in at and, for a regular file, its proof,
// from one call. statx gives the birth time too, where the file system
// keeps one; fstatat stands in on a kernel without statx. False with errno
// set when neither can be asked.
bool StatusAt(int at, const char* name, int flags, struct stat* st,
              std::optional<FileProof>* proof) {
#ifdef STATX_BTIME
  struct statx sx;
  if (statx(at, name, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    *st = StatOfStatx(sx);
    *proof = ProofOfStat(*st);
    if (*proof && (sx.stx_mask & STATX_BTIME) != 0) {
      (*proof)->birth_time =
          Nanoseconds(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
    }
    return true;
  }
  if (errno != ENOSYS) return false;
#endif
  if (fstatat(at, name, st, flags) != 0) return false;
  *proof = ProofOfStat(*st);
  return true;
}

std::optional<FileProof> ProofAt(int at, const char* name, int flags,
                                 mode_t* mode) {
  struct stat st;
  std::optional<FileProof> proof;
  if (!StatusAt(at, name, flags, &st, &proof)) return std::nullopt;
  if (mode != nullptr) *mode = st.st_mode;
  return proof;
}

}  // namespace

std::optional<FileProof> ProofOfOpen(int fd) {
  return ProofAt(fd, "", AT_EMPTY_PATH, nullptr);
}

std::optional<FileProof> ProofOfName(int at, const char* name, mode_t* mode) {
  return ProofAt(at, name, AT_SYMLINK_NOFOLLOW, mode);
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
  // A whole path is asked by its path, with no descriptor to make.
  if (at == AT_FDCWD) return IsGenerated(device, name, -1);
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
                FileSystemKinds& kinds) {
  return S_ISREG(st.st_mode) && !kinds.IsGenerated(st.st_dev, path, fd);
}

Found FoundInMode(mode_t mode) {
  if (S_ISREG(mode)) return Found::kDiskFile;
  if (S_ISDIR(mode)) return Found::kFolder;
  if (S_ISLNK(mode)) return Found::kLink;
  return Found::kSpecial;
}

PathKind ExamineAt(int at, const char* name, FileSystemKinds& kinds,
                   uint32_t* code) {
  // The name itself first: a missing name, the commonest answer of a
  // lookup, then costs one call; only a link is followed.
  struct stat st;
  if (fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG ||
        error == ELOOP || error == EINVAL) {
      return KindOf(Found::kNothing);
    }
    if (code != nullptr) *code = Win32CodeFromErrno(error);
    return KindOf(Found::kUnreachable);
  }
  // A link that leads nowhere still holds its name.
  if (S_ISLNK(st.st_mode) && fstatat(at, name, &st, 0) != 0) {
    return KindOf(Found::kLink);
  }
  const Found found = FoundInMode(st.st_mode);
  if (found == Found::kDiskFile && kinds.IsGeneratedAt(st.st_dev, at, name)) {
    return KindOf(Found::kGeneratedFile);
  }
  return KindOf(found);
}

int OpenDiskFileForRead(const char* path, FileSystemKinds& kinds,
                        struct stat* opened, std::optional<FileProof>* proof) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat own;
  struct stat& st = opened != nullptr ? *opened : own;
  std::optional<FileProof> own_proof;
  int error = 0;
  if (!StatusAt(fd, "", AT_EMPTY_PATH, &st,
                proof != nullptr ? proof : &own_proof)) {
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
// Each stretch of this many bytes a copy has written goes to the disk at
// once, while the copy goes on: the flush that makes the copy durable then
// waits for the last stretch, not for the whole file. A 1 GiB copy and its
// flush took 0.38 to 0.46 s so, against 0.64 to 0.78 s with all of the
// writing left to the flush. A copy smaller than a stretch (most
// attachments) makes no call more.
constexpr size_t kWriteBackStretch = size_t{8} << 20;

// Once the bytes of out from *handed to end make a whole stretch, has the
// disk start writing them, without waiting for it, and moves *handed to
// end. A hint only: the flush after the copy still decides, so a file
// system that cannot start it loses nothing.
void HandStretchToDisk(int out, off_t end, off_t* handed) {
  if (end - *handed < static_cast<off_t>(kWriteBackStretch)) return;
#ifdef __linux__
  (void)sync_file_range(out, *handed, end - *handed, SYNC_FILE_RANGE_WRITE);
#else
  (void)out;
#endif
  *handed = end;
}

// Copies from the current offset of in to the end with read and write;
// out's offset is at (where an earlier part of the copy ended). 0 or an
// errno value.
int CopyByReadWrite(int in, int out, off_t at) {
  const PageBuffer buffer = MakePageBuffer(kCopyBlock);
  off_t handed = at;  // the end of the bytes handed to the disk
  for (;;) {
    HandStretchToDisk(out, at, &handed);
    const ssize_t got = read(in, buffer.get(), kCopyBlock);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    at += got;
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
// the offload stopped.
// The copy goes on to the end the reads find, not to the size the status
// told: a file system whose status lags its contents must not get a copy
// cut short. 0 or an errno value.
int CopyContents(int in, int out, off_t expected_size) {
  off_t copied = 0;
#ifdef __linux__
  off_t handed = 0;  // the end of the bytes handed to the disk
  for (;;) {
    const ssize_t n =
        copy_file_range(in, nullptr, out, nullptr, kWriteBackStretch, 0);
    if (n > 0) {
      copied += n;
      HandStretchToDisk(out, copied, &handed);
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
  return CopyByReadWrite(in, out, copied);
}

// A missing folder on the way to a new file is "path not found", as on
// Windows.
uint32_t CreateError(int error) {
  return error == ENOENT ? kErrorPathNotFound : Win32CodeFromErrno(error);
}

// Flushes a file's bytes (and what reading them back needs) to the disk.
int SyncData(int fd) { return fdatasync(fd); }

// True while the process of that number lives (or belongs to someone the
// run may not signal, which lives all the same).
bool ProcessLives(uint64_t process) {
  if (process == 0 || process > static_cast<uint64_t>(INT32_MAX)) return false;
  return kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM;
}

// A run's record, in the program's own folder, of the name it reserved in
// the destination folder (see PublishByReservation): a temporary name led by
// this prefix, holding the reserved name and, once the reservation is made,
// a line end.
constexpr std::string_view kReservationPrefix = "reserved";

std::string ReservationRecordName(uint64_t process, int n) {
  return std::string(kReservationPrefix) + TemporaryName(process, n);
}

std::optional<uint64_t> ReservationRecordProcess(std::string_view name) {
  if (!name.starts_with(kReservationPrefix)) return std::nullopt;
  return TemporaryNameProcess(name.substr(kReservationPrefix.size()));
}

// Removes name from folder while it is an empty regular file, which is all a
// reservation ever is: a copy published over it, or a file that someone
// else put there, stays.
void ClearReservation(int folder, const std::string& name) {
  struct stat st;
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && st.st_size == 0) {
    unlinkat(folder, name.c_str(), 0);
  }
}

// Clears the reservation that a dead run's record (open as fd) confirms.
void ClearDeadReservation(int fd, int destination) {
  char buffer[NAME_MAX + 2];
  size_t size = 0;
  while (size < sizeof buffer) {
    const ssize_t got = read(fd, buffer + size, sizeof buffer - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<size_t>(got);
  }
  const std::string_view record(buffer, size);
  // Without its line end the record does not say that the name was ever
  // reserved: the name may hold someone else's empty file.
  if (size < 2 || size == sizeof buffer || !record.ends_with('\n')) return;
  const std::string name(record.substr(0, size - 1));
  if (name.find('/') != std::string::npos || name == "." || name == "..") {
    return;
  }
  ClearReservation(destination, name);
}

// Calls visit with each entry of the open folder, "." and ".." included,
// from a listing of its own that starts at the folder's first entry (a
// descriptor of the folder shares its position, which another listing may
// have moved). False when the folder cannot be listed.
template <typename Visit>
bool ForEachEntry(int folder, Visit visit) {
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return false;
  DIR* dir = fdopendir(listing);
  if (dir == nullptr) {
    close(listing);
    return false;
  }
  while (const dirent* item = readdir(dir)) visit(*item);
  closedir(dir);
  return true;
}

// Removes from the program's own folder (open as folder, inside destination)
// the temporary files of runs that no longer live: their process is gone and
// no one holds the file's lock. A dead run's record of a reservation first
// clears that reservation. Only regular files with the program's temporary
// names are looked at; no attachment is ever placed in this folder.
void RemoveLeftovers(int folder, int destination) {
  ForEachEntry(folder, [&](const dirent& item) {
    const std::string name = item.d_name;
    const std::optional<uint64_t> record = ReservationRecordProcess(name);
    if (record) {
      if (ProcessLives(*record)) return;
      const int fd = openat(folder, name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) return;
      struct stat st;
      const bool dead = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                        flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (dead) ClearDeadReservation(fd, destination);
      // Closed before it is removed: on FUSE an open file removed stays as
      // a hidden file and keeps the folder from going.
      close(fd);
      if (dead) unlinkat(folder, name.c_str(), 0);
      return;
    }
    const std::optional<uint64_t> process = TemporaryNameProcess(name);
    if (!process || ProcessLives(*process)) return;
    const int fd = openat(folder, name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlinkat(folder, name.c_str(), 0);
    }
    close(fd);
  });
}

// Opens the program's own folder name of folder, only while it is a real
// folder (no link followed) of the run's user, or one this run has just
// made (a file system that keeps no owners reports its mount's): a folder
// planted by someone else is never written into nor emptied. -1 with errno
// set otherwise (ENOENT when nothing has the name).
int OpenOwnFolder(int folder, const char* name, bool made_now) {
  const int fd =
      openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || (!made_now && st.st_uid != geteuid())) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

// What killed runs left in the program's own folders of folder goes, and
// each folder with it when empty.
void RemoveAllLeftovers(int folder) {
  for (const char* own_name : kOwnFolders) {
    const int own = OpenOwnFolder(folder, own_name, false);
    if (own < 0) continue;
    RemoveLeftovers(own, folder);
    close(own);
    unlinkat(folder, own_name, AT_REMOVEDIR);
  }
}

// True when every entry of the open folder own is a name a FUSE file system
// gave a file removed while it was open (".fuse_hidden..."), which it
// removes itself once the file is released.
bool OnlyHiddenByFuse(int own) {
  bool only = true;
  const bool listed = ForEachEntry(own, [&](const dirent& item) {
    const std::string_view name = item.d_name;
    if (name != "." && name != ".." && !name.starts_with(".fuse_hidden")) {
      only = false;
    }
  });
  return listed && only;
}

// Removes the program's own folder name (open as own) of folder when it is
// empty. FUSE releases a closed file after close returns, so the hidden
// name of a temporary file removed while open may stand there a moment
// longer: then the removal is tried again, each millisecond for the first
// 20 and then every 10, for about a quarter of a second at most (a FUSE
// driver on a busy machine has been seen to take longer than 20 ms).
void RemoveOwnFolderIfEmpty(int folder, const char* name, int own) {
  for (int attempt = 0; attempt < 45; ++attempt) {
    if (unlinkat(folder, name, AT_REMOVEDIR) == 0) return;
    if ((errno != ENOTEMPTY && errno != EEXIST) || !OnlyHiddenByFuse(own)) {
      return;
    }
    usleep(attempt < 20 ? 1000 : 10000);
  }
}

// Where a copy collects its bytes before they get the destination name: an
// unnamed file of the destination folder, or a file of the program's own
// folder inside it, locked while the run lives. When it goes, the file is
// closed first, then its temporary name (unless published) and the own
// folder (when empty) are removed: a FUSE file system keeps a file removed
// while open as a hidden ".fuse_hidden" name, and the folder would stay.
struct Staged {
  ~Staged() { End(); }
  // Lets go of the staged file as described above; the next staging may
  // then begin.
  void End() {
    Close();
    if (!temporary.empty()) {
      if (!published) unlinkat(own_folder, temporary.c_str(), 0);
      RemoveOwnFolderIfEmpty(folder, own_name, own_folder);
    }
    if (own_folder >= 0) close(own_folder);
    own_folder = -1;
    own_name = nullptr;
    temporary.clear();
    published = false;
  }
  // 0 or the errno value of the close.
  int Close() {
    if (fd < 0) return 0;
    const int result = close(fd);
    fd = -1;
    return result == 0 ? 0 : errno;
  }

  int folder = -1;      // the destination folder
  int fd = -1;          // the temporary file
  int own_folder = -1;  // the program's own folder, for a named file
  const char* own_name = nullptr;
  std::string temporary;  // its name there; empty for an unnamed file
  bool published = false;
};

// Opens an unnamed file in folder. False when the file system has none
// (the caller then uses a name); a failure that a name would meet as well
// is returned in *code.
bool OpenUnnamed(int folder, Staged* staged, uint32_t* code) {
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

// Creates a new file of the program's own in the first usable own folder
// of folder, made when missing. What killed runs left there the caller has
// removed.
uint32_t CreateNamed(int folder, Staged* staged) {
  // Another run may remove a folder when it finds it empty, between its
  // creation here and the file's: then it is made again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    bool raced = false;
    for (const char* own_name : kOwnFolders) {
      const bool made = mkdirat(folder, own_name, 0700) == 0;
      if (!made && errno != EEXIST) {
        // fusefat on a full disk refuses the folder and lists it all the
        // same.
        const int error = errno;
        unlinkat(folder, own_name, AT_REMOVEDIR);
        return CreateError(error);
      }
      const int own = OpenOwnFolder(folder, own_name, made);
      if (own < 0) {
        if (errno == ENOENT) {
          raced = true;
          break;
        }
        continue;  // not a folder of the run's own: the next name
      }
      int error = EEXIST;
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
          staged->own_name = own_name;
          staged->temporary = std::move(name);
          return 0;
        }
        error = errno;
        if (error != EEXIST) break;
      }
      close(own);
      if (error == ENOENT) {
        raced = true;
        break;
      }
      return error == EEXIST ? kErrorFileExists : CreateError(error);
    }
    if (!raced) return kErrorAccessDenied;
  }
  return kErrorPathNotFound;
}

// Gives an unnamed file the name in folder; fails when the name is taken.
// The file is reached through its /proc entry; without /proc, through its
// descriptor, which the kernel allows only a process that may read any
// file. 0 or an errno value; ENOTSUP when the file cannot be named at all.
int LinkUnnamed(int fd, int folder, const std::string& name) {
#ifdef O_TMPFILE
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) ==
      0) {
    return 0;
  }
  const int error = errno;
  if (error != ENOENT || access("/proc/self/fd", X_OK) == 0) return error;
  if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  return errno == ENOENT ? ENOTSUP : errno;
#else
  (void)fd;
  (void)folder;
  (void)name;
  return ENOTSUP;
#endif
}

// What a rename or link that never replaces answers on a file system that
// has no such operation: FUSE drivers give EINVAL for RENAME_NOREPLACE;
// exFAT and FAT give EPERM for a hard link.
bool NotOffered(int error) {
  return error == EINVAL || error == EPERM || error == ENOSYS ||
         error == ENOTSUP || error == EOPNOTSUPP;
}

// Writes all of text to fd. 0 or an errno value.
int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (put == 0) return ENOSPC;
    text.remove_prefix(static_cast<size_t>(put));
  }
  return 0;
}

// Publishes temporary (in own, the program's own folder of folder) as name
// on a file system with neither a no-replace rename nor hard links (exFAT
// and FAT through FUSE): the name is reserved with an exclusive create, and
// the finished copy is renamed over that reservation, which only ever
// replaces the run's own empty file. A record in own names the reservation
// first, is flushed, and gets its line end once the reservation is made, so
// that a later run can clear the reservation of a run that died (see
// RemoveLeftovers). 0 or an errno value; EEXIST when the name is taken.
int PublishByReservation(int own, const std::string& temporary, int folder,
                         const std::string& name) {
  std::string record;
  int fd = -1;
  for (int n = 0; n < 1000 && fd < 0; ++n) {
    record = ReservationRecordName(static_cast<uint64_t>(getpid()), n);
    fd = openat(own, record.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;
  // The lock tells later runs that the reservation is in use.
  flock(fd, LOCK_EX | LOCK_NB);
  int error = WriteAll(fd, name);
  if (error == 0 && SyncData(fd) != 0) error = errno;
  bool reserved = false;
  if (error == 0) {
    const int reservation =
        openat(folder, name.c_str(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (reservation < 0) {
      error = errno;
    } else {
      close(reservation);
      reserved = true;
      error = WriteAll(fd, "\n");
    }
  }
  if (error == 0) {
    // Another program may have put a file of its own in the reservation's
    // place; it is not replaced.
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_size != 0) {
      reserved = false;
      error = EEXIST;
    } else if (renameat(own, temporary.c_str(), folder, name.c_str()) != 0) {
      error = errno;
    }
  }
  if (error != 0 && reserved) ClearReservation(folder, name);
  close(fd);
  unlinkat(own, record.c_str(), 0);
  return error;
}

// A time or a mode that the file system cannot keep: FAT keeps no modes
// (vfat refuses chmod with EPERM, FUSE drivers with ENOSYS). The copy's
// bytes are what must arrive; these fail no copy.
bool CannotKeep(int error) {
  return error == EPERM || error == ENOSYS || error == EOPNOTSUPP ||
         error == ENOTSUP;
}

// The primitives of one copy into the open folder: the source read through
// one descriptor, the bytes staged in an unnamed file or under a temporary
// name of the program's own folder, every name taken relative to the
// folder.
class PosixCopy : public CopyPrimitives {
 public:
  PosixCopy(int folder, FileSystemKinds& kinds)
      : folder_(folder), kinds_(kinds) {
    staged_.folder = folder;
  }
  ~PosixCopy() override {
    staged_.End();
    if (in_ >= 0) close(in_);
  }
  PosixCopy(const PosixCopy&) = delete;
  PosixCopy& operator=(const PosixCopy&) = delete;

  uint32_t OpenSource(const std::string& source, FileProof* read) override {
    // Only a regular disk file is copied, and a FIFO put in the
    // attachment's place cannot block the open.
    std::optional<FileProof> proof;
    in_ = OpenDiskFileForRead(source.c_str(), kinds_, &source_, &proof);
    if (in_ < 0) return Win32CodeFromErrno(errno);
    if (S_ISDIR(source_.st_mode)) return kErrorAccessDenied;
    if (!proof) return kErrorAccessDenied;
    *read = *proof;
    return 0;
  }
  std::optional<FileProof> SourceProof() override { return ProofOfOpen(in_); }
  bool IsTaken(const std::string& name) override {
    struct stat taken;
    return fstatat(folder_, name.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0;
  }
  void RemoveLeftovers() override { RemoveAllLeftovers(folder_); }

  std::optional<uint32_t> StageUnnamed() override {
    uint32_t code = 0;
    if (!OpenUnnamed(folder_, &staged_, &code)) return std::nullopt;
    return code;
  }
  uint32_t StageNamed() override { return CreateNamed(folder_, &staged_); }
  uint32_t CopyBytes() override {
    // A second staging reads the source again from its start.
    if (filled_ && lseek(in_, 0, SEEK_SET) != 0) {
      return Win32CodeFromErrno(errno);
    }
    filled_ = true;
    return Win32CodeFromErrno(CopyContents(in_, staged_.fd, source_.st_size));
  }
  uint32_t KeepMetadata() override {
    const timespec times[2] = {{0, UTIME_OMIT}, ModificationTime(source_)};
    if (futimens(staged_.fd, times) != 0 && !CannotKeep(errno)) {
      return Win32CodeFromErrno(errno);
    }
    if (fchmod(staged_.fd, source_.st_mode & 0777) != 0 && !CannotKeep(errno)) {
      return Win32CodeFromErrno(errno);
    }
    return 0;
  }
  uint32_t SyncStaged() override {
    return SyncData(staged_.fd) == 0 ? 0 : Win32CodeFromErrno(errno);
  }

  std::optional<uint32_t> PublishByLink(const std::string& name) override {
    if (staged_.temporary.empty()) {
      const int error = LinkUnnamed(staged_.fd, folder_, name);
      if (error == ENOTSUP) return std::nullopt;
      return Published(error);
    }
    if (linkat(staged_.own_folder, staged_.temporary.c_str(), folder_,
               name.c_str(), 0) != 0) {
      const int error = errno;
      if (NotOffered(error)) return std::nullopt;
      return Published(error);
    }
    unlinkat(staged_.own_folder, staged_.temporary.c_str(), 0);
    return Published(0);
  }
  std::optional<uint32_t> PublishByRename(const std::string& name) override {
    if (staged_.temporary.empty()) return std::nullopt;
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(staged_.own_folder, staged_.temporary.c_str(), folder_,
                  name.c_str(), RENAME_NOREPLACE) == 0) {
      return Published(0);
    }
    const int error = errno;
    if (NotOffered(error)) return std::nullopt;
    return Published(error);
#else
    return std::nullopt;
#endif
  }
  std::optional<uint32_t> PublishByReservation(
      const std::string& name) override {
    if (staged_.temporary.empty()) return std::nullopt;
    return Published(stashwell::PublishByReservation(
        staged_.own_folder, staged_.temporary, folder_, name));
  }

  std::optional<FileProof> StagedProof() override {
    return ProofOfOpen(staged_.fd);
  }
  uint32_t CloseStaged() override {
    return Win32CodeFromErrno(staged_.Close());
  }
  void EndStaging() override { staged_.End(); }
  std::optional<FileProof> ProofOfName(const std::string& name) override {
    return stashwell::ProofOfName(folder_, name.c_str());
  }
  void RemoveName(const std::string& name) override {
    unlinkat(folder_, name.c_str(), 0);
  }
  // A file system served by path (sshfs, say) numbers a name given by a
  // link apart from the file's other name.
  bool NamesKeepFileIds() override { return false; }

 private:
  // 0 once the staged file has the name, else the failed publication's
  // code.
  uint32_t Published(int error) {
    if (error != 0) return CreateError(error);
    staged_.published = true;
    return 0;
  }

  int folder_;
  FileSystemKinds& kinds_;
  int in_ = -1;
  struct stat source_ {};
  bool filled_ = false;
  Staged staged_;
};

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

PosixFolder::PosixFolder(int fd, FileSystemKinds& kinds)
    : fd_(fd), kinds_(kinds) {}

PosixFolder::~PosixFolder() { close(fd_); }

uint32_t PosixFolder::Open(const std::string& path,
                           std::unique_ptr<Folder>* folder,
                           FileSystemKinds& kinds) {
  const int fd = open(path.empty() ? "." : path.c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return CreateError(errno);
  // What dead runs left goes at the first use, also in a run that copies
  // nothing: a power cut may have kept an emptied own folder on the disk.
  RemoveAllLeftovers(fd);
  folder->reset(new PosixFolder(fd, kinds));
  return 0;
}

PathKind PosixFolder::Examine(const std::string& name) {
  return ExamineAt(fd_, name.c_str(), kinds_, nullptr);
}

std::vector<std::string> PosixFolder::PlainFileNames(std::string_view prefix,
                                                     std::string_view suffix) {
  std::vector<std::string> names;
  ForEachEntry(fd_, [&](const dirent& item) {
    const std::string_view name = item.d_name;
    if (name.size() >= prefix.size() + suffix.size() &&
        name.starts_with(prefix) && name.ends_with(suffix) &&
        IsPlainEntry(fd_, item)) {
      names.emplace_back(name);
    }
  });
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

std::unique_ptr<CopyPrimitives> PosixFolder::StartCopy() {
  return std::make_unique<PosixCopy>(fd_, kinds_);
}

std::optional<FileProof> PosixFolder::ProofOf(const std::string& name) {
  return ProofOfName(fd_, name.c_str());
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
