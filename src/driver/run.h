// The main sequence: one straight pass from the log header to the close-down.
#pragma once

#include <cstdint>
#include <string>

#include "base/fdio.h"

namespace sendal {

// Runs the whole program once. Returns the exit code, 0 on every path; the log and the
// console tell what happened.
std::int32_t RunMain();

// Sending the spool is background work: take the processor only when nothing else wants it.
void SetIdlePriority();

// Takes the spool folder for this run: it must let us delete what the relay accepts, and no
// other run may be sending from it (two runs would send every message twice). The lock goes
// with `lock`, or with the process. 0, or -1 after saying why the run ends here.
std::int32_t TakeSpoolFolder(const std::string& fileMask, UniqueFd& lock);

// One relay's part of the run, from the connection to the close-down of the socket; the
// spool folder is already taken.
void SendOverRelay(std::int32_t relayPort, const std::string& heloName, const std::string& fileMask);

}  // namespace sendal
