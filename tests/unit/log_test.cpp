// Log line bytes and date texts.
#include "log/log.h"

#include <gtest/gtest.h>

#include "base/globals.h"
#include "log/timestamp.h"

namespace sendal {
namespace {

std::tm Day(int year, int month, int day, int weekday, int h = 0, int m = 0, int s = 0) {
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_wday = weekday;
    when.tm_hour = h;
    when.tm_min = m;
    when.tm_sec = s;
    return when;
}

// The prefixes are what readers of the log grep for; the levels are the four the program writes.
TEST(FormatLogLine, PrefixTimeTagText) {
    ProgramTag = "SENDAL ";
    struct Row {
        std::int16_t level;
        const char* want;
    } rows[] = {
        {LevelNormal, "  14:03:27  SENDAL   : text\r\n"},  {LevelError, "! 14:03:27  SENDAL   : text\r\n"},
        {LevelWarning, "? 14:03:27  SENDAL   : text\r\n"}, {LevelStart, ": 14:03:27  SENDAL   : text\r\n"},
    };
    for (const Row& row : rows) EXPECT_EQ(FormatLogLine("14:03:27", "text", row.level), row.want) << row.level;
    EXPECT_EQ(FormatLogLine("00:00:00", "", LevelNormal), "  00:00:00  SENDAL   : \r\n");
}

TEST(FormatTimestamp, PlainAndDottedForms) {
    std::tm monday = Day(2026, 12, 7, 1);
    EXPECT_EQ(FormatTimestampAt(monday, ""), "Mon 07 Dec 26");
    EXPECT_EQ(FormatTimestampAt(monday, "FD"), "Mon 07 Dec 26");
    EXPECT_EQ(FormatTimestampAt(monday, "XP"), "07.12.2026");
    EXPECT_EQ(FormatTimestampAt(monday, "xp"), "07.12.2026");
    EXPECT_EQ(FormatTimestampAt(monday, " XP"), "Mon 07 Dec 26");
    EXPECT_EQ(FormatTimestampAt(monday, "XP "), "Mon 07 Dec 26");
    std::tm y2k = Day(2000, 1, 1, 6);
    EXPECT_EQ(FormatTimestampAt(y2k, ""), "Sat 01 Jan 00");
    EXPECT_EQ(FormatTimestampAt(y2k, "XP"), "01.01.2000");
}

TEST(FormatClockTime, TwoDigitsEach) {
    EXPECT_EQ(FormatClockTimeAt(Day(2026, 1, 1, 4, 0, 9, 5)), "00:09:05");
    EXPECT_EQ(FormatClockTimeAt(Day(2026, 1, 1, 4, 23, 59, 59)), "23:59:59");
}

}  // namespace
}  // namespace sendal
