// The configured run. The parent reads the configuration, takes the spool and sorts its files
// by account; each account then has a process of its own with one session to its relay, so a
// relay that does not answer holds back only its own files, and each session keeps the whole
// run's state (options, secret, connection) to itself. The parent waits for them all and
// passes on a stop.
#include "driver/accounts.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <sstream>

#include "base/dirsearch.h"
#include "base/globals.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/stop.h"
#include "driver/cmdline.h"
#include "driver/config.h"
#include "driver/run.h"
#include "log/log.h"
#include "message/headers.h"
#include "smtp/options.h"
#include "smtp/submission.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* SendWord = "--send";
constexpr const char* ConfigOption = "--config=";
constexpr const char* SpoolMask = "/m????.out";

// The words after --send: the configuration's path and the run options. 0, or -1 reported.
std::int32_t TakeRunWords(const std::string& tail, std::string& configName) {
    std::istringstream words(tail);
    std::string word, unknown;
    words >> word;  // --send
    while (words >> word) {
        if (word.rfind(ConfigOption, 0) == 0) configName = word.substr(std::strlen(ConfigOption));
        else if (word == "-keepgoing") Options.keepGoing = true;
        else if (word == "-exitcode") Options.exitCode = true;
        else if (word == "-nochunking") Options.noChunking = true;
        else if (word == "-nosandbox") Options.noSandbox = true;
        else if (word == "-hold") Options.hold = true;
        else if (word == "-syslog") Options.syslog = true;
        else if (!TakeCountOption(word, "-rate=", Options.rate) &&
                 !TakeCountOption(word, "-expire=", Options.expireDays) && unknown.empty())
            unknown = word;  // reported once every word is read, so -exitcode counts wherever it stands
    }
    return unknown.empty() ? 0 : ReportFailure("Unknown option " + unknown + "!", EX_CONFIG);
}

// The spool's files by the account that sends them. A file that cannot be read as a message
// goes with the default (or first) account, whose session says why it stays.
std::map<const Account*, std::set<std::string>> SortFiles(const Config& config,
                                                          const std::string& mask) {
    std::map<const Account*, std::set<std::string>> files;
    const Account* fallback = AccountFor(config, "");
    if (fallback == nullptr) fallback = &config.accounts.front();
    std::string folder = SpoolFolderOf(mask);
    for (std::string name = FindFirstEntry(mask, SearchFiles); !name.empty(); name = FindNextEntry()) {
        AddressList list;
        if (ScanHeaders(JoinPath(folder, name), list) != SpoolLoad::Loaded || list.size() < 2) {
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

void SetOrClear(const char* name, const std::string& value) {
    if (value.empty()) ::unsetenv(name);
    else ::setenv(name, value.c_str(), 1);
}

// The account's settings as this process's options, as the command line would give them.
void UseAccount(const Account& account) {
    RelayHost = account.host;
    Options.ehlo = true;
    Options.startTls = account.security == Security::StartTls;
    Options.implicitTls = account.security == Security::Tls;
    Options.auth = account.auth;
    Options.login = account.login;
    Options.from = account.envelopeFrom;
    Options.fingerprint = account.fingerprint;
    Options.pins = account.pins;
    if (Options.rate == 0) Options.rate = account.rate;
    Options.certFile = ExpandHome(account.cert);
    Options.keyFile = ExpandHome(account.key);
    SetOrClear("SENDAL_PASSWORD_COMMAND", account.passwordCommand);
    if (!account.caFile.empty()) ::setenv("SENDAL_CAFILE", ExpandHome(account.caFile).c_str(), 1);
}

// The child's whole life: one session for the account's files.
[[noreturn]] void SendForAccount(const Account& account, std::set<std::string> names,
                                 const std::string& mask) {
    UseAccount(account);
    ChosenFiles.chosen = true;
    ChosenFiles.names = std::move(names);
    std::string helo = account.helo.empty() ? DeriveHeloName(account.host) : account.helo;
    LogMessage("Account " + account.name + ": " + account.host + " port " +
                   std::to_string(account.port) + ", " + std::to_string(ChosenFiles.names.size()) +
                   " file(s)",
               -1, LevelStart);
    SetLogLabel("[" + account.name + "] ");
    if (CheckSubmissionOptions() == 0) SendOverRelay(account.port, helo, mask);
    CloseLog();
    ::_exit(RunOutcome);
}

// Waits for every child; each stop is passed on to them, and their outcomes count as ours.
void AwaitAccounts(std::map<pid_t, std::string>& children) {
    int passedOn = 0;  // stops passed on: a second one ends the children's settling too
    while (!children.empty()) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno != EINTR) return;
            if (StopCount() > passedOn) {
                for (const auto& child : children) ::kill(child.first, StopSignal());
                passedOn = StopCount();
            }
            continue;
        }
        if (children.erase(pid) == 0) continue;
        NoteOutcome(WIFEXITED(status) ? WEXITSTATUS(status) : EX_SOFTWARE);
    }
}

}  // namespace

bool IsAccountsRun(const std::string& tail) {
    return tail == SendWord || tail.rfind(std::string(SendWord) + " ", 0) == 0;
}

int RunAccounts(const std::string& tail) {
    std::string configName;
    if (TakeRunWords(tail, configName) != 0) return RunOutcome;
    Config config;
    config.path = ConfigPath(configName);
    std::string error;
    std::int32_t loaded = LoadConfig(config, error);
    if (loaded != 0) {
        ReportFailure(loaded > 0 ? "No configuration: " + config.path + "!" : error, EX_CONFIG);
        return RunOutcome;
    }
    Options.hold = Options.hold || config.hold;
    Options.syslog = Options.syslog || config.syslog;
    if (Options.expireDays == 0) Options.expireDays = config.expireDays;
    Options.notifyCommand = config.notifyCommand;
    SetLogPath(config.log);
    WriteLogHeader();
    SetIdlePriority();
    std::string mask = config.spool + SpoolMask;
    UniqueFd spoolLock;
    if (TakeSpoolFolder(mask, spoolLock) != 0) return RunOutcome;
    auto files = SortFiles(config, mask);
    if (files.empty()) {
        if (RunOutcome == EX_OK) LogMessage("Nothing to send!", -1, LevelNormal);
        return RunOutcome;
    }
    std::map<pid_t, std::string> children;
    for (auto& [account, names] : files) {
        if (StopSignal() != 0) break;
        pid_t pid = ::fork();
        if (pid == 0) SendForAccount(*account, std::move(names), mask);
        if (pid < 0) ReportFailure("Cannot start the session of " + account->name + "!", EX_OSERR);
        else children[pid] = account->name;
    }
    AwaitAccounts(children);
    return RunOutcome;
}

}  // namespace sendal
