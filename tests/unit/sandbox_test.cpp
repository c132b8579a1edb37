// The confinement itself, in a child process (it cannot be undone): after it, a file in the
// allowed folder opens and one outside does not, a file in a read-only folder cannot be
// written, and a call outside the filter fails with EPERM instead of running.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/sandbox.h"

namespace sendal {
namespace {

namespace fs = std::filesystem;

// Runs `body` in a child after ConfineRun(rules); its exit code, or -1 when it died.
template <typename Body>
int InConfinedChild(const SandboxRules& rules, Body body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string why;
        if (ConfineRun(rules, why) != 0) ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override {
        if (LandlockAbi() <= 0) GTEST_SKIP() << "no Landlock in this kernel";
        root = fs::temp_directory_path() / ("sendal-sandbox-" + std::to_string(::getpid()));
        fs::create_directories(root / "spool");
        fs::create_directories(root / "outside");
        std::ofstream(root / "spool" / "m0001.out") << "To: a@b\n\nhi\n";
        std::ofstream(root / "outside" / "secret") << "not yours\n";
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(Sandbox, OnlyTheAllowedFolderCanBeReachedAndOnlyAsAllowed) {
    SandboxRules rules;
    rules.folders.push_back((root / "spool").string());
    std::string inside = (root / "spool" / "m0001.out").string();
    std::string outside = (root / "outside" / "secret").string();
    int result = InConfinedChild(rules, [&] {
        int code = 0;
        int fd = ::open(inside.c_str(), O_RDONLY);
        if (fd < 0) code |= 1;
        else ::close(fd);
        if (::open(outside.c_str(), O_RDONLY) >= 0 || errno != EACCES) code |= 2;
        if (::open(inside.c_str(), O_WRONLY) >= 0) code |= 4;  // read and remove only
        if (::open((root / "spool" / "new").c_str(), O_WRONLY | O_CREAT, 0600) >= 0) code |= 8;
        if (::mkdir((root / "spool" / "folder").c_str(), 0700) == 0) code |= 32;
        if (::unlink(inside.c_str()) != 0) code |= 16;  // what the relay accepted goes
        return code;
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(fs::exists(root / "spool" / "m0001.out"));
    EXPECT_TRUE(fs::exists(root / "outside" / "secret"));
}

TEST_F(Sandbox, StateRecordsAreWrittenAndFilesMoveToTheHeldFolder) {
    fs::create_directories(root / "spool" / "held");
    fs::create_directories(root / "state");
    SandboxRules rules;
    rules.folders.push_back((root / "spool").string());
    rules.holding.push_back((root / "spool" / "held").string());
    rules.writable.push_back((root / "state").string());
    int result = InConfinedChild(rules, [&] {
        std::string temporary = (root / "state" / "m0001.out.tmp").string();
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT, 0600);
        if (fd < 0) return 1;
        ::close(fd);
        if (::rename(temporary.c_str(), (root / "state" / "m0001.out.state").c_str()) != 0) return 2;
        if (::rename((root / "spool" / "m0001.out").c_str(), (root / "spool" / "held" / "m0001.out").c_str()) != 0)
            return 3;
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(fs::exists(root / "spool" / "held" / "m0001.out"));
    EXPECT_TRUE(fs::exists(root / "state" / "m0001.out.state"));
}

// A confined run can never queue mail: no file is made in the spool, nor linked or renamed
// into it from the folders it may write or hold files in.
TEST_F(Sandbox, NoFileComesIntoTheSpool) {
    if (LandlockAbi() < 2) GTEST_SKIP() << "moves between folders need Landlock ABI 2";
    fs::create_directories(root / "spool" / "held");
    fs::create_directories(root / "state");
    std::ofstream(root / "spool" / "held" / "m0002.out") << "To: a@b\n\nheld\n";
    std::ofstream(root / "state" / "planted") << "To: a@b\n\nplanted\n";
    SandboxRules rules;
    rules.folders.push_back((root / "spool").string());
    rules.holding.push_back((root / "spool" / "held").string());
    rules.writable.push_back((root / "state").string());
    std::string spool = (root / "spool").string();
    std::string held = (root / "spool" / "held" / "m0002.out").string();
    std::string planted = (root / "state" / "planted").string();
    int result = InConfinedChild(rules, [&] {
        int code = 0;
        int fd = ::open((spool + "/m0009.out").c_str(), O_RDONLY | O_CREAT, 0600);
        if (fd >= 0 || errno != EACCES) code |= 1;  // not even an empty file
        if (::rename(planted.c_str(), (spool + "/m0010.out").c_str()) == 0) code |= 2;
        if (::link(planted.c_str(), (spool + "/m0011.out").c_str()) == 0) code |= 4;
        if (::rename(held.c_str(), (spool + "/m0012.out").c_str()) == 0) code |= 8;
        if (::link(held.c_str(), (spool + "/m0013.out").c_str()) == 0) code |= 16;
        return code;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "spool"), fs::directory_iterator()), 2);
}

TEST_F(Sandbox, ACallOutsideTheFilterFailsWithPermissionDenied) {
    SandboxRules rules;
    rules.folders.push_back((root / "spool").string());
    int result = InConfinedChild(rules, [] {
        char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execve("/bin/true", argv, environ);  // a process of the relay's choosing: never
        if (errno != EPERM) return 1;
#ifndef SENDAL_LEAK_CHECKER  // the leak checker's build lets it clone its helper
        if (::fork() >= 0) return 2;
        if (errno != EPERM) return 3;
#endif
        return 0;
    });
    EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace sendal
