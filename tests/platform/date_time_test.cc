#include "platform/date_time.h"

#include <gtest/gtest.h>

#include "support/test_helpers.h"

namespace stashwell {
namespace {

TEST(DayCount, KnownDates) {
  const struct {
    int year, month, day;
    int64_t number;
  } cases[] = {
      {1899, 12, 30, 0},   {1899, 12, 31, 1},     {1900, 1, 1, 2},
      {1980, 1, 1, 29221}, {2000, 2, 29, 36585},  {2026, 12, 7, 46363},
      {1899, 12, 29, -1},  {2107, 12, 31, 75971},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DayNumber(c.year, c.month, c.day), c.number)
        << c.year << "-" << c.month << "-" << c.day;
  }
}

TEST(DayCount, EncodeAndDecodeRoundTrip) {
  const DateTimeFields f = FieldsAt(2026, 12, 7, 9, 5, 3, 250);
  const DayCount value = EncodeDayCount(f);
  EXPECT_NEAR(value, 46363 + (9 * 3600 + 5 * 60 + 3.25) / 86400.0, 1e-9);
  const DateTimeFields back = DecodeDayCount(value);
  EXPECT_EQ(back.year, 2026);
  EXPECT_EQ(back.month, 12);
  EXPECT_EQ(back.day, 7);
  EXPECT_EQ(back.hour, 9);
  EXPECT_EQ(back.minute, 5);
  EXPECT_EQ(back.second, 3);
  EXPECT_EQ(back.millisecond, 250);
  EXPECT_EQ(back.day_of_week, 1);  // a Monday
}

TEST(DayCount, DecodeJustBeforeMidnightDoesNotSpillIntoNextDay) {
  const DateTimeFields f = DecodeDayCount(46363 + 86399999.0 / 86400000.0);
  EXPECT_EQ(f.day, 7);
  EXPECT_EQ(f.hour, 23);
  EXPECT_EQ(f.minute, 59);
  EXPECT_EQ(f.second, 59);
  EXPECT_EQ(f.millisecond, 999);
}

TEST(PackedTime, PacksAndUnpacksWithTwoSecondSteps) {
  const DateTimeFields f = FieldsAt(2026, 12, 7, 23, 59, 59);
  const auto packed = PackDosTime(f);
  ASSERT_TRUE(packed.has_value());
  EXPECT_EQ(*packed >> 25, 46u);
  EXPECT_EQ(*packed & 0x1F, 29u);  // 58 seconds, halved
  const auto day_count = FileDateToDayCount(*packed);
  ASSERT_TRUE(day_count.has_value());
  EXPECT_NEAR(*day_count, 46363 + (23 * 3600 + 59 * 60 + 58) / 86400.0, 1e-9);
}

TEST(PackedTime, YearsOutsideThePackedRangeHaveNoPackedForm) {
  DateTimeFields f;
  f.month = 1;
  f.day = 1;
  for (int year : {1970, 1979, 2108, 2200}) {
    f.year = year;
    EXPECT_FALSE(PackDosTime(f).has_value()) << year;
  }
  for (int year : {1980, 2107}) {
    f.year = year;
    EXPECT_TRUE(PackDosTime(f).has_value()) << year;
  }
}

TEST(PackedTime, InvalidFieldsCannotBeConverted) {
  EXPECT_FALSE(FileDateToDayCount(0).has_value());  // month 0, day 0
  // 31 February 2001.
  EXPECT_FALSE(FileDateToDayCount((21u << 25) | (2u << 21) | (31u << 16)));
  // Hour 24.
  EXPECT_FALSE(
      FileDateToDayCount((21u << 25) | (1u << 21) | (1u << 16) | (24u << 11)));
}

}  // namespace
}  // namespace stashwell
