// State records as small "key=value" texts, one per spool file, in the user's state folder.
#include "message/queuestate.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/path.h"
#include "base/text.h"

namespace sendal {
namespace {

constexpr std::size_t MaxRecordBytes = 64 * 1024;
constexpr const char* RecordSuffix = ".state";
constexpr const char* PathFileName = "path";
constexpr mode_t OthersMayWrite = S_IWGRP | S_IWOTH;
constexpr std::time_t YoungRecordSeconds = 600;

// The base of every spool's record folder.
std::string StateBase() {
    std::string home = StateHome();
    return home.empty() ? home : JoinPath(home, "spools");
}

std::string RecordPath(const std::string& spoolFolder, const RecordKey& key) {
    std::string folder = StateFolderOf(spoolFolder);
    return folder.empty() ? std::string() : JoinPath(folder, RecordFileName(key));
}

// A value stays on its line: line ends and other control bytes become blanks.
std::string OneLine(const std::string& text) {
    return ReplaceTerminalControls(text, ' ');
}

// The record's text, read as named (no link followed, no look-up in other letter cases).
int ReadRecord(const std::string& path, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    return fd.Valid() && ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode) &&
                   ReadFdUpTo(fd.Get(), text, MaxRecordBytes + 1) == 0
               ? 0
               : -1;
}

// Digits only, and within range (no sign, no blank: a record is never read leniently).
bool ReadNumber(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// "inode-modified-size", as a record's name begins.
bool ReadKey(const std::string& text, RecordKey& key) {
    std::size_t first = text.find('-'), second = text.find('-', first + 1);
    std::int64_t inode = 0, modified = 0, size = 0;
    if (first == std::string::npos || second == std::string::npos || !ReadNumber(text.substr(0, first), inode) ||
        !ReadNumber(text.substr(first + 1, second - first - 1), modified) || !ReadNumber(text.substr(second + 1), size))
        return false;
    key = {static_cast<unsigned long>(inode), modified, static_cast<std::uint64_t>(size)};
    return true;
}

std::string KeyText(const RecordKey& key) {
    return std::to_string(key.inode) + "-" + std::to_string(key.modified) + "-" + std::to_string(key.size);
}

bool TakeField(const std::string& key, const std::string& value, QueueState& state) {
    std::int64_t number = 0;
    if (key == "file") return ReadKey(value, state.file);
    if (key == "inode" && ReadNumber(value, number)) return state.file.inode = static_cast<unsigned long>(number), true;
    if (key == "first" && ReadNumber(value, number)) return state.firstSeen = number, true;
    if (key == "tries" && ReadNumber(value, number)) return state.tries = static_cast<std::int32_t>(number), true;
    if (key == "last" && ReadNumber(value, number)) return state.lastTry = number, true;
    if (key == "noticed") return state.noticed = value == "1", true;
    if (key == "outcome") return state.outcome = value, true;
    if (key == "reason") return state.reason = value, true;
    if (key == "notify") return state.notify = value, true;
    if (key == "ret") return state.ret = value, true;
    if (key == "envid") return state.envid = value, true;
    if (key == "next" && ReadNumber(value, number)) return state.nextTry = number, true;
    if (key == "wait" && ReadNumber(value, number)) return state.wait = number, true;
    if (key == "relay") return state.relay = value, true;
    if (key == "account") return state.account = value, true;
    if (key == "alerted") return state.alerted = value == "1", true;
    return false;
}

}  // namespace

std::string RefusedFolder(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::string("cannot be read: ") + std::strerror(errno);
    if (S_ISLNK(info.st_mode)) return "a symbolic link";
    if (!S_ISDIR(info.st_mode)) return "not a folder";
    if (info.st_uid != ::geteuid()) return "not yours";
    if ((info.st_mode & OthersMayWrite) != 0) return "others may write in it";
    return {};
}

namespace {

// `path` as an absolute path without a trailing "/" or "/." ("a/./" and "a/." say "a").
std::string AbsoluteFolder(const std::string& path) {
    std::string absolute = path.empty() ? "." : path;
    if (absolute[0] != '/') {
        char here[4096];
        if (::getcwd(here, sizeof here) != nullptr) absolute = JoinPath(here, absolute);
    }
    for (std::size_t dot; (dot = absolute.find("/./")) != std::string::npos;) absolute.erase(dot, 2);
    for (;;) {
        if (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
        else if (absolute.size() > 2 && absolute.ends_with("/.")) absolute.resize(absolute.size() - 2);
        else break;
    }
    return absolute;
}

// Where an earlier version kept the records: ".<name>.sendal" beside the spool folder.
std::string FormerStateFolder(const std::string& spoolFolder) {
    std::string path = AbsoluteFolder(spoolFolder);
    std::size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".sendal";
}

// The records of the former folder, for files still there: copied once, as records of the
// files they are about. The former folder is read only when it is a real folder of the user's.
void TakeOverFormerRecords(const std::string& spoolFolder) {
    std::string former = FormerStateFolder(spoolFolder);
    if (!RefusedFolder(former).empty()) return;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(former.c_str()), ::closedir);
    const std::string suffix = RecordSuffix;
    for (dirent* entry; listing && (entry = ::readdir(listing.get())) != nullptr;) {
        std::string file = entry->d_name;
        if (file.size() <= suffix.size() || !file.ends_with(suffix) || file[0] == '.') continue;
        std::string text;
        QueueState state;
        struct stat info {};
        std::string spoolFile = JoinPath(spoolFolder, file.substr(0, file.size() - suffix.size()));
        if (ReadRecord(JoinPath(former, file), text) != 0 || !ParseQueueState(text, state) ||
            ::lstat(spoolFile.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_ino != state.file.inode)
            continue;
        state.file = RecordKeyOf(info);
        SaveQueueState(spoolFolder, state);
    }
}

// The record folder of one spool folder, made and checked. 0, or -1 with `error`.
std::int32_t MakeStateFolder(const std::string& spoolFolder, std::string& error) {
    std::string folder = StateFolderOf(spoolFolder);
    if (folder.empty()) return 0;  // no home: the run keeps no history
    // A folder that cannot be made (a home that is not writable) only costs the history.
    if (MakeParentFolders(folder) != 0) return 0;
    bool made = ::mkdir(folder.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) return 0;
    for (const std::string& path : {folder.substr(0, folder.rfind('/')), folder}) {
        std::string why = RefusedFolder(path);
        if (!why.empty()) {
            error = "Folder refused: " + path + " (" + why + ")!";
            return -1;
        }
    }
    if (!made) return 0;
    // Which spool the folder is for, for a person who looks.
    UniqueFd named(::open(JoinPath(folder, PathFileName).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (named.Valid()) WriteAll(named.Get(), AbsoluteFolder(spoolFolder) + "\n");
    TakeOverFormerRecords(spoolFolder);
    return 0;
}

}  // namespace

bool ValidDsnNotify(const std::string& value) {
    std::string lower = ToLowerAscii(value);
    if (lower == "never") return true;
    for (std::size_t start = 0;;) {
        std::size_t comma = lower.find(',', start);
        std::string word = lower.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (word != "success" && word != "failure" && word != "delay") return false;
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool ValidDsnReturn(const std::string& value) {
    return EqualsNoCase(value, "full") || EqualsNoCase(value, "hdrs");
}

bool ValidEnvelopeId(const std::string& value) {
    if (value.empty() || value.size() > 100) return false;
    for (char c : value)
        if (c < 33 || c > 126 || c == '+' || c == '=') return false;
    return true;
}

RecordKey RecordKeyOf(const struct stat& info) {
    return {static_cast<unsigned long>(info.st_ino),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
            static_cast<std::uint64_t>(info.st_size)};
}

bool operator==(const RecordKey& a, const RecordKey& b) {
    return a.inode == b.inode && a.modified == b.modified && a.size == b.size;
}

bool RecordKeyAt(const std::string& path, RecordKey& key) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    key = RecordKeyOf(info);
    return true;
}

std::string RecordFileName(const RecordKey& key) {
    return KeyText(key) + RecordSuffix;
}

unsigned long RecordInode(const std::string& fileName) {
    std::size_t end = fileName.find(RecordSuffix);
    RecordKey key;
    return end != std::string::npos && ReadKey(fileName.substr(0, end), key) ? key.inode : 0;
}

std::string StateFolderOf(const std::string& spoolFolder) {
    std::string path = spoolFolder.empty() ? "." : spoolFolder;
    struct stat info {};
    std::string base = StateBase();
    if (base.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return {};
    return JoinPath(base, std::to_string(info.st_dev) + "-" + std::to_string(info.st_ino));
}

std::string FormatQueueState(const QueueState& state) {
    std::ostringstream text;
    text << "sendal-state 2\n"
         << "file=" << KeyText(state.file) << "\nfirst=" << state.firstSeen << "\ntries=" << state.tries
         << "\nlast=" << state.lastTry << "\noutcome=" << OneLine(state.outcome)
         << "\nreason=" << OneLine(state.reason) << "\nnotify=" << OneLine(state.notify)
         << "\nret=" << OneLine(state.ret) << "\nenvid=" << OneLine(state.envid)
         << "\nnoticed=" << (state.noticed ? 1 : 0) << "\nnext=" << state.nextTry << "\nwait=" << state.wait
         << "\nrelay=" << OneLine(state.relay) << "\naccount=" << OneLine(state.account)
         << "\nalerted=" << (state.alerted ? 1 : 0) << "\nend\n";
    return text.str();
}

bool ParseQueueState(const std::string& text, QueueState& state) {
    QueueState parsed;
    std::istringstream lines(text);
    std::string line;
    // Version 1 (records beside the spool) knew its file by the inode alone.
    if (!std::getline(lines, line) || (line != "sendal-state 2" && line != "sendal-state 1")) return false;
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

bool LoadQueueState(const std::string& spoolFolder, const RecordKey& wanted, QueueState& state) {
    RecordKey key = wanted;  // `wanted` may be `state.file` itself
    state = QueueState{};
    state.file = key;
    std::string path = RecordPath(spoolFolder, key), text;
    QueueState stored;
    if (path.empty() || ReadRecord(path, text) != 0 || !ParseQueueState(text, stored) || !(stored.file == key))
        return false;
    state = stored;
    return true;
}

std::int32_t SaveQueueState(const std::string& spoolFolder, const QueueState& state) {
    std::string path = RecordPath(spoolFolder, state.file);
    if (path.empty()) return -1;
    std::string temporary = path + ".new";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.Valid() || WriteAll(fd.Get(), FormatQueueState(state)) != 0) {
        ::unlink(temporary.c_str());
        return -1;
    }
    fd.Reset();
    return ::rename(temporary.c_str(), path.c_str()) == 0 ? 0 : -1;
}

void ForgetQueueState(const std::string& spoolFolder, const RecordKey& key) {
    std::string path = RecordPath(spoolFolder, key);
    if (!path.empty()) ::unlink(path.c_str());
}

std::set<std::string> RecordNames(const std::string& spoolFolder) {
    std::set<std::string> names;
    std::string folder = StateFolderOf(spoolFolder);
    std::unique_ptr<DIR, int (*)(DIR*)> listing(folder.empty() ? nullptr : ::opendir(folder.c_str()), ::closedir);
    for (dirent* entry; listing && (entry = ::readdir(listing.get())) != nullptr;)
        if (std::string name = entry->d_name; name.ends_with(RecordSuffix)) names.insert(name);
    return names;
}

void PruneQueueStates(const std::string& spoolFolder, const std::set<unsigned long>& present) {
    std::string folder = StateFolderOf(spoolFolder);
    std::unique_ptr<DIR, int (*)(DIR*)> listing(folder.empty() ? nullptr : ::opendir(folder.c_str()), ::closedir);
    for (dirent* entry; listing && (entry = ::readdir(listing.get())) != nullptr;) {
        std::string file = entry->d_name;
        unsigned long inode = RecordInode(file);
        struct stat info {};
        std::string path = JoinPath(folder, file);
        if (inode == 0 || present.count(inode) != 0 || ::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        // A record this young may be the outbox's, written for a message still on its way.
        if (std::time(nullptr) - info.st_mtime < YoungRecordSeconds) continue;
        ::unlink(path.c_str());
    }
}

std::int32_t MakeQueueFolders(const std::string& spoolFolder, bool held, std::string& error) {
    if (MakeStateFolder(spoolFolder, error) != 0) return -1;
    if (!held) return 0;
    std::string heldFolder = JoinPath(spoolFolder, HeldFolderName);
    if (::mkdir(heldFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "Can't make " + heldFolder + ": " + std::strerror(errno) + "!";
        return -1;
    }
    if (std::string why = RefusedFolder(heldFolder); !why.empty()) {
        error = "Folder refused: " + heldFolder + " (" + why + ")!";
        return -1;
    }
    return MakeStateFolder(heldFolder, error);
}

}  // namespace sendal
