// The configuration's reading where a mistake would send mail the wrong way: defaults implied
// by security, which account a sender picks, and the refusals with their lines.
#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/config.h"

namespace sendal {
namespace {

std::int32_t Parse(const std::string& text, Config& config, std::string& error) {
    config.path = "/c.toml";
    return ParseConfigText(text, config, error);
}

TEST(Config, PortsAndLogFollowTheSecurityAndTheSpool) {
    ::setenv("HOME", "/home/u", 1);
    Config config;
    std::string error;
    ASSERT_EQ(Parse("spool = \"~/mail/spool/\"\n"
                    "[accounts.a]\nhost = \"a\"\n"
                    "[accounts.b]\nhost = \"b\"\nsecurity = \"tls\"\n"
                    "[accounts.c]\nhost = \"c\"\nsecurity = \"plain\"\n"
                    "[accounts.d]\nhost = \"d\"\nsecurity = \"plain\"\nport = 2525\n",
                    config, error), 0) << error;
    EXPECT_EQ(config.spool, "/home/u/mail/spool");
    EXPECT_EQ(config.log, "/home/u/mail/VORK.LOG");
    ASSERT_EQ(config.accounts.size(), 4u);
    EXPECT_EQ(config.accounts[0].port, 587);
    EXPECT_EQ(config.accounts[0].security, Security::StartTls);
    EXPECT_EQ(config.accounts[1].port, 465);
    EXPECT_EQ(config.accounts[2].port, 25);
    EXPECT_EQ(config.accounts[3].port, 2525);
}

TEST(Config, TheSenderPicksTheAccountIgnoringCaseElseTheDefault) {
    Config config;
    std::string error;
    ASSERT_EQ(Parse("spool = \"/s\"\n"
                    "[accounts.home]\nhost = \"h\"\nfrom = [\"Me@Home.Example\"]\n"
                    "[accounts.work]\nhost = \"w\"\nfrom = [\"*@work.example\"]\n"
                    "[accounts.other]\nhost = \"o\"\ndefault = true\n",
                    config, error), 0) << error;
    EXPECT_EQ(AccountFor(config, "me@HOME.example")->name, "home");
    EXPECT_EQ(AccountFor(config, "anyone@Work.Example")->name, "work");
    EXPECT_EQ(AccountFor(config, "anyone@sub.work.example")->name, "other");
    EXPECT_EQ(AccountFor(config, "you@home.example")->name, "other");
    EXPECT_EQ(AccountFor(config, "")->name, "other");
    config.accounts.back().isDefault = false;
    EXPECT_EQ(AccountFor(config, "root"), nullptr);
    EXPECT_EQ(AccountFor(config, "*@work.example")->name, "work");  // no address; harmless
}

TEST(Config, MistakesAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"spool = \"/s\"\n[accounts.a]\nhost = \"h\"\nfrom = \"a@b\"\n",
         "/c.toml: from must be a list of addresses at line 4!"},
        {"spool = \"/s\"\n[accounts.a]\nhost = \"h\"\nfrom = [\"nobody\"]\n",
         "/c.toml: from holds \"nobody\", no address at line 4!"},
        {"spool = \"/s\"\n[accounts.a]\nport = 25\n", "/c.toml: account a has no host at line 2!"},
        {"spool = \"/s\"\n[accounts.a]\nhost = \"h\"\nport = 70000\n", "/c.toml: port must be 1 to 65535 at line 4!"},
        {"spool = \"/s\"\n[accounts.a]\nhost = \"h\"\nsecurity = \"plain\"\nauth = \"plain\"\n",
         "/c.toml: account a logs in without TLS (security plain) at line 2!"},
        {"spool = \"/s\"\n[accounts.a]\nhost = \"h\"\nfingerprint = \"ab:cd\"\n",
         "/c.toml: fingerprint must be the 64 hex digits of a SHA-256 at line 4!"},
        {"spool = \"/s\"\n[accounts.a]\nhost = \"h\"\ndefault = \"yes\"\n",
         "/c.toml: default must be true or false at line 4!"},
        {"[accounts.a]\nhost = \"h\"\n", "/c.toml: no spool named!"},
        {"spool = \"/s\"\n", "/c.toml: no account named!"},
        {"spool = \"/s\"\naccounts = 3\n", "/c.toml: accounts must be tables at line 2!"},
        {"spool = \"mail/spool\"\n[accounts.a]\nhost = \"h\"\n",
         "/c.toml: spool must be an absolute path (or begin with ~/)!"},
        {"spool = \"/s\"\nlog = \"VORK.LOG\"\n[accounts.a]\nhost = \"h\"\n",
         "/c.toml: log must be an absolute path (or begin with ~/)!"},
    };
    for (const auto& [text, message] : cases) {
        Config config;
        std::string error;
        EXPECT_EQ(Parse(text, config, error), -1) << text;
        EXPECT_EQ(error, message) << text;
    }
}

// The reader recurses as deep as a file nests: a deep file is refused before it is read (a
// table header 50,000 levels deep once ended the process).
TEST(Config, NestingWithoutEndIsRefused) {
    std::string header = "[a";
    for (int i = 0; i < 50000; ++i) header += ".a";
    std::string arrays = "x = " + std::string(50000, '[') + std::string(50000, ']') + "\n";
    for (const std::string& text : {"spool = \"/s\"\n" + header + "]\n", "spool = \"/s\"\n" + arrays}) {
        Config config;
        std::string error;
        EXPECT_EQ(Parse(text, config, error), -1);
        EXPECT_EQ(error, "/c.toml: nested deeper than 32 at line 2!");
    }
    Config config;
    std::string error;
    EXPECT_EQ(Parse("spool = \"/s.d\" # a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z.a.b.c.d.e.f.g\n"
                    "[accounts.a]\nhost = \"h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z.a.b.c.d.e.f.g.h.i.j.k.l.m\"\n",
                    config, error), 0) << error;
}

}  // namespace
}  // namespace sendal
