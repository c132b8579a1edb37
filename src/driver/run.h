// The main sequence: one straight pass from the log header to the close-down.
#pragma once

#include <cstdint>
#include <string>

#include "base/fdio.h"
#include "base/runoptions.h"
#include "smtp/transfer.h"

namespace sendal {

// Runs the whole program once and returns its exit code: 0 unless -exitcode asks for a code
// that says how the run went (the mail packages that start the host form expect 0); the
// queue commands and refused words of --send always give theirs.
std::int32_t RunMain();

// Sending the spool is background work: it yields the processor to every other program.
void SetIdlePriority();

// Takes the spool folder for this run: it must let us delete what the relay accepts, and no
// other run may be sending from it (two runs would send every message twice). The lock goes
// with `lock`, or with the process. 0, or -1 after saying why the run ends here; a spool in use
// counts as a failure (75) only with `inUseIsFailure` (a timer's --send run did its part when
// another run sends the spool).
std::int32_t TakeSpoolFolder(const std::string& fileMask, UniqueFd& lock, bool inUseIsFailure = true);

struct AccountReport;

// What this process's session came to, for the alerts and the metrics.
AccountReport ThisSessionReport();

// One relay's part of the run, from the connection to the close-down of the socket; the
// spool folder is already taken.
void SendOverRelay(const RunOptions& options, const std::string& fileMask, const SpoolSelection& selection);

}  // namespace sendal
