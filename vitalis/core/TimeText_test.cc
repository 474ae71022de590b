#include "core/TimeText.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::tm Broken(int year, int mon, int mday, int wday, int hour, int min, int sec) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon;
  tm.tm_mday = mday;
  tm.tm_wday = wday;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  return tm;
}

TEST(TimeText, AsctimePadsEveryFieldWithZeros) {
  EXPECT_EQ(OrbAsctime(Broken(2026, 11, 6, 0, 4, 22, 0)), "Sun Dec 06 04:22:00 2026\n");
  EXPECT_EQ(OrbAsctime(Broken(2026, 0, 1, 4, 0, 0, 9)), "Thu Jan 01 00:00:09 2026\n");
  EXPECT_EQ(OrbAsctime(Broken(2026, 11, 31, 4, 23, 59, 59)), "Thu Dec 31 23:59:59 2026\n");
}

TEST(TimeText, AsctimeOfFieldsOutOfRangeStaysBounded) {
  std::string text = OrbAsctime(Broken(2026, -1, 6, 9, 4, 22, 0));
  EXPECT_EQ(text, "Tue Dec 06 04:22:00 2026\n");
  std::tm wild = Broken(2026, 2147483647, -2147483647 - 1, -2147483647 - 1, 99, 99, 99);
  wild.tm_year = 2147483647;
  text = OrbAsctime(wild);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find("2147485547"), std::string::npos);
}

TEST(TimeText, CtimeIsLocalTime) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  EXPECT_EQ(OrbCtime(1796530920), "Sun Dec 06 04:22:00 2026\n");
  EXPECT_EQ(OrbCtime(0), "Thu Jan 01 00:00:00 1970\n");
  ::setenv("TZ", "EST5", 1);
  ::tzset();
  EXPECT_EQ(OrbCtime(1796530920), "Sat Dec 05 23:22:00 2026\n");
}

}  // namespace
