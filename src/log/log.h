// The activity log VORK.LOG and the one reporting routine. Every report goes to standard output
// as bare text and to the log as a line with level prefix, time and program tag.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

constexpr std::int16_t LevelNormal = 0;
constexpr std::int16_t LevelError = 1;
constexpr std::int16_t LevelWarning = 2;
constexpr std::int16_t LevelStart = 5;

// Where the log is kept: VORK.LOG in the working directory, unless a configuration names one.
void SetLogPath(const std::string& path);

// Opens VORK.LOG in the working directory (or the configured log) for appending and writes the
// run's header line. A log that is no regular file is not kept, and the run says so once.
void WriteLogHeader();

// Sessions of several accounts write at once: each of their lines begins with the account's
// label ("[work] "), on standard output and in the log.
void SetLogLabel(const std::string& label);

// `message` and its line end on standard output, then the log line. Never fails.
void LogMessage(const std::string& message, std::int16_t level);

// A failure reported where it is found: its exit code noted (the worst of a run counts, see
// outcome.h), then `message` logged at `level`. Always -1, for the caller to pass on.
std::int32_t ReportFailure(const std::string& message, int exitCode,
                           std::int16_t level = LevelError);

// The last message reported at LevelError, without its "!" (for the records of a session that
// failed); empty when there was none.
std::string LastFailure();

// Closes the log; does nothing when it is not open.
void CloseLog();

// The log line for a message, without the clock (for tests).
std::string FormatLogLine(const std::string& clock, const std::string& message, std::int16_t level);

}  // namespace sendal
