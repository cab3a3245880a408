// Packed date-times and their texts against the runtime's calendar.
#include <gtest/gtest.h>

#include "host/runtime/TapRuntime.h"
#include "support/TestSupport.h"

namespace {

int64_t Clock(int y, unsigned m, unsigned d, int hh, int mm, int ss)
{
  return TapDaysFromCivil(y, m, d) * 86400 + hh * 3600 + mm * 60 + ss;
}

class DateTime : public ::testing::Test {
protected:
  void SetUp() override
  {
    rt = TapRuntimeControl();
    rt->virtualTicks = true;
    rt->tick = rt->tickStart = 1000;
    rt->clockStart = Clock(2026, 12, 6, 13, 5, 9);
  }
  void TearDown() override { rt->virtualTicks = false; }
  TapRuntime *rt;
};

TEST_F(DateTime, NowPacksMjdHourMinute)
{
  byte sec = 0;
  EXPECT_EQ(Now(nullptr), 0xEFC40D05u); // MJD 61380, 13:05
  EXPECT_EQ(Now(&sec), 0xEFC40D05u);
  EXPECT_EQ(sec, 9);
  rt->tick += 100 * 51; // the clock runs with the ticks
  EXPECT_EQ(Now(&sec), 0xEFC40D06u);
  EXPECT_EQ(sec, 0);
}

TEST_F(DateTime, EveryFormat)
{
  const dword t = 0xEFC40D05u;
  EXPECT_STREQ(TimeFormat(t, 9, 1), "13:05");
  EXPECT_STREQ(TimeFormat(t, 9, 2), "13:05:09");
  EXPECT_STREQ(TimeFormat(t, 9, 3), "2026-12-06");
  EXPECT_STREQ(TimeFormat(t, 9, 4), "2026-12-06 13:05");
  EXPECT_STREQ(TimeFormat(t, 9, 5), "2026-12-06 13:05:09");
  EXPECT_STREQ(TimeFormat(t, 9, 6), "20261206_1305");
  EXPECT_STREQ(TimeFormat(t, 9, 0), "");
  EXPECT_STREQ(TimeFormat(t, 9, 7), "");
}

TEST_F(DateTime, MjdZeroAndOutOfRangeFieldsStayInTheBuffer)
{
  EXPECT_STREQ(TimeFormat(0x00000102u, 3, 5), "0000-00-00 01:02:03");
  EXPECT_STREQ(TimeFormat(0x00000102u, 3, 3), "00-00-00");
  // Three-digit fields: the longest text still fits the 25-byte buffer.
  EXPECT_STREQ(TimeFormat(0xFFFFFFFFu, 255, 5), "2038-04-22 255:255:255");
}

TEST_F(DateTime, OneBufferForEveryCall)
{
  char *a = TimeFormat(0xEFC40D05u, 0, 1);
  char *b = TimeFormat(0xEFC40D05u, 0, 6);
  EXPECT_EQ(a, b);
  EXPECT_STREQ(a, "20261206_1305");
}

TEST(Calendar, RuntimeMjdMatchesKnownDates)
{
  word year;
  byte month, day, weekday;
  TAP_ExtractMjd(61380, &year, &month, &day, &weekday);
  EXPECT_EQ(year, 2026);
  EXPECT_EQ(month, 12);
  EXPECT_EQ(day, 6);
  TAP_ExtractMjd(51544, &year, &month, &day, &weekday); // 2000-01-01
  EXPECT_EQ(year, 2000);
  EXPECT_EQ(month, 1);
  EXPECT_EQ(day, 1);
  TAP_ExtractMjd(60004, &year, &month, &day, &weekday); // 2023-03-01, after a non-leap February
  EXPECT_EQ(month, 3);
  EXPECT_EQ(day, 1);
}

} // namespace
