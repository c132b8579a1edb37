// The netrc entry for a relay: the machine entry (name in any case) before a default one.
#include "credentials/netrc.h"

#include <gtest/gtest.h>

namespace sendal {
namespace {

TEST(FindNetrcEntry, MachineThenDefault) {
    const char* text =
        "default login d password dpw\n"
        "machine Mail.Example.ORG\n  login u1 password p1\n"
        "machine other login u2 account x password p2 machine nopass login u3\n";
    struct Row {
        const char *host, *user, *password;
    } rows[] = {
        {"mail.example.org", "u1", "p1"},
        {"OTHER", "u2", "p2"},
        {"nopass", "d", "dpw"},  // an entry without a password falls back to the default
        {"unknown", "d", "dpw"},
    };
    for (const Row& row : rows) {
        std::string user, password;
        EXPECT_TRUE(FindNetrcEntry(text, row.host, user, password)) << row.host;
        EXPECT_EQ(user, row.user) << row.host;
        EXPECT_EQ(password, row.password) << row.host;
    }
    std::string user, password;
    EXPECT_FALSE(FindNetrcEntry("machine a login b password c", "z", user, password));
    EXPECT_FALSE(FindNetrcEntry("", "z", user, password));
}

// Read as other tools read netrc files: comments, quotes, macros, any order of keywords.
TEST(FindNetrcEntry, AsOtherToolsReadIt) {
    struct Row {
        const char *name, *text, *user, *password;
    } rows[] = {
        {"commented-out entry after the real one",
         "machine relay login alice password RIGHT\n#machine old.example login alice password OTHERHOSTPW\n",
         "alice", "RIGHT"},
        {"comment with an odd number of words", "# relay account\nmachine relay login a password p\n",
         "a", "p"},
        {"quoted password with a blank and a backslash",
         "machine relay login a password \"two words \\\" and \\\\ back\"\n", "a",
         "two words \" and \\ back"},
        {"macdef body skipped", "macdef init\npassword FROMMACRO\nlogin x\n\nmachine relay login a password p\n",
         "a", "p"},
        {"default before the machine entry", "default login d password dpw\nmachine relay login a password p\n",
         "a", "p"},
        {"keywords in another order", "machine relay password p account acct login a\n", "a", "p"},
        {"tabs and CR LF", "machine\trelay\r\n\tlogin a\r\n\tpassword p\r\n", "a", "p"},
        {"login alone, for the password command", "machine relay login a\n", "a", ""},
    };
    for (const Row& row : rows) {
        std::string user, password;
        EXPECT_TRUE(FindNetrcEntry(row.text, "relay", user, password, true)) << row.name;
        EXPECT_EQ(user, row.user) << row.name;
        EXPECT_EQ(password, row.password) << row.name;
    }
}

}  // namespace
}  // namespace sendal
