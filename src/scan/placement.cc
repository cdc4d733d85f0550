#include "scan/placement.h"

namespace stashwell {

void PlaceAttachment(RunState&) {}

}  // namespace stashwell
