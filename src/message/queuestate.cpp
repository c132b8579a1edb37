// State records as small "key=value" texts, one per spool file.
#include "message/queuestate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <sstream>

#include "base/fdio.h"
#include "base/path.h"
#include "base/text.h"

namespace sendal {
namespace {

constexpr std::size_t MaxRecordBytes = 64 * 1024;
constexpr const char* RecordSuffix = ".state";

std::string RecordPath(const std::string& spoolFolder, const std::string& name) {
    return JoinPath(StateFolderOf(spoolFolder), name + RecordSuffix);
}

// A value stays on its line: line ends and other control bytes become blanks.
std::string OneLine(const std::string& text) {
    return ReplaceControlBytes(text, ' ');
}

// The record's text, read as named (no look-up in other letter cases). 0, or -1.
int ReadRecord(const std::string& path, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    return fd.Valid() && ReadFdUpTo(fd.Get(), text, MaxRecordBytes + 1) == 0 ? 0 : -1;
}

bool ReadNumber(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoll(text);
    return true;
}

bool TakeField(const std::string& key, const std::string& value, QueueState& state) {
    std::int64_t number = 0;
    if (key == "inode" && ReadNumber(value, number)) return state.inode = static_cast<unsigned long>(number), true;
    if (key == "first" && ReadNumber(value, number)) return state.firstSeen = number, true;
    if (key == "tries" && ReadNumber(value, number)) return state.tries = static_cast<std::int32_t>(number), true;
    if (key == "last" && ReadNumber(value, number)) return state.lastTry = number, true;
    if (key == "noticed") return state.noticed = value == "1", true;
    if (key == "outcome") return state.outcome = value, true;
    if (key == "reason") return state.reason = value, true;
    if (key == "notify") return state.notify = value, true;
    if (key == "ret") return state.ret = value, true;
    if (key == "envid") return state.envid = value, true;
    return false;
}

}  // namespace

std::string StateFolderOf(const std::string& spoolFolder) {
    std::string path = spoolFolder.empty() ? "." : spoolFolder;
    if (path[0] != '/') {
        char here[4096];
        if (::getcwd(here, sizeof here) != nullptr) path = JoinPath(here, path);
    }
    for (;;) {  // "a/./" and "a/." say "a"
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        else if (path.size() > 2 && path.ends_with("/.")) path.resize(path.size() - 2);
        else break;
    }
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "." + path + ".sendal";
    return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".sendal";
}

std::string FormatQueueState(const QueueState& state) {
    std::ostringstream text;
    text << "sendal-state 1\n"
         << "inode=" << state.inode << "\nfirst=" << state.firstSeen << "\ntries=" << state.tries
         << "\nlast=" << state.lastTry << "\noutcome=" << OneLine(state.outcome)
         << "\nreason=" << OneLine(state.reason) << "\nnotify=" << OneLine(state.notify)
         << "\nret=" << OneLine(state.ret) << "\nenvid=" << OneLine(state.envid)
         << "\nnoticed=" << (state.noticed ? 1 : 0) << "\nend\n";
    return text.str();
}

bool ParseQueueState(const std::string& text, QueueState& state) {
    QueueState parsed;
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != "sendal-state 1") return false;
    while (std::getline(lines, line)) {
        if (line == "end") {  // a record cut short has no end line
            state = parsed;
            return true;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string::npos || !TakeField(line.substr(0, equals), line.substr(equals + 1), parsed))
            return false;
    }
    return false;
}

bool LoadQueueState(const std::string& spoolFolder, const std::string& name, unsigned long inode,
                    QueueState& state) {
    state = QueueState{};
    state.inode = inode;
    std::string text;
    QueueState stored;
    if (ReadRecord(RecordPath(spoolFolder, name), text) != 0 || !ParseQueueState(text, stored) ||
        stored.inode != inode)
        return false;
    state = stored;
    return true;
}

std::int32_t SaveQueueState(const std::string& spoolFolder, const std::string& name,
                            const QueueState& state) {
    std::string path = RecordPath(spoolFolder, name);
    std::string temporary = path + ".new";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid() || WriteAll(fd.Get(), FormatQueueState(state)) != 0) {
        ::unlink(temporary.c_str());
        return -1;
    }
    fd.Reset();
    return ::rename(temporary.c_str(), path.c_str()) == 0 ? 0 : -1;
}

void ForgetQueueState(const std::string& spoolFolder, const std::string& name) {
    ::unlink(RecordPath(spoolFolder, name).c_str());
}

void PruneQueueStates(const std::string& spoolFolder, const std::set<std::string>& present) {
    std::string folder = StateFolderOf(spoolFolder);
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (!listing) return;
    std::string suffix = RecordSuffix;
    while (dirent* entry = ::readdir(listing.get())) {
        std::string file = entry->d_name;
        if (file == "." || file == "..") continue;
        std::string name = file.size() > suffix.size() && file.ends_with(suffix)
                               ? file.substr(0, file.size() - suffix.size())
                               : std::string();
        if (name.empty() || present.count(name) == 0) ::unlink(JoinPath(folder, file).c_str());
    }
}

std::int32_t MakeQueueFolders(const std::string& spoolFolder, bool held) {
    std::string folders[] = {StateFolderOf(spoolFolder), held ? JoinPath(spoolFolder, HeldFolderName) : ""};
    for (const std::string& folder : folders)
        if (!folder.empty() && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    return 0;
}

}  // namespace sendal
