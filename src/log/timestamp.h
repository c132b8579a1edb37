// The date stamp of the log header and the clock time of every log line, from the local clock,
// with fixed English names whatever the machine's language.
#pragma once

#include <ctime>
#include <string>

namespace sendal {

// "Mon 07 Dec 26", or "07.12.2026" when VORKLOG (any letter case in name and value) is "XP".
std::string FormatTimestamp();
// "hh:mm:ss" on the 24-hour clock.
std::string FormatClockTime(std::time_t when);

// The same texts for a given time and VORKLOG value (the clock-free part, for tests).
std::string FormatTimestampAt(const std::tm& when, const std::string& vorklog);
std::string FormatClockTimeAt(const std::tm& when);

}  // namespace sendal
