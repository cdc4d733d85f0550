// What becomes of one attachment file that the scan found: moved under its
// own name, deleted as a duplicate, or moved under a numbered name.
#ifndef STASHWELL_SCAN_PLACEMENT_H_
#define STASHWELL_SCAN_PLACEMENT_H_

#include <string>

#include "run/run_state.h"
#include "transfer/destination.h"
#include "transfer/verified_move.h"

namespace stashwell {

// How many times placement decides for one attachment when its name is
// found taken at the publication with no file at it (a name lost to another
// run's file is decided again without a bound).
inline constexpr int kPlacementRounds = 4;

// What placement did with one attachment.
enum class Placed {
  kMoved,      // copied under its own name; the source's removal is held
  kNumbered,   // copied under a numbered name; the source's removal is held
  kDuplicate,  // an identical file has the name; the source's removal is held
  kKept,       // the source stays where it is, for the reason in Kept
};

// Why the source stays.
enum class Kept {
  kNot,             // it does not: it was moved, or is a duplicate
  kFilteredOut,     // "/V", and the name does not match "*.vcf"
  kNoFileName,      // the path's last component names no file
  kRunFile,         // the path leads to the run's own log or message
  kAlreadyInPlace,  // the file already is in the destination folder
  kNoFreeName,      // every numbered name is taken
  kSourceGone,      // the source went while placement compared it
  kCopyFailed,      // the copy was refused or failed
  kNotDeleted,      // the copy, or the duplicate, could not be trusted
};

struct Placement {
  Placed how = Placed::kKept;
  Kept why = Kept::kNot;
  // The attachment as placement left it: DestinationName is the name it
  // was placed under, or last decided for.
  Attachment attachment;
};

// Decides for the attachment at source_path (an existing file) in the
// destination folder (DestinationDir, an existing folder): writes the log
// lines of the duplicate, renaming, same-file and unusable-name cases,
// leaves the copy and the source's removal to the verified move, and tells
// what it did.
Placement PlaceAttachment(RunState& state, Destination& destination,
                          std::string source_path);

// The header lines as they stood when an error was met, one log line each;
// a header not seen yet gives an empty line.
void WriteHeaderEcho(RunState& state);

// "Source File <source_path> does not exist" and the header echo.
void ReportMissingSource(RunState& state, const std::string& source_path);

}  // namespace stashwell

#endif  // STASHWELL_SCAN_PLACEMENT_H_
