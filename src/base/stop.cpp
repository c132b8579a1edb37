// Stop signals during the run.
#include "base/stop.h"

#include <pthread.h>

#include <atomic>
#include <csignal>

namespace sendal {
namespace {

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> StopNumber{0};
std::atomic<int> StopsSeen{0};
static_assert(std::atomic<int>::is_always_lock_free);
int StopsTolerated = 0;  // stops that no longer end a wait: the run is settling after one

extern "C" void NoteStop(int signalNumber) {
    StopNumber.store(signalNumber);
    StopsSeen.fetch_add(1);
}

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : StopSignals) sigaddset(&set, sig);
    return set;
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked send or wait returns and sees the stop
    for (int sig : StopSignals) ::sigaction(sig, &action, nullptr);
}

int StopSignal() {
    return StopNumber.load();
}

int StopCount() {
    return StopsSeen.load();
}

void TolerateStops() {
    StopsTolerated = StopsSeen.load();
}

bool StopNow() {
    return StopsSeen.load() > StopsTolerated;
}

StopSignalsBlocked::StopSignalsBlocked() {
    sigset_t set = StopSet();
    ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
    ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace sendal
