#include "platform/posix/posix_disk_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace stashwell {
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

bool FileSystemKinds::IsGenerated(dev_t device, const char* path, int fd) {
  for (const auto& [known, generated] : known_) {
    if (known == device) return generated;
  }
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

bool IsDiskFile(const struct stat& st, const char* path, int fd,
                FileSystemKinds* kinds) {
  if (!S_ISREG(st.st_mode)) return false;
  FileSystemKinds once;
  return !(kinds != nullptr ? kinds : &once)->IsGenerated(st.st_dev, path, fd);
}

int OpenDiskFileForRead(const char* path, FileSystemKinds* kinds) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
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

}  // namespace stashwell
