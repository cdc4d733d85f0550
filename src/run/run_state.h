// RunState: every run-wide value, in one record that the driver creates at
// the start of the run and that lives to its end. The steps of the run read
// and update it; the steps that act on the current attachment take no other
// arguments. Its fields carry the names the run's rules give them.
#ifndef STASHWELL_RUN_RUN_STATE_H_
#define STASHWELL_RUN_RUN_STATE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/run_log.h"
#include "run/source_removals.h"

namespace stashwell {

struct RunState {
  explicit RunState(Platform& os) : platform(os), syntax(os.Syntax()) {}

  Platform& platform;
  const PathSyntax& syntax;
  LocaleFormats locale;  // regional settings, read once at the start

  // From the command line.
  std::string MessageFilePath;
  std::string DestinationDir;
  bool VcfOnly = false;
  std::string MessageDirPrefix;  // FolderPrefix of MessageFilePath

  // The run log, open from StartRunLog to FinishRunLog.
  std::string LogPath;
  std::optional<FileId> LogFileId;  // the log this run made
  std::unique_ptr<RunLog> Log;
  bool ErrorsReported = false;
  bool ActionLogged = false;

  // The message file scan.
  std::optional<FileId> MessageFileId;  // the message file the scan reads
  std::string FromLine;
  std::string ToLine;
  std::string SubjectLine;
  std::string SourcePath;

  // The destination folder, opened at its first use and kept open to the
  // end of the run (DestinationFolder).
  std::unique_ptr<Folder> Destination;
  // The sources whose removal waits for the destination folder's flush.
  SourceRemovals Removals;

  // The current attachment.
  std::string AttachmentName;
  std::string DestinationPath;  // DestinationDir, a separator and the name
};

}  // namespace stashwell

#endif  // STASHWELL_RUN_RUN_STATE_H_
