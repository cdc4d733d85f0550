// The message file scan: reads the message file, remembers its header
// lines and hands every attachment line's file to placement.
#ifndef STASHWELL_SCAN_MESSAGE_SCAN_H_
#define STASHWELL_SCAN_MESSAGE_SCAN_H_

#include "run/run_state.h"

namespace stashwell {

void ScanMessageFile(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_SCAN_MESSAGE_SCAN_H_
