// The sweep of the mail client's stale work files ("eud*.log", "eud*.tmp")
// in the message file's folder, at the start of every run.
#ifndef STASHWELL_APP_STALE_SWEEP_H_
#define STASHWELL_APP_STALE_SWEEP_H_

#include "run/run_state.h"

namespace stashwell {

// Removes every file matching a stale-file mask in MessageDirPrefix whose
// last write lies more than one day away from now. Reports nothing.
void SweepStaleFiles(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_APP_STALE_SWEEP_H_
