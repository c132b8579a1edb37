// Number reading: the rules that the port, the host test and every reply code depend on.
#include "base/number.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sendal {
namespace {

TEST(ReadNumber, ReadsEveryForm) {
    struct Row {
        const char* text;
        double want;
    } rows[] = {
        {"25", 25},      {" \t\n25abc", 25},
        {"-7", -7},      {"+7", 7},
        {"2.5D1", 25},   {"2.5d1", 25},
        {"1E3", 1000},   {"1e-2", 0.01},
        {"&H1F", 31},    {"&h1f", 31},
        {"&B101", 5},    {"&O17", 15},
        {"&Q17", 15},    {"&17", 15},
        {"&18", 1},      {"abc", 0},
        {"", 0},         {"250-ok", 250},
        {"250 ok", 250}, {".5", 0.5},
        {"5.", 5},       {"-", 0},
        {"1E", 1},       {"354 go", 354},
        {" \r25", 0},    {"1e99999999999", HUGE_VAL},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ReadNumber(row.text), row.want) << "text \"" << row.text << "\"";
}

TEST(ReadWholeNumber, RoundsAndKeepsLow32Bits) {
    EXPECT_EQ(ReadWholeNumber("2525"), 2525);
    EXPECT_EQ(ReadWholeNumber("24.6"), 25);
    EXPECT_EQ(ReadWholeNumber("24.5"), 24);  // halves go to the even number
    EXPECT_EQ(ReadWholeNumber("25.5"), 26);
    EXPECT_EQ(ReadWholeNumber("-3"), -3);
    EXPECT_EQ(ReadWholeNumber("4294967321"), 25);
    EXPECT_EQ(ReadWholeNumber("1e400"), 0);
    EXPECT_EQ(ReadWholeNumber("abc"), 0);
}

TEST(FormatNumber, SignPositionDigitsTrailingBlank) {
    EXPECT_EQ(FormatNumber(25), " 25 ");
    EXPECT_EQ(FormatNumber(0), " 0 ");
    EXPECT_EQ(FormatNumber(-4), "-4 ");
    EXPECT_EQ(FormatNumber(3000000000LL), " 3000000000 ");
}

}  // namespace
}  // namespace sendal
