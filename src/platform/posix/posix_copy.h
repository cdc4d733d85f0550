// Copying one file without ever replacing another, and without a final name
// ever holding part of a file.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_COPY_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_COPY_H_

#include <cstdint>
#include <string>

namespace stashwell {

class FileSystemKinds;

// The prefix and extension of the temporary names that a copy uses in the
// destination folder where the file system has no unnamed temporary files:
// ".stashwell-<process>-<n>.tmp". One found there belongs to a run that was
// killed mid-copy and can be deleted.
inline constexpr char kTemporaryPrefix[] = ".stashwell-";
inline constexpr char kTemporaryExtension[] = ".tmp";

enum class CopyStaging {
  kUnnamedFirst,  // an unnamed temporary file (O_TMPFILE) where possible
  kNamedOnly,     // always a hidden temporary name; for tests
};

// Copies source to a new file at destination. The bytes go into a
// temporary file of the destination folder first, which is then published
// under the destination name by an operation that fails when the name is
// taken: nothing standing there (or put there meanwhile) is ever replaced,
// and the name never holds a partial copy, even when the process dies. The
// copy keeps the source's last-write time and permission bits. Only regular
// files are copied. 0 when copied, else a Win32 code: 2 source missing, 3
// destination folder missing, 5 access denied, 80 destination exists, 112
// disk full, ... A failed copy removes nothing but its own temporary file.
// kinds remembers which file systems are the kernel's generated ones.
uint32_t CopyFileExclusive(const std::string& source,
                           const std::string& destination,
                           CopyStaging staging = CopyStaging::kUnnamedFirst,
                           FileSystemKinds* kinds = nullptr);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_COPY_H_
