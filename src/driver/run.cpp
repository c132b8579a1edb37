// The main sequence. Every failure ends the pass at the next close-down step; nothing is
// retried, so a spool file that was not accepted simply waits for the next run.
#include "driver/run.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "credentials/netrc.h"
#include "base/number.h"
#include "smtp/options.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/environment.h"
#include "base/sandbox.h"
#include "log/journal.h"
#include "log/notice.h"
#include "message/queuestate.h"
#include "queue/records.h"
#include "queue/relaynotes.h"
#include "smtp/chunking.h"
#include "base/stop.h"
#include "driver/accounts.h"
#include "driver/cmdline.h"
#include "driver/queue.h"
#include "log/log.h"
#include "net/connect.h"
#include "smtp/command.h"
#include "smtp/session.h"
#include "smtp/submission.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* MarkerFileName = "REdez.No";

void ShowStatusLine(std::int32_t port, const std::string& heloName, const std::string& fileMask) {
    ConsoleWriteOutside("Host:" + RelayHost + " Port:" + FormatNumber(port) + "HElO:" + heloName +
                        " File:" + fileMask);
    ConsoleLineEnd();
}

bool HoldsFiles() {
    return Options.hold || Options.expireDays > 0;
}

// The dialogue, from the connection to the last reply. False when there was nothing to send:
// the connection then ends with the process, without HELO, QUIT or the close-down.
// Once the secret is read and before a byte of the relay is parsed, the run keeps only what
// it needs: the spool folder, the files it has open, the connection. What the TLS handshake
// needs from files is loaded first.
std::int32_t Confine(const std::string& fileMask) {
    if (Options.noSandbox) return 0;
    if (UsesTls() && PrepareTls(RunTlsPolicy()) != 0) return -1;
    SandboxRules rules;
    std::string folder = SpoolFolderOf(fileMask);
    rules.folders.push_back(folder);
    if (HoldsFiles()) rules.holding.push_back(JoinPath(folder, HeldFolderName));
    for (const std::string& state : {StateFolderOf(folder), StateFolderOf(JoinPath(folder, HeldFolderName)),
                                     RelayChunking.notes})
        if (!state.empty()) rules.writable.push_back(state);
    return ConfineRun(rules);
}

// The queue's folders, the journal and the notice helper: all of them need what a confined
// run no longer has.
// A record or held folder that is not the user's own (a link, another's folder) is refused:
// nothing is written or deleted through it. 0, or -1 (reported).
std::int32_t PrepareQueue(const std::string& fileMask) {
    std::string folder = SpoolFolderOf(fileMask), refused;
    if (MakeQueueFolders(folder, HoldsFiles(), refused) != 0) return ReportFailure(refused, EX_CONFIG);
    if (Options.notifyCommand.empty()) Options.notifyCommand = GetEnvironment("SENDAL_NOTIFY_COMMAND");
    StartFileRecords(folder, RelayHost, {Options.hold, Options.expireDays, Options.syslog, Options.notifyCommand});
    if (Options.syslog) OpenJournal();
    if (UsesEhlo() && !Options.noChunking) RelayChunking.notes = PrepareRelayNotes();
    if (HoldsFiles() && !Options.notifyCommand.empty() && StartNotifier(Options.notifyCommand) != 0)
        LogMessage("Notice command cannot be started!", -1, LevelWarning);
    return 0;
}

// The mask with its folder as found on disk, whatever the letter case it was typed in: once
// confined, the run may no longer list the folders above the spool to look it up.
std::string FoundMask(const std::string& fileMask) {
    std::size_t folderLength = DirectoryPartLength(fileMask);
    if (folderLength == 0) return fileMask;
    std::string folder = ResolvePath(fileMask.substr(0, folderLength));
    if (folder.empty()) return fileMask;
    if (!IsPathSeparator(folder.back())) folder += '/';
    return folder + fileMask.substr(folderLength);
}

bool Converse(std::int32_t relayPort, const std::string& heloName, const std::string& typedMask) {
    if (ConnectRelay(RelayHost, relayPort, RunTlsPolicy(), false) != 0) return true;
    LogMessage("SMTP starting...", -1, LevelStart);
    if (!EntryExists(typedMask, SearchFiles)) {
        if (ReportDeniedListing(typedMask) != 0) return false;
        LogMessage("Nothing to send!", -1, LevelNormal);
        return false;
    }
    std::string fileMask = FoundMask(typedMask);
    // The secret only now that it is needed: an empty spool asks no passphrase, and a relay
    // that cannot be reached is reported as such.
    if (ReadSubmissionSecret() != 0) return true;
    RelayChunking = {RelayHost, relayPort, RelayRefusesChunking(RelayHost, relayPort), {}};
    if (PrepareQueue(fileMask) != 0 || Confine(fileMask) != 0) return true;
    if (StartTransport(RelayHost, RunTlsPolicy()) != 0) return true;
    StartSession();
    if (OpenDialogue(heloName, relayPort) != 0) return true;
    StartSpoolRun();
    StartPacing();
    // A file that changed while it was sent cost the session; with -keepgoing the rest go
    // over a new one.
    while (TransferSpool(fileMask) == TransferEnd::Abandoned) {
        CloseRelaySocket();
        SocketHandle = -1;
        LogMessage("Closed!", -1, LevelNormal);
        if (ConnectRelay(RelayHost, relayPort, RunTlsPolicy()) != 0) return true;
        LogMessage("SMTP starting...", -1, LevelStart);
        StartSession();
        if (OpenDialogue(heloName, relayPort) != 0) return true;
        StartPacing();
    }
    return true;
}

// A stop signal ends the run with this line, once, wherever it came.
void ReportStop() {
    static bool reported = false;
    if (StopSignal() == 0 || reported) return;
    reported = true;
    NoteOutcome(EX_TEMPFAIL);
    LogMessage("Stopped by signal " + std::to_string(StopSignal()) + "!", -1, LevelError);
}

// From the status line to the close-down of the socket.
void RunSession(std::int32_t relayPort, const std::string& heloName, const std::string& fileMask) {
    ShowStatusLine(relayPort, heloName, fileMask);
    UniqueFd spoolLock;
    if (CheckSubmissionOptions() != 0 || TakeSpoolFolder(fileMask, spoolLock) != 0) return;
    SendOverRelay(relayPort, heloName, fileMask);
}

}  // namespace

void SetIdlePriority() {
    sched_param param{};
    if (::sched_setscheduler(0, SCHED_IDLE, &param) != 0) ::setpriority(PRIO_PROCESS, 0, 19);
}

std::int32_t TakeSpoolFolder(const std::string& fileMask, UniqueFd& lock) {
    std::string dir = SpoolFolderOf(fileMask);
    lock.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.Valid()) return 0;  // no folder, nothing to send: the run says so later
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return ReportFailure("Spool folder not writable!", EX_CONFIG);
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0) return 0;
    return ReportFailure("Spool in use by another run!", EX_TEMPFAIL, LevelWarning);
}

void SendOverRelay(std::int32_t relayPort, const std::string& heloName, const std::string& fileMask) {
    if (!Converse(relayPort, heloName, fileMask)) return;
    ReportStop();
    if (SocketHandle != -1) {
        CloseRelaySocket();
        LogMessage("Closed!", -1, LevelNormal);
    }
    ForgetSecret();
    WSACleanup();
    StopNotifier();
}

std::int32_t RunMain() {
    // A reader of standard output that went away (sendal | head) must not end the run
    // midway: writes to it fail quietly instead, and the log still gets every line.
    std::signal(SIGPIPE, SIG_IGN);
    InstallStopHandlers();  // from here on a stop ends the run at its next step, with its line
    VersionText = "v1.33g";
    ProgramTag = "SENDAL ";
    std::string tail = ReadCommandTail();
    if (IsQueueCommand(tail)) return RunQueueCommand(tail);
    if (IsAccountsRun(tail)) {
        int code = RunAccounts(tail);
        CloseLog();
        return Options.exitCode ? code : 0;
    }
    WriteLogHeader();
    SetIdlePriority();
    SocketHandle = -1;

    std::int32_t relayPort = 0;
    std::string heloName;
    std::string fileMask;
    if (ParseCommandTail(tail, RelayHost, relayPort, heloName, fileMask) == 0) {
        if (EntryExists(MarkerFileName, SearchFiles))
            LogMessage(ProgramTag + "no actice connection!", -1, LevelNormal);
        else
            RunSession(relayPort, heloName, fileMask);
    }
    ReportStop();
    CloseLog();
    return Options.exitCode ? RunOutcome : 0;
}

}  // namespace sendal
