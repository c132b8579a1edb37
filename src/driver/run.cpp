// The main sequence. Every failure ends the pass at the next close-down step; nothing is
// retried, so a spool file that was not accepted simply waits for the next run.
#include "driver/run.h"

#include <fcntl.h>
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
#include "base/runoptions.h"
#include "net/tls.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/environment.h"
#include "base/sandbox.h"
#include "log/journal.h"
#include "queue/notice.h"
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
// The nice value that yields to every other program but is never starved of the processor
// the way the idle scheduling class is on a busy machine.
constexpr int LowestPriority = 19;

void ShowStatusLine(const RunOptions& options) {
    ConsoleWriteOutside("Host:" + RelayHost + " Port:" + FormatNumber(options.port) + "HElO:" + options.heloName +
                        " File:" + options.fileMask);
    ConsoleLineEnd();
}

bool HoldsFiles(const RunOptions& options) {
    return options.hold || options.expireDays > 0;
}

// Once the secret is read and before a byte of the relay is parsed, the run keeps only what
// it needs: the spool folder, the files it has open, the connection. What the TLS handshake
// needs from files is loaded first.
std::int32_t Confine(const RunOptions& options, const std::string& fileMask) {
    if (options.noSandbox) return 0;
    if (UsesTls(options) && PrepareTls(TlsPolicyOf(options)) != 0) return -1;
    SandboxRules rules;
    std::string folder = SpoolFolderOf(fileMask);
    rules.folders.push_back(folder);
    if (HoldsFiles(options)) rules.holding.push_back(JoinPath(folder, HeldFolderName));
    for (const std::string& state : {StateFolderOf(folder), StateFolderOf(JoinPath(folder, HeldFolderName)),
                                     RelayChunking.notes})
        if (!state.empty()) rules.writable.push_back(state);
    std::string why;
    if (ConfineRun(rules, why) == 0) return 0;
    return ReportFailure(why, EX_OSERR);
}

// The queue's folders, the journal and the notice helper: all of them need what a confined
// run no longer has.
// A record or held folder that is not the user's own (a link, another's folder) is refused:
// nothing is written or deleted through it. 0, or -1 (reported).
std::int32_t PrepareQueue(const RunOptions& options, const std::string& fileMask) {
    std::string folder = SpoolFolderOf(fileMask), refused;
    if (MakeQueueFolders(folder, HoldsFiles(options), refused) != 0) return ReportFailure(refused, EX_CONFIG);
    StartFileRecords(folder, RelayHost, {options.hold, options.expireDays, options.syslog, options.notifyCommand});
    if (options.syslog) OpenJournal();
    if (UsesEhlo(options) && !options.noChunking) RelayChunking.notes = PrepareRelayNotes();
    if (HoldsFiles(options) && !options.notifyCommand.empty() && StartNotifier(options.notifyCommand) != 0)
        LogMessage("Notice command cannot be started!", LevelWarning);
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

// The dialogue, from the connection to the last reply. False when there was nothing to send:
// the connection then ends with the process, without HELO, QUIT or the close-down.
bool Converse(const RunOptions& options, const std::string& typedMask, const SpoolSelection& selection) {
    std::int32_t relayPort = options.port;
    if (ConnectRelay(RelayHost, relayPort, TlsPolicyOf(options), false) != 0) return true;
    LogMessage("SMTP starting...", LevelStart);
    if (!EntryExists(typedMask, SearchFiles)) {
        if (ReportDeniedListing(typedMask) != 0) return false;
        LogMessage("Nothing to send!", LevelNormal);
        return false;
    }
    std::string fileMask = FoundMask(typedMask);
    // The secret only now that it is needed: an empty spool asks no passphrase, and a relay
    // that cannot be reached is reported as such.
    if (ReadSubmissionSecret(options) != 0) return true;
    RelayChunking = {RelayHost, relayPort, RelayRefusesChunking(RelayHost, relayPort), {}};
    if (PrepareQueue(options, fileMask) != 0 || Confine(options, fileMask) != 0) return true;
    if (StartTransport(RelayHost, TlsPolicyOf(options)) != 0) return true;
    StartSession(options);
    if (OpenDialogue(options) != 0) return true;
    StartSpoolRun();
    StartPacing();
    // A file that changed while it was sent cost the session; with -keepgoing the rest go
    // over a new one.
    while (TransferSpool(fileMask, selection) == TransferEnd::Abandoned) {
        CloseRelaySocket();
        SocketHandle = -1;
        LogMessage("Closed!", LevelNormal);
        if (ConnectRelay(RelayHost, relayPort, TlsPolicyOf(options)) != 0) return true;
        LogMessage("SMTP starting...", LevelStart);
        StartSession(options);
        if (OpenDialogue(options) != 0) return true;
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
    LogMessage("Stopped by signal " + std::to_string(StopSignal()) + "!", LevelError);
}

// From the status line to the close-down of the socket.
void RunSession(const RunOptions& options) {
    ShowStatusLine(options);
    UniqueFd spoolLock;
    if (CheckSubmissionOptions(options) != 0 || TakeSpoolFolder(options.fileMask, spoolLock) != 0) return;
    SendOverRelay(options, options.fileMask, {});
}

// The host form's settings that come from the environment: the helpers it runs and the CA it
// trusts are set there, as the mail packages that start us cannot pass them as words.
void TakeEnvironment(RunOptions& options) {
    options.passwordCommand = GetEnvironment("SENDAL_PASSWORD_COMMAND");
    options.caFile = GetEnvironment("SENDAL_CAFILE");
    options.notifyCommand = GetEnvironment("SENDAL_NOTIFY_COMMAND");
}

}  // namespace

void SetIdlePriority() {
    ::setpriority(PRIO_PROCESS, 0, LowestPriority);
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

void SendOverRelay(const RunOptions& options, const std::string& fileMask, const SpoolSelection& selection) {
    if (!Converse(options, fileMask, selection)) return;
    ReportStop();
    if (SocketHandle != -1) {
        CloseRelaySocket();
        LogMessage("Closed!", LevelNormal);
    }
    ForgetSecret();
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
    RunOptions options;
    // The host form's problems go to the log too, so its header comes first.
    bool hostForm = !IsCommandForm(tail);
    if (hostForm) WriteLogHeader();
    if (!hostForm) EndStdoutLinesForPrograms();
    std::int32_t read = ReadRunWords(tail, options);
    int code = RunOutcome;
    if (read == 0 && options.form == RunForm::Host) {
        SetIdlePriority();
        TakeEnvironment(options);
        RelayHost = options.host;
        if (EntryExists(MarkerFileName, SearchFiles))
            LogMessage(ProgramTag + "no actice connection!", LevelNormal);
        else
            RunSession(options);
        ReportStop();
        code = RunOutcome;
    } else if (read == 0 && options.form == RunForm::Send) {
        code = RunAccounts(options);
    } else if (read == 0) {
        return RunQueueCommand(options);
    } else if (!hostForm) {
        return RunOutcome;  // a command's own words were wrong: its code, as --queue gives
    }
    CloseLog();
    return options.exitCode ? code : 0;
}

}  // namespace sendal
