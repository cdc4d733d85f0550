// The Win32 error code of the same meaning as an errno value, so that logs
// and reports read the same on every system.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_ERRORS_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_ERRORS_H_

#include <cstdint>

namespace stashwell {

uint32_t Win32CodeFromErrno(int error);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_ERRORS_H_
