// The configured run. The parent reads the configuration, takes the spool and sorts its files
// by account; each account then has a process of its own with one session to its relay, so a
// relay that does not answer holds back only its own files, and each session keeps the whole
// run's state (options, secret, connection) to itself. The parent waits for them all and
// passes on a stop.
#include "driver/accounts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <sstream>

#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/text.h"
#include "base/globals.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/stop.h"
#include "base/console.h"
#include "credentials/oauth2.h"
#include "driver/cmdline.h"
#include "driver/config.h"
#include "driver/reports.h"
#include "driver/run.h"
#include "log/log.h"
#include "message/headers.h"
#include "base/runoptions.h"
#include "driver/optiontable.h"
#include "smtp/submission.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* SpoolMask = "/m????.out";
constexpr int AwaitSliceMilliseconds = 20;

// The spool's files by the account that sends them. A file that cannot be read as a message
// goes with the default (or first) account, whose session says why it stays.
std::map<const Account*, std::set<std::string>> SortFiles(const Config& config,
                                                          const std::string& mask) {
    std::map<const Account*, std::set<std::string>> files;
    const Account* fallback = AccountFor(config, "");
    if (fallback == nullptr) fallback = &config.accounts.front();
    std::string folder = SpoolFolderOf(mask);
    SpoolReader reader;
    for (std::string name = FindFirstEntry(mask, SearchFiles); !name.empty(); name = FindNextEntry()) {
        AddressList list;
        if (ScanHeaders(reader, JoinPath(folder, name), list) != SpoolLoad::Loaded || list.size() < 2) {
            files[fallback].insert(name);
            continue;
        }
        const Account* account = AccountFor(config, list[0]);
        if (account != nullptr) {
            files[account].insert(name);
            continue;
        }
        ReportFailure("No account for " + (list[0].empty() ? "<>" : list[0]) + ": " + name + "!",
                      EX_CONFIG);
    }
    return files;
}

// The child's report to the parent, one line: account, sent, kept, the refused login's words.
void HandReport(int pipe, const std::string& account) {
    AccountReport report = ThisSessionReport();
    std::string line = account + '\t' + std::to_string(report.figures.sent) + '\t' +
                       std::to_string(report.figures.refused) + '\t' + (report.tokenRefused ? "1" : "0") + '\t' +
                       ReplaceTerminalControls(report.loginRefused, ' ') + '\n';
    WriteAll(pipe, line);
}

// The children's reports, once every one has ended.
std::map<std::string, AccountReport> TakeReports(int pipe) {
    std::map<std::string, AccountReport> reports;
    std::string text;
    ReadFdUpTo(pipe, text, 1 << 20);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, sent, kept, token, login;
        if (!std::getline(fields, name, '\t') || !std::getline(fields, sent, '\t') || !std::getline(fields, kept, '\t') ||
            !std::getline(fields, token, '\t'))
            continue;
        std::getline(fields, login);
        AccountReport& report = reports[name];
        report.figures = {std::atoll(sent.c_str()), std::atoll(kept.c_str())};
        report.tokenRefused = token == "1";
        report.loginRefused = login;
    }
    return reports;
}

// The child's whole life: one session for the account's files, under the account's options
// with what the command line gave laid over them.
[[noreturn]] void SendForAccount(const Account& account, const RunOptions& given, std::set<std::string> names,
                                 const std::string& mask, int reportPipe) {
    SetLogLabel("");
    RunOptions options = account.options;
    options.backoff = true;  // timers run --send: a relay that asked to wait is not hammered
    LayGivenOver(given, options);
    options.now = given.now;
    if (options.heloName.empty()) options.heloName = DeriveHeloName(options.host);
    RelayHost = options.host;
    SpoolSelection selection{true, std::move(names)};
    LogMessage("Account " + account.name + ": " + options.host + " port " + std::to_string(options.port) + ", " +
                   std::to_string(selection.names.size()) + " file(s)", LevelStart);
    SetLogLabel("[" + account.name + "] ");
    if (CheckOptionPairs(options) == 0 && CheckSubmissionOptions(options) == 0)
        SendOverRelay(options, mask, selection);
    HandReport(reportPipe, account.name);
    CloseLog();
    ::_exit(RunOutcome);
}

// Waits for every child; each stop is passed on to them. Their exit codes by account.
// A stop that came before the wait began (while the sessions were being started) is passed on
// as surely as one during it: the wait looks every slice instead of sleeping till a child ends.
std::map<std::string, int> AwaitAccounts(std::map<pid_t, std::string>& children) {
    std::map<std::string, int> codes;
    int passedOn = 0;  // stops passed on: a second one ends the children's settling too
    while (!children.empty()) {
        if (StopCount() > passedOn) {
            for (const auto& child : children) ::kill(child.first, StopSignal());
            passedOn = StopCount();
        }
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid == 0 || (pid < 0 && errno == EINTR)) {
            ::poll(nullptr, 0, AwaitSliceMilliseconds);
            continue;
        }
        if (pid < 0) return codes;
        auto child = children.find(pid);
        if (child == children.end()) continue;
        codes[child->second] = WIFEXITED(status) ? WEXITSTATUS(status) : EX_SOFTWARE;
        children.erase(child);
    }
    return codes;
}

// One session for each account of `files`, side by side: their exit codes and reports.
std::map<std::string, int> RunSessions(const std::map<const Account*, std::set<std::string>>& files,
                                       const RunOptions& given, const std::string& mask,
                                       std::map<std::string, AccountReport>& reports) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return ReportFailure("Cannot start the sessions!", EX_OSERR), std::map<std::string, int>{};
    UniqueFd reportsIn(ends[0]), reportsOut(ends[1]);
    std::map<pid_t, std::string> children;
    for (const auto& [account, names] : files) {
        if (StopSignal() != 0) break;
        pid_t pid = ::fork();
        if (pid == 0) SendForAccount(*account, given, names, mask, reportsOut.Get());
        if (pid < 0) ReportFailure("Cannot start the session of " + account->name + "!", EX_OSERR);
        else children[pid] = account->name;
    }
    reportsOut.Reset();  // the children hold the only writing ends: the reading ends with them
    std::map<std::string, int> codes = AwaitAccounts(children);
    for (auto& [name, report] : TakeReports(reportsIn.Get())) reports[name] = report;
    return codes;
}

// The accounts whose relay refused an access token that was fresh: the provider may have
// revoked it early. Each gets its token refreshed here and one more session; a refresh the
// provider refuses needs a person (the log says so).
std::map<const Account*, std::set<std::string>> RetriesWithNewTokens(
    const std::map<const Account*, std::set<std::string>>& files, const RunOptions& given,
    const std::map<std::string, AccountReport>& reports) {
    std::map<const Account*, std::set<std::string>> again;
    for (const auto& [account, names] : files) {
        auto report = reports.find(account->name);
        if (report == reports.end() || !report->second.tokenRefused) continue;
        RunOptions options = account->options;
        LayGivenOver(given, options);
        SetLogLabel("[" + account->name + "] ");
        std::string token;
        if (AccessTokenFor(options, true, token) == 0) again[account] = names;
        ::explicit_bzero(token.data(), token.size());
        SetLogLabel("");
    }
    return again;
}

}  // namespace

int AuthorizeConfigured(const RunOptions& given) {
    Config config;
    config.path = ConfigPath(given.configName);
    std::string error;
    if (std::int32_t loaded = LoadConfig(config, error); loaded != 0) {
        WriteStdoutLine(loaded > 0 ? "No configuration: " + config.path + "!" : error);
        return EX_CONFIG;
    }
    for (const Account& account : config.accounts) {
        if (account.name != given.argument) continue;
        RunOptions options = account.options;
        LayGivenOver(given, options);
        return AuthorizeAccount(options);
    }
    WriteStdoutLine("No account " + given.argument + " in " + config.path + "!");
    return EX_CONFIG;
}

int RunAccounts(const RunOptions& given) {
    Config config;
    config.path = ConfigPath(given.configName);
    std::string error;
    std::int32_t loaded = LoadConfig(config, error);
    if (loaded != 0) {
        ReportFailure(loaded > 0 ? "No configuration: " + config.path + "!" : error, EX_CONFIG);
        return RunOutcome;
    }
    SetLogPath(config.log);
    WriteLogHeader();
    SetIdlePriority();
    std::string mask = config.spool + SpoolMask;
    UniqueFd spoolLock;
    if (TakeSpoolFolder(mask, spoolLock, false) != 0) return RunOutcome;
    auto files = SortFiles(config, mask);
    if (files.empty()) {
        if (RunOutcome == EX_OK) LogMessage("Nothing to send!", LevelNormal);
        return RunOutcome;
    }
    std::map<std::string, AccountReport> reports;
    std::map<std::string, int> codes = RunSessions(files, given, mask, reports);
    auto again = RetriesWithNewTokens(files, given, reports);
    if (!again.empty() && StopSignal() == 0)
        for (auto [name, code] : RunSessions(again, given, mask, reports)) codes[name] = code;
    for (const auto& [account, names] : again)  // refused once more with a token just made
        if (const AccountReport& report = reports[account->name]; report.tokenRefused)
            LogMessage("[" + account->name + "] Login needs a person: run sendal --authorize " + account->name + " (" +
                           report.loginRefused + ")!", LevelError);
    // The run's exit code: the worst of the sessions' last codes.
    for (const auto& [name, code] : codes) NoteOutcome(code);
    RunOptions reporting = config.options;
    LayGivenOver(given, reporting);
    ReportAfterRun(mask, reporting, &config, reports);
    return RunOutcome;
}

}  // namespace sendal
