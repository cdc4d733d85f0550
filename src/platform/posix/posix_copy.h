// Copying one file without ever replacing another.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_COPY_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_COPY_H_

#include <cstdint>
#include <string>

namespace stashwell {

// Copies source to a new file at destination, created exclusively so that
// nothing standing there (or put there meanwhile) is ever replaced. The copy
// keeps the source's last-write time and permission bits. 0 when copied,
// else a Win32 code: 2 source missing, 3 destination folder missing, 5
// access denied, 80 destination exists, 112 disk full, ... A destination
// this call created is removed again when the copy fails part way.
uint32_t CopyFileExclusive(const std::string& source,
                           const std::string& destination);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_COPY_H_
