#include "app/stale_sweep.h"

namespace stashwell {

void SweepStaleFiles(RunState&) {}

}  // namespace stashwell
