// The run log's pure texts: its path, integer pieces and the date-time line.
#include <gtest/gtest.h>

#include "run/run_log.h"
#include "support/test_helpers.h"

namespace stashwell {
namespace {

TEST(LogPathFor, WindowsPaths) {
  const struct {
    const char* message;
    const char* log;
  } cases[] = {
      {"C:\\Mail\\eud12.tmp", "C:\\Mail\\eud12.log"},
      {"C:\\Mail\\a.b.c", "C:\\Mail\\a.b.log"},
      {"C:\\Mail.box\\eud12", "C:\\Mail.box\\eud12.log"},
      {"C:\\Mail\\eud12.", "C:\\Mail\\eud12.log"},
      {"C:\\Mail\\", "C:\\Mail\\.log"},
      {"C:/Mail.box/eud12", "C:/Mail.log"},
      {"C:eud12.txt", "C:eud12.log"},
      {"C:eud12", "C:eud12.log"},
      {"eud12", "eud12.log"},
      // A message file that is itself a ".log" keeps its contents: its log
      // is named by appending.
      {"C:\\Mail\\x.log", "C:\\Mail\\x.log.log"},
      {"C:\\Mail\\x.LoG", "C:\\Mail\\x.LoG.log"},
      {"C:\\Mail\\x.logs", "C:\\Mail\\x.log"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogPathFor(c.message, PathSyntax::Windows()), c.log) << c.message;
  }
}

TEST(LogPathFor, DoubleByteTrailDotIsNoExtension) {
  PathSyntax shift_jis = PathSyntax::Windows();
  for (int b = 0x81; b <= 0x9F; ++b) shift_jis.lead_byte[b] = true;
  // 0x81 0x2E: a double-byte character whose second byte looks like a dot.
  EXPECT_EQ(LogPathFor("C:\\m.x\\a\x81.", shift_jis), "C:\\m.x\\a\x81..log");
  EXPECT_EQ(LogPathFor("C:\\m\\a.b\x81.", shift_jis), "C:\\m\\a.log");
}

TEST(LogPathFor, PosixPaths) {
  EXPECT_EQ(LogPathFor("/var/mail/in.box/msg", PathSyntax::Posix()),
            "/var/mail/in.box/msg.log");
  EXPECT_EQ(LogPathFor("/var/mail/msg.txt", PathSyntax::Posix()),
            "/var/mail/msg.log");
  EXPECT_EQ(LogPathFor("a\\b.c:d", PathSyntax::Posix()), "a\\b.log");
}

TEST(LogPiece, IntegersInDecimal) {
  const struct {
    int32_t value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {5, "5"},
      {-5, "-5"},
      {2147483647, "2147483647"},
      {-2147483647 - 1, "-2147483648"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogPiece(c.value).text(), c.text);
  }
  EXPECT_EQ(LogPiece('>').text(), ">");
  EXPECT_EQ(LogPiece("").text(), "");
}

DateTimeFields At(int year, int month, int day, int hour, int minute,
                  int second, int millisecond = 0) {
  DateTimeFields f =
      FieldsAt(year, month, day, hour, minute, second, millisecond);
  f.day_of_week = 1;  // 7 December 2026 is a Monday
  return f;
}

LocaleFormats UnitedStates() {
  LocaleFormats us;
  us.short_date = "M/d/yyyy";
  us.twelve_hour = true;
  us.am = "AM";
  us.pm = "PM";
  return us;
}

LocaleFormats Germany() {
  LocaleFormats de;
  de.short_date = "dd.MM.yyyy";
  de.date_separator = ".";
  de.hour_leading_zero = true;
  return de;
}

TEST(DateTimeLine, RegionalFormats) {
  const struct {
    LocaleFormats locale;
    DateTimeFields now;
    const char* line;
  } cases[] = {
      {UnitedStates(), At(2026, 12, 7, 9, 5, 3), "12/7/2026 9:05:03 AM"},
      {UnitedStates(), At(2026, 12, 7, 0, 0, 0, 999), "12/7/2026"},
      {UnitedStates(), At(2026, 12, 7, 0, 0, 1), "12/7/2026 12:00:01 AM"},
      {UnitedStates(), At(2026, 12, 7, 12, 30, 0), "12/7/2026 12:30:00 PM"},
      {UnitedStates(), At(2026, 12, 7, 23, 59, 59), "12/7/2026 11:59:59 PM"},
      {Germany(), At(2026, 12, 7, 9, 5, 3), "07.12.2026 09:05:03"},
      {Germany(), At(2026, 12, 7, 0, 0, 0), "07.12.2026"},
      {LocaleFormats(), At(2026, 1, 2, 13, 4, 5), "1/2/26 13:04:05"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DateTimeLine(c.locale, c.now), c.line);
  }
}

TEST(FormatShortDate, PictureLetters) {
  LocaleFormats locale;
  locale.date_separator = "-";
  locale.short_month[11] = "Dec";
  locale.long_month[11] = "December";
  locale.short_day[1] = "Mon";
  locale.long_day[1] = "Monday";
  const DateTimeFields date = At(2026, 12, 7, 0, 0, 0);
  const struct {
    const char* picture;
    const char* text;
  } cases[] = {
      {"d/m/y", "7-12-26"},
      {"dd/mm/yy", "07-12-26"},
      {"ddd dddd mmm mmmm", "Mon Monday Dec December"},
      {"yyyy", "2026"},
      {"yyy", "2026"},
      {"D.M.YYYY", "7.12.2026"},
      {"'Day' d \"of\" m", "Day 7 of 12"},
      {"yyyy'/'mm", "2026/12"},
      {"gg yyyy", "gg 2026"},
      {"", "12-7-26"},
  };
  for (const auto& c : cases) {
    locale.short_date = c.picture;
    EXPECT_EQ(FormatShortDate(locale, date), c.text) << c.picture;
  }
}

TEST(FormatShortDate, EraLettersDroppedOnlyForChineseJapaneseKorean) {
  const DateTimeFields date = At(2026, 12, 7, 0, 0, 0);
  const struct {
    const char* language;
    const char* picture;
    const char* text;
  } cases[] = {
      {"ja", "gg yyyy/MM/dd", "2026/12/07"},
      {"zh", "gg yyyy/M/d", "2026/12/7"},
      {"ko", "yyyy-MM-dd gg", "2026-12-07"},
      {"JA", "ggyyyy", "2026"},
      {"ja", "yyyy gg/MM", "2026 /12"},
      {"de", "gg yyyy/MM/dd", "gg 2026/12/07"},
      {"en", "G yyyy", "G 2026"},
      {"", "gg yyyy", "gg 2026"},
  };
  for (const auto& c : cases) {
    LocaleFormats locale;
    locale.language = c.language;
    locale.short_date = c.picture;
    EXPECT_EQ(FormatShortDate(locale, date), c.text)
        << c.language << " " << c.picture;
  }
}

TEST(FormatLongTime, MarkerBeforeTheTime) {
  LocaleFormats locale;
  locale.twelve_hour = true;
  locale.marker_before_time = true;
  locale.am = "\xB8\xDF\xC0\xFC";  // some code page's morning string
  locale.time_separator = ".";
  EXPECT_EQ(FormatLongTime(locale, At(2026, 12, 7, 9, 5, 3)),
            "\xB8\xDF\xC0\xFC 9.05.03");
}

}  // namespace
}  // namespace stashwell
