// The command line: fields, port, HELO name, mask and the default spool folder.
#include "driver/cmdline.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/optiontable.h"
#include "driver/usage.h"
#include "test_support.h"

namespace sendal {
namespace {

using testing::ScratchDir;

struct Parsed {
    std::int32_t result;
    std::string host;
    std::int32_t port;
    std::string helo, mask;
};

Parsed Parse(const std::string& tail, RunOptions& options) {
    options = RunOptions{};  // each line is a run of its own
    Parsed p{0, "", 0, "", ""};
    p.result = ParseCommandTail(tail, options);
    p.host = options.host, p.port = options.port, p.helo = options.heloName, p.mask = options.fileMask;
    return p;
}

Parsed Parse(const std::string& tail) {
    RunOptions options;
    return Parse(tail, options);
}

TEST(ParseCommandTail, HostPortHeloAndMask) {
    ScratchDir dir;
    struct Row {
        const char* tail;
        const char* host;
        int port;
        const char *helo, *mask;
    } rows[] = {
        {"smtp.example.org", "smtp.example.org", 25, "example.org", ".\\spool\\m????.out"},
        {"smtp.example.org 2525,-helo=MyHost.Example.NET C:\\Out\\*.MSG", "smtp.example.org", 2525,
         "myhost.example.net", "c:\\out\\*.msg"},
        {"smtp.example.org,C:\\Out\\*.msg -helo=box", "smtp.example.org", 25, "box",
         "c:\\out\\*.msg"},
        {"smtp.example.org,-helo=", "smtp.example.org", 25, "example.org", ".\\spool\\m????.out"},
        {"smtp.example.org abc", "smtp.example.org", 25, "example.org", ".\\spool\\m????.out"},
        {"smtp.example.org 0", "smtp.example.org", 25, "example.org", ".\\spool\\m????.out"},
        {"smtp.example.org  2525", "smtp.example.org", 2525, "example.org", ".\\spool\\m????.out"},
        {"192.168.1.10", "192.168.1.10", 25, "me", ".\\spool\\m????.out"},
        {"localhost", "localhost", 25, "me", ".\\spool\\m????.out"},
        {"0.example.org", "0.example.org", 25, "example.org", ".\\spool\\m????.out"},
        {"1relay", "1relay", 25, "me", ".\\spool\\m????.out"},
        {"  relay1 2525.4  ,  -HELO=pc7  ", "relay1", 2525, "pc7", ".\\spool\\m????.out"},
        {"\"relay, quoted\",x.out", "relay,", 25, "me", "x.out"},
        // A quoted field keeps its commas and blanks: a mask with a comma, a host field whose
        // empty first word asks for the host (end to end) and keeps its port.
        {"127.0.0.1 2525,\"Out\\A,B*.msg\"", "127.0.0.1", 2525, "me", "out\\a,b*.msg"},
        {"relay,\"My Out\\*.msg\" -helo=pc7", "relay", 25, "pc7", "my out\\*.msg"},
        {"relay 587 -starttls -auth -exitcode", "relay", 587, "me", ".\\spool\\m????.out"},
        {"relay 587,-tls,-auth out\\*.msg", "relay", 587, "me", "out\\*.msg"},
        {"relay -helo=pc7 2525", "relay", 2525, "pc7", ".\\spool\\m????.out"},
        {"relay,-starttls mask.out -from=Box@Example.ORG", "relay", 25, "me", "mask.out"},
        {"relay 65561", "relay", 65561, "me", ".\\spool\\m????.out"},
        {"relay -1", "relay", -1, "me", ".\\spool\\m????.out"},
        {"relay,-helo=a  -helo=b", "relay", 25, "a", ".\\spool\\m????.out"},
        {"::1 2525", "::1", 2525, "me", ".\\spool\\m????.out"},
        {"fe80::1", "fe80::1", 25, "me", ".\\spool\\m????.out"},
    };
    for (const Row& row : rows) {
        Parsed p = Parse(row.tail);
        EXPECT_EQ(p.result, 0) << row.tail;
        EXPECT_EQ(p.host, row.host) << row.tail;
        EXPECT_EQ(p.port, row.port) << row.tail;
        EXPECT_EQ(p.helo, row.helo) << row.tail;
        EXPECT_EQ(p.mask, row.mask) << row.tail;
    }
}

// No word is dropped: each one is an option, the port or the mask, or the run stops.
TEST(ParseCommandTail, EveryWordTakenOrRefused) {
    ScratchDir dir;
    for (const char* tail : {"relay 587 25", "relay 587 -startls", "relay,a.out,b.out",
                             "relay,-tls -starttls", "relay 25 junk,x.out",
                             "relay,-noverify -fingerprint=" "0123456789abcdef0123456789abcdef"
                             "0123456789abcdef0123456789abcdef"}) {
        EXPECT_EQ(Parse(tail).result, -1) << tail;
    }
    RunOptions options;
    Parse("relay 587 -starttls -auth -exitcode,-keepgoing", options);
    EXPECT_TRUE(options.startTls && options.auth == AuthAny && options.exitCode && options.keepGoing);
    Parse("relay,-from=Box@Example.ORG", options);
    EXPECT_EQ(options.from, "Box@Example.ORG");  // an address keeps its letter case
}

// Every option word means the same in the host form, after --send (blanks or commas) and
// after --queue, in any letter case; a word that is no option is refused in each of them.
TEST(ReadRunWords, EachWordInEachForm) {
    ScratchDir dir;
    struct Form {
        const char* prefix;
        const char* separator;
        RunForm form;
    } forms[] = {{"relay 25", " ", RunForm::Host},   {"relay", ",", RunForm::Host},
                 {"--send", " ", RunForm::Send},     {"--send", ",", RunForm::Send},
                 {"--queue", " ", RunForm::Queue},   {"--SEND", " ", RunForm::Send}};
    struct Word {
        const char* word;
        bool (*check)(const RunOptions&);
    } words[] = {
        {"-KEEPGOING", [](const RunOptions& o) { return o.keepGoing; }},
        {"-exitcode", [](const RunOptions& o) { return o.exitCode; }},
        {"-Rate=30", [](const RunOptions& o) { return o.rate == 30; }},
        {"-expire=3", [](const RunOptions& o) { return o.expireDays == 3; }},
        {"-hold", [](const RunOptions& o) { return o.hold; }},
        {"-syslog", [](const RunOptions& o) { return o.syslog; }},
        {"-nochunking", [](const RunOptions& o) { return o.noChunking; }},
        {"-nosandbox", [](const RunOptions& o) { return o.noSandbox; }},
        {"-ehlo", [](const RunOptions& o) { return o.ehlo; }},
        {"-Auth=LOGIN", [](const RunOptions& o) { return o.auth == AuthLogin; }},
        {"-from=Box@Example.ORG", [](const RunOptions& o) { return o.from == "Box@Example.ORG"; }},
        {"-fingerprint=" "AB:cd0123456789abcdef0123456789abcdef0123456789abcdef0123456789ab",
         [](const RunOptions& o) { return o.fingerprint.size() == 64 && o.fingerprint.substr(0, 4) == "abcd"; }},
        {"-helo=Box.Example", [](const RunOptions& o) { return o.heloName == "box.example"; }},
    };
    for (const Form& form : forms)
        for (const Word& word : words) {
            std::string tail = std::string(form.prefix) + form.separator + word.word + form.separator + "-exitcode";
            RunOptions options;
            ASSERT_EQ(ReadRunWords(tail, options), 0) << tail;
            EXPECT_EQ(options.form, form.form) << tail;
            EXPECT_TRUE(word.check(options)) << tail;
            EXPECT_TRUE(options.exitCode) << tail;  // the word after it was read too
        }
    for (const Form& form : forms)
        for (const char* bad : {"-keepgoin", "-rate=0", "-rate=x", "-auth=magic", "-fingerprint=12"}) {
            std::string tail = std::string(form.prefix) + form.separator + bad;
            RunOptions options;
            EXPECT_EQ(ReadRunWords(tail, options), -1) << tail;
        }
}

// --queue's one plain word is its mask, --release's the held file's name; --send has none.
TEST(ReadRunWords, CommandArguments) {
    RunOptions options;
    ASSERT_EQ(ReadRunWords("--queue -exitcode spool/*.out --config=~/My.toml", options), 0);
    EXPECT_EQ(options.fileMask, "spool/*.out");
    EXPECT_EQ(options.configName, "~/My.toml");  // a file name keeps its letter case
    options = {};
    ASSERT_EQ(ReadRunWords("--release,m0001.out", options), 0);
    EXPECT_EQ(options.form, RunForm::Release);
    EXPECT_EQ(options.argument, "m0001.out");
    options = {};
    EXPECT_EQ(ReadRunWords("--send spool", options), -1);
    options = {};
    EXPECT_EQ(ReadRunWords("--send -tls -starttls", options), -1);
}

// What the command line gave wins over an account; what it did not give leaves it alone.
TEST(LayGivenOver, CommandLineWinsWhereGiven) {
    RunOptions account;
    account.rate = 10;
    account.startTls = true;
    account.from = "box@example.org";
    account.hold = true;
    RunOptions given;
    ASSERT_TRUE(TakeOptionWord("-rate=5", given));
    ASSERT_TRUE(TakeOptionWord("-tls", given));
    LayGivenOver(given, account);
    EXPECT_EQ(account.rate, 5);
    EXPECT_TRUE(account.implicitTls);
    EXPECT_FALSE(account.startTls);
    EXPECT_EQ(account.from, "box@example.org");
    EXPECT_TRUE(account.hold);
}

TEST(ParseCommandTail, UsageScreenStopsTheRun) {
    ScratchDir dir;
    for (const char* tail :
         {"", "?", "/?", "-?", "--help", "-h", "--version", "re?lay 25", ",-helo=box"}) {
        Parsed p = Parse(tail);
        EXPECT_EQ(p.result, -1) << "\"" << tail << "\"";
    }
    // A "?" in the port word is no request for help: the word reads as 0.
    EXPECT_EQ(Parse("relay ?").port, 25);
    EXPECT_EQ(Parse("relay ?").result, 0);
}

TEST(ParseCommandTail, DefaultSpoolFolder) {
    ScratchDir dir;
    EXPECT_EQ(Parse("relay").result, 0);
    struct stat info {};
    EXPECT_EQ(::stat("spool", &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(ParseCommandTail, OrdinaryFileNamedSpoolSatisfiesTheTest) {
    ScratchDir dir;
    testing::WriteFile("SPOOL", "not a folder");
    EXPECT_EQ(Parse("relay").result, 0);
}

TEST(ParseCommandTail, MissingSpoolFolderThatCannotBeMade) {
    ScratchDir dir;
    // A dangling link named spool is no folder, and it keeps one from being made.
    ASSERT_EQ(::symlink("nowhere", "spool"), 0);
    EXPECT_EQ(Parse("relay").result, -1);
}

TEST(SplitHelpLines, LineEndsAndCtrlZ) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(SplitHelpLines(""), Lines{});
    EXPECT_EQ(SplitHelpLines("a\r\nb\rc"), (Lines{"a", "b", "c"}));
    EXPECT_EQ(SplitHelpLines("a\nb\r\nc\n"), (Lines{"a", "b", "c"}));
    EXPECT_EQ(SplitHelpLines("a\r\r\n"), (Lines{"a", ""}));
    EXPECT_EQ(SplitHelpLines("a\r\nb\x1a"
                             "c\r\n"),
              (Lines{"a", "b"}));
}

}  // namespace
}  // namespace sendal
