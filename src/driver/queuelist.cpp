// The gathering of the queue and its three forms.
#include "driver/queuelist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/path.h"
#include "base/text.h"
#include "driver/config.h"
#include "message/headers.h"
#include "message/queuestate.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

std::string Age(std::int64_t seconds) {
    if (seconds < 3600) return std::to_string(std::max<std::int64_t>(seconds / 60, 0)) + " min";
    if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

std::string Clock(std::int64_t when, const char* form = "%Y-%m-%d %H:%M") {
    std::time_t time = static_cast<std::time_t>(when);
    std::tm local{};
    ::localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, form, &local);
    return text;
}

// A value from a file shown on the terminal: no control byte can drive it.
std::string Shown(const std::string& text) {
    return ReplaceTerminalControls(text, '?');
}

QueueEntry Gather(SpoolReader& reader, const std::string& folder, const std::string& name, bool held,
                  const Config* config) {
    QueueEntry entry;
    entry.name = name;
    entry.held = held;
    std::string path = JoinPath(folder, name);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return entry;
    AddressList list;
    SpoolLoad loaded = ScanHeaders(reader, path, list);
    QueueState state;
    bool known = LoadQueueState(folder, RecordKeyOf(info), state);
    entry.size = static_cast<std::uint64_t>(info.st_size);
    entry.firstSeen = known && state.firstSeen > 0 ? state.firstSeen : static_cast<std::int64_t>(info.st_mtime);
    entry.status = loaded == SpoolLoad::Busy     ? "being written"
                   : loaded == SpoolLoad::Linked ? "a symbolic link: never sent"
                   : loaded != SpoolLoad::Loaded ? "cannot be read"
                                                 : "";
    entry.sender = list[0];
    entry.recipients.assign(list.begin() + 1, list.end());
    entry.tries = state.tries, entry.lastTry = state.lastTry, entry.nextTry = state.nextTry;
    entry.outcome = state.outcome, entry.reason = state.reason, entry.relay = state.relay;
    entry.notify = state.notify, entry.account = state.account;
    if (entry.account.empty() && config != nullptr && loaded == SpoolLoad::Loaded)
        if (const Account* account = AccountFor(*config, list[0])) entry.account = account->name;
    return entry;
}

std::vector<std::string> HeldNames(const std::string& held) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(held.c_str()), ::closedir);
    if (!listing) return names;
    while (dirent* entry = ::readdir(listing.get()))
        if (entry->d_name[0] != '.' && entry->d_type != DT_DIR) names.push_back(entry->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

void PrintEntry(const QueueEntry& entry, std::int64_t now) {
    std::ostringstream line;
    line << entry.name << "  " << Age(now - entry.firstSeen) << "  " << entry.size << " bytes";
    if (!entry.status.empty()) line << "  (" << entry.status << ")";
    else {
        std::string to;
        for (const std::string& recipient : entry.recipients) to += (to.empty() ? "" : ", ") + recipient;
        line << "  from " << (entry.sender.empty() ? "<>" : entry.sender) << "  to " << (to.empty() ? "nobody" : to);
    }
    if (!entry.account.empty()) line << "  (account " << entry.account << ")";
    WriteStdoutLine(Shown(line.str()));
    std::string tries = "    not tried yet";
    if (entry.tries > 0) {
        tries = "    tries " + std::to_string(entry.tries) + ", last try " + Age(now - entry.lastTry) + " ago (" +
                Clock(entry.lastTry) + (entry.relay.empty() ? "" : ", " + entry.relay) + "): " + entry.outcome + ": " +
                entry.reason;
        if (entry.nextTry > now) tries += "; next try " + Clock(entry.nextTry, "%H:%M:%S");
    }
    if (!entry.notify.empty()) tries += "  (notices: " + entry.notify + ")";
    WriteStdoutLine(Shown(tries));
}

std::string Label(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"') escaped += '\\';
        if (c == '\n') escaped += "\\n";
        else escaped += c;
    }
    return escaped;
}

// The last delivery's time the metrics file told before, for a run that delivered nothing.
std::int64_t LastDeliveryBefore(const std::string& path, const std::string& account) {
    std::ifstream in(path);
    std::string line, prefix = "sendal_last_delivery_timestamp_seconds{account=\"" + Label(account) + "\"} ";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::atoll(line.c_str() + prefix.size());
    return 0;
}

}  // namespace

std::vector<QueueEntry> GatherQueue(const std::string& mask, const Config* config) {
    std::vector<QueueEntry> entries;
    SpoolReader reader;
    std::string folder = SpoolFolderOf(mask);
    for (std::string name = FindFirstEntry(mask, SearchFiles); !name.empty(); name = FindNextEntry())
        entries.push_back(Gather(reader, folder, name, false, config));
    std::string held = JoinPath(folder, HeldFolderName);
    if (RefusedFolder(held).empty())
        for (const std::string& name : HeldNames(held)) entries.push_back(Gather(reader, held, name, true, config));
    return entries;
}

void PrintQueue(const std::vector<QueueEntry>& entries, const std::string& folder, std::int64_t now) {
    std::size_t waiting = std::count_if(entries.begin(), entries.end(), [](const QueueEntry& e) { return !e.held; });
    WriteStdoutLine(Shown(waiting == 0 ? "No file waits in " + folder + "."
                                       : std::to_string(waiting) + " waiting in " + folder + ":"));
    for (const QueueEntry& entry : entries)
        if (!entry.held) PrintEntry(entry, now);
    std::string held = JoinPath(folder, HeldFolderName);
    if (std::string why = RefusedFolder(held); !why.empty() && why.rfind("cannot be read", 0) != 0)
        WriteStdoutLine(Shown("Folder refused: " + held + " (" + why + ")!"));
    if (waiting == entries.size()) return;
    WriteStdoutLine(Shown(std::to_string(entries.size() - waiting) + " held in " + held +
                          " (sendal --release NAME sends it again, --remove NAME deletes it):"));
    for (const QueueEntry& entry : entries)
        if (entry.held) PrintEntry(entry, now);
}

void PrintQueueJson(const std::vector<QueueEntry>& entries) {
    for (const QueueEntry& entry : entries) {
        nlohmann::json object = {
            {"name", entry.name},        {"account", entry.account}, {"sender", entry.sender},
            {"recipients", entry.recipients}, {"size", entry.size},  {"first_seen", entry.firstSeen},
            {"tries", entry.tries},      {"last_try", entry.lastTry}, {"outcome", entry.outcome},
            {"reason", entry.reason},    {"relay", entry.relay},     {"next_try", entry.nextTry},
            {"held", entry.held},        {"status", entry.status}};
        // A file's header may hold any bytes: they are replaced, never a reason to stop.
        WriteStdoutLine(object.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace));
    }
}

int WriteMetrics(const std::string& path, const std::vector<QueueEntry>& entries,
                 const std::map<std::string, RunFigures>& figures, std::int64_t now) {
    struct PerAccount {
        std::int64_t waiting = 0, held = 0, oldest = 0;
    };
    std::map<std::string, PerAccount> accounts;
    for (const auto& [account, figure] : figures) accounts[account];
    for (const QueueEntry& entry : entries) {
        PerAccount& per = accounts[entry.account];
        ++(entry.held ? per.held : per.waiting);
        if (!entry.held) per.oldest = std::max(per.oldest, now - entry.firstSeen);
    }
    std::ostringstream text;
    auto family = [&](const char* name, const char* help) {
        text << "# HELP " << name << ' ' << help << "\n# TYPE " << name << " gauge\n";
    };
    auto each = [&](const char* name, const char* help, auto value) {
        family(name, help);
        for (const auto& [account, per] : accounts)
            text << name << "{account=\"" << Label(account) << "\"} " << value(account, per) << '\n';
    };
    each("sendal_files_waiting", "Files waiting in the spool.", [](auto&, auto& per) { return per.waiting; });
    each("sendal_files_held", "Files held for a person to look at.", [](auto&, auto& per) { return per.held; });
    each("sendal_oldest_file_age_seconds", "How long the oldest waiting file has waited.",
         [](auto&, auto& per) { return per.oldest; });
    each("sendal_last_delivery_timestamp_seconds", "When a message last went to the relay (0: never seen).",
         [&](const std::string& account, auto&) {
             auto figure = figures.find(account);
             return figure != figures.end() && figure->second.sent > 0 ? now : LastDeliveryBefore(path, account);
         });
    each("sendal_run_sent_messages", "Messages the last run sent.", [&](const std::string& account, auto&) {
        auto figure = figures.find(account);
        return figure == figures.end() ? 0 : figure->second.sent;
    });
    each("sendal_run_refused_messages", "Messages the last run could not send.", [&](const std::string& account, auto&) {
        auto figure = figures.find(account);
        return figure == figures.end() ? 0 : figure->second.refused;
    });
    family("sendal_last_run_timestamp_seconds", "When the last run ended.");
    text << "sendal_last_run_timestamp_seconds " << now << '\n';
    // Whole or not at all: a collector reading it midway must never see half a file.
    std::string temporary = path + ".tmp";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid() || WriteAll(fd.Get(), text.str()) != 0) {
        ::unlink(temporary.c_str());
        return -1;
    }
    fd.Reset();
    return ::rename(temporary.c_str(), path.c_str()) == 0 ? 0 : -1;
}

}  // namespace sendal
