// Moving one attachment: a copy into the destination folder that never
// overwrites, recorded in the log, then the deletion of the source once a
// file stands at the destination.
#ifndef STASHWELL_TRANSFER_VERIFIED_MOVE_H_
#define STASHWELL_TRANSFER_VERIFIED_MOVE_H_

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "run/run_state.h"
#include "transfer/destination.h"

namespace stashwell {

// One attachment on its road into the destination folder.
struct Attachment {
  // The attachment line's path, without prefix and quotes: an existing
  // file when placement starts.
  std::string SourcePath;
  // The file-name part of SourcePath.
  std::string AttachmentName;
  // The name it takes in the destination folder: AttachmentName, or the
  // numbered name placement chose instead.
  std::string DestinationName;
};

// The attachment the path names, to be placed under its own name.
Attachment AttachmentAt(std::string source_path, const PathSyntax& syntax);

// What holds the attachment's bytes under its destination name when the
// verification starts: the copy CopyAndLog made (copy_error 0), a copy
// that failed (its code), or the identical file a duplicate found there,
// which needs no copy (copy_error 0). The receipt tells which source was
// read and which file holds its bytes; nothing where that is not known.
struct PlacedBytes {
  int32_t copy_error = 0;
  CopyReceipt receipt;
  // The receipt's copy is what the destination name held when the copy had
  // given it, looked up then by the name: a file stands there.
  bool name_proven = false;
};

// Copies SourcePath to DestinationName in the destination folder without
// overwriting (the copy's bytes are on the disk when it succeeds); logs the
// move and sets ActionLogged whatever the outcome; logs the copy's error
// code and sets ErrorsReported when it failed. With may_decide_again, a
// copy that finds the name taken (80: another program published a file
// there first) logs nothing, so that placement can decide again for that
// file.
PlacedBytes CopyAndLog(RunState& state, Destination& destination,
                       const Attachment& attachment, bool may_decide_again);

// Deletes SourcePath when the move can be trusted: a file stands at
// DestinationName, the copy did not fail, and the receipt tells which
// source was read and which file holds its bytes. The removal waits for
// the destination folder's flush (SourceRemovals); true when it is held.
// Logs every other outcome and sets ErrorsReported for it; the source then
// stays.
bool VerifyAndDeleteSource(RunState& state, Destination& destination,
                           const Attachment& attachment,
                           const PlacedBytes& placed);

}  // namespace stashwell

#endif  // STASHWELL_TRANSFER_VERIFIED_MOVE_H_
