// The password command, run once per run before connecting.
#include "base/secretcommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/fdio.h"
#include "base/outcome.h"
#include "log/log.h"

extern char** environ;

namespace sendal {
namespace {

std::int32_t Fail(const char* message) {
    NoteOutcome(EX_CONFIG);
    LogMessage(message, -1, LevelError);
    return -1;
}

pid_t Spawn(const std::string& command, int output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        child = -1;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

using Clock = std::chrono::steady_clock;

// Reads the child's output until it closes it, the bound is reached or the time is up.
// False on the time-out.
bool ReadOutput(int fd, std::string& output, Clock::time_point deadline) {
    char block[4096];
    while (output.size() < MaxSecretOutput) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd watch{fd, POLLIN, 0};
        int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready == 0 ? false : true;
        ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        output.append(block, static_cast<std::size_t>(got));
    }
    if (output.size() > MaxSecretOutput) output.resize(MaxSecretOutput);
    return true;
}

// The child's end, waited for until the deadline; false when it had to be killed.
bool Reap(pid_t child, int& status, Clock::time_point deadline) {
    for (;;) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) break;
        ::usleep(10000);
    }
    ::kill(child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

}  // namespace

std::int32_t RunSecretCommand(const std::string& command, const std::string& host,
                              const std::string& user, std::string& secret) {
    secret.clear();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return Fail("Password command failed!");
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    ::setenv("SENDAL_HOST", host.c_str(), 1);
    ::setenv("SENDAL_USER", user.c_str(), 1);
    pid_t child = Spawn(command, writeEnd.Get());
    writeEnd.Reset();
    if (child < 0) return Fail("Password command failed!");
    const auto deadline = Clock::now() + std::chrono::seconds(SecretCommandSeconds);
    std::string output;
    int status = 0;
    bool ended = ReadOutput(readEnd.Get(), output, deadline);
    ended = Reap(child, status, ended ? deadline : Clock::now()) && ended;
    std::size_t lineEnd = output.find_first_of("\r\n");
    secret = output.substr(0, lineEnd);
    ::explicit_bzero(output.data(), output.size());
    if (!ended) return Fail("Password command timed out!");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ::explicit_bzero(secret.data(), secret.size());
        secret.clear();
        return Fail("Password command failed!");
    }
    if (secret.empty()) return Fail("Password command printed nothing!");
    return 0;
}

}  // namespace sendal
