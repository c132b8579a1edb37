// The main sequence. Every failure ends the pass at the next close-down step; nothing is
// retried, so a spool file that was not accepted simply waits for the next run.
#include "driver/run.h"

#include <sched.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/globals.h"
#include "base/number.h"
#include "driver/cmdline.h"
#include "log/log.h"
#include "net/connect.h"
#include "smtp/command.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* MarkerFileName = "REdez.No";

// Sending the spool is background work: take the processor only when nothing else wants it.
void SetIdlePriority() {
    sched_param param{};
    if (::sched_setscheduler(0, SCHED_IDLE, &param) != 0) ::setpriority(PRIO_PROCESS, 0, 19);
}

void ShowStatusLine(std::int32_t port, const std::string& heloName, const std::string& fileMask) {
    ConsoleWriteOutside("Host:" + RelayHost + " Port:" + FormatNumber(port) + "HElO:" + heloName +
                        " File:" + fileMask);
    ConsoleLineEnd();
}

// From the status line to the close-down of the socket.
void RunSession(std::int32_t relayPort, const std::string& heloName, const std::string& fileMask) {
    ShowStatusLine(relayPort, heloName, fileMask);
    if (ConnectRelay(RelayHost, relayPort) == 0) {
        LogMessage("SMTP starting...", -1, LevelStart);
        if (!EntryExists(fileMask, SearchFiles)) {
            // Nothing to do: the connection ends with the process, without HELO or QUIT.
            LogMessage("Nothing to send!", -1, LevelNormal);
            return;
        }
        if (SmtpCommand("HELO " + heloName) == 0) TransferSpool(fileMask);
    }
    if (SocketHandle != -1) {
        CloseRelaySocket();
        LogMessage("Closed!", -1, LevelNormal);
    }
    WSACleanup();
}

}  // namespace

std::int32_t RunMain() {
    // A reader of standard output that went away (sendal | head) must not end the run
    // midway: writes to it fail quietly instead, and the log still gets every line.
    std::signal(SIGPIPE, SIG_IGN);
    VersionText = "v1.33g";
    ProgramTag = "SENDAL ";
    WriteLogHeader();
    SetIdlePriority();
    SocketHandle = -1;

    std::int32_t relayPort = 0;
    std::string heloName;
    std::string fileMask;
    if (ParseCommandLine(RelayHost, relayPort, heloName, fileMask) == 0) {
        if (EntryExists(MarkerFileName, SearchFiles))
            LogMessage(ProgramTag + "no actice connection!", -1, LevelNormal);
        else
            RunSession(relayPort, heloName, fileMask);
    }
    CloseLog();
    return 0;
}

}  // namespace sendal
