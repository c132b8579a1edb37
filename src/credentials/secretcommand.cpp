// The password command, run once per run before connecting.
#include "credentials/secretcommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/environment.h"
#include "base/console.h"
#include "base/fdio.h"
#include "base/stop.h"
#include "base/outcome.h"
#include "log/log.h"

extern char** environ;

namespace sendal {
namespace {

// The command runs in a process group of its own, so a stop ends it with everything it
// started; while it runs, that group has the terminal, so a passphrase prompt still works.
pid_t Spawn(const std::string& command, int output, char* const* environment) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environment) != 0)
        child = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// Hands the terminal to `group` (our own back with our group); -1 when we do not hold it.
// A child that read the terminal before it was its own was stopped: it goes on now.
int HandTerminal(pid_t group) {
    int fd = ConsoleTerminalFd();
    if (fd < 0) return -1;
    if (group != ::getpgrp() && ::tcgetpgrp(fd) != ::getpgrp()) return -1;
    sigset_t quiet, saved;
    sigemptyset(&quiet);
    sigaddset(&quiet, SIGTTOU);  // taking it back from the background
    ::pthread_sigmask(SIG_BLOCK, &quiet, &saved);
    int result = ::tcsetpgrp(fd, group);
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (result == 0 && group != ::getpgrp()) ::kill(-group, SIGCONT);
    return result;
}

// Ends the command's whole process group: asked first, then forced.
void EndGroup(pid_t child, int& status) {
    ::kill(-child, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(child, &status, WNOHANG) == child) break;
        ::usleep(10000);
    }
    ::kill(-child, SIGKILL);
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

using Clock = std::chrono::steady_clock;
constexpr long PollSliceMs = 100;  // a stop is seen within this

// Reads the child's output until it closes it, the bound is reached or the time is up.
// False on the time-out.
bool ReadOutput(int fd, std::string& output, Clock::time_point deadline) {
    char block[4096];
    while (output.size() < MaxSecretOutput) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || StopSignal() != 0) return false;
        pollfd watch{fd, POLLIN, 0};
        int ready = ::poll(&watch, 1, static_cast<int>(std::min<long>(left.count(), PollSliceMs)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) continue;
        if (ready < 0) return true;
        ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return true;
        output.append(block, static_cast<std::size_t>(got));
    }
    if (output.size() > MaxSecretOutput) output.resize(MaxSecretOutput);
    return true;
}

// The child's end, waited for until the deadline or a stop; false when it had to be ended.
bool Reap(pid_t child, int& status, Clock::time_point deadline) {
    for (;;) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) {
            ::kill(-child, SIGKILL);  // what it left running in its group ends with it
            return true;
        }
        if (Clock::now() >= deadline || StopSignal() != 0) break;
        ::usleep(10000);
    }
    EndGroup(child, status);
    return false;
}

}  // namespace

std::int32_t RunSecretCommand(const std::string& command, const std::string& host,
                              const std::string& user, std::string& secret) {
    secret.clear();
    int ends[2];
    const std::string named = "'" + command + "'";
    if (::pipe2(ends, O_CLOEXEC) != 0) return ReportFailure("Password command failed: " + named + " cannot start!", EX_CONFIG);
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    ChildEnvironment environment;
    BuildChildEnvironment({{"SENDAL_HOST", host}, {"SENDAL_USER", user}}, environment);
    pid_t child = Spawn(command, writeEnd.Get(), environment.pointers.data());
    writeEnd.Reset();
    if (child < 0) return ReportFailure("Password command failed: " + named + " cannot start!", EX_CONFIG);
    bool handed = HandTerminal(child) == 0;
    const auto deadline = Clock::now() + std::chrono::seconds(SecretCommandSeconds);
    std::string output;
    int status = 0;
    bool ended = ReadOutput(readEnd.Get(), output, deadline);
    ended = Reap(child, status, ended ? deadline : Clock::now()) && ended;
    if (handed) HandTerminal(::getpgrp());
    std::size_t lineEnd = output.find_first_of("\r\n");
    secret = output.substr(0, lineEnd);
    ::explicit_bzero(output.data(), output.size());
    if (StopSignal() != 0) {  // the stop is the only word on it
        ::explicit_bzero(secret.data(), secret.size());
        secret.clear();
        return -1;
    }
    if (!ended) return ReportFailure("Password command timed out!", EX_CONFIG);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ::explicit_bzero(secret.data(), secret.size());
        secret.clear();
        // The command as configured names what to mend; its output may hold the secret.
        std::string how = WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                                            : "was ended by signal " + std::to_string(WTERMSIG(status));
        return ReportFailure("Password command failed: " + named + " " + how + "!", EX_CONFIG);
    }
    if (secret.empty()) return ReportFailure("Password command printed nothing!", EX_CONFIG);
    return 0;
}

}  // namespace sendal
