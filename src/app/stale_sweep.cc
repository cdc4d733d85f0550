#include "app/stale_sweep.h"

#include <cmath>
#include <optional>
#include <string>

namespace stashwell {

DayCount EntryDayCount(const SearchEntry& entry) {
  // A time the system cannot convert counts as the earliest day: the file
  // is stale.
  if (!entry.last_write) return 0;
  const std::optional<uint32_t> packed = PackDosTime(*entry.last_write);
  if (packed) {
    const std::optional<DayCount> day = FileDateToDayCount(*packed);
    if (day) return *day;
  }
  // A time outside the packed range is judged from the file's own time,
  // which lies decades away from now: such a file counts as stale.
  return EncodeDayCount(*entry.last_write);
}

bool IsStale(const SearchEntry& entry, DayCount now, double limit) {
  return std::fabs(now - EntryDayCount(entry)) > limit;
}

void SweepStaleFiles(RunState& state) {
  Platform& os = state.platform;
  for (const char* mask : kStaleFileMasks) {
    const std::vector<SearchEntry> entries =
        os.FindMatching(state.MessageDirPrefix + mask, kStaleSearchAttributes);
    for (const SearchEntry& entry : entries) {
      // Now is taken per entry, as the age test does for every file.
      if (IsStale(entry, os.LocalNow(), kStaleAgeLimit)) {
        // A file that cannot be removed (read-only, in use) simply stays.
        os.RemoveFile(state.MessageDirPrefix + entry.name);
      }
    }
  }
}

}  // namespace stashwell
