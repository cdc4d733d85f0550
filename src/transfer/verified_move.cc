#include "transfer/verified_move.h"

#include <utility>

#include "run/run_log.h"

namespace stashwell {

Attachment AttachmentAt(std::string source_path, const PathSyntax& syntax) {
  Attachment attachment;
  attachment.AttachmentName = FileNamePart(source_path, syntax);
  attachment.DestinationName = attachment.AttachmentName;
  attachment.SourcePath = std::move(source_path);
  return attachment;
}

PlacedBytes CopyAndLog(RunState& state, Destination& destination,
                       const Attachment& attachment, bool may_decide_again) {
  // Paths go to the platform whole, however long; the platform accepts or
  // refuses them with its own error code. A folder that cannot be opened
  // fails the copy with the open's code. The copy's name is made durable
  // by the folder's flush before the source goes.
  PlacedBytes placed;
  placed.copy_error = static_cast<int32_t>(destination.folder.CopyIn(
      attachment.SourcePath, attachment.DestinationName, &placed.receipt));
  const int32_t code = placed.copy_error;
  placed.name_proven = code == 0 && placed.receipt.copy.has_value();
  if (may_decide_again && code == static_cast<int32_t>(kErrorFileExists)) {
    return placed;
  }
  WriteLogLine(state,
               {"Moving from <", attachment.SourcePath, "> to <",
                destination.folder.PathOf(attachment.DestinationName), '>'});
  state.ActionLogged = true;
  if (code != 0) {
    WriteLogLine(state, {"Copy File returned error; Code ", code});
    state.ErrorsReported = true;
  }
  return placed;
}

bool VerifyAndDeleteSource(RunState& state, Destination& destination,
                           const Attachment& attachment,
                           const PlacedBytes& placed) {
  // A copy's receipt already looked the name up once the copy held it; a
  // duplicate's identical file, or a copy without that receipt, is looked
  // for now.
  if (!placed.name_proven &&
      destination.folder.Examine(attachment.DestinationName) !=
          PathKind::kFile) {
    WriteLogLine(
        state,
        {"Error - destination file not found after copy (source not deleted)"});
    state.ErrorsReported = true;
    return false;
  }
  // A file at the destination after a failed copy is not the copy: another
  // program put it there after placement looked. The source is the only
  // copy of the attachment, so it stays.
  if (placed.copy_error != 0) {
    WriteLogLine(state, {"Error - copy failed and another file is at the "
                         "destination (source not deleted)"});
    state.ErrorsReported = true;
    return false;
  }
  // Without knowing what was read and what holds its bytes, no deletion
  // can be proven.
  const CopyReceipt& receipt = placed.receipt;
  if (!receipt.source || !receipt.copy || !destination.folder.IsOpen()) {
    WriteLogLine(state, {"Error - could not delete source file"});
    state.ErrorsReported = true;
    return false;
  }
  destination.removals.Hold(state, attachment.SourcePath, *receipt.source,
                            attachment.DestinationName, *receipt.copy);
  return true;
}

}  // namespace stashwell
