// The Win32 codes that errno values are reported as.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/posix/posix_files.h"

namespace stashwell {
namespace {

TEST(Win32CodeFromErrno, MapsEachErrnoToTheCodeOfTheSameMeaning) {
  const struct {
    int error;
    uint32_t code;
  } cases[] = {
      {0, 0},
      {ENOENT, kErrorFileNotFound},
      {ENOTDIR, kErrorPathNotFound},
      {EMFILE, kErrorTooManyOpenFiles},
      {ENFILE, kErrorTooManyOpenFiles},
      {EACCES, kErrorAccessDenied},
      {EPERM, kErrorAccessDenied},
      {EISDIR, kErrorAccessDenied},
      {ETXTBSY, kErrorAccessDenied},
      {EROFS, kErrorWriteProtect},
      {EBADF, kErrorInvalidHandle},
      {ENOMEM, kErrorNotEnoughMemory},
      {EBUSY, kErrorSharingViolation},
      {EEXIST, kErrorFileExists},
      {EINVAL, kErrorInvalidParameter},
      {ENOSPC, kErrorDiskFull},
#ifdef EDQUOT
      {EDQUOT, kErrorDiskFull},
#endif
      {EFBIG, kErrorDiskFull},
      {ENAMETOOLONG, kErrorFilenameTooLong},
      {ENOTEMPTY, kErrorDirNotEmpty},
      {ELOOP, kErrorInvalidName},
      {ENOTSUP, kErrorNotSupported},
      {EIO, 1117},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Win32CodeFromErrno(c.error), c.code) << "errno " << c.error;
  }
}

TEST(Win32CodeFromErrno, UnnamedErrorsAreDeviceErrors) {
  EXPECT_EQ(Win32CodeFromErrno(EPIPE), 1117u);
  EXPECT_EQ(Win32CodeFromErrno(EXDEV), 1117u);
}

}  // namespace
}  // namespace stashwell

#endif  // _WIN32
