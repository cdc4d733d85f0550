#include "platform/win32/win32_locale.h"

#include <windows.h>

#include <optional>
#include <string>

namespace stashwell {
namespace {

// One locale setting; nothing when the locale has none or an empty one.
std::optional<std::string> Setting(LCID locale, LCTYPE type) {
  const int size = GetLocaleInfoA(locale, type, nullptr, 0);
  if (size <= 1) return std::nullopt;
  std::string text(static_cast<size_t>(size), '\0');
  const int written = GetLocaleInfoA(locale, type, text.data(), size);
  if (written <= 1) return std::nullopt;
  text.resize(static_cast<size_t>(written) - 1);  // drop the terminator
  return text;
}

void ReadInto(LCID locale, LCTYPE type, std::string* target) {
  if (auto text = Setting(locale, type)) *target = *text;
}

// Numeric settings are digits as text: "1" switches the option on.
void ReadFlag(LCID locale, LCTYPE type, bool when_one, bool* target) {
  if (auto text = Setting(locale, type)) *target = (*text == "1") == when_one;
}

}  // namespace

LocaleFormats ReadWin32LocaleFormats() {
  const LCID locale = GetThreadLocale();
  LocaleFormats formats;
  ReadInto(locale, LOCALE_SISO639LANGNAME, &formats.language);
  ReadInto(locale, LOCALE_SSHORTDATE, &formats.short_date);
  ReadInto(locale, LOCALE_SDATE, &formats.date_separator);
  ReadInto(locale, LOCALE_STIME, &formats.time_separator);
  ReadFlag(locale, LOCALE_ITLZERO, true, &formats.hour_leading_zero);
  // LOCALE_ITIME is 1 for the 24-hour clock.
  ReadFlag(locale, LOCALE_ITIME, false, &formats.twelve_hour);
  ReadFlag(locale, LOCALE_ITIMEMARKPOSN, true, &formats.marker_before_time);
  ReadInto(locale, LOCALE_S1159, &formats.am);
  ReadInto(locale, LOCALE_S2359, &formats.pm);
  for (int month = 0; month < 12; ++month) {
    ReadInto(locale, LOCALE_SABBREVMONTHNAME1 + month,
             &formats.short_month[month]);
    ReadInto(locale, LOCALE_SMONTHNAME1 + month, &formats.long_month[month]);
  }
  // Windows numbers the days from Monday (1) to Sunday (7); the formats
  // keep Sunday first.
  for (int day = 0; day < 7; ++day) {
    const int windows_day = (day + 6) % 7;  // Sunday -> 6, Monday -> 0
    ReadInto(locale, LOCALE_SABBREVDAYNAME1 + windows_day,
             &formats.short_day[day]);
    ReadInto(locale, LOCALE_SDAYNAME1 + windows_day, &formats.long_day[day]);
  }
  return formats;
}

}  // namespace stashwell
