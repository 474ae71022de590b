// The one source of "now" for the whole system. Tests move it in process; the environment
// variable WINPORT_TIME_OFFSET (seconds, may be negative) shifts it for a whole process tree.
// Waits, sleeps and timer periods are real time and are not moved.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "winport/types.h"

namespace winport {

// Seconds since the epoch as the system sees them (the C library's time()).
std::time_t Now();

// Broken-down local and UTC time of a moment (localtime / gmtime, thread-safe).
std::tm LocalTime(std::time_t t);
std::tm UtcTime(std::time_t t);

// The C library's asctime text of a moment, without its line feed ("Sun Dec  6 19:55:00 2026").
std::string AscTime(std::time_t t);

void GetLocalTime(SYSTEMTIME* st);
void GetSystemTime(SYSTEMTIME* st);

// Milliseconds of a monotonic count, shifted with the clock (moving the clock moves it too).
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// Real sleep of the calling thread.
void Sleep(DWORD milliseconds);

// Moving the clock (tests). The offset starts at WINPORT_TIME_OFFSET and is inherited by the
// processes winport starts.
std::int64_t ClockOffset();
void SetClockOffset(std::int64_t seconds);
void AdvanceClock(std::int64_t seconds);
// Makes Now() return exactly `t` (sets the offset from the real time).
void SetNow(std::time_t t);

}  // namespace winport
