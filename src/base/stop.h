// A stop asked for by a signal (SIGINT, SIGTERM, SIGHUP) while the run talks to the relay: the
// handler only notes it; the dialogue ends at its next step, logs it and closes down properly.
#pragma once

#include <signal.h>

namespace sendal {

// Installs the handlers. Blocking calls on the main thread are then interrupted, not restarted.
void InstallStopHandlers();

// The signal that asked for the stop, or 0.
int StopSignal();

// How many stop signals came so far.
int StopCount();

// Whether a wait must end now: a stop came that is not tolerated. After a stop the run still
// reads the replies of what it already sent (TolerateStops); a second stop ends that at once.
bool StopNow();
void TolerateStops();

// Blocks the stop signals on the calling thread for as long as it lives, so that threads
// started meanwhile (the receiver) leave them to the main thread.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    sigset_t saved_;
};

}  // namespace sendal
