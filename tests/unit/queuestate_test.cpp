// The pieces of the queue where a slip would send wrong data to a relay or lose the history:
// state records and their damage, key pins as users copy them, DSN's xtext, the journal line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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
    state.file = {42, 1765000000123456789, 512};
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
    EXPECT_TRUE(back.file == state.file);
    EXPECT_EQ(back.tries, 3);
    EXPECT_EQ(back.reason, "550 5.1.1 no such user  forged=1");
    EXPECT_EQ(back.notify, "FAILURE,DELAY");
    EXPECT_EQ(back.envid, "id=1");
    EXPECT_TRUE(back.noticed);
    for (std::size_t cut : {std::size_t{0}, std::size_t{5}, text.size() / 2, text.size() - 4})
        EXPECT_FALSE(ParseQueueState(text.substr(0, cut), back)) << cut;
    EXPECT_FALSE(ParseQueueState("sendal-state 2\ntries=x\nend\n", back));
    EXPECT_FALSE(ParseQueueState("sendal-state 2\nwhat=1\nend\n", back));
    EXPECT_FALSE(ParseQueueState("sendal-state 2\nfile=1-2\nend\n", back));
}

// The records live in a state folder of the user's own, one per spool folder.
class Records : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("sendal-state-" + std::to_string(::getpid()));
        fs::create_directories(root / "spool");
        savedState = ::getenv("XDG_STATE_HOME") ? ::getenv("XDG_STATE_HOME") : "";
        ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
        spool = (root / "spool").string();
    }
    void TearDown() override {
        if (savedState.empty()) ::unsetenv("XDG_STATE_HOME");
        else ::setenv("XDG_STATE_HOME", savedState.c_str(), 1);
        fs::remove_all(root);
    }
    RecordKey Write(const std::string& name, const std::string& text) {
        std::ofstream(root / "spool" / name) << text;
        RecordKey key;
        EXPECT_TRUE(RecordKeyAt((root / "spool" / name).string(), key));
        return key;
    }
    fs::path root;
    std::string spool, savedState;
};

TEST_F(Records, ARecordBelongsToItsFileAlone) {
    std::string error;
    ASSERT_EQ(MakeQueueFolders(spool, false, error), 0) << error;
    EXPECT_EQ(StateFolderOf(spool).rfind((root / "state" / "sendal" / "spools").string(), 0), 0u);
    EXPECT_EQ((fs::status(StateFolderOf(spool)).permissions() & fs::perms::all), fs::perms::owner_all);
    RecordKey first = Write("m0001.out", "To: a@b\n\nfirst\n");
    QueueState state;
    state.file = first;
    state.tries = 2;
    ASSERT_EQ(SaveQueueState(spool, state), 0);
    QueueState loaded;
    EXPECT_TRUE(LoadQueueState(spool, first, loaded));
    EXPECT_EQ(loaded.tries, 2);
    // A new message under the old name, even on the old inode, starts afresh.
    fs::remove(root / "spool" / "m0001.out");
    RecordKey second = Write("m0001.out", "To: a@b\n\nsecond, longer\n");
    EXPECT_FALSE(LoadQueueState(spool, second, loaded));
    EXPECT_EQ(loaded.tries, 0);
    // Pruning keeps the records of files present and anything that is no record.
    std::ofstream(fs::path(StateFolderOf(spool)) / "notes.txt") << "mine\n";
    PruneQueueStates(spool, {first.inode});
    EXPECT_TRUE(LoadQueueState(spool, first, loaded));
    PruneQueueStates(spool, {});  // too young: it may be the outbox's, its message on its way
    EXPECT_TRUE(LoadQueueState(spool, first, loaded));
    fs::last_write_time(fs::path(StateFolderOf(spool)) / RecordFileName(first),
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
    PruneQueueStates(spool, {});
    EXPECT_FALSE(LoadQueueState(spool, first, loaded));
    EXPECT_TRUE(fs::exists(fs::path(StateFolderOf(spool)) / "notes.txt"));
}

TEST_F(Records, AFolderNotTheUsersOwnIsRefusedAndNothingGoesThroughIt) {
    fs::create_directories(root / "important");
    std::ofstream(root / "important" / "thesis.txt") << "years of work\n";
    fs::create_directories(root / "state" / "sendal" / "spools");
    struct stat info {};
    ASSERT_EQ(::stat(spool.c_str(), &info), 0);
    fs::path planted = root / "state" / "sendal" / "spools" / (std::to_string(info.st_dev) + "-" + std::to_string(info.st_ino));
    fs::create_directory_symlink(root / "important", planted);
    std::string error;
    EXPECT_EQ(MakeQueueFolders(spool, false, error), -1);
    EXPECT_NE(error.find("a symbolic link"), std::string::npos) << error;
    fs::remove(planted);
    if (::geteuid() == 0) {  // another user's folder in its place
        fs::create_directory(planted);
        ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
        EXPECT_EQ(MakeQueueFolders(spool, false, error), -1);
        EXPECT_NE(error.find("(not yours)"), std::string::npos) << error;
        fs::remove(planted);
    }
    fs::create_directory(planted, root);
    fs::permissions(planted, fs::perms::owner_all | fs::perms::group_write);
    EXPECT_EQ(MakeQueueFolders(spool, false, error), -1);
    EXPECT_NE(error.find("(others may write in it)"), std::string::npos) << error;
    fs::remove(planted);
    fs::create_directory_symlink(root / "important", root / "spool" / "held");
    EXPECT_EQ(MakeQueueFolders(spool, true, error), -1);
    EXPECT_NE(error.find("held (a symbolic link)"), std::string::npos) << error;
    EXPECT_TRUE(fs::exists(root / "important" / "thesis.txt"));
}

TEST_F(Records, RecordsBesideTheSpoolAreTakenOverOnce) {
    RecordKey key = Write("m0001.out", "To: a@b\n\nx\n");
    fs::create_directories(root / ".spool.sendal");
    std::ofstream(root / ".spool.sendal" / "m0001.out.state")
        << "sendal-state 1\ninode=" << key.inode << "\nfirst=1\ntries=4\nnotify=NEVER\nend\n";
    std::string error;
    ASSERT_EQ(MakeQueueFolders(spool, false, error), 0) << error;
    QueueState loaded;
    ASSERT_TRUE(LoadQueueState(spool, key, loaded));
    EXPECT_EQ(loaded.tries, 4);
    EXPECT_EQ(loaded.notify, "NEVER");
    EXPECT_TRUE(fs::exists(root / ".spool.sendal" / "m0001.out.state"));  // left alone
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
    // A reply cannot close the quotes with a backslash of its own and forge fields after it.
    entry.reply = "550\\\" status=sent relay=forged";
    EXPECT_NE(FormatJournalLine(entry).find("reply=\"550\\\\\\\" status=sent relay=forged\" relay=relay.example"),
              std::string::npos)
        << FormatJournalLine(entry);
}

// What a terminal or another program gets of a relay's or a file's text: no C0 or C1 control,
// raw or in UTF-8; letters of UTF-8 and of 8-bit character sets stay.
TEST(Text, TerminalControlsAreReplacedLettersStay) {
    EXPECT_EQ(ReplaceTerminalControls("a\x1b[2Jb\x7f\tc", '?'), "a?[2Jb?\tc");
    EXPECT_EQ(ReplaceTerminalControls("csi \x9b" "31m and \xc2\x9b" "31m", '?'), "csi ?31m and ?31m");
    EXPECT_EQ(ReplaceTerminalControls("J\xc3\xb6rg \xc5\x9b \xe2\x82\xac", '?'), "J\xc3\xb6rg \xc5\x9b \xe2\x82\xac");
    EXPECT_EQ(ReplaceTerminalControls("caf\xe9 \xc2", '?'), "caf\xe9 \xc2");  // Latin-1 letters
}

}  // namespace
}  // namespace sendal
