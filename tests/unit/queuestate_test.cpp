// The pieces of the queue where a slip would send wrong data to a relay or lose the history:
// state records and their damage, key pins as users copy them, DSN's xtext, the journal line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/text.h"
#include "log/journal.h"
#include "message/queuestate.h"
#include "smtp/envelope.h"

namespace sendal {
namespace {

namespace fs = std::filesystem;

TEST(QueueState, ARecordComesBackWholeAndDamageIsNoRecord) {
    QueueState state;
    state.inode = 42;
    state.firstSeen = 1765000000;
    state.tries = 3;
    state.lastTry = 1765003600;
    state.outcome = "refused";
    state.reason = "550 5.1.1 no such user\r\nforged=1";  // a reply cannot add a field
    state.notify = "FAILURE,DELAY";
    state.envid = "id=1";
    state.noticed = true;
    std::string text = FormatQueueState(state);
    QueueState back;
    ASSERT_TRUE(ParseQueueState(text, back));
    EXPECT_EQ(back.inode, 42u);
    EXPECT_EQ(back.tries, 3);
    EXPECT_EQ(back.reason, "550 5.1.1 no such user  forged=1");
    EXPECT_EQ(back.notify, "FAILURE,DELAY");
    EXPECT_EQ(back.envid, "id=1");
    EXPECT_TRUE(back.noticed);
    for (std::size_t cut : {std::size_t{0}, std::size_t{5}, text.size() / 2, text.size() - 4})
        EXPECT_FALSE(ParseQueueState(text.substr(0, cut), back)) << cut;
    EXPECT_FALSE(ParseQueueState("sendal-state 1\ntries=x\nend\n", back));
    EXPECT_FALSE(ParseQueueState("sendal-state 1\nwhat=1\nend\n", back));
}

TEST(QueueState, ARecordOfAnotherFileOfTheSameNameIsIgnored) {
    fs::path folder = fs::temp_directory_path() / ("sendal-state-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    ASSERT_EQ(MakeQueueFolders(folder.string(), false), 0);
    QueueState state;
    state.inode = 7;
    state.tries = 2;
    ASSERT_EQ(SaveQueueState(folder.string(), "m0001.out", state), 0);
    QueueState loaded;
    EXPECT_TRUE(LoadQueueState(folder.string(), "m0001.out", 7, loaded));
    EXPECT_EQ(loaded.tries, 2);
    EXPECT_FALSE(LoadQueueState(folder.string(), "m0001.out", 8, loaded));
    EXPECT_EQ(loaded.tries, 0);
    EXPECT_EQ(loaded.inode, 8u);
    PruneQueueStates(folder.string(), {"m0002.out"});
    EXPECT_FALSE(LoadQueueState(folder.string(), "m0001.out", 7, loaded));
    fs::remove_all(StateFolderOf(folder.string()));
    fs::remove_all(folder);
}

TEST(QueueState, TheRecordsLiveBesideTheSpool) {
    EXPECT_EQ(StateFolderOf("/home/u/mail/spool"), "/home/u/mail/.spool.sendal");
    EXPECT_EQ(StateFolderOf("/home/u/mail/spool/"), "/home/u/mail/.spool.sendal");
    EXPECT_EQ(StateFolderOf("/home/u/mail/spool/."), "/home/u/mail/.spool.sendal");
    EXPECT_EQ(StateFolderOf("/m/spool/held"), "/m/spool/.held.sendal");
}

TEST(Pins, Base64AndHexGiveTheSameDigest) {
    std::string fromBase64, fromHex;
    ASSERT_TRUE(DecodePinValue("47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=", fromBase64));
    ASSERT_TRUE(DecodePinValue("e3b0c442:98fc1c14:9afbf4c8:996fb924:27ae41e4:649b934c:a495991b:7852b855", fromHex));
    EXPECT_EQ(fromBase64, fromHex);
    EXPECT_EQ(fromBase64.size(), 32u);
    std::string digest;
    EXPECT_FALSE(DecodePinValue("47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuF", digest));  // 31 bytes
    EXPECT_FALSE(DecodePinValue("47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU!", digest));
}

TEST(Dsn, XTextEscapesWhatAParameterCannotCarry) {
    EXPECT_EQ(XText("bob@example.org"), "bob@example.org");
    EXPECT_EQ(XText("a+b=c d@x"), "a+2Bb+3Dc+20d@x");
    EXPECT_EQ(XText("j\xC3\xB6rg@x"), "j+C3+B6rg@x");
}

TEST(Journal, OneLineWithQuotedValues) {
    JournalEntry entry{"m0001.out", "", "kept", "550 5.1.1 \"x\"\r\nno", "relay.example", 2, 120};
    EXPECT_EQ(FormatJournalLine(entry),
              "file=m0001.out from=<> to=2 size=120 status=kept reply=\"550 5.1.1 \\\"x\\\"??no\" "
              "relay=relay.example");
}

}  // namespace
}  // namespace sendal
