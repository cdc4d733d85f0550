// Wildcard searches of one folder, with Win32 attribute bits worked out from
// the POSIX file type and mode.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_SEARCH_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_SEARCH_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace stashwell {

// The names in a folder, listed once and listed again only when the folder
// has changed since. A run searches the message folder once per mask of the
// sweep, and listing a folder of a few hundred messages costs more than all
// the other file tests of a run together. The entries' times are never kept:
// each search looks at the matching files anew.
class FolderNames {
 public:
  // The names of the folder's entries other than "." and "..", in the
  // order the folder lists them; nullptr when the folder cannot be read.
  const std::vector<std::string>* Get(const std::string& folder);

 private:
  bool valid_ = false;
  std::string folder_;
  // The folder's identity and change times, taken before it was listed: a
  // change during or after the listing gives it new times.
  struct stat seen_ {};
  std::vector<std::string> names_;
};

// The entries of the mask's folder (everything before its last "/", or the
// current folder) whose names match its last component, in the order the
// folder lists them. "." and ".." never appear; entries carrying hidden,
// system, volume or directory bits outside `attributes` are left out. A
// missing or unreadable folder gives no entries.
std::vector<SearchEntry> FindMatchingEntries(const std::string& mask,
                                             uint32_t attributes,
                                             FolderNames& folders);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_SEARCH_H_
