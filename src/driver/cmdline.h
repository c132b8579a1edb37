// The command line, in every form: the design's host form (host [port] [,options and mask]),
// --send, --queue, --release and --remove; every option word read through the one table.
#pragma once

#include <cstdint>
#include <string>

#include "base/runoptions.h"

namespace sendal {

// Reads the program's arguments (joined with single blanks) into `options`, with the host
// form's defaults (port 25, a HELO name from the host, the mask ".\spool\m????.out"). Asks
// for the host at the "Host: " prompt when none is given. Returns 0 to go on (its form in
// `options.form`), -1 when the run must stop: the usage screen or the version has been shown,
// or a problem has been reported (the exit code noted).
std::int32_t ReadRunWords(const std::string& tail, RunOptions& options);

// Whether the tail's first word is one of the commands (--send, --queue, --release, --remove)
// rather than a relay.
bool IsCommandForm(const std::string& tail);

// ReadRunWords for the host form alone (tests and fuzzing): -1 for any other form.
std::int32_t ParseCommandTail(const std::string& tail, RunOptions& options);

// Options that cannot go together: a second handshake inside the first, or a pin dropped.
// 0, or -1 reported.
std::int32_t CheckOptionPairs(const RunOptions& options);

// The HELO name a host implies: its domain ("me" for a number or a name without a dot).
std::string DeriveHeloName(const std::string& host);

// The program's arguments after its name, joined with single blanks.
std::string ReadCommandTail();

}  // namespace sendal
