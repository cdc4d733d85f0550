#include "platform/posix/posix_time.h"

namespace stashwell {

DateTimeFields LocalFields(const timespec& instant) {
  struct tm local {};
  const time_t seconds = instant.tv_sec;
  localtime_r(&seconds, &local);
  DateTimeFields fields;
  fields.year = local.tm_year + 1900;
  fields.month = local.tm_mon + 1;
  fields.day = local.tm_mday;
  fields.hour = local.tm_hour;
  fields.minute = local.tm_min;
  // A leap second is shown as the last second of its minute.
  fields.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  fields.millisecond = static_cast<int>(instant.tv_nsec / 1000000);
  fields.day_of_week = local.tm_wday;
  return fields;
}

timespec ModificationTime(const struct stat& st) {
#ifdef __APPLE__
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

}  // namespace stashwell
