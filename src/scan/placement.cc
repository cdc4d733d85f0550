#include "scan/placement.h"

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
bool IsRunFile(RunState& state, const std::string& path) {
  Platform& os = state.platform;
  return os.IsSameFile(path, state.LogPath) ||
         os.IsSameFile(path, state.MessageFilePath);
}

// A different file has the name: the attachment is moved under the first
// free numbered name. False when no numbered name is free.
bool PlaceUnderNumberedName(RunState& state) {
  const std::string unnumbered = state.DestinationPath;
  if (!FindFreeNumberedName(state)) {
    WriteLogLine(state, {"Error - no free numbered name for <", unnumbered,
                         "> (source not deleted)"});
    state.ErrorsReported = true;
    return false;
  }
  WriteLogLine(state, {"Different version of <", state.SourcePath,
                       "> already in destination. Changing name to ", '"',
                       state.DestinationPath, '"'});
  state.ActionLogged = true;
  CopyAndLog(state);
  return true;
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

std::string FileNamePart(std::string_view path, const PathSyntax& syntax) {
  const size_t last = LastCharWhere(path, syntax, [&](char c) {
    return syntax.EndsFolder(c) ||
           (syntax.alternate_separator != 0 && c == syntax.alternate_separator);
  });
  if (last == std::string_view::npos) return std::string(path);
  return std::string(path.substr(last + 1));
}

void PlaceAttachment(RunState& state) {
  Platform& os = state.platform;
  // No copy has been made for this attachment yet; the verification reads
  // this to tell a failed copy from none.
  state.CopyErrorCode = 0;
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

  if (!os.IsExistingFile(state.DestinationPath)) {
    CopyAndLog(state);
  } else if (os.IsSameFile(state.SourcePath, state.DestinationPath)) {
    // The attachment already is in the destination folder, reached through
    // another spelling of the same path. It would be its own duplicate, and
    // deleting the "source" would delete the only copy. This is judged by
    // the file's identity on disk, not by the path texts, and it comes
    // after the filter, so a passed-over attachment leaves no line.
    WriteLogLine(state, {"File <", state.SourcePath,
                         "> is already in the destination folder - left in "
                         "place"});
    return;
  } else {
    // Another run may move either file away during the comparison: the
    // attachment is then treated as the existence tests would treat it a
    // moment later.
    switch (CompareFiles(os, state.SourcePath, state.DestinationPath)) {
      case Comparison::kFirstGone:
        ReportMissingSource(state);
        return;
      case Comparison::kSecondGone:
        CopyAndLog(state);
        break;
      case Comparison::kIdentical:
        if (!IsRunFile(state, state.DestinationPath)) {
          WriteLogLine(state,
                       {"Duplicate of <", state.SourcePath, "> already in <",
                        state.DestinationPath, "> - only deleting source"});
          state.ActionLogged = true;
          break;
        }
        [[fallthrough]];
      case Comparison::kDifferent:
        if (!PlaceUnderNumberedName(state)) return;
        break;
    }
  }
  VerifyAndDeleteSource(state);
}

}  // namespace stashwell
