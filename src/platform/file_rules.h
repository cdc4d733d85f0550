// The rules both platforms share about what stands at a path: what counts
// as a file, what an open for each use and a deletion do with a folder, a
// device, a FIFO or a link found there, and which Win32 code they refuse
// with. Each platform only finds out what stands at the path (stat and
// lstat on POSIX; the search, the attributes and the handle's type on
// Windows) and asks these functions for the answer, so a path gives the
// same answer on every system.
#ifndef STASHWELL_PLATFORM_FILE_RULES_H_
#define STASHWELL_PLATFORM_FILE_RULES_H_

#include <cstdint>

#include "platform/platform.h"

namespace stashwell {

// What a platform found at a path, before any rule is applied.
enum class Found {
  // No entry of that name, or a spelling that names no entry at all.
  kNothing,
  // A regular file on a file system that stores files.
  kDiskFile,
  // A regular file that the kernel makes up as it is read (/proc, /sys).
  kGeneratedFile,
  kFolder,
  // A link at the name itself, not followed: where a rule looks at the
  // name alone, or a link that leads nowhere.
  kLink,
  // A device, FIFO, socket, console, port or pipe, or a Windows spelling
  // of one ("NUL", "COM1.log", "\\.\pipe\x"): a name through which someone
  // else reaches something that is no file.
  kSpecial,
  // The system will not tell: a folder on the way may not be entered, or
  // the disk or the network fails.
  kUnreachable,
};

// What Examine answers for what it found (links followed): only a regular
// file on a disk is a file; a link that leads nowhere, a generated file and
// anything special is something else that holds the name.
PathKind KindOf(Found found);

// The Win32 code with which an open for use refuses what it found at the
// path (links followed), or 0 when the open may go on. A folder is refused
// (5) for every use, as Windows refuses to open one as a file. Anything
// else that is no disk file is refused as the log (5: its name is how
// someone else reaches it, so it is left standing, and no run may write
// into it) and is missing (2) for the reading uses, since no file the mail
// client saved stands there.
uint32_t OpenRefusal(FileUse use, Found found);

// What the log's open does with the name it found at the log's path, the
// name itself looked at (no link followed). names is the number of names of
// a disk file found there.
enum class LogName {
  kWrite,    // nothing, or a disk file of its own: created or cut to zero
  kReplace,  // a link, or a second name of another file: that name is
             // removed (what it leads to is left alone) and the log made
             // anew, exclusively
  kRefuse,   // anything else: refused with OpenRefusal(FileUse::kLog, ...)
};
LogName TreatLogName(Found found, uint64_t names);

// Whether RemoveFile may delete the name that holds what it found there,
// the name itself looked at (no link followed). A disk file may go (when it
// is not read-only and not held open for a use that shares no deletion,
// which the platform checks); a link goes as a name, and what it leads to
// stays; a folder, a generated file and anything special stay.
bool MayRemove(Found found);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_FILE_RULES_H_
