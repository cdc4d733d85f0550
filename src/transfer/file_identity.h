// Whether two files are identical: both exist, same length, same bytes.
#ifndef STASHWELL_TRANSFER_FILE_IDENTITY_H_
#define STASHWELL_TRANSFER_FILE_IDENTITY_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace stashwell {

enum class Comparison {
  kIdentical,
  kDifferent,
  kFirstGone,   // the first file is no longer there
  kSecondGone,  // the second file is no longer there
};

// Compares two files: both exist, same length, same bytes. Another program
// (another run) may move either file away while they are compared: a file
// whose open fails and that no longer exists is gone, which is no failure.
// Every other failure to open, measure, read or close raises EInOutError.
Comparison CompareFiles(Platform& os, const std::string& first,
                        const std::string& second);

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_FILE_IDENTITY_H_
