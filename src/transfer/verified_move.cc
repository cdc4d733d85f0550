#include "transfer/verified_move.h"

#include "run/run_log.h"

namespace stashwell {

Folder* DestinationFolder(RunState& state, uint32_t* code) {
  if (!state.Destination) {
    *code = state.platform.OpenFolder(state.DestinationDir, &state.Destination);
    if (*code != 0) {
      state.Destination.reset();
      return nullptr;
    }
  }
  return state.Destination.get();
}

PathKind ExamineDestination(RunState& state, const std::string& path) {
  uint32_t open_code = 0;
  if (Folder* folder = DestinationFolder(state, &open_code)) {
    return folder->Examine(FileNamePart(path, state.syntax));
  }
  return state.platform.Examine(path);
}

int32_t CopyAndLog(RunState& state, bool may_decide_again,
                   CopyReceipt* receipt) {
  *receipt = {};
  // Paths go to the platform whole, however long; the platform accepts or
  // refuses them with its own error code. A folder that cannot be opened
  // fails the copy with the open's code.
  uint32_t result = 0;
  if (Folder* folder = DestinationFolder(state, &result)) {
    // The copy's bytes are on the disk when it returns; its name is made
    // durable by the folder's flush before the source goes.
    result = folder->CopyIn(state.SourcePath,
                            FileNamePart(state.DestinationPath, state.syntax),
                            receipt);
  }
  const int32_t code = static_cast<int32_t>(result);
  if (may_decide_again && code == static_cast<int32_t>(kErrorFileExists)) {
    return code;
  }
  WriteLogLine(state, {"Moving from <", state.SourcePath, "> to <",
                       state.DestinationPath, '>'});
  state.ActionLogged = true;
  if (code != 0) {
    WriteLogLine(state, {"Copy File returned error; Code ", code});
    state.ErrorsReported = true;
  }
  return code;
}

void VerifyAndDeleteSource(RunState& state, std::optional<int32_t> copy_code,
                           const CopyReceipt& receipt) {
  if (ExamineDestination(state, state.DestinationPath) != PathKind::kFile) {
    WriteLogLine(
        state,
        {"Error - destination file not found after copy (source not deleted)"});
    state.ErrorsReported = true;
    return;
  }
  // A file at the destination after a failed copy is not the copy: another
  // program put it there after placement looked. The source is the only
  // copy of the attachment, so it stays.
  if (copy_code.value_or(0) != 0) {
    WriteLogLine(state, {"Error - copy failed and another file is at the "
                         "destination (source not deleted)"});
    state.ErrorsReported = true;
    return;
  }
  // Without knowing what was read and what holds its bytes, no deletion
  // can be proven.
  if (!receipt.source || !receipt.copy || state.Destination == nullptr) {
    WriteLogLine(state, {"Error - could not delete source file"});
    state.ErrorsReported = true;
    return;
  }
  state.Removals.Hold(state, state.SourcePath, *receipt.source,
                      FileNamePart(state.DestinationPath, state.syntax),
                      *receipt.copy);
}

}  // namespace stashwell
