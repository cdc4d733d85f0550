#include "scan/placement.h"

#include <optional>
#include <utility>

#include "platform/name_mask.h"
#include "run/run_log.h"
#include "scan/numbered_name.h"
#include "transfer/file_identity.h"
#include "transfer/verified_move.h"

namespace stashwell {
namespace {

// The mask of the attachments that "/V" lets through.
constexpr char kVcfMask[] = "*.vcf";

// A last component that names no file in the folder it is joined to: the
// folder itself, or the folder above it.
bool IsUnusableName(const std::string& name) {
  return name.empty() || name == "." || name == "..";
}

// The run's own files: the log being written and the message being read.
// Their bytes on disk are no settled file: the log grows through its
// buffer (an empty one would pass for a copy of any empty attachment) and
// the message is deleted when the scan ends. Neither may stand in for the
// attachment as its duplicate.
// Each is known by the identity learned when the run opened it, and by
// what its name leads to now where the identity is unknown.
bool IsRunFile(RunState& state, const std::string& path) {
  Platform& os = state.platform;
  const std::optional<FileId> id = os.IdentityOf(path);
  if (!id) return false;
  const auto is = [&](const std::optional<FileId>& known,
                      const std::string& name) {
    return known ? id == known : id == os.IdentityOf(name);
  };
  return is(state.LogFileId, state.LogPath) ||
         is(state.MessageFileId, state.MessageFilePath);
}

// What one round of placement came to.
enum class Round {
  kDone,            // nothing more to do for this attachment
  kVerify,          // a copy was made (or failed), or a duplicate found
  kTakenMeanwhile,  // another program took the name first: decide again
};

// What the verified move needs of a round: the copy's code (nothing for a
// duplicate, where no copy was made), and what was read and what holds its
// bytes.
struct Moved {
  std::optional<int32_t> copy_code;
  CopyReceipt receipt;
};

// The copy to DestinationPath, with what its code means for the round.
Round CopyRound(RunState& state, bool may_decide_again, Moved* moved) {
  const int32_t code = CopyAndLog(state, may_decide_again, &moved->receipt);
  moved->copy_code = code;
  return may_decide_again && code == static_cast<int32_t>(kErrorFileExists)
             ? Round::kTakenMeanwhile
             : Round::kVerify;
}

// A different file, or anything that is no file, has the name: the
// attachment is moved under the first free numbered name of unnumbered.
Round PlaceUnderNumberedName(RunState& state, const std::string& unnumbered,
                             bool may_decide_again, Moved* moved) {
  state.DestinationPath = unnumbered;
  std::optional<std::string> numbered = FindFreeNumberedName(state);
  if (!numbered) {
    WriteLogLine(state, {"Error - no free numbered name for <",
                         state.DestinationPath, "> (source not deleted)"});
    state.ErrorsReported = true;
    return Round::kDone;
  }
  state.DestinationPath = std::move(*numbered);
  WriteLogLine(state, {"Different version of <", state.SourcePath,
                       "> already in destination. Changing name to ", '"',
                       state.DestinationPath, '"'});
  state.ActionLogged = true;
  return CopyRound(state, may_decide_again, moved);
}

// Decides for what holds DestinationPath now, and acts.
Round PlaceOnce(RunState& state, const std::string& unnumbered,
                bool may_decide_again, Moved* moved) {
  Platform& os = state.platform;
  // The program's own folder's names are never an attachment's: one placed
  // there would take the folder's place, or be taken for it.
  const PathKind kind =
      IsOwnFolderName(FileNamePart(state.DestinationPath, state.syntax))
          ? PathKind::kOther
          : ExamineDestination(state, state.DestinationPath);
  switch (kind) {
    case PathKind::kMissing:
    // A name the file system will not even look at (one it cannot store):
    // the copy tries it and reports the file system's own refusal.
    case PathKind::kUnreachable:
      return CopyRound(state, may_decide_again, moved);
    case PathKind::kFolder:
    case PathKind::kOther:
      // A folder, a device, a FIFO, a socket or a link that leads nowhere
      // holds the name as firmly as a file does.
      return PlaceUnderNumberedName(state, unnumbered, may_decide_again, moved);
    case PathKind::kFile:
      break;
  }
  if (os.IsSameFile(state.SourcePath, state.DestinationPath)) {
    // The attachment already is in the destination folder, reached through
    // another spelling of the same path. It would be its own duplicate, and
    // deleting the "source" would delete the only copy. This is judged by
    // the file's identity on disk, not by the path texts, and it comes
    // after the filter, so a passed-over attachment leaves no line.
    WriteLogLine(state, {"File <", state.SourcePath,
                         "> is already in the destination folder - left in "
                         "place"});
    return Round::kDone;
  }
  // Another run may move either file away during the comparison: the
  // attachment is then treated as the existence tests would treat it a
  // moment later.
  ComparedFiles compared;
  switch (
      CompareFiles(os, state.SourcePath, state.DestinationPath, &compared)) {
    case Comparison::kFirstGone:
      ReportMissingSource(state);
      return Round::kDone;
    case Comparison::kSecondGone:
      return CopyRound(state, may_decide_again, moved);
    case Comparison::kIdentical:
      if (!IsRunFile(state, state.DestinationPath)) {
        WriteLogLine(state,
                     {"Duplicate of <", state.SourcePath, "> already in <",
                      state.DestinationPath, "> - only deleting source"});
        state.ActionLogged = true;
        // No copy was made: the source goes once the identical file's
        // bytes (flushed by the comparison) and name are on the disk.
        moved->copy_code = std::nullopt;
        moved->receipt = {compared.first, compared.second};
        return Round::kVerify;
      }
      [[fallthrough]];
    case Comparison::kDifferent:
      break;
  }
  return PlaceUnderNumberedName(state, unnumbered, may_decide_again, moved);
}

}  // namespace

void WriteHeaderEcho(RunState& state) {
  WriteLogLine(state, {state.FromLine});
  WriteLogLine(state, {state.ToLine});
  WriteLogLine(state, {state.SubjectLine});
}

void ReportMissingSource(RunState& state) {
  WriteLogLine(state, {"Source File <", state.SourcePath, "> does not exist"});
  WriteHeaderEcho(state);
  state.ErrorsReported = true;
}

void PlaceAttachment(RunState& state) {
  state.AttachmentName = FileNamePart(state.SourcePath, state.syntax);
  state.DestinationPath =
      state.DestinationDir + state.syntax.separator + state.AttachmentName;

  // A path whose last component is empty, "." or ".." has no name to place
  // under, and joined to the destination it would name the folder or its
  // parent. This comes before the "/V" filter: without a name the filter
  // cannot tell what the attachment is, and a malformed attachment line is
  // reported rather than passed over in silence.
  if (IsUnusableName(state.AttachmentName)) {
    WriteLogLine(state, {"Error - no file name in <", state.SourcePath,
                         "> (source not deleted)"});
    state.ErrorsReported = true;
    return;
  }

  if (state.VcfOnly && !MatchesMask(state.AttachmentName, kVcfMask)) return;

  // A line naming the run's own log or message (in any spelling) would
  // copy a file that is being written or read and cannot be deleted: one
  // small message naming its log on every line made a numbered copy of an
  // ever-growing log per line. The source is not touched.
  if (IsRunFile(state, state.SourcePath)) {
    WriteLogLine(state, {"Error - <", state.SourcePath,
                         "> is this run's own file (source not deleted)"});
    state.ErrorsReported = true;
    return;
  }

  // When another program publishes a file under the name between the
  // decision and the publication, the decision is made again for that
  // file: identical, the copy is gone and the source is a duplicate;
  // different, the next numbered name. A name lost to a file is another
  // run's placed file, and the search goes on for as long as a numbered name
  // is free; only losses to anything else (a name that stays taken without a
  // file at it) are counted, and the last of kPlacementRounds of those
  // reports the taken name as any failed copy.
  const std::string unnumbered = state.DestinationPath;
  Moved moved;
  for (int unexplained = 1;;) {
    switch (
        PlaceOnce(state, unnumbered, unexplained < kPlacementRounds, &moved)) {
      case Round::kDone:
        return;
      case Round::kVerify:
        VerifyAndDeleteSource(state, moved.copy_code, moved.receipt);
        return;
      case Round::kTakenMeanwhile:
        if (ExamineDestination(state, state.DestinationPath) !=
            PathKind::kFile) {
          ++unexplained;
        }
        break;
    }
  }
}

}  // namespace stashwell
