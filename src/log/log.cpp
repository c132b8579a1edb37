// The activity log. Each line is written with one write() and no buffer of our own, so a run
// that dies midway leaves every line it reported, and the file only ever grows.
#include "log/log.h"

#include <fcntl.h>
#include <sys/file.h>

#include "base/console.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "base/path.h"
#include "log/timestamp.h"

namespace sendal {
namespace {

constexpr const char* LogFileName = "VORK.LOG";
constexpr const char* LogCredits = " - sendal, spool sender for offline mail";
constexpr const char* LevelPrefixes[] = {"  ", "! ", "? ", "$ ", "* ", ": ",
                                         "+ ", "- ", "% ", "~ ", "= "};

UniqueFd LogFile;

}  // namespace

void WriteLogHeader() {
    UniqueFd fd(
        ::open(ResolvePath(LogFileName).c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    // A log held by another run counts as not openable: that run's lines stay together.
    if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return;
    LogFile = std::move(fd);
    WriteAll(LogFile.Get(),
             "----------  " + FormatTimestamp() + ", VORK " + VersionText + LogCredits + "\r\n");
}

std::string FormatLogLine(const std::string& clock, const std::string& message, std::int32_t number,
                          std::int16_t level) {
    std::string numberTag = number < 0 ? "  " : "#" + std::to_string(number);
    std::string prefix = (level >= 0 && level <= 10) ? LevelPrefixes[level] : "";
    return prefix + clock + "  " + ProgramTag + numberTag + ": " + message + "\r\n";
}

void LogMessage(const std::string& message, std::int32_t number, std::int16_t level) {
    WriteStdoutLine(message);
    if (LogFile.Valid())
        WriteAll(LogFile.Get(), FormatLogLine(FormatClockTime(), message, number, level));
}

void CloseLog() {
    LogFile.Reset();
}

}  // namespace sendal
