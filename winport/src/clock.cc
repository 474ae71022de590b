#include "winport/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "clock_internal.h"

namespace winport {

namespace detail {

void ToSystemTime(const std::tm& tm, int ms, SYSTEMTIME* st) {
  st->wYear = static_cast<WORD>(tm.tm_year + 1900);
  st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st->wDay = static_cast<WORD>(tm.tm_mday);
  st->wHour = static_cast<WORD>(tm.tm_hour);
  st->wMinute = static_cast<WORD>(tm.tm_min);
  st->wSecond = static_cast<WORD>(tm.tm_sec);
  st->wMilliseconds = static_cast<WORD>(ms);
}

}  // namespace detail

namespace {

std::int64_t InitialOffset() {
  const char* env = std::getenv("WINPORT_TIME_OFFSET");
  if (!env || !*env) return 0;
  char* end = nullptr;
  long long v = std::strtoll(env, &end, 10);
  return (end && *end == '\0') ? v : 0;
}

std::atomic<std::int64_t>& Offset() {
  static std::atomic<std::int64_t> offset{InitialOffset()};
  return offset;
}

}  // namespace

std::time_t Now() {
  return std::time(nullptr) + static_cast<std::time_t>(Offset().load());
}

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::tm UtcTime(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

std::string AscTime(std::time_t t) {
  std::tm tm = LocalTime(t);
  char buf[64];
  asctime_r(&tm, buf);
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

void GetLocalTime(SYSTEMTIME* st) {
  auto now = std::chrono::system_clock::now();
  int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  detail::ToSystemTime(LocalTime(Now()), ms, st);
}

void GetSystemTime(SYSTEMTIME* st) {
  auto now = std::chrono::system_clock::now();
  int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  detail::ToSystemTime(UtcTime(Now()), ms, st);
}

ULONGLONG GetTickCount64() {
  auto mono = std::chrono::steady_clock::now().time_since_epoch();
  std::int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(mono).count();
  return static_cast<ULONGLONG>(ms + Offset().load() * 1000);
}

DWORD GetTickCount() {
  return static_cast<DWORD>(GetTickCount64());
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::int64_t ClockOffset() {
  return Offset().load();
}

void SetClockOffset(std::int64_t seconds) {
  Offset().store(seconds);
}

void AdvanceClock(std::int64_t seconds) {
  Offset().fetch_add(seconds);
}

void SetNow(std::time_t t) {
  Offset().store(static_cast<std::int64_t>(t - std::time(nullptr)));
}

}  // namespace winport
