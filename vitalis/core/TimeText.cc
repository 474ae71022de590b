#include "core/TimeText.h"

#include <winport/clock.h>

#include <cstdio>

std::string OrbAsctime(const std::tm& tm) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // Fields out of their range are folded into it for the names and printed as they are
  // otherwise, so no field can index past a table or overflow the text.
  char text[96];
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04lld\n",
                kDays[(tm.tm_wday % 7 + 7) % 7], kMonths[(tm.tm_mon % 12 + 12) % 12], tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(tm.tm_year) + 1900);
  return text;
}

std::string OrbCtime(std::time_t t) {
  return OrbAsctime(winport::LocalTime(t));
}
