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
// id is what the path leads to, as just learned (nothing: no file).
bool IsRunFile(RunState& state, const std::optional<FileId>& id) {
  Platform& os = state.platform;
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

// One attachment's placement while it is decided: where it goes, what the
// name was before any number, and what holds its bytes once a round has
// copied it or found its duplicate.
struct Deciding {
  RunState& state;
  Destination& destination;
  const std::string unnumbered;
  bool may_decide_again = false;
  // What the source led to when the run-file test asked, for the first
  // round's same-file test, which follows with no step of its own between;
  // a later round asks again.
  std::optional<std::optional<FileId>> source_id;
  Placement result;
  PlacedBytes bytes;

  Attachment& attachment() { return result.attachment; }
  // The path the log shows for the name decided for.
  std::string DestinationPath() {
    return destination.folder.PathOf(attachment().DestinationName);
  }
};

// The copy to DestinationName, with what its code means for the round.
Round CopyRound(Deciding& d) {
  d.result.how = d.attachment().DestinationName == d.unnumbered
                     ? Placed::kMoved
                     : Placed::kNumbered;
  d.bytes =
      CopyAndLog(d.state, d.destination, d.attachment(), d.may_decide_again);
  return d.may_decide_again &&
                 d.bytes.copy_error == static_cast<int32_t>(kErrorFileExists)
             ? Round::kTakenMeanwhile
             : Round::kVerify;
}

// Ends the placement with the source kept, for why.
Round Keep(Deciding& d, Kept why) {
  d.result.how = Placed::kKept;
  d.result.why = why;
  return Round::kDone;
}

// A different file, or anything that is no file, has the name: the
// attachment is moved under the first free numbered name of the unnumbered
// name.
Round PlaceUnderNumberedName(Deciding& d) {
  RunState& state = d.state;
  d.attachment().DestinationName = d.unnumbered;
  std::optional<std::string> numbered =
      FindFreeNumberedName(d.destination.folder, d.unnumbered, state.syntax);
  if (!numbered) {
    WriteLogLine(state, {"Error - no free numbered name for <",
                         d.DestinationPath(), "> (source not deleted)"});
    state.ErrorsReported = true;
    return Keep(d, Kept::kNoFreeName);
  }
  d.attachment().DestinationName = std::move(*numbered);
  WriteLogLine(state, {"Different version of <", d.attachment().SourcePath,
                       "> already in destination. Changing name to ", '"',
                       d.DestinationPath(), '"'});
  state.ActionLogged = true;
  return CopyRound(d);
}

// Decides for what holds DestinationName now, and acts.
Round PlaceOnce(Deciding& d) {
  RunState& state = d.state;
  Platform& os = state.platform;
  const Attachment& attachment = d.attachment();
  // The program's own folder's names are never an attachment's: one placed
  // there would take the folder's place, or be taken for it.
  const PathKind kind =
      IsOwnFolderName(attachment.DestinationName)
          ? PathKind::kOther
          : d.destination.folder.Examine(attachment.DestinationName);
  switch (kind) {
    case PathKind::kMissing:
    // A name the file system will not even look at (one it cannot store):
    // the copy tries it and reports the file system's own refusal.
    case PathKind::kUnreachable:
      return CopyRound(d);
    case PathKind::kFolder:
    case PathKind::kOther:
      // A folder, a device, a FIFO, a socket or a link that leads nowhere
      // holds the name as firmly as a file does.
      return PlaceUnderNumberedName(d);
    case PathKind::kFile:
      break;
  }
  // The same-file, run-file and identity questions go by the destination's
  // path: they compare what two names lead to.
  const std::string destination_path = d.DestinationPath();
  const std::optional<FileId> source_id =
      d.source_id ? *d.source_id : os.IdentityOf(attachment.SourcePath);
  d.source_id.reset();
  if (source_id && source_id == os.IdentityOf(destination_path)) {
    // The attachment already is in the destination folder, reached through
    // another spelling of the same path. It would be its own duplicate, and
    // deleting the "source" would delete the only copy. This is judged by
    // the file's identity on disk, not by the path texts, and it comes
    // after the filter, so a passed-over attachment leaves no line.
    WriteLogLine(state, {"File <", attachment.SourcePath,
                         "> is already in the destination folder - left in "
                         "place"});
    return Keep(d, Kept::kAlreadyInPlace);
  }
  // Another run may move either file away during the comparison: the
  // attachment is then treated as the existence tests would treat it a
  // moment later. Both were found to be files just now (the source by the
  // scan and its identity, the name by the lookup above and its identity),
  // so the comparison's opens alone tell whether either has gone since.
  ComparedFiles compared;
  switch (CompareFiles(os, attachment.SourcePath, destination_path, &compared,
                       KnownFiles::kBothFiles)) {
    case Comparison::kFirstGone:
      ReportMissingSource(state, attachment.SourcePath);
      return Keep(d, Kept::kSourceGone);
    case Comparison::kSecondGone:
      return CopyRound(d);
    case Comparison::kIdentical:
      // The identical file is known by the open that read it.
      if (!IsRunFile(state, compared.second->id)) {
        WriteLogLine(state,
                     {"Duplicate of <", attachment.SourcePath, "> already in <",
                      destination_path, "> - only deleting source"});
        state.ActionLogged = true;
        // No copy was made: the source goes once the identical file's
        // bytes (flushed by the comparison) and name are on the disk.
        d.result.how = Placed::kDuplicate;
        d.bytes = {0, {compared.first, compared.second}};
        return Round::kVerify;
      }
      [[fallthrough]];
    case Comparison::kDifferent:
      break;
  }
  return PlaceUnderNumberedName(d);
}

}  // namespace

void WriteHeaderEcho(RunState& state) {
  WriteLogLine(state, {state.FromLine});
  WriteLogLine(state, {state.ToLine});
  WriteLogLine(state, {state.SubjectLine});
}

void ReportMissingSource(RunState& state, const std::string& source_path) {
  WriteLogLine(state, {"Source File <", source_path, "> does not exist"});
  WriteHeaderEcho(state);
  state.ErrorsReported = true;
}

Placement PlaceAttachment(RunState& state, Destination& destination,
                          std::string source_path) {
  Attachment attachment = AttachmentAt(std::move(source_path), state.syntax);
  const std::string unnumbered = attachment.DestinationName;
  Deciding d{state, destination, unnumbered, false, {}, {}, {}};
  d.result.attachment = std::move(attachment);
  const std::string& source = d.attachment().SourcePath;

  // A path whose last component is empty, "." or ".." has no name to place
  // under, and in the destination folder it would name the folder or its
  // parent. This comes before the "/V" filter: without a name the filter
  // cannot tell what the attachment is, and a malformed attachment line is
  // reported rather than passed over in silence.
  if (IsUnusableName(d.attachment().AttachmentName)) {
    WriteLogLine(
        state, {"Error - no file name in <", source, "> (source not deleted)"});
    state.ErrorsReported = true;
    Keep(d, Kept::kNoFileName);
    return std::move(d.result);
  }

  if (state.VcfOnly && !MatchesMask(d.attachment().AttachmentName, kVcfMask)) {
    Keep(d, Kept::kFilteredOut);
    return std::move(d.result);
  }

  // A line naming the run's own log or message (in any spelling) would
  // copy a file that is being written or read and cannot be deleted: one
  // small message naming its log on every line made a numbered copy of an
  // ever-growing log per line. The source is not touched.
  d.source_id = state.platform.IdentityOf(source);
  if (IsRunFile(state, *d.source_id)) {
    WriteLogLine(state, {"Error - <", source,
                         "> is this run's own file (source not deleted)"});
    state.ErrorsReported = true;
    Keep(d, Kept::kRunFile);
    return std::move(d.result);
  }

  // When another program publishes a file under the name between the
  // decision and the publication, the decision is made again for that
  // file: identical, the copy is gone and the source is a duplicate;
  // different, the next numbered name. A name lost to a file is another
  // run's placed file, and the search goes on for as long as a numbered name
  // is free; only losses to anything else (a name that stays taken without a
  // file at it) are counted, and the last of kPlacementRounds of those
  // reports the taken name as any failed copy.
  for (int unexplained = 1;;) {
    d.may_decide_again = unexplained < kPlacementRounds;
    switch (PlaceOnce(d)) {
      case Round::kDone:
        return std::move(d.result);
      case Round::kVerify: {
        const bool held =
            VerifyAndDeleteSource(state, destination, d.attachment(), d.bytes);
        if (d.bytes.copy_error != 0) {
          Keep(d, Kept::kCopyFailed);
        } else if (!held) {
          Keep(d, Kept::kNotDeleted);
        }
        return std::move(d.result);
      }
      case Round::kTakenMeanwhile:
        if (destination.folder.Examine(d.attachment().DestinationName) !=
            PathKind::kFile) {
          ++unexplained;
        }
        break;
    }
  }
}

}  // namespace stashwell
