#include "winport/clock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>

#include "winport/error.h"

namespace winport {
namespace {

TEST(Clock, MovesNowAndTickCountTogether) {
  std::time_t before = Now();
  ULONGLONG tick = GetTickCount64();
  AdvanceClock(86400 * 30);
  EXPECT_GE(Now() - before, 86400 * 30);
  EXPECT_LT(Now() - before, 86400 * 30 + 5);
  EXPECT_GE(GetTickCount64() - tick, 86400ull * 30 * 1000);
  SetClockOffset(0);
  EXPECT_LT(Now() - before, 5);
}

TEST(Clock, SetNowGivesThatMomentInEveryForm) {
  SetNow(1700000000);  // 2023-11-14 22:13:20 UTC
  EXPECT_LE(Now() - 1700000000, 1);
  std::tm utc = UtcTime(1700000000);
  EXPECT_EQ(utc.tm_year + 1900, 2023);
  EXPECT_EQ(utc.tm_mon + 1, 11);
  EXPECT_EQ(utc.tm_mday, 14);
  SYSTEMTIME st{};
  GetSystemTime(&st);
  EXPECT_EQ(st.wYear, 2023);
  EXPECT_EQ(st.wMonth, 11);
  EXPECT_EQ(st.wDay, 14);
  SetClockOffset(0);
}

TEST(Clock, AscTimeHasNoLineFeed) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(AscTime(1700000000), "Tue Nov 14 22:13:20 2023");
}

TEST(Error, LastErrorIsPerThreadAndEveryCodeHasText) {
  SetLastError(ERROR_ACCESS_DENIED);
  std::thread([] { EXPECT_EQ(GetLastError(), ERROR_SUCCESS); }).join();
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  std::string text;
  ASSERT_TRUE(ErrorMessageText(ERROR_FILE_NOT_FOUND, &text));
  EXPECT_EQ(text, "The system cannot find the file specified.");
  EXPECT_FALSE(ErrorMessageText(987654, &text));
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buf,
                           sizeof buf, nullptr);
  EXPECT_EQ(std::string(buf, n), "Access is denied.\r\n");
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buf, 5,
                           nullptr),
            0u);
}

}  // namespace
}  // namespace winport
