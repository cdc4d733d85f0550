// The sweep of the mail client's stale work files ("eud*.log", "eud*.tmp")
// in the message file's folder, at the start of every run.
#ifndef STASHWELL_APP_STALE_SWEEP_H_
#define STASHWELL_APP_STALE_SWEEP_H_

#include <cstdint>

#include "platform/platform.h"
#include "run/run_state.h"

namespace stashwell {

// Searched in this order, the log mask first.
inline constexpr const char* kStaleFileMasks[] = {"eud*.log", "eud*.tmp"};
// Plain, read-only and hidden files; folders, system files and volume
// labels are skipped.
inline constexpr uint32_t kStaleSearchAttributes =
    kAttrReadOnly | kAttrHidden | kAttrArchive;
// Days a work file's last write may lie from now, in either direction.
inline constexpr double kStaleAgeLimit = 1.0;

// The last write of a search entry as a DayCount: its packed local time
// (seconds in steps of 2), or, for a time that has no packed form (before
// 1980 or after 2107), the real local time of the last write.
DayCount EntryDayCount(const SearchEntry& entry);

// True when the entry's last write lies more than limit days away from
// now, in the past or in the future.
bool IsStale(const SearchEntry& entry, DayCount now, double limit);

// Removes every file matching a stale-file mask in MessageDirPrefix whose
// last write lies more than one day away from now. Reports nothing: the
// run log does not exist yet, and a failed search or removal changes
// nothing for the run.
void SweepStaleFiles(RunState& state);

}  // namespace stashwell

#endif  // STASHWELL_APP_STALE_SWEEP_H_
