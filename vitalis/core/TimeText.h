// Time texts as the product's original platform writes them: asctime and ctime with the day of
// the month zero-padded ("Sun Dec 06 04:22:00 2026\n"). Report, history, INI and trace files
// carry these bytes, and readers on the other side compare them as they stand.
#pragma once

#include <ctime>
#include <string>

// The asctime text of a broken-down time, line feed included.
std::string OrbAsctime(const std::tm& tm);

// The ctime text of a moment in local time, line feed included. The caller decides what to write
// for moments the original platform cannot show (before the epoch and the like).
std::string OrbCtime(std::time_t t);
