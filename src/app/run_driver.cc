#include "app/run_driver.h"

#include <new>

#include "app/command_line.h"
#include "app/stale_sweep.h"
#include "run/fixed_texts.h"
#include "run/in_out_error.h"
#include "run/run_log.h"
#include "run/run_state.h"
#include "scan/message_scan.h"
#include "transfer/destination.h"

namespace stashwell {
namespace {

void Run(RunState& state, Destination& destination,
         const std::vector<std::string>& arguments) {
  state.MessageFilePath = GetArgument(arguments, 1);
  state.DestinationDir = GetArgument(arguments, 2);
  state.VcfOnly = IsVcfSwitch(arguments);
  state.MessageDirPrefix = FolderPrefix(state.MessageFilePath, state.syntax);
  SweepStaleFiles(state);
  StartRunLog(state);
  ScanMessageFile(state, destination);
  FinishRunLog(state);
}

// After a failure: what the run holds is settled (the sources of its copies
// go once their names are durable, the held lines reach the log) and what
// the log buffer holds is handed to the file, so the log shows every line
// written so far. A failure while settling drops what was not yet done:
// those sources stay.
void KeepWhatTheRunDid(RunState& state, Destination& destination) {
  if (!state.Log) return;
  try {
    destination.removals.Settle(state);
  } catch (const EInOutError&) {
  } catch (const std::bad_alloc&) {
  }
  state.Log->FlushBestEffort();
}

}  // namespace

int RunProgram(Platform& os) {
  const std::vector<std::string> arguments =
      SplitArguments(os.ReadCommandLine(), os.Syntax());
  if (CountArguments(arguments) < 2) {
    os.Tell(Notice::kWarning, kUsageText, kUsageCaption);
    return 0;
  }
  RunState state(os);
  // The destination folder and the removals held for its flush live as
  // long as the run, so that a failure can still settle them.
  Destination destination(state);
  try {
    state.locale = os.ReadLocaleFormats();
    Run(state, destination, arguments);
  } catch (const std::bad_alloc&) {
    // Out of memory ends the run like a failed file operation: the lines
    // already written are kept and the report says what happened.
    KeepWhatTheRunDid(state, destination);
    os.Tell(Notice::kError,
            FailureReportText(kOutOfMemoryKind, os.ProgramFileName(),
                              os.CodeOffset(__builtin_return_address(0)),
                              kOutOfMemoryMessage),
            kFailureReportCaption);
    return 1;
  } catch (const EInOutError& error) {
    // Lines written before the failure stay in the log: what the buffer
    // still holds is handed over before the report.
    KeepWhatTheRunDid(state, destination);
    os.Tell(Notice::kError,
            FailureReportText(kInOutErrorKind, os.ProgramFileName(),
                              os.CodeOffset(error.location()), error.message()),
            kFailureReportCaption);
    return 1;
  }
  return 0;
}

}  // namespace stashwell
