// Local dates and times as the program counts them: a DayCount is the
// number of days since 30 December 1899 plus the fraction of the day. Pure
// conversions between DayCount, calendar fields and MS-DOS packed times.
#ifndef STASHWELL_PLATFORM_DATE_TIME_H_
#define STASHWELL_PLATFORM_DATE_TIME_H_

#include <cstdint>
#include <optional>

namespace stashwell {

using DayCount = double;

struct DateTimeFields {
  int year = 1899, month = 12, day = 30;  // month and day from 1
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int day_of_week = 6;  // 0 Sunday ... 6 Saturday
};

// Day number of a calendar date (1 January 1900 is 2). Gregorian calendar;
// the fields must form a valid date.
int64_t DayNumber(int year, int month, int day);
bool IsValidDate(int year, int month, int day);
// DayCount of the fields, milliseconds included.
DayCount EncodeDayCount(const DateTimeFields& fields);
// Calendar fields of a DayCount, rounded to the millisecond.
DateTimeFields DecodeDayCount(DayCount value);

// MS-DOS packed local date-time: year-1980 in bits 25-31, month 21-24,
// day 16-20, hour 11-15, minute 5-10, seconds halved in 0-4.
// Packs the fields (seconds rounded down to even); nothing when the year
// lies outside 1980-2107.
std::optional<uint32_t> PackDosTime(const DateTimeFields& fields);
// The DayCount of a packed time, seconds doubled; nothing when its fields
// form no valid date or time (a zero value has month 0 and day 0).
std::optional<DayCount> FileDateToDayCount(uint32_t packed);

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_DATE_TIME_H_
