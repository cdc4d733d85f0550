#include "scan/message_scan.h"

namespace stashwell {

void ScanMessageFile(RunState&) {}

}  // namespace stashwell
