// The netrc entry for a relay: the machine entry (name in any case) before a default one.
#include "base/netrc.h"

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

}  // namespace
}  // namespace sendal
