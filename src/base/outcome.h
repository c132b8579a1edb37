// How the run ended, for the exit code that cron and systemd read when -exitcode asks for it
// (without it the exit code is 0 on every path, which the front end that starts us relies on).
#pragma once

#include <sysexits.h>

namespace sendal {

inline int RunOutcome = EX_OK;       // the first failure's code from sysexits.h

// Notes why the run ends; the first failure is the one that counts.
inline void NoteOutcome(int code) {
    if (RunOutcome == EX_OK) RunOutcome = code;
}

}  // namespace sendal
