// Wildcard searches of one folder, with Win32 attribute bits worked out from
// the POSIX file type and mode.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_SEARCH_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_SEARCH_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace stashwell {

// The entries of the mask's folder (everything before its last "/", or the
// current folder) whose names match its last component, in the order the
// folder lists them. "." and ".." never appear; entries carrying hidden,
// system, volume or directory bits outside `attributes` are left out. A
// missing or unreadable folder gives no entries.
std::vector<SearchEntry> FindMatchingEntries(const std::string& mask,
                                             uint32_t attributes);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_SEARCH_H_
