// The log's first line in the user's regional date and time formats.
#include <string>

#include "run/run_log.h"

namespace stashwell {
namespace {

void AppendNumber(std::string& out, int value, int min_digits) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < min_digits) {
    out.append(static_cast<size_t>(min_digits) - digits.size(), '0');
  }
  out += digits;
}

// Chinese, Japanese and Korean short-date pictures may hold era letters
// ("gg"), which the Gregorian calendar leaves empty.
bool DropsEraLetters(const LocaleFormats& locale) {
  const std::string language = AsciiLowerCase(locale.language);
  return language == "zh" || language == "ja" || language == "ko";
}

}  // namespace

std::string FormatShortDate(const LocaleFormats& locale,
                            const DateTimeFields& date) {
  const std::string& picture =
      locale.short_date.empty() ? std::string("m/d/yy") : locale.short_date;
  std::string out;
  size_t i = 0;
  while (i < picture.size()) {
    const char c = picture[i];
    const char letter = AsciiLower(c);
    if (c == '\'' || c == '"') {
      // Quoted text is copied without its quotes.
      const size_t close = picture.find(c, i + 1);
      const size_t end = close == std::string::npos ? picture.size() : close;
      out.append(picture, i + 1, end - i - 1);
      i = end == picture.size() ? end : end + 1;
      continue;
    }
    if (letter == 'd' || letter == 'm' || letter == 'y' || letter == 'g') {
      size_t run = 1;
      while (i + run < picture.size() && AsciiLower(picture[i + run]) == letter)
        ++run;
      i += run;
      if (letter == 'd') {
        if (run <= 2) {
          AppendNumber(out, date.day, static_cast<int>(run));
        } else if (run == 3) {
          out += locale.short_day[date.day_of_week];
        } else {
          out += locale.long_day[date.day_of_week];
        }
      } else if (letter == 'm') {
        if (run <= 2) {
          AppendNumber(out, date.month, static_cast<int>(run));
        } else if (run == 3) {
          out += locale.short_month[date.month - 1];
        } else {
          out += locale.long_month[date.month - 1];
        }
      } else if (letter == 'y') {
        if (run <= 2) {
          AppendNumber(out, date.year % 100, 2);
        } else {
          AppendNumber(out, date.year, 4);
        }
      } else if (!DropsEraLetters(locale)) {
        // Other locales have no era letters: a "g" is an ordinary letter.
        out.append(picture, i - run, run);
      } else {
        // The era names no era on the Gregorian calendar: the letters go,
        // and so do the blanks that parted them from the rest.
        while (i < picture.size() && picture[i] == ' ') ++i;
        if (i == picture.size()) {
          while (!out.empty() && out.back() == ' ') out.pop_back();
        }
      }
      continue;
    }
    if (c == '/') {
      out += locale.date_separator;
    } else {
      out += c;
    }
    ++i;
  }
  return out;
}

std::string FormatLongTime(const LocaleFormats& locale,
                           const DateTimeFields& time) {
  int hour = time.hour;
  if (locale.twelve_hour) {
    hour %= 12;
    if (hour == 0) hour = 12;
  }
  std::string clock;
  AppendNumber(clock, hour, locale.hour_leading_zero ? 2 : 1);
  clock += locale.time_separator;
  AppendNumber(clock, time.minute, 2);
  clock += locale.time_separator;
  AppendNumber(clock, time.second, 2);
  if (!locale.twelve_hour) return clock;
  const std::string& marker = time.hour < 12 ? locale.am : locale.pm;
  return locale.marker_before_time ? marker + " " + clock
                                   : clock + " " + marker;
}

std::string DateTimeLine(const LocaleFormats& locale,
                         const DateTimeFields& now) {
  std::string line = FormatShortDate(locale, now);
  if (now.hour != 0 || now.minute != 0 || now.second != 0) {
    line += ' ';
    line += FormatLongTime(locale, now);
  }
  return line;
}

}  // namespace stashwell
