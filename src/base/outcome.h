// How the run ended, for the exit code that cron and systemd read when -exitcode asks for it
// (without it the exit code is 0 on every path, which the front end that starts us relies on).
#pragma once

#include <sysexits.h>

namespace sendal {

inline int RunOutcome = EX_OK;  // the worst thing that happened, as a code from sysexits.h

// How bad a code is: an accepted file that stays (it would go twice) is worst, then what the
// user must set right before anything can go (configuration, login), a relay or system that
// misbehaves, a message the relay will never take, a file kept for its own fault, no address
// for the relay, and last what the next run may well get through (75).
constexpr int OutcomeRank(int code) {
    switch (code) {
    case EX_OK: return 0;
    case EX_TEMPFAIL: return 1;
    case EX_NOHOST: return 2;
    case EX_DATAERR:
    case EX_NOINPUT: return 3;
    case EX_UNAVAILABLE: return 4;
    case EX_CONFIG:
    case EX_NOPERM: return 6;
    case EX_CANTCREAT: return 7;
    default: return 5;  // EX_PROTOCOL, EX_IOERR, EX_OSERR, EX_SOFTWARE
    }
}

// Notes what happened; the worst so far is the one that counts (the first of equals).
inline void NoteOutcome(int code) {
    if (OutcomeRank(code) > OutcomeRank(RunOutcome)) RunOutcome = code;
}

}  // namespace sendal
