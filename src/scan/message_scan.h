// The message file scan: reads the message file, remembers its header
// lines and hands every attachment line's file to placement in the
// destination, whose held removals it settles before the message goes.
#ifndef STASHWELL_SCAN_MESSAGE_SCAN_H_
#define STASHWELL_SCAN_MESSAGE_SCAN_H_

#include "run/run_state.h"
#include "transfer/destination.h"

namespace stashwell {

void ScanMessageFile(RunState& state, Destination& destination);

}  // namespace stashwell

#endif  // STASHWELL_SCAN_MESSAGE_SCAN_H_
