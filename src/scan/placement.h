// What becomes of one attachment file that the scan found: moved under its
// own name, deleted as a duplicate, or moved under a numbered name.
#ifndef STASHWELL_SCAN_PLACEMENT_H_
#define STASHWELL_SCAN_PLACEMENT_H_

#include <string>
#include <string_view>

#include "platform/path_syntax.h"
#include "run/run_state.h"

namespace stashwell {

// How many times placement decides for one attachment when its name is
// found taken at the publication with no file at it (a name lost to another
// run's file is decided again without a bound).
inline constexpr int kPlacementRounds = 4;

// Works on SourcePath (an existing file) and DestinationDir (an existing
// folder); sets AttachmentName and DestinationPath, writes the log lines of
// the duplicate, renaming, same-file and unusable-name cases, and leaves
// the copy and the source's removal to the verified move.
void PlaceAttachment(RunState& state);

// The header lines as they stood when an error was met, one log line each;
// a header not seen yet gives an empty line.
void WriteHeaderEcho(RunState& state);

// "Source File <SourcePath> does not exist" and the header echo.
void ReportMissingSource(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_SCAN_PLACEMENT_H_
