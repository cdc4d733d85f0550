// What counts as a file on POSIX: a regular file on a disk. Attachment
// lines come from any sender, so a line may name a FIFO (whose open blocks
// until a writer comes), a device (/dev/zero never ends, /dev/null is a
// node that deletion would remove) or a kernel's generated file (/proc,
// /sys: never deletable, different at every read). None of them is a file
// the mail client saved, and none is handled as one.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_DISK_FILE_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_DISK_FILE_H_

#include <sys/stat.h>

#include <utility>
#include <vector>

namespace stashwell {

// Which of the file systems met so far the kernel generates, by device
// number, so that a run asks each file system once rather than at every
// test and open.
class FileSystemKinds {
 public:
  // The file system is asked through fd when it is 0 or more, else through
  // path, the first time its device is met.
  bool IsGenerated(dev_t device, const char* path, int fd);

 private:
  std::vector<std::pair<dev_t, bool>> known_;
};

// True when st (of a file reached by following links) is a regular file on
// a file system that stores files: not one of the kernel's generated ones.
// kinds remembers the file systems met; without it each call asks anew.
bool IsDiskFile(const struct stat& st, const char* path, int fd,
                FileSystemKinds* kinds = nullptr);

// Opens path read-only without blocking on a FIFO swapped in after an
// existence test (the non-blocking mode is cleared once it is open).
// Folders open as before, so callers keep their own rule for them; any
// other file that is no disk file is refused as missing (ENOENT). -1 with
// errno set on failure.
int OpenDiskFileForRead(const char* path, FileSystemKinds* kinds = nullptr);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_DISK_FILE_H_
