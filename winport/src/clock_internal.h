// What the clock shares with the file time conversions.
#pragma once

#include <ctime>

#include "winport/clock.h"

namespace winport::detail {

// A broken-down time and its milliseconds as a SYSTEMTIME.
void ToSystemTime(const std::tm& tm, int ms, SYSTEMTIME* st);

}  // namespace winport::detail
