// Date and time texts.
#include "log/timestamp.h"

#include <cstdio>

#include "base/environment.h"
#include "base/text.h"

namespace sendal {
namespace {

constexpr const char* DayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm LocalNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local;
}

}  // namespace

std::string FormatTimestampAt(const std::tm& when, const std::string& vorklog) {
    char text[32];
    int year = when.tm_year + 1900;
    if (ToUpperAscii(vorklog) == "XP") {
        std::snprintf(text, sizeof text, "%02d.%02d.%04d", when.tm_mday, when.tm_mon + 1,
                      year % 10000);
    } else {
        std::snprintf(text, sizeof text, "%s %02d %s %02d", DayNames[(when.tm_wday % 7 + 7) % 7],
                      when.tm_mday, MonthNames[(when.tm_mon % 12 + 12) % 12], year % 100);
    }
    return text;
}

std::string FormatClockTimeAt(const std::tm& when) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", when.tm_hour, when.tm_min, when.tm_sec);
    return text;
}

std::string FormatTimestamp() {
    return FormatTimestampAt(LocalNow(), GetEnvironment("VORKLOG"));
}

std::string FormatClockTime(std::time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    return FormatClockTimeAt(local);
}

}  // namespace sendal
