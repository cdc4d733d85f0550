#include "platform/posix/posix_locale.h"

#include <langinfo.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace stashwell {
namespace {

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// One strftime conversion: its flag (0 for none) and its letter. Widths and
// the E and O modifiers are read and ignored.
struct Directive {
  char flag = 0;
  char conversion = 0;  // 0 when the text ends inside the directive
  size_t end = 0;       // index after the directive
};

Directive ReadDirective(std::string_view format, size_t percent) {
  Directive d;
  size_t i = percent + 1;
  while (i < format.size() && std::strchr("_-0^#", format[i]) != nullptr) {
    d.flag = format[i];
    ++i;
  }
  while (i < format.size() && format[i] >= '0' && format[i] <= '9') ++i;
  if (i < format.size() && (format[i] == 'E' || format[i] == 'O')) ++i;
  if (i < format.size()) d.conversion = format[i++];
  d.end = i;
  return d;
}

// Appends literal text so that the picture copies it unchanged: letters and
// quote characters inside quotes, everything else bare.
class PictureWriter {
 public:
  void Literal(char c) {
    if (IsAsciiLetter(c)) {
      OpenQuote('\'');
      out_ += c;
    } else if (c == '\'') {
      OpenQuote('"');
      out_ += c;
    } else if (c == '"') {
      OpenQuote('\'');
      out_ += c;
    } else {
      CloseQuote();
      out_ += c;
    }
  }
  void Field(std::string_view picture) {
    CloseQuote();
    out_ += picture;
  }
  std::string Finish() {
    CloseQuote();
    return out_;
  }

 private:
  void OpenQuote(char quote) {
    if (quote_ == quote) return;
    CloseQuote();
    out_ += quote;
    quote_ = quote;
  }
  void CloseQuote() {
    if (quote_ == 0) return;
    out_ += quote_;
    quote_ = 0;
  }

  std::string out_;
  char quote_ = 0;
};

// The format with %r, %T and %R written out, so that the hour directive can
// be found.
std::string ExpandTimeFormat(std::string_view format,
                             std::string_view time_ampm, bool expand_r) {
  std::string out;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    const Directive d = ReadDirective(format, i);
    if (d.conversion == 'r' && expand_r) {
      out += ExpandTimeFormat(
          time_ampm.empty() ? std::string_view("%I:%M:%S %p") : time_ampm, "",
          false);
    } else if (d.conversion == 'T') {
      out += "%H:%M:%S";
    } else if (d.conversion == 'R') {
      out += "%H:%M";
    } else {
      out.append(format.substr(i, d.end - i));
    }
    i = d.end;
  }
  return out;
}

std::string LangInfo(nl_item item, const char* fallback) {
  const char* text = nl_langinfo(item);
  return text != nullptr && *text != '\0' ? std::string(text)
                                          : std::string(fallback);
}

}  // namespace

std::string ShortDatePictureFromStrftime(std::string_view format) {
  PictureWriter picture;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      picture.Literal(format[i++]);
      continue;
    }
    const Directive d = ReadDirective(format, i);
    const bool no_pad = d.flag == '-' || d.flag == '_';
    switch (d.conversion) {
      case 'd':
        picture.Field(no_pad ? "d" : "dd");
        break;
      case 'e':
        picture.Field("d");
        break;
      case 'm':
        picture.Field(no_pad ? "m" : "mm");
        break;
      case 'y':
        picture.Field("yy");
        break;
      case 'Y':
        picture.Field("yyyy");
        break;
      case 'b':
      case 'h':
        picture.Field("mmm");
        break;
      case 'B':
        picture.Field("mmmm");
        break;
      case 'a':
        picture.Field("ddd");
        break;
      case 'A':
        picture.Field("dddd");
        break;
      case 'D':
        picture.Field("mm/dd/yy");
        break;
      case 'F':
        picture.Field("yyyy-mm-dd");
        break;
      case 'n':
      case 't':
        picture.Literal(' ');
        break;
      case '%':
        picture.Literal('%');
        break;
      default:
        break;  // no picture equivalent
    }
    i = d.end;
  }
  return picture.Finish();
}

void ApplyTimeFormat(std::string_view format, std::string_view time_ampm,
                     LocaleFormats* formats) {
  const std::string expanded = ExpandTimeFormat(format, time_ampm, true);
  bool marker_seen = false;
  size_t i = 0;
  while (i < expanded.size()) {
    if (expanded[i] != '%') {
      ++i;
      continue;
    }
    const Directive d = ReadDirective(expanded, i);
    i = d.end;
    if (d.conversion == 'p' || d.conversion == 'P') {
      marker_seen = true;
      continue;
    }
    if (d.conversion != 'H' && d.conversion != 'I' && d.conversion != 'k' &&
        d.conversion != 'l') {
      continue;
    }
    const bool no_pad = d.flag == '-' || d.flag == '_';
    formats->twelve_hour = d.conversion == 'I' || d.conversion == 'l';
    formats->hour_leading_zero =
        (d.conversion == 'H' || d.conversion == 'I') && !no_pad;
    formats->marker_before_time = marker_seen;
    const size_t next = expanded.find('%', i);
    const std::string separator = expanded.substr(
        i, next == std::string::npos ? std::string::npos : next - i);
    formats->time_separator = separator.empty() ? ":" : separator;
    return;
  }
}

std::string LanguageOfLocaleName(std::string_view name) {
  const size_t end = name.find_first_of("_.@");
  const std::string_view language = name.substr(0, end);
  // "C" and "POSIX" name no language.
  if (language == "C" || language == "POSIX") return std::string();
  return std::string(language);
}

std::string_view TimeLocaleName(const char* lc_all, const char* lc_time,
                                const char* lang) {
  for (const char* name : {lc_all, lc_time, lang}) {
    if (name != nullptr && *name != '\0') return name;
  }
  return "C";
}

LocaleFormats ReadPosixLocaleFormats() {
  // Only the time category follows the user's settings; character handling
  // stays as the program expects it. A C or POSIX locale in any character
  // set ("C.UTF-8") keeps the C library's own time conventions, which need
  // no locale files: loading C.UTF-8's took 60 to 100 us, a few per cent of
  // a typical run. Where LOCPATH is set, a locale of that name may be
  // another one, and it is loaded.
  const bool c_conventions =
      LanguageOfLocaleName(TimeLocaleName(std::getenv("LC_ALL"),
                                          std::getenv("LC_TIME"),
                                          std::getenv("LANG")))
          .empty() &&
      std::getenv("LOCPATH") == nullptr;
  const char* name = std::setlocale(LC_TIME, c_conventions ? "C" : "");
  LocaleFormats formats;
  formats.language = LanguageOfLocaleName(name != nullptr ? name : "");
  formats.short_date =
      ShortDatePictureFromStrftime(LangInfo(D_FMT, "%m/%d/%y"));
  formats.date_separator = "/";
  ApplyTimeFormat(LangInfo(T_FMT, "%H:%M:%S"), LangInfo(T_FMT_AMPM, ""),
                  &formats);
  formats.am = LangInfo(AM_STR, "am");
  formats.pm = LangInfo(PM_STR, "pm");
  static constexpr nl_item kShortMonths[12] = {
      ABMON_1, ABMON_2, ABMON_3, ABMON_4,  ABMON_5,  ABMON_6,
      ABMON_7, ABMON_8, ABMON_9, ABMON_10, ABMON_11, ABMON_12};
  static constexpr nl_item kLongMonths[12] = {MON_1, MON_2,  MON_3,  MON_4,
                                              MON_5, MON_6,  MON_7,  MON_8,
                                              MON_9, MON_10, MON_11, MON_12};
  static constexpr nl_item kShortDays[7] = {ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4,
                                            ABDAY_5, ABDAY_6, ABDAY_7};
  static constexpr nl_item kLongDays[7] = {DAY_1, DAY_2, DAY_3, DAY_4,
                                           DAY_5, DAY_6, DAY_7};
  for (int i = 0; i < 12; ++i) {
    formats.short_month[i] = LangInfo(kShortMonths[i], "");
    formats.long_month[i] = LangInfo(kLongMonths[i], "");
  }
  for (int i = 0; i < 7; ++i) {
    formats.short_day[i] = LangInfo(kShortDays[i], "");
    formats.long_day[i] = LangInfo(kLongDays[i], "");
  }
  return formats;
}

}  // namespace stashwell
