// The activity log. Each line is written with one write() and no buffer of our own, so a run
// that dies midway leaves every line it reported, and the file only ever grows. Runs share the
// log: each takes its lock for one line at a time, so lines of two runs never mix within a
// line and every run's lines are kept.
#include "log/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>

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
constexpr const char* LevelPrefixes[] = {"  ", "! ", "? ", "$ ", "* ", ": ",
                                         "+ ", "- ", "% ", "~ ", "= "};

UniqueFd LogFile;
std::string LogPath;  // empty: VORK.LOG in the working directory
std::string LogLabel;

// Runs hold the lock for one line: one held longer is no run of ours, and its log is left alone.
constexpr int LockTries = 2000;
constexpr useconds_t LockPauseMicroseconds = 1000;

// One line under the log's lock.
void WriteLocked(const std::string& line) {
    for (int tries = 0; ::flock(LogFile.Get(), LOCK_EX | LOCK_NB) != 0; ++tries) {
        if (tries == LockTries || (errno != EWOULDBLOCK && errno != EINTR)) return;
        ::usleep(LockPauseMicroseconds);
    }
    WriteAll(LogFile.Get(), line);
    ::flock(LogFile.Get(), LOCK_UN);
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
    LogFile = std::move(fd);
    WriteLocked("----------  " + FormatTimestamp() + ", VORK " + VersionText + LogCredits + "\r\n");
}

std::string FormatLogLine(const std::string& clock, const std::string& message, std::int32_t number,
                          std::int16_t level) {
    std::string numberTag = number < 0 ? "  " : "#" + std::to_string(number);
    std::string prefix = (level >= 0 && level <= 10) ? LevelPrefixes[level] : "";
    return prefix + clock + "  " + ProgramTag + numberTag + ": " + message + "\r\n";
}

void SetLogLabel(const std::string& label) {
    LogLabel = label;
}

void LogMessage(const std::string& message, std::int32_t number, std::int16_t level) {
    std::string line = LogLabel + message;
    WriteStdoutLine(line);
    // The relay's words may hold control bytes: in the log they could forge a line or drive
    // the terminal of whoever reads it.
    if (LogFile.Valid()) WriteLocked(FormatLogLine(FormatClockTime(), ReplaceControlBytes(line, '?'), number, level));
}

std::int32_t ReportFailure(const std::string& message, int exitCode, std::int16_t level) {
    NoteOutcome(exitCode);
    LogMessage(message, -1, level);
    return -1;
}

void CloseLog() {
    LogFile.Reset();
}

}  // namespace sendal
