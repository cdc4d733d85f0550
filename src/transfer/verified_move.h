// Moving one attachment: a copy that never overwrites, recorded in the log,
// then the deletion of the source once a file stands at the destination.
#ifndef STASHWELL_TRANSFER_VERIFIED_MOVE_H_
#define STASHWELL_TRANSFER_VERIFIED_MOVE_H_

#include "run/run_state.h"

namespace stashwell {

// Copies SourcePath to DestinationPath without overwriting and stores the
// result in CopyErrorCode; logs the move and sets ActionLogged whatever the
// outcome; logs the copy's error code and sets ErrorsReported when it
// failed.
void CopyAndLog(RunState& state);
// Deletes SourcePath when the move can be trusted: a file stands at
// DestinationPath and CopyErrorCode is 0. Logs every failure and sets
// ErrorsReported for it; the source then stays. When no copy was made for
// the current attachment (a duplicate), CopyErrorCode must be 0.
void VerifyAndDeleteSource(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_VERIFIED_MOVE_H_
