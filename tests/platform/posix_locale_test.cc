// LC_TIME formats in the picture rules of the run log.
#ifndef _WIN32

#include "platform/posix/posix_locale.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "platform/date_time.h"
#include "run/run_log.h"
#include "support/test_helpers.h"

namespace stashwell {
namespace {

TEST(ShortDatePicture, TranslatesStrftimeDirectives) {
  const struct {
    const char* format;
    const char* picture;
  } cases[] = {
      {"%m/%d/%y", "mm/dd/yy"},  // C and POSIX
      {"%D", "mm/dd/yy"},
      {"%d.%m.%Y", "dd.mm.yyyy"},  // de_DE
      {"%Y-%m-%d", "yyyy-mm-dd"},  // sv_SE
      {"%F", "yyyy-mm-dd"},
      {"%e/%-m/%Y", "d/m/yyyy"},
      {"%_d %b %y", "d mmm yy"},
      {"%A %d %B %Y", "dddd dd mmmm yyyy"},
      {"%a, %h %e", "ddd, mmm d"},
      {"%Od/%Om/%Ey", "dd/mm/yy"},  // alternative digits and eras
      {"%d%%%m", "dd%mm"},
      {"%d%n%m", "dd mm"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShortDatePictureFromStrftime(c.format), c.picture) << c.format;
  }
}

TEST(LanguageOfLocaleName, LanguagePartOnly) {
  const struct {
    const char* name;
    const char* language;
  } cases[] = {
      {"ja_JP.UTF-8", "ja"},
      {"de_DE@euro", "de"},
      {"zh_TW.Big5", "zh"},
      {"ko", "ko"},
      {"C", ""},
      {"POSIX", ""},
      {"C.UTF-8", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LanguageOfLocaleName(c.name), c.language) << c.name;
  }
}

TEST(TimeLocaleName, TheFirstSetAndNotEmptyOfLcAllLcTimeLang) {
  const struct {
    const char* lc_all;
    const char* lc_time;
    const char* lang;
    const char* name;
  } cases[] = {
      {"de_DE.UTF-8", "ja_JP.UTF-8", "C.UTF-8", "de_DE.UTF-8"},
      {nullptr, "ja_JP.UTF-8", "C.UTF-8", "ja_JP.UTF-8"},
      {"", "ja_JP.UTF-8", "C.UTF-8", "ja_JP.UTF-8"},
      {"", "", "de_DE.UTF-8", "de_DE.UTF-8"},
      {nullptr, nullptr, "C.UTF-8", "C.UTF-8"},
      {"", "", "", "C"},
      {nullptr, nullptr, nullptr, "C"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TimeLocaleName(c.lc_all, c.lc_time, c.lang), c.name)
        << (c.lc_all ? c.lc_all : "-") << " " << (c.lc_time ? c.lc_time : "-")
        << " " << (c.lang ? c.lang : "-");
  }
}

TEST(ShortDatePicture, LiteralTextIsQuoted) {
  EXPECT_EQ(ShortDatePictureFromStrftime("%d de %B de %Y"),
            "dd 'de' mmmm 'de' yyyy");
  EXPECT_EQ(ShortDatePictureFromStrftime("day %d"), "'day' dd");
  EXPECT_EQ(ShortDatePictureFromStrftime("%d'%m\"%y"), "dd\"'\"mm'\"'yy");
  // Bytes of other scripts are no picture letters and stay bare.
  EXPECT_EQ(ShortDatePictureFromStrftime("%Y\xE5\xB9\xB4%m\xE6\x9C\x88"),
            "yyyy\xE5\xB9\xB4mm\xE6\x9C\x88");
  // Directives with no picture letter are dropped.
  EXPECT_EQ(ShortDatePictureFromStrftime("%d/%m/%y %Z"), "dd/mm/yy ");
}

TEST(ShortDatePicture, QuotedLettersAreCopiedByTheDateLine) {
  LocaleFormats formats;
  formats.short_date = ShortDatePictureFromStrftime("%d de %B de %Y");
  for (int i = 0; i < 12; ++i) formats.long_month[i] = "M" + std::to_string(i);
  EXPECT_EQ(FormatShortDate(formats, FieldsAt(2026, 12, 7)),
            "07 de M11 de 2026");
}

TEST(TimeFormat, TwentyFourHourClocks) {
  LocaleFormats formats;
  ApplyTimeFormat("%H:%M:%S", "%I:%M:%S %p", &formats);
  EXPECT_FALSE(formats.twelve_hour);
  EXPECT_TRUE(formats.hour_leading_zero);
  EXPECT_EQ(formats.time_separator, ":");

  LocaleFormats dotted;
  ApplyTimeFormat("%k.%M.%S", "", &dotted);
  EXPECT_FALSE(dotted.twelve_hour);
  EXPECT_FALSE(dotted.hour_leading_zero);
  EXPECT_EQ(dotted.time_separator, ".");

  LocaleFormats t_form;
  ApplyTimeFormat("%T", "", &t_form);
  EXPECT_FALSE(t_form.twelve_hour);
  EXPECT_TRUE(t_form.hour_leading_zero);
  EXPECT_EQ(t_form.time_separator, ":");
}

TEST(TimeFormat, TwelveHourClocks) {
  LocaleFormats us;  // en_US: T_FMT is %r
  ApplyTimeFormat("%r", "%I:%M:%S %p", &us);
  EXPECT_TRUE(us.twelve_hour);
  EXPECT_TRUE(us.hour_leading_zero);
  EXPECT_FALSE(us.marker_before_time);
  EXPECT_EQ(us.time_separator, ":");

  LocaleFormats before;  // marker first, as in some East Asian locales
  ApplyTimeFormat("%p %l:%M:%S", "", &before);
  EXPECT_TRUE(before.twelve_hour);
  EXPECT_FALSE(before.hour_leading_zero);
  EXPECT_TRUE(before.marker_before_time);

  LocaleFormats default_ampm;
  ApplyTimeFormat("%r", "", &default_ampm);
  EXPECT_TRUE(default_ampm.twelve_hour);
  EXPECT_FALSE(default_ampm.marker_before_time);
}

TEST(TimeFormat, WithoutAnHourTheDefaultsStay) {
  LocaleFormats formats;
  ApplyTimeFormat("%M:%S", "", &formats);
  EXPECT_FALSE(formats.twelve_hour);
  EXPECT_FALSE(formats.hour_leading_zero);
  EXPECT_EQ(formats.time_separator, ":");
}

TEST(PosixLocaleFormats, TheCLocale) {
  const char* saved = std::getenv("LC_ALL");
  const std::string saved_value = saved != nullptr ? saved : "";
  setenv("LC_ALL", "C", 1);
  const LocaleFormats formats = ReadPosixLocaleFormats();
  if (saved != nullptr) {
    setenv("LC_ALL", saved_value.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
  std::setlocale(LC_TIME, "C");

  EXPECT_EQ(formats.short_date, "mm/dd/yy");
  EXPECT_EQ(formats.date_separator, "/");
  EXPECT_EQ(formats.time_separator, ":");
  EXPECT_TRUE(formats.hour_leading_zero);
  EXPECT_FALSE(formats.twelve_hour);
  EXPECT_EQ(formats.am, "AM");
  EXPECT_EQ(formats.pm, "PM");
  EXPECT_EQ(formats.short_month[0], "Jan");
  EXPECT_EQ(formats.long_month[11], "December");
  EXPECT_EQ(formats.short_day[0], "Sun");
  EXPECT_EQ(formats.long_day[6], "Saturday");

  EXPECT_EQ(DateTimeLine(formats, FieldsAt(2026, 12, 7, 9, 5, 3)),
            "12/07/26 09:05:03");
}

}  // namespace
}  // namespace stashwell

#endif  // _WIN32
