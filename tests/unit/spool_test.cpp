// The spool reader: load, rewind, next line, and every kind of line end.
#include "message/spool.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace sendal {
namespace {

using testing::ScratchDir;
using testing::WriteFile;

std::vector<std::string> LoadLines(const std::string& content) {
    WriteFile("m.out", content);
    EXPECT_EQ(LoadSpoolFile("m.out"), 0);
    std::vector<std::string> lines;
    std::string text;
    while (NextSpoolLine(text)) lines.push_back(text);
    EXPECT_EQ(text, "");
    return lines;
}

TEST(ReadSpoolLine, LineEnds) {
    ScratchDir dir;
    using Lines = std::vector<std::string>;
    struct Row {
        const char* name;
        std::string content;
        Lines want;
    } rows[] = {
        {"LF", "a\nb\n", {"a", "b"}},
        {"CR LF same as LF", "a\r\nb\r\n", {"a", "b"}},
        {"no final line end", "a\nb", {"a", "b"}},
        {"CR CR LF", "a\r\r\nb", {"a", "b"}},
        {"CR-only file", "a\rb\rc\r", {"a", "b", "c"}},
        {"stray CR inside a line", "ab\rcd\nef\n", {"ab", "cd", "ef"}},
        {"empty lines", "\n\r\n\n", {"", "", ""}},
        {"CR alone", "\r", {""}},
        {"empty file", "", {}},
        {"NUL bytes kept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const Row& row : rows) EXPECT_EQ(LoadLines(row.content), row.want) << row.name;
}

TEST(ReadSpoolLine, RewindGivesTheWholeTextAgainAndEndRepeats) {
    ScratchDir dir;
    LoadLines("x: 1\ny: 2\n");
    std::string text;
    EXPECT_FALSE(NextSpoolLine(text));  // the end keeps being reported
    RewindSpool();
    EXPECT_TRUE(NextSpoolLine(text));
    EXPECT_EQ(text, "x: 1");
}

TEST(ReadSpoolLine, UnreadableFileGivesEmptyText) {
    ScratchDir dir;
    EXPECT_EQ(LoadSpoolFile("missing.out"), -1);
    std::string text;
    EXPECT_FALSE(NextSpoolLine(text));
}

}  // namespace
}  // namespace sendal
