// Date and time settings from the C library's LC_TIME category, turned into
// the picture rules the run log uses. The translations from strftime text are
// pure so that they can be tested with any format.
#ifndef STASHWELL_PLATFORM_POSIX_POSIX_LOCALE_H_
#define STASHWELL_PLATFORM_POSIX_POSIX_LOCALE_H_

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace stashwell {

// The short-date picture of a strftime date format (nl_langinfo(D_FMT)):
// %d -> dd, %e -> d, %m -> mm, %y -> yy, %Y -> yyyy, %b/%h -> mmm,
// %B -> mmmm, %a -> ddd, %A -> dddd, %D -> mm/dd/yy, %F -> yyyy-mm-dd; a
// "-" or "_" flag on %d or %m drops the leading zero. Literal letters and
// quote characters are quoted so that they are copied as they are; other
// literal characters, "/" included, are copied bare (the date separator that
// goes with the picture is "/"). Directives without a picture equivalent are
// dropped.
std::string ShortDatePictureFromStrftime(std::string_view format);

// Sets twelve_hour, hour_leading_zero, time_separator and
// marker_before_time of formats from a strftime time format
// (nl_langinfo(T_FMT)); %r stands for time_ampm (nl_langinfo(T_FMT_AMPM)),
// %T for %H:%M:%S and %R for %H:%M. The first hour directive decides: %I
// and %l mean the 12-hour clock, %H and %I two-digit hours; the literal text
// after it up to the next directive is the separator; %p before it puts the
// marker before the time. Without an hour directive the fields keep their
// values.
void ApplyTimeFormat(std::string_view format, std::string_view time_ampm,
                     LocaleFormats* formats);

// The language part of a locale name: "ja" of "ja_JP.UTF-8", "de" of
// "de_DE@euro"; empty for "C" and "POSIX".
std::string LanguageOfLocaleName(std::string_view name);

// The locale the environment names for the time category, as
// setlocale(LC_TIME, "") reads it: LC_ALL, else LC_TIME, else LANG, the
// first that is set and not empty; "C" when none is.
std::string_view TimeLocaleName(const char* lc_all, const char* lc_time,
                                const char* lang);

// Reads the user's LC_TIME settings (the category is set from the
// environment; no other category is touched).
LocaleFormats ReadPosixLocaleFormats();

}  // namespace stashwell

#endif  // STASHWELL_PLATFORM_POSIX_POSIX_LOCALE_H_
