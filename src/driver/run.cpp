// The main sequence. Every failure ends the pass at the next close-down step; nothing is
// retried, so a spool file that was not accepted simply waits for the next run.
#include "driver/run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "credentials/netrc.h"
#include "credentials/oauth2.h"
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
#include "queue/backoff.h"
#include "queue/fate.h"
#include "queue/records.h"
#include "queue/relaynotes.h"
#include "smtp/chunking.h"
#include "base/stop.h"
#include "driver/accounts.h"
#include "driver/cmdline.h"
#include "driver/queue.h"
#include "driver/reports.h"
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
    // The metrics file is written after the run, which is confined by then.
    if (std::size_t slash = options.metricsFile.rfind('/'); slash != std::string::npos && slash > 0)
        rules.writable.push_back(options.metricsFile.substr(0, slash));
    std::string why;
    if (ConfineRun(rules, why) == 0) return 0;
    return ReportFailure(why, EX_OSERR);
}

QueuePolicy PolicyOf(const RunOptions& options) {
    QueuePolicy policy;
    policy.hold = options.hold;
    policy.expireDays = options.expireDays;
    policy.syslog = options.syslog;
    policy.notifyCommand = options.notifyCommand;
    policy.retryMin = options.retryMin;
    policy.retryMax = options.retryMax;
    policy.account = options.account;
    return policy;
}

// The queue's folders, the journal and the notice helper: all of them need what a confined
// run no longer has.
// A record or held folder that is not the user's own (a link, another's folder) is refused:
// nothing is written or deleted through it. 0, or -1 (reported).
std::int32_t PrepareQueue(const RunOptions& options, const std::string& fileMask) {
    std::string folder = SpoolFolderOf(fileMask), refused;
    if (MakeQueueFolders(folder, HoldsFiles(options), refused) != 0) return ReportFailure(refused, EX_CONFIG);
    StartFileRecords(folder, RelayHost, PolicyOf(options));
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

// How a session ended: with nothing to send, before any file was tried, or after the transfer.
enum class SessionEnd { NothingToSend, Refused, Transferred };

// The relays of the run in the order they are tried.
std::vector<std::string> RelaysOf(const RunOptions& options) {
    return options.hosts.empty() ? std::vector<std::string>{options.host} : options.hosts;
}

// Whether the session may go to the next relay of the list: one there is, and this one could
// not be reached or would not take the session. The failure it logged no longer counts for the
// run's exit code: the next relay may well take the mail.
bool NextRelay(const RunOptions& options, std::size_t& relay, int outcomeBefore) {
    std::vector<std::string> relays = RelaysOf(options);
    if (relay + 1 >= relays.size() || StopSignal() != 0) return false;
    RunOutcome = outcomeBefore;
    RelayHost = relays[++relay];
    SetRecordRelay(RelayHost);
    LogMessage("Next relay: " + RelayHost + " port " + std::to_string(options.port), LevelStart);
    return true;
}

// Connects to the first relay of the list that answers. 0, or -1 (each failure logged).
std::int32_t ConnectAnyRelay(const RunOptions& options, std::size_t& relay) {
    for (;;) {
        int before = RunOutcome;
        if (ConnectRelay(RelayHost, options.port, TlsPolicyOf(options), false) == 0) return 0;
        if (!NextRelay(options, relay, before)) return -1;
    }
}

// The greeting and the opening of the dialogue on the connection made, and on the next relays
// of the list for as long as one will not take the session. 0, or -1.
std::int32_t OpenAnyDialogue(const RunOptions& options, std::size_t& relay) {
    for (;;) {
        int before = RunOutcome;
        if (StartTransport(RelayHost, TlsPolicyOf(options)) == 0) {
            StartSession(options);
            if (OpenDialogue(options) == 0) return 0;
        }
        if (!CurrentSession.greetingRefused) return -1;
        CloseRelaySocket();
        SocketHandle = -1;
        LogMessage("Closed!", LevelNormal);
        do {
            if (!NextRelay(options, relay, before)) return -1;
            before = RunOutcome;
        } while (ConnectRelay(RelayHost, options.port, TlsPolicyOf(options), false) != 0);
    }
}

// The dialogue, from the connection to the last reply. NothingToSend when there was nothing:
// the connection then ends with the process, without HELO, QUIT or the close-down.
SessionEnd Converse(const RunOptions& options, const std::string& typedMask, const SpoolSelection& selection) {
    std::size_t relay = 0;
    int before = RunOutcome;
    if (ConnectAnyRelay(options, relay) != 0) {
        // An empty spool loses nothing by an unreachable relay: an offline laptop's timer with
        // nothing queued must not fail every time it runs.
        if (StopSignal() == 0 && !EntryExists(typedMask, SearchFiles) && LastSearchDenied() == 0) RunOutcome = before;
        return SessionEnd::Refused;
    }
    LogMessage("SMTP starting...", LevelStart);
    if (!EntryExists(typedMask, SearchFiles)) {
        if (ReportDeniedListing(typedMask) != 0) return SessionEnd::NothingToSend;
        LogMessage("Nothing to send!", LevelNormal);
        return SessionEnd::NothingToSend;
    }
    std::string fileMask = FoundMask(typedMask);
    // The secret only now that it is needed: an empty spool asks no passphrase, and a relay
    // that cannot be reached is reported as such.
    if (ReadSubmissionSecret(options) != 0) return SessionEnd::Refused;
    RelayChunking = {RelayHost, options.port, RelayRefusesChunking(RelayHost, options.port), {}};
    LookUpRelays(RelaysOf(options));  // the next relays of the list, while names can be looked up
    if (PrepareQueue(options, fileMask) != 0 || Confine(options, fileMask) != 0) return SessionEnd::Refused;
    if (OpenAnyDialogue(options, relay) != 0) return SessionEnd::Refused;
    StartSpoolRun();
    // A file that changed while it was sent cost the session, and a relay may close one
    // (421); with -keepgoing the rest go over a new one.
    while (TransferSpool(fileMask, selection) == TransferEnd::Abandoned) {
        CloseRelaySocket();
        SocketHandle = -1;
        LogMessage("Closed!", LevelNormal);
        if (ConnectRelay(RelayHost, options.port, TlsPolicyOf(options)) != 0) break;
        LogMessage("SMTP starting...", LevelStart);
        StartSession(options);
        if (OpenDialogue(options) != 0) break;
        }
    return SessionEnd::Transferred;
}

// The files the session was to send: the account's, or every one of the mask.
std::set<std::string> WaitingFiles(const std::string& fileMask, const SpoolSelection& selection) {
    if (selection.chosen) return selection.names;
    std::set<std::string> names;
    for (std::string name = FindFirstEntry(fileMask, SearchFiles); !name.empty(); name = FindNextEntry())
        names.insert(name);
    return names;
}

// A run that keeps to the next-try times leaves the files that wait alone, and says how many
// wait and till when; when every file waits it does not connect at all. True then.
bool AllWait(const std::string& fileMask, SpoolSelection& selection) {
    std::set<std::string> names = WaitingFiles(fileMask, selection);
    std::int64_t earliest = 0, now = static_cast<std::int64_t>(std::time(nullptr));
    std::set<std::string> waiting = FilesWaiting(SpoolFolderOf(fileMask), names, now, earliest);
    if (waiting.empty()) return false;
    std::time_t when = static_cast<std::time_t>(earliest);
    std::tm local{};
    ::localtime_r(&when, &local);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    LogMessage(std::to_string(waiting.size()) + " file(s) wait for their next try, the first till " + clock +
                   " (--now tries them now)",
               LevelNormal);
    if (waiting.size() == names.size()) return true;
    selection.chosen = true;
    selection.names.clear();
    for (const std::string& name : names)
        if (waiting.count(name) == 0) selection.names.insert(name);
    return false;
}

// A session that ended before any file was tried leaves its reason on every file it was to
// send; a relay that may take them later (no connection, a 4xx) sets their next try.
void RecordSessionTry(const RunOptions& options, const std::string& fileMask, const SpoolSelection& selection) {
    std::string reason = StopSignal() != 0 ? "stopped by signal " + std::to_string(StopSignal()) : LastFailure();
    if (reason.empty()) return;
    std::set<std::string> names = WaitingFiles(fileMask, selection);
    std::string folder = SpoolFolderOf(fileMask), refused;
    if (names.empty() || MakeQueueFolders(folder, false, refused) != 0) return;
    StartFileRecords(folder, RelayHost, PolicyOf(options));
    NoteSessionTry(names, reason, StopSignal() == 0 && (RunOutcome == EX_TEMPFAIL || RunOutcome == EX_NOHOST));
}

// A stop signal ends the run with this line, once, wherever it came.
void ReportStop() {
    static bool reported = false;
    if (StopSignal() == 0 || reported) return;
    reported = true;
    NoteOutcome(EX_TEMPFAIL);
    LogMessage("Stopped by signal " + std::to_string(StopSignal()) + "!", LevelError);
}

// From the status line to the close-down of the socket, and what the run leaves for watchers.
void RunSession(const RunOptions& options) {
    ShowStatusLine(options);
    UniqueFd spoolLock;
    if (CheckSubmissionOptions(options) != 0 || TakeSpoolFolder(options.fileMask, spoolLock) != 0) return;
    SendOverRelay(options, options.fileMask, {});
    ReportAfterRun(options.fileMask, options, nullptr, {{std::string(), ThisSessionReport()}});
}

// The host form's settings that come from the environment: the helpers it runs and the CA it
// trusts are set there, as the mail packages that start us cannot pass them as words.
void TakeEnvironment(RunOptions& options) {
    options.passwordCommand = GetEnvironment("SENDAL_PASSWORD_COMMAND");
    options.caFile = GetEnvironment("SENDAL_CAFILE");
    options.notifyCommand = GetEnvironment("SENDAL_NOTIFY_COMMAND");
}

}  // namespace

AccountReport ThisSessionReport() {
    AccountReport report;
    FateTally tally = RunTally();
    report.figures = {tally.sent, tally.kept};
    if (RunOutcome == EX_NOPERM) report.loginRefused = LastFailure();
    report.tokenRefused = RunOutcome == EX_NOPERM && report.loginRefused.rfind("Login refused", 0) == 0 &&
                          TokenFromStore() && !TokenRefreshedThisRun();
    return report;
}

void SetIdlePriority() {
    ::setpriority(PRIO_PROCESS, 0, LowestPriority);
}

std::int32_t TakeSpoolFolder(const std::string& fileMask, UniqueFd& lock, bool inUseIsFailure) {
    std::string dir = SpoolFolderOf(fileMask);
    lock.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock.Valid()) return 0;  // no folder, nothing to send: the run says so later
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return ReportFailure("Spool folder not writable!", EX_CONFIG);
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0) return 0;
    if (inUseIsFailure) return ReportFailure("Spool in use by another run!", EX_TEMPFAIL, LevelWarning);
    LogMessage("Spool in use by another run: that one sends it", LevelNormal);
    return -1;
}

void SendOverRelay(const RunOptions& options, const std::string& fileMask, const SpoolSelection& chosen) {
    SetRecordRelay(RelayHost);
    SpoolSelection selection = chosen;
    if (options.backoff && !options.now && AllWait(fileMask, selection)) return;
    SessionEnd end = Converse(options, fileMask, selection);
    if (end == SessionEnd::NothingToSend) return;
    ReportStop();
    if (end == SessionEnd::Refused) RecordSessionTry(options, fileMask, selection);
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
    } else if (read == 0 && options.form == RunForm::Authorize) {
        return AuthorizeConfigured(options);
    } else if (read == 0) {
        return RunQueueCommand(options);
    } else if (!hostForm) {
        return RunOutcome;  // a command's own words were wrong: its code, as --queue gives
    }
    CloseLog();
    return options.exitCode ? code : 0;
}

}  // namespace sendal
