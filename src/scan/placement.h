// What becomes of one attachment file that the scan found: moved under its
// own name, deleted as a duplicate, or moved under a numbered name.
#ifndef STASHWELL_SCAN_PLACEMENT_H_
#define STASHWELL_SCAN_PLACEMENT_H_

#include "run/run_state.h"

namespace stashwell {

// Works on SourcePath (an existing file) and DestinationDir (an existing
// folder); sets AttachmentName and DestinationPath.
void PlaceAttachment(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_SCAN_PLACEMENT_H_
