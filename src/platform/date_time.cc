#include "platform/date_time.h"

#include <cmath>

namespace stashwell {
namespace {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30,
                                    31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Days from 1970-01-01 to 1899-12-30, the DayCount epoch.
constexpr int64_t kEpochOffset = 25569;

}  // namespace

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

int64_t DayNumber(int year, int month, int day) {
  return DaysFromCivil(year, static_cast<unsigned>(month),
                       static_cast<unsigned>(day)) +
         kEpochOffset;
}

DayCount EncodeDayCount(const DateTimeFields& f) {
  const double time = (f.hour * 3600000.0 + f.minute * 60000.0 +
                       f.second * 1000.0 + f.millisecond) /
                      86400000.0;
  const double day = static_cast<double>(DayNumber(f.year, f.month, f.day));
  // Before the epoch the fraction counts away from zero, as the day-count
  // convention has it.
  return day >= 0 ? day + time : day - time;
}

DateTimeFields DecodeDayCount(DayCount value) {
  // Milliseconds since the epoch, with the fraction taken as positive.
  const double whole = std::trunc(value);
  // Rounded half away from zero, without the math library's llround.
  const double ms = std::fabs(value - whole) * 86400000.0;
  int64_t ms_of_day = static_cast<int64_t>(ms);
  if (ms - static_cast<double>(ms_of_day) >= 0.5) ++ms_of_day;
  int64_t day = static_cast<int64_t>(whole);
  if (ms_of_day >= 86400000) {
    ms_of_day -= 86400000;
    day += value >= 0 ? 1 : -1;
  }
  // civil_from_days, from the 1899-12-30 epoch.
  const int64_t z = day - kEpochOffset + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  DateTimeFields f;
  f.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  f.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  f.year = static_cast<int>(yoe + era * 400 + (f.month <= 2 ? 1 : 0));
  f.hour = static_cast<int>(ms_of_day / 3600000);
  f.minute = static_cast<int>(ms_of_day / 60000 % 60);
  f.second = static_cast<int>(ms_of_day / 1000 % 60);
  f.millisecond = static_cast<int>(ms_of_day % 1000);
  // 30 December 1899 was a Saturday.
  f.day_of_week = static_cast<int>(((day % 7) + 7 + 6) % 7);
  return f;
}

std::optional<uint32_t> PackDosTime(const DateTimeFields& f) {
  if (f.year < 1980 || f.year > 2107) return std::nullopt;
  const uint32_t date =
      static_cast<uint32_t>(((f.year - 1980) << 9) | (f.month << 5) | f.day);
  const uint32_t time =
      static_cast<uint32_t>((f.hour << 11) | (f.minute << 5) | (f.second / 2));
  return date << 16 | time;
}

std::optional<DayCount> FileDateToDayCount(uint32_t packed) {
  DateTimeFields f;
  f.year = static_cast<int>(packed >> 25) + 1980;
  f.month = static_cast<int>(packed >> 21 & 0xF);
  f.day = static_cast<int>(packed >> 16 & 0x1F);
  f.hour = static_cast<int>(packed >> 11 & 0x1F);
  f.minute = static_cast<int>(packed >> 5 & 0x3F);
  f.second = static_cast<int>(packed & 0x1F) * 2;
  if (!IsValidDate(f.year, f.month, f.day) || f.hour > 23 || f.minute > 59 ||
      f.second > 59) {
    return std::nullopt;
  }
  return EncodeDayCount(f);
}

}  // namespace stashwell
