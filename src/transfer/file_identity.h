// Whether two files are identical: both exist, same length, same bytes.
#ifndef STASHWELL_TRANSFER_FILE_IDENTITY_H_
#define STASHWELL_TRANSFER_FILE_IDENTITY_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace stashwell {

enum class Comparison {
  kIdentical,
  kDifferent,
  kFirstGone,   // the first file is no longer there
  kSecondGone,  // the second file is no longer there
};

// What an identical pair was found to be, through the opens that read them.
struct ComparedFiles {
  std::optional<FileProof> first;
  std::optional<FileProof> second;
};

// Compares two files: both exist, same length, same bytes. Another program
// (another run) may move either file away while they are compared: a file
// whose open fails and that no longer exists is gone, which is no failure.
// A file that changes while it is read is not identical. Every other
// failure to open, measure, read or close raises EInOutError.
//
// For an identical pair, *proofs gets both files as they were read, and
// the second file's bytes are flushed through its open, so that a source
// deleted as its duplicate relies on bytes on the disk; a pair whose
// second file cannot be flushed counts as different.
//
// Unless both paths were just found to be files (kBothFiles), a file is
// first looked for at each path: the first path's absence answers without
// looking at the second, and an absence opens nothing. Where the caller has
// just found both, the length opens tell whether either has gone since.
enum class KnownFiles {
  kNone,
  kBothFiles,
};
Comparison CompareFiles(Platform& os, const std::string& first,
                        const std::string& second, ComparedFiles* proofs,
                        KnownFiles known);

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_FILE_IDENTITY_H_
