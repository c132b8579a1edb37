// The directory search and path resolution: case-insensitive names, wildcards, selection.
#include "base/dirsearch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/path.h"
#include "test_support.h"

namespace sendal {
namespace {

using testing::ScratchDir;
using testing::WriteFile;

std::vector<std::string> All(const std::string& mask, SearchSelection selection = SearchFiles) {
    std::vector<std::string> names;
    for (std::string name = FindFirstEntry(mask, selection); !name.empty(); name = FindNextEntry())
        names.push_back(name);
    return names;
}

TEST(MatchWildcard, Patterns) {
    struct Row {
        const char *pattern, *name;
        bool want;
    } rows[] = {
        {"m????.out", "M0001.OUT", true},
        {"m????.out", "m001.out", false},
        {"m????.out", "m00001.out", false},
        {"*.*", "spool", true},
        {"*.*", "a.b", true},
        {"*", "anything.x", true},
        {"*.msg", "a.b.msg", true},
        {"*.msg", "a.msgx", false},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYc-", false},
        {"?", "", false},
        {"", "", true},
        {"REdez.No", "redez.no", true},
    };
    for (const Row& row : rows)
        EXPECT_EQ(MatchWildcard(row.pattern, row.name), row.want)
            << row.pattern << " vs " << row.name;
}

TEST(DirectorySearch, NameOrderCaseAndSelection) {
    ScratchDir dir;
    ASSERT_EQ(::mkdir("Spool", 0777), 0);
    WriteFile("Spool/m0002.out", "b");
    WriteFile("Spool/M0001.OUT", "a");
    WriteFile("Spool/m0003.OUT", "c");
    WriteFile("Spool/.m0000.out", "hidden");
    ASSERT_EQ(::mkfifo("Spool/m0004.out", 0600), 0);
    ASSERT_EQ(::mkdir("Spool/m0005.out", 0777), 0);
    ASSERT_EQ(::symlink("m0002.out", "Spool/m0006.out"), 0);
    ASSERT_EQ(::symlink("/dev/null", "Spool/m0007.out"), 0);
    std::vector<std::string> want = {"M0001.OUT", "m0002.out", "m0003.OUT", "m0006.out"};
    EXPECT_EQ(All(".\\spool\\m????.out"), want);
    EXPECT_EQ(All("./SPOOL/m????.out"), want);
    EXPECT_EQ(All("spool\\").size(), 4u);
    EXPECT_EQ(All("spool/m????.out", SearchFilesAndDirectories).size(), 5u);
    EXPECT_EQ(All("*.*", SearchFilesAndDirectories), std::vector<std::string>{"Spool"});
    EXPECT_TRUE(All("*.*").empty());
    EXPECT_TRUE(All("missing\\*.*").empty());
}

TEST(DirectorySearch, DeletionDuringSearchDoesNotDisturbIt) {
    ScratchDir dir;
    WriteFile("a.out", "");
    WriteFile("b.out", "");
    EXPECT_EQ(FindFirstEntry("*.out", SearchFiles), "a.out");
    ::unlink("a.out");
    ::unlink("b.out");
    EXPECT_EQ(FindNextEntry(), "b.out");
    EXPECT_EQ(FindNextEntry(), "");
    EXPECT_EQ(FindFirstEntry("*.out", SearchFiles), "");
}

TEST(ResolvePath, FindsComponentsInAnyCase) {
    ScratchDir dir;
    ASSERT_EQ(::mkdir("Out", 0777), 0);
    WriteFile("Out/Mail.MSG", "x");
    EXPECT_EQ(ResolvePath("out\\mail.msg"), "Out/Mail.MSG");
    EXPECT_EQ(ResolvePath(".\\OUT\\"), "./Out/");
    EXPECT_EQ(ResolvePath("out\\new.msg"), "Out/new.msg");
    EXPECT_EQ(ResolvePath("c:\\x"), "c:/x");
    EXPECT_EQ(DirectoryPartLength("c:\\out\\*.msg"), 7u);
    EXPECT_EQ(DirectoryPartLength("c:*.msg"), 2u);
    EXPECT_EQ(DirectoryPartLength("*.msg"), 0u);
}

}  // namespace
}  // namespace sendal
