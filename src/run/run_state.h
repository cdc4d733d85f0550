// RunState: every run-wide value, in one record that the driver creates at
// the start of the run and that lives to its end. The steps of the run read
// and update it; what belongs to one attachment (its paths, its name in the
// destination, the copy's result) is passed from step to step as values
// and never kept here. Its fields carry the names the run's rules give them.
#ifndef STASHWELL_RUN_RUN_STATE_H_
#define STASHWELL_RUN_RUN_STATE_H_

#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "run/run_log.h"

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

  // The message file: a run reads one, so what the scan learns of it is
  // the run's. The header lines are the last of each seen so far, emptied
  // when the scan starts.
  std::optional<FileId> MessageFileId;  // the message file the scan reads
  std::string FromLine;
  std::string ToLine;
  std::string SubjectLine;
};

}  // namespace stashwell

#endif  // STASHWELL_RUN_RUN_STATE_H_
