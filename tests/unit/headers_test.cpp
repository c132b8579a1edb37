// The header scan: sender and recipients from a spool file's header block.
#include "message/headers.h"

#include <gtest/gtest.h>

#include "message/spool.h"
#include "test_support.h"

namespace sendal {
namespace {

using testing::TestReader;

using testing::ScratchDir;
using testing::WriteFile;

// Sender first, then the recipients.
std::vector<std::string> Scan(const std::string& content) {
    WriteFile("m.out", content);
    AddressList list;
    EXPECT_EQ(ScanHeaders(TestReader, "m.out", list), SpoolLoad::Loaded);
    return list;
}

using V = std::vector<std::string>;

TEST(ScanHeaders, Cases) {
    ScratchDir dir;
    struct Row {
        const char* name;
        std::string content;
        V want;
    } rows[] = {
        {"four-line header",
         "From: Name <a.box>\nTo: b.box, Other <c.box>\nCc: d.box (D)\nBcc: e.box\n\nTo: body\n",
         {"a.box", "b.box", "c.box", "d.box", "e.box"}},
        {"any letter case", "FROM: a\nto: b\nCC: c\nbCc: d\n", {"a", "b", "c", "d"}},
        {"other headers ignored",
         "Reply-To: r\nResent-Cc: s\nX-Bcc: t\nFrom a.box Mon\nSubject: To: x\n",
         {""}},
        {"tab after the colon", "From:\ta.box\nTo:\tb.box\n", {"a.box", "b.box"}},
        {"no blank after the colon", "From:a.box\nTo:b.box\nCC:c\nBcc:d\n", {"a.box", "b.box", "c", "d"}},
        {"blank before the colon", "To : b\n", {"", "b"}},
        {"display name and comment in From", "From: Alice (club) <secretary@club.test>\n",
         {"secretary@club.test"}},
        {"first of several senders", "From: a@x, b@y\n", {"a@x"}},
        {"continuation after a comma", "To: b.box,\n c.box\n", {"", "b.box", "c.box"}},
        {"continuation without a comma", "To: b.box\n c.box\n", {"", "b.box c.box"}},
        {"empty pieces skipped", "To: a,,b\n", {"", "a", "b"}},
        {"comma at the end, then Cc", "To: a@x,\nCc: b@y\n", {"", "a@x", "b@y"}},
        {"comma in a quoted name", "To: \"Doe, John\" <j@x>, k@y\n", {"", "j@x", "k@y"}},
        {"escaped quote", "To: \"Doe \\\", J\" <j@x>\n", {"", "j@x"}},
        {"comma in a comment", "To: a@x (Doe, J), b@y\n", {"", "a@x", "b@y"}},
        {"nested comment", "To: a@x (D (x, y) z), b@y\n", {"", "a@x", "b@y"}},
        {"comment before the address", "To: (Doe) a@x\n", {"", "a@x"}},
        {"empty group", "To: undisclosed-recipients:;\nCc: c@z\n", {"", "c@z"}},
        {"group with members", "To: team: a@x, \"B, b\" <b@y>;, c@z\n", {"", "a@x", "b@y", "c@z"}},
        {"angle with a comma", "To: <@r1,@r2:a@x>\n", {"", "@r1,@r2:a@x"}},
        {"comma at the end", "To: a,  \n", {"", "a"}},
        {"two sender lines", "From: a\nFrom: b\n", {"b"}},
        {"first line empty", "\nFrom: a\nTo: b\n", {""}},
        {"CR LF like LF", "From: a\r\nTo: b\r\n\r\nTo: c\r\n", {"a", "b"}},
        {"CR-only file read as lines", "From: a\rTo: b\r\rTo: c\r", {"a", "b"}},
        {"body not read", "To: a\n\nTo: b\n", {"", "a"}},
        {"same address twice", "To: a\nCc: a\n", {"", "a", "a"}},
        {"spaces-only line continues",
         "To: a,\n   \nCc: b\n",
         {"", "a", "b"}},
    };
    for (const Row& row : rows) {
        V got = Scan(row.content);
        V want = row.want;
        while (want.size() > 1 && want.back().empty()) want.pop_back();
        EXPECT_EQ(got, want) << row.name;
    }
}

TEST(ScanHeaders, HeaderOnlyFileThenRewindGivesEverything) {
    ScratchDir dir;
    EXPECT_EQ(Scan("From: a\nTo: b\n"), (V{"a", "b"}));
    RewindSpool(TestReader);
    std::string text;
    EXPECT_TRUE(testing::NextSpoolLine(text));
    EXPECT_EQ(text, "From: a");
}

std::string Recipients(int count) {
    std::string line = "To: ";
    for (int i = 1; i <= count; ++i) line += (i > 1 ? "," : "") + std::to_string(i) + ".box";
    return line + "\n";
}

TEST(ScanHeaders, EveryRecipientAndALateSender) {
    ScratchDir dir;
    V all = Scan(Recipients(1500) + "From: late\n");
    EXPECT_EQ(all.size(), 1501u);
    EXPECT_EQ(all[0], "late");
    EXPECT_EQ(all[1500], "1500.box");
}

}  // namespace
}  // namespace sendal
