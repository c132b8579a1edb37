// The message transfer against a relay played on a socket pair whose replies are queued ahead:
// the exact bytes on the wire, the dropped header lines, pieces, and what is deleted.
#include "smtp/transfer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "message/headers.h"
#include "message/spool.h"
#include "smtp/envelope.h"
#include "smtp/session.h"
#include "test_support.h"

namespace sendal {
namespace {

using testing::TestReader;

using testing::RelayPair;
using testing::ScratchDir;
using testing::WriteFile;

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Whether the walk leaves out every line of the field that `first` begins.
bool Dropped(const std::string& first, const std::string& continuation = "") {
    ScratchDir dir;
    WriteFile("m.out", first + "\n" + (continuation.empty() ? "" : continuation + "\n") + "X: y\n");
    EXPECT_EQ(LoadSpoolFile(TestReader, "m.out"), SpoolLoad::Loaded);
    HeaderWalk walk;
    StartHeaderWalk(walk, TestReader);
    HeaderPart part;
    bool dropped = true;
    for (int i = continuation.empty() ? 1 : 2; i > 0 && NextHeaderPart(walk, part); --i)
        dropped = dropped && IsDroppedField(walk);
    return dropped;
}

TEST(IsDroppedField, Rules) {
    EXPECT_TRUE(Dropped("Bcc: x"));
    EXPECT_TRUE(Dropped("BCC: x"));
    EXPECT_TRUE(Dropped("bcc:\tx"));
    EXPECT_TRUE(Dropped("Bcc:", " x.box"));
    EXPECT_TRUE(Dropped("Bcc:", "\tx.box"));
    EXPECT_TRUE(Dropped("Bcc:"));         // a blind-copy field in any form is never sent
    EXPECT_TRUE(Dropped("Bcc:x.box"));
    EXPECT_TRUE(Dropped("Bcc :x.box"));
    EXPECT_TRUE(Dropped("From a.box Mon Dec  7"));
    EXPECT_FALSE(Dropped("FROM a.box"));
    EXPECT_FALSE(Dropped("From: a.box"));
    EXPECT_FALSE(Dropped("X-Bcc: a"));
    EXPECT_FALSE(Dropped("Bcc-Me: a"));
}

TEST(SpoolDirectory, UpToTheLastSeparator) {
    EXPECT_EQ(SpoolDirectory(".\\spool\\m????.out"), ".\\spool\\");
    EXPECT_EQ(SpoolDirectory("c:*.msg"), "c:");
    EXPECT_EQ(SpoolDirectory("out/x/*.msg"), "out/x/");
    EXPECT_EQ(SpoolDirectory("*.msg"), "");
}

const RunOptions HeloRun;  // no option: HELO, plain text

// A relay that takes one message of one recipient, each reply after its command.
const std::vector<std::pair<std::string, std::string>> AcceptOne = {
    {"MAIL FROM", "250 a\r\n"}, {"RCPT TO", "250 b\r\n"}, {"DATA\r\n", "354 go\r\n"},
    {"\r\n.\r\n", "250 c\r\n"}, {"QUIT\r\n", "221 bye\r\n"}};

TEST(TransferSpool, WireBytesOfOneMessage) {
    ScratchDir dir;
    ASSERT_EQ(::mkdir("spool", 0777), 0);
    WriteFile("spool/m0001.out",
              "From a.box Mon Dec  7 10:00:00 2026\n"
              "From: a.box\n"
              "Bcc:\n"
              " hidden.box\n"
              "Bcc:\thidden2.box\n"
              "To: b.box\n"
              "Bcc:x.box\n"
              "\n"
              "Bcc: body line\n"
              "From the body\n"
              ".\n"
              "..two\n");
    RelayPair relay;
    relay.Answer({{"MAIL FROM", "250 a\r\n"}, {"RCPT TO", "250 1\r\n"}, {"RCPT TO", "250 2\r\n"},
                  {"RCPT TO", "250 3\r\n"}, {"RCPT TO", "250 4\r\n"}, {"DATA\r\n", "354 go\r\n"},
                  {"\r\n.\r\n", "250 c\r\n"}, {"QUIT\r\n", "221 bye\r\n"}});
    StartSession(HeloRun);
    EXPECT_EQ(TransferSpool(".\\SPOOL\\M????.OUT", {}), TransferEnd::Done);
    EXPECT_EQ(relay.Received(),
              "MAIL FROM:<a.box>\r\n"
              "RCPT TO:<hidden.box>\r\nRCPT TO:<hidden2.box>\r\nRCPT TO:<b.box>\r\n"
              "RCPT TO:<x.box>\r\nDATA\r\n"
              "From: a.box\r\nTo: b.box\r\n\r\n"
              "Bcc: body line\r\nFrom the body\r\n..\r\n...two\r\n"
              ".\r\nQUIT\r\n");
    EXPECT_FALSE(Exists("spool/m0001.out"));
}

TEST(TransferSpool, PiecesOfWholeLinesAtTheThreshold) {
    ScratchDir dir;
    std::string body;
    for (int i = 0; i < 250; ++i) body += std::string(99, 'a' + i % 26) + "\n";
    WriteFile("m1.out", "To: b\n" + body);
    RelayPair relay;
    relay.Answer(AcceptOne);  // it reads while we send: the text is more than a socket pair holds
    SentTotal = 0;
    StartSession(HeloRun);
    EXPECT_EQ(TransferSpool("m?.out", {}), TransferEnd::Done);
    std::string wire = relay.Received();
    // "To: b" and 101 lines make the first piece (10004), 102 lines the second (10098).
    EXPECT_EQ(SentTotal, 5 + 101 * 99 + 102 * 99);
    std::string want = "MAIL FROM:<>\r\nRCPT TO:<b>\r\nDATA\r\nTo: b\r\n";
    for (int i = 0; i < 250; ++i) want += std::string(99, 'a' + i % 26) + "\r\n";
    EXPECT_EQ(wire, want + ".\r\nQUIT\r\n");
}

TEST(TransferSpool, UnreadableFileIsSkippedAndKept) {
    ScratchDir dir;
    WriteFile("m1.out", "To: b\n\nsecret\n");
    ASSERT_EQ(::chmod("m1.out", 0), 0);
    if (::geteuid() == 0) GTEST_SKIP() << "root reads the file anyway";
    RelayPair relay;
    relay.Answer({{"QUIT\r\n", "221 bye\r\n"}});
    StartSession(HeloRun);
    EXPECT_EQ(TransferSpool("m?.out", {}), TransferEnd::Done);
    EXPECT_EQ(relay.Received(), "QUIT\r\n");
    EXPECT_TRUE(Exists("m1.out"));
}

}  // namespace
}  // namespace sendal
