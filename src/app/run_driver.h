// The run: reads the command line, sweeps stale work files, keeps the run
// log around the message file scan, and owns the failure policy.
#ifndef STASHWELL_APP_RUN_DRIVER_H_
#define STASHWELL_APP_RUN_DRIVER_H_

#include "platform/platform.h"

namespace stashwell {

// Runs the whole program on os and returns the process exit code: 0 for
// every run that reaches its end (the usage warning included), 1 after the
// error report of a failed checked file operation.
int RunProgram(Platform& os);

}  // namespace stashwell

#endif  // STASHWELL_APP_RUN_DRIVER_H_
