// Alerts and metrics after a run. The notice command runs in its helper, as for held files;
// what was told is kept in the records (a file's stuck notice) and in a marker beside them
// (some file was stuck), so each is told once.
#include "driver/reports.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

#include "base/fdio.h"
#include "base/path.h"
#include "driver/config.h"
#include "log/log.h"
#include "message/queuestate.h"
#include "queue/notice.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* StuckMarker = "stuck";

std::string Joined(const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& item : list) text += (text.empty() ? "" : ", ") + item;
    return text;
}

// The alert time of a file's account: its own, else the run's.
int AlertAfter(const QueueEntry& entry, const RunOptions& options, const Config* config) {
    if (config != nullptr)
        for (const Account& account : config->accounts)
            if (account.name == entry.account && account.options.alertAfter > 0) return account.options.alertAfter;
    return options.alertAfter;
}

// Marks the file's record: its stuck notice went.
void MarkAlerted(const std::string& folder, const QueueEntry& entry) {
    RecordKey key;
    QueueState state;
    if (!RecordKeyAt(JoinPath(folder, entry.name), key)) return;
    LoadQueueState(folder, key, state);
    state.file = key;
    if (state.firstSeen == 0) state.firstSeen = entry.firstSeen;
    state.alerted = true;
    SaveQueueState(folder, state);
}

// Stuck notices for files that waited too long, once each, and the clear notice once none does.
void AlertStuck(const std::string& folder, const std::vector<QueueEntry>& entries, const RunOptions& options,
                const Config* config, std::int64_t now) {
    std::string marker = StateFolderOf(folder);
    if (marker.empty()) return;
    marker = JoinPath(marker, StuckMarker);
    bool stuck = false;
    for (const QueueEntry& entry : entries) {
        int after = AlertAfter(entry, options, config);
        if (entry.held || after <= 0 || now - entry.firstSeen < after) continue;
        stuck = true;
        RecordKey key;
        QueueState state;
        if (RecordKeyAt(JoinPath(folder, entry.name), key) && LoadQueueState(folder, key, state) && state.alerted)
            continue;
        std::string reason = "waiting since " + std::to_string(now - entry.firstSeen) + " s" +
                             (entry.reason.empty() ? "" : ": " + entry.reason);
        if (!SendNotice({AbsolutePath(JoinPath(folder, entry.name)), reason, entry.sender, Joined(entry.recipients), "",
                         "stuck"}))
            continue;
        LogMessage("Stuck: " + entry.name + " (" + reason + ")", LevelWarning);
        MarkAlerted(folder, entry);
        UniqueFd made(::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    }
    if (stuck || ::access(marker.c_str(), F_OK) != 0) return;
    std::string shown = folder.size() > 1 && folder.back() == '/' ? folder.substr(0, folder.size() - 1) : folder;
    if (SendNotice({AbsolutePath(shown), "no file waits too long", "", "", "", "clear"})) {
        LogMessage("Clear: no file waits too long", LevelNormal);
        ::unlink(marker.c_str());
    }
}

bool AlertsWanted(const RunOptions& options, const Config* config) {
    if (options.alertAfter > 0) return true;
    if (config != nullptr)
        for (const Account& account : config->accounts)
            if (account.options.alertAfter > 0) return true;
    return false;
}

}  // namespace

void ReportAfterRun(const std::string& mask, const RunOptions& options, const Config* config,
                    const std::map<std::string, AccountReport>& reports) {
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    bool logins = false;
    for (const auto& [account, report] : reports) logins = logins || !report.loginRefused.empty();
    bool alerts = AlertsWanted(options, config);
    if (options.metricsFile.empty() && !alerts && !logins) return;
    std::vector<QueueEntry> entries = GatherQueue(mask, config);
    if (!options.notifyCommand.empty() && (alerts || logins) && StartNotifier(options.notifyCommand) == 0) {
        for (const auto& [account, report] : reports)
            if (!report.loginRefused.empty())
                SendNotice({account, report.loginRefused, "", "", "", "login"});
        if (alerts) AlertStuck(SpoolFolderOf(mask), entries, options, config, now);
        StopNotifier();
    }
    if (options.metricsFile.empty()) return;
    std::map<std::string, RunFigures> figures;
    for (const auto& [account, report] : reports) figures[account] = report.figures;
    if (WriteMetrics(options.metricsFile, entries, figures, now) != 0)
        LogMessage("Can't write the metrics file " + options.metricsFile + "!", LevelWarning);
}

}  // namespace sendal
