// Local calendar fields of POSIX times.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_TIME_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_TIME_H_

#include <sys/stat.h>

#include <ctime>

#include "platform/date_time.h"

namespace stashwell {

// The local date and time of an instant, milliseconds included.
DateTimeFields LocalFields(const timespec& instant);

// Last-write time of a stat result.
timespec ModificationTime(const struct stat& st);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_TIME_H_
