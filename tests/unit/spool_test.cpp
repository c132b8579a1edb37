// The spool reader: load, rewind, next line, and every kind of line end.
#include "message/spool.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace sendal {
namespace {

using testing::TestReader;

using testing::ScratchDir;
using testing::WriteFile;

std::vector<std::string> LoadLines(const std::string& content) {
    WriteFile("m.out", content);
    EXPECT_EQ(LoadSpoolFile(TestReader, "m.out"), SpoolLoad::Loaded);
    std::vector<std::string> lines;
    std::string text;
    while (testing::NextSpoolLine(text)) lines.push_back(text);
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

TEST(ReadSpoolLine, LinesAcrossTheWindow) {
    ScratchDir dir;
    const std::string a(WindowSize - 1, 'a');
    // A CR LF split by the window's end, CRs that run past it to no LF, a CR that ends the file.
    EXPECT_EQ(LoadLines(a + "\r\nb\n"), (std::vector<std::string>{a, "b"}));
    EXPECT_EQ(LoadLines(a + "\r\rc"), (std::vector<std::string>{a, "", "c"}));
    EXPECT_EQ(LoadLines("x\n" + a + "\r"), (std::vector<std::string>{"x", a}));
    // A line longer than the window comes whole as a line, and in parts of at most the window.
    std::string longLine(2 * WindowSize + 10, 'L');
    EXPECT_EQ(LoadLines("h\n" + longLine + "\r\nt"), (std::vector<std::string>{"h", longLine, "t"}));
    RewindSpool(TestReader);
    std::string part;
    bool ends = false;
    std::vector<std::size_t> sizes;
    while (NextSpoolPart(TestReader, part, ends)) sizes.push_back(part.size() * 2 + (ends ? 1 : 0));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 2 * WindowSize, 2 * WindowSize, 21, 3}));
}

TEST(ReadSpoolLine, RewindGivesTheWholeTextAgainAndEndRepeats) {
    ScratchDir dir;
    LoadLines("x: 1\ny: 2\n");
    std::string text;
    EXPECT_FALSE(testing::NextSpoolLine(text));  // the end keeps being reported
    RewindSpool(TestReader);
    EXPECT_TRUE(testing::NextSpoolLine(text));
    EXPECT_EQ(text, "x: 1");
}

// The wire size the lines make, the slow way: what the measure must agree with.
std::uint64_t WireBytesByLines() {
    RewindSpool(TestReader);
    std::uint64_t wire = 0;
    std::string part;
    bool starts = true, ends = true;
    for (; NextSpoolPart(TestReader, part, ends); starts = ends)
        wire += part.size() + (ends ? 2 : 0) + (starts && !part.empty() && part[0] == '.' ? 1 : 0);
    return wire + (starts ? 0 : 2);
}

// Line ends of every kind, dots, 8-bit bytes, and runs of CRs across the window's edge.
TEST(MeasureSpoolText, AgreesWithTheLines) {
    ScratchDir dir;
    std::string edge(WindowSize - 2, 'a');
    // Plain text counted in blocks of 16 and 32 bytes: lines of every length up to 70, half of
    // them beginning with ".", so line ends and dots fall on every place of a block.
    std::string blocks;
    for (int i = 0; i < 2000; ++i) blocks += (i % 2 ? "." : "") + std::string(i % 71, 'x') + "\n";
    for (const std::string& content :
         {std::string("a\nb\n"), std::string("a\r\n.b\r\r\n\r.c"), std::string("\r\r\rx\r"),
          std::string(".\n..\n\n"), std::string("\xe9t\xe9\n"), std::string("no end"),
          std::string("ends in CRs\r\r"), edge + "\r\r\r\r\n.x\n", edge + "\r\r\r\r.y",
          std::string(3 * WindowSize, 'b') + "\n", blocks, blocks + "\xe9", "." + blocks}) {
        WriteFile("m.out", content);
        ASSERT_EQ(LoadSpoolFile(TestReader, "m.out"), SpoolLoad::Loaded);
        TextMeasure measure;
        ASSERT_EQ(MeasureSpoolText(TestReader, measure), 0);
        EXPECT_EQ(measure.wireBytes, WireBytesByLines()) << content.size();
        EXPECT_GE(measure.wireBytes, content.size() / 2) << content.size();  // this file, not the last
        EXPECT_EQ(measure.eightBit, content.find('\xe9') != std::string::npos);
    }
}

TEST(ReadSpoolLine, UnreadableFileGivesEmptyText) {
    ScratchDir dir;
    EXPECT_EQ(LoadSpoolFile(TestReader, "missing.out"), SpoolLoad::Unreadable);
    std::string text;
    EXPECT_FALSE(testing::NextSpoolLine(text));
}

}  // namespace
}  // namespace sendal
