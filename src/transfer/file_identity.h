// Whether two files are identical: both exist, same length, same bytes.
#ifndef STASHWELL_TRANSFER_FILE_IDENTITY_H_
#define STASHWELL_TRANSFER_FILE_IDENTITY_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace stashwell {

// Failures to open, measure, read or close raise EInOutError.
bool FilesIdentical(Platform& os, const std::string& first,
                    const std::string& second);
uint64_t FileLength(Platform& os, const std::string& path);
bool ContentsEqual(Platform& os, const std::string& first,
                   const std::string& second);

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_FILE_IDENTITY_H_
