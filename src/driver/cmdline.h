// The command line: host [port] [,options], with -helo=name and a file mask in the options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// Reads the program's arguments joined with single blanks and fills the four values with
// their defaults (port 25, a HELO name from the host, the mask ".\spool\m????.out"). Asks for
// the host at the "Host: " prompt when none is given. Returns 0 to go on, -1 when the run
// must stop: the usage screen has been shown, or the default spool folder is missing.
std::int32_t ParseCommandLine(std::string& host, std::int32_t& port, std::string& heloName,
                              std::string& fileMask);

// The same for a given command tail (the parsing itself, for tests and fuzzing).
std::int32_t ParseCommandTail(const std::string& tail, std::string& host, std::int32_t& port,
                              std::string& heloName, std::string& fileMask);

// "-rate=N" and the like: `option` and a whole number from 1 on, into `into`.
bool TakeCountOption(const std::string& word, const std::string& option, int& into);

// The HELO name a host implies: its domain ("me" for a number or a name without a dot).
std::string DeriveHeloName(const std::string& host);

// The program's arguments after its name, joined with single blanks.
std::string ReadCommandTail();

}  // namespace sendal
