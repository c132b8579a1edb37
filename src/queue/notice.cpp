// The notice helper: a child that reads notices from a pipe, one record of NUL-separated
// fields each, and runs the command for each in a process group of its own, ended when it
// takes too long. It only ever runs the user's own command with the file's facts in its
// environment; nothing is mailed through the relay.
#include "queue/notice.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>


#include <chrono>
#include <vector>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/text.h"
#include "log/log.h"

namespace sendal {
namespace {

constexpr int FieldCount = 6;
constexpr int PollSliceMs = 100;

int NoticePipe = -1;
pid_t Notifier = -1;

// A value for the notice's environment, where a user's command may write it anywhere (a
// mailbox, a terminal): the line ends of a reply of several lines become " / ", and no
// control byte is left.
std::string CleanValue(const std::string& text) {
    std::string joined;
    for (std::size_t start = 0;;) {
        std::size_t end = text.find("\r\n", start);
        joined += text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (end == std::string::npos) break;
        joined += " / ";
        start = end + 2;
    }
    return ReplaceTerminalControls(joined, ' ');
}

// A field of the record: NUL ends it, so no field may hold one (nor any other control byte).
std::string Field(const std::string& text) {
    return CleanValue(text) + '\0';
}

void RunCommand(const std::string& command, const std::vector<std::string>& fields) {
    const char* names[FieldCount] = {"SENDAL_FILE", "SENDAL_REASON",  "SENDAL_FROM",
                                     "SENDAL_RECIPIENTS", "SENDAL_SUBJECT", "SENDAL_EVENT"};
    std::vector<std::pair<std::string, std::string>> added;
    for (int i = 0; i < FieldCount; ++i) added.emplace_back(names[i], fields[i]);
    ChildEnvironment environment;
    BuildChildEnvironment(added, environment);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::execve("/bin/sh", const_cast<char**>(argv), environment.pointers.data());
        ::_exit(127);
    }
    if (child < 0) {
        LogMessage("Notice command failed: " + fields[0] + "!", LevelWarning);
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(NoticeCommandSeconds);
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-child, SIGKILL);
            ::waitpid(child, &status, 0);
            LogMessage("Notice command timed out: " + fields[0] + "!", LevelWarning);
            return;
        }
        ::poll(nullptr, 0, PollSliceMs);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        LogMessage("Notice command failed: " + fields[0] + "!", LevelWarning);
}

[[noreturn]] void ServeNotices(int input, const std::string& command) {
    std::string pending;
    char block[4096];
    for (;;) {
        ssize_t got = ::read(input, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) ::_exit(0);
        pending.append(block, static_cast<std::size_t>(got));
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\0', start)) != std::string::npos; start = end + 1) {
            fields.push_back(pending.substr(start, end - start));
            if (fields.size() == FieldCount) {
                RunCommand(command, fields);
                fields.clear();
                pending.erase(0, end + 1);
                end = static_cast<std::size_t>(-1);
            }
        }
    }
}

}  // namespace

std::int32_t StartNotifier(const std::string& command) {
    int ends[2];
    if (command.empty() || ::pipe2(ends, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[1]);
        ::signal(SIGINT, SIG_IGN);  // a stop of the run lets the notices already due run
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ServeNotices(ends[0], command);
    }
    ::close(ends[0]);
    if (pid < 0) {
        ::close(ends[1]);
        return -1;
    }
    Notifier = pid;
    NoticePipe = ends[1];
    return 0;
}

bool SendNotice(const Notice& notice) {
    if (NoticePipe < 0) return false;
    std::string record = Field(notice.file) + Field(notice.reason) + Field(notice.from) +
                         Field(notice.recipients) + Field(notice.subject) + Field(notice.event);
    return WriteAll(NoticePipe, record) == 0;
}

void StopNotifier() {
    if (NoticePipe < 0) return;
    ::close(NoticePipe);
    NoticePipe = -1;
    int status = 0;
    while (::waitpid(Notifier, &status, 0) < 0 && errno == EINTR) {
    }
    Notifier = -1;
}

}  // namespace sendal
