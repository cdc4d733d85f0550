// Moving one attachment: a copy into the destination folder that never
// overwrites, recorded in the log, then the deletion of the source once a
// file stands at the destination.
#ifndef STASHWELL_TRANSFER_VERIFIED_MOVE_H_
#define STASHWELL_TRANSFER_VERIFIED_MOVE_H_

#include <cstdint>
#include <optional>

#include "run/run_state.h"

namespace stashwell {

// The run's destination folder (DestinationDir), opened at the first call
// and kept in RunState; nullptr and *code set when it cannot be opened, and
// the next call tries again.
Folder* DestinationFolder(RunState& state, uint32_t* code);

// What path (a name in DestinationDir) names, looked up in the destination
// folder the run holds, where the copy goes; by the path when the folder
// cannot be opened.
PathKind ExamineDestination(RunState& state, const std::string& path);

// Copies SourcePath to DestinationPath (its name in the destination folder)
// without overwriting and returns the copy's code (0 when copied, the copy's
// bytes on the disk, *receipt telling what was read and made); logs the
// move and sets ActionLogged whatever the outcome; logs the copy's error
// code and sets ErrorsReported when it failed. With may_decide_again, a
// copy that finds the name taken (80: another program published a file
// there first) logs nothing, so that placement can decide again for that
// file.
int32_t CopyAndLog(RunState& state, bool may_decide_again,
                   CopyReceipt* receipt);

// Deletes SourcePath when the move can be trusted: a file stands at
// DestinationPath, copy_code, the code of this attachment's copy, is 0
// (nothing when no copy was made: a duplicate), and *receipt tells which
// source was read and which file at DestinationPath holds its bytes (the
// copy, or the duplicate's identical file). The removal waits for the
// destination folder's flush (SourceRemovals). Logs every failure and sets
// ErrorsReported for it; the source then stays.
void VerifyAndDeleteSource(RunState& state, std::optional<int32_t> copy_code,
                           const CopyReceipt& receipt);

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_VERIFIED_MOVE_H_
