// The activity log. Each line is written with one write() and no buffer of our own, so a run
// that dies midway leaves every line it reported, and the file only ever grows. Runs share the
// log without a lock per line: it is opened with O_APPEND, and one write of one line to a local
// file lands whole at its end, never within another process's line. Each run takes one shared
// lock for its whole length, so a program that holds the log's exclusive lock (one that
// rotates or reads it whole) keeps every run of ours out of it; the sessions of a --send run
// write through the parent's open log and so under its lock, which lasts as long as they do.
#include "log/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <unistd.h>

#include <ctime>

#include "base/console.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/text.h"
#include "log/timestamp.h"

namespace sendal {
namespace {

constexpr const char* LogFileName = "VORK.LOG";
constexpr const char* LogCredits = " - sendal, spool sender for offline mail";
// The prefix of a log line: what readers of the log grep for.
const char* LevelPrefix(std::int16_t level) {
    switch (level) {
    case LevelError: return "! ";
    case LevelWarning: return "? ";
    case LevelStart: return ": ";
    default: return "  ";
    }
}

UniqueFd LogFile;
std::string LogPath;  // empty: VORK.LOG in the working directory
std::string LogLabel;
std::string LastError;

// The clock of the log lines, formatted once a second: a busy run logs thousands of lines.
std::string ClockNow() {
    static std::time_t formattedAt = -1;
    static std::string clock;
    std::time_t now = std::time(nullptr);
    if (now != formattedAt) {
        formattedAt = now;
        clock = FormatClockTime(now);
    }
    return clock;
}


}  // namespace

void SetLogPath(const std::string& path) {
    LogPath = path;
}

void WriteLogHeader() {
    // Never through a symbolic link, and only a regular file: a log planted as a link by
    // another user would make us append to a file of theirs choosing.
    // A new log is the user's alone: it holds every recipient of their mail.
    std::string path = LogPath.empty() ? ResolvePath(LogFileName) : LogPath;
    UniqueFd fd(::open(path.c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        // A link, a FIFO without a reader, a folder: there is something, and it is no log.
        struct stat there {};
        if (fd.Valid() || ::lstat(path.c_str(), &there) == 0)
            WriteStdoutLine((LogPath.empty() ? std::string(LogFileName) : path) +
                            " is not a regular file: no log is kept!");
        return;
    }
    if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0) return;  // held by another program: left alone
    LogFile = std::move(fd);
    WriteAll(LogFile.Get(), "----------  " + FormatTimestamp() + ", VORK " + VersionText + LogCredits + "\r\n");
}

std::string FormatLogLine(const std::string& clock, const std::string& message, std::int16_t level) {
    std::string line = LevelPrefix(level);
    line.reserve(line.size() + clock.size() + ProgramTag.size() + message.size() + 8);
    return line.append(clock).append("  ").append(ProgramTag).append("  : ").append(message).append("\r\n");
}

void SetLogLabel(const std::string& label) {
    LogLabel = label;
}

void LogMessage(const std::string& message, std::int16_t level) {
    if (level == LevelError) LastError = message.ends_with('!') ? message.substr(0, message.size() - 1) : message;
    std::string line = LogLabel + message;
    WriteStdoutLine(line);
    // The relay's words may hold control bytes: in the log they could forge a line or drive
    // the terminal of whoever reads it.
    if (LogFile.Valid()) WriteAll(LogFile.Get(), FormatLogLine(ClockNow(), ReplaceTerminalControls(line, '?'), level));
}

std::int32_t ReportFailure(const std::string& message, int exitCode, std::int16_t level) {
    NoteOutcome(exitCode);
    LogMessage(message, level);
    return -1;
}

std::string LastFailure() {
    return LastError;
}

void CloseLog() {
    LogFile.Reset();
}

}  // namespace sendal
