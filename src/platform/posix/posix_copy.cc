#include "platform/posix/posix_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/platform.h"
#include "platform/posix/posix_disk_file.h"
#include "platform/posix/posix_errors.h"
#include "platform/posix/posix_time.h"

namespace stashwell {
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

 private:
  int fd_;
};

// Copies from the current offset of in to the end with read and write.
// 0 or an errno value.
int CopyByReadWrite(int in, int out) {
  const std::unique_ptr<char[]> buffer(new char[kCopyBlock]);
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

// Removes the file at path if it is still the one this copy created.
void RemoveCreated(const std::string& path, const struct stat& created) {
  struct stat named;
  if (lstat(path.c_str(), &named) == 0 && created.st_dev == named.st_dev &&
      created.st_ino == named.st_ino) {
    unlink(path.c_str());
  }
}

}  // namespace

uint32_t CopyFileExclusive(const std::string& source,
                           const std::string& destination) {
  FileCloser in(OpenDiskFileForRead(source.c_str()));
  if (in.get() < 0) return Win32CodeFromErrno(errno);
  struct stat st;
  if (fstat(in.get(), &st) != 0) return Win32CodeFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return kErrorAccessDenied;

  FileCloser out(
      open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    // A missing folder on the way to a new file is "path not found".
    return errno == ENOENT ? kErrorPathNotFound : Win32CodeFromErrno(errno);
  }
  struct stat created;
  if (fstat(out.get(), &created) != 0) {
    const int error = errno;
    unlink(destination.c_str());
    return Win32CodeFromErrno(error);
  }

  int error = CopyContents(in.get(), out.get(), st.st_size);
  if (error == 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, ModificationTime(st)};
    if (futimens(out.get(), times) != 0) error = errno;
  }
  if (error == 0 && fchmod(out.get(), st.st_mode & 0777) != 0) error = errno;
  if (error != 0) {
    RemoveCreated(destination, created);
    return Win32CodeFromErrno(error);
  }
  const int fd = out.release();
  if (close(fd) != 0) {
    const int close_error = errno;
    RemoveCreated(destination, created);
    return Win32CodeFromErrno(close_error);
  }
  return 0;
}

}  // namespace stashwell
