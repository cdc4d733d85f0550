// Windows path spellings that name no file on disk. Pure rules on byte
// strings, so they are tested on every system; the Win32 platform applies
// them before it asks the system about a path.
#ifndef STASHWELL_PLATFORM_WINDOWS_NAMES_H_
#define STASHWELL_PLATFORM_WINDOWS_NAMES_H_

#include <string_view>

#include "platform/path_syntax.h"

namespace stashwell {

// The long-path prefix "\\?\": the rest of the path is taken as written.
inline constexpr std::string_view kLongPathPrefix = "\\\\?\\";
// The device namespace "\\.\": what follows names a device, not a file.
inline constexpr std::string_view kDevicePrefix = "\\\\.\\";

// True when the last component of path (after "\", "/" or ":") is a
// reserved device name: CON, PRN, AUX, NUL, COM1-COM9 or LPT1-LPT9, in any
// letter case, alone or with an extension ("nul.txt"), with trailing dots
// or blanks ("con. ", "aux .pdf").
bool IsReservedDeviceName(std::string_view path, const PathSyntax& syntax);

// True when path cannot name a file on disk: a device name as above, or a
// path in the device namespace.
bool NamesNoDiskFile(std::string_view path, const PathSyntax& syntax);

// True when path holds "*" or "?" outside a leading long-path prefix.
bool HasWildcard(std::string_view path);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_WINDOWS_NAMES_H_
