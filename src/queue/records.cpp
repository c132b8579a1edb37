// File outcomes. None of this is needed for safety: a record that cannot be written loses the
// history, and a hold that cannot be made leaves the file in the spool, where it waits as any
// kept file does.
#include "queue/records.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include "base/outcome.h"
#include "base/path.h"
#include "log/journal.h"
#include "log/log.h"
#include "queue/backoff.h"
#include "queue/notice.h"

namespace sendal {
namespace {

constexpr std::int64_t SecondsPerDay = 24 * 60 * 60;
constexpr int MaxHeldNames = 1000;
constexpr std::int64_t ClockSlackSeconds = 2;  // file times are the file system's, a little coarse

std::string SpoolFolder;
std::string RelayName;
QueuePolicy Policy;
// The records there were when the run began: most files have none, and looking for one costs
// each of them a few system calls and a path.
std::set<std::string> Recorded;

std::int64_t RunStart = 0;  // nanoseconds since the epoch, a little before the listing
std::string RecordFolder;  // the spool's, when the run began
struct timespec RecordFolderChanged {};  // its modification time when it was listed

// The records again when a record came since they were listed (the outbox writes one just
// before its message appears): one look at the folder's time, and a listing only then.
void RelistNewRecords() {
    struct stat info {};
    if (RecordFolder.empty() || ::stat(RecordFolder.c_str(), &info) != 0) return;
    if (info.st_mtim.tv_sec == RecordFolderChanged.tv_sec && info.st_mtim.tv_nsec == RecordFolderChanged.tv_nsec)
        return;
    RecordFolderChanged = info.st_mtim;
    Recorded = RecordNames(SpoolFolder);
}

RecordKey KeyOf(const SpoolFile& file) {
    return {file.identity.inode, file.identity.modified, file.identity.size};
}

std::int64_t Now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

void Journal(const SpoolFile& file, const char* status, const std::string& reply) {
    if (!Policy.syslog) return;
    WriteJournal({file.name, file.sender, status, reply, RelayName, file.recipientCount, file.size});
}

// Writes a record. Only a denial is worth a word (and the exit code): the confinement or the
// folder's rights keep the history from being written, which must not pass in silence.
std::int32_t SaveRecord(const std::string& folder, const SpoolFile& file, const QueueState& state) {
    if (SaveQueueState(folder, state) == 0) return 0;
    if (errno == EACCES || errno == EPERM) {
        NoteOutcome(EX_OSERR);
        LogMessage("Can't write the record of " + file.name + " in " + StateFolderOf(folder) + ": " +
                       std::strerror(errno) + "!", LevelError);
    }
    return -1;
}

// Moves the file into held/ under its name (or its name with "-2", "-3"... when a held file
// has it), never over another file. The name it got, or empty.
std::string MoveToHeld(const SpoolFile& file) {
    if (!SpoolFileIsAt(file.path, file.identity)) return {};
    std::string folder = JoinPath(SpoolFolder, HeldFolderName);
    for (int n = 1; n <= MaxHeldNames; ++n) {
        std::string name = n == 1 ? file.name : file.name + "-" + std::to_string(n);
        if (::renameat2(AT_FDCWD, file.path.c_str(), AT_FDCWD, JoinPath(folder, name).c_str(),
                        RENAME_NOREPLACE) == 0)
            return name;
        if (errno != EEXIST) return {};
    }
    return {};
}

void Hold(const SpoolFile& file, QueueState& state, const std::string& reason) {
    errno = 0;
    std::string argument = MoveToHeld(file);
    if (argument.empty()) {
        bool denied = errno == EACCES || errno == EPERM;
        if (denied) NoteOutcome(EX_OSERR);
        LogMessage("Can't hold " + file.name + (denied ? " (rename: " + std::string(std::strerror(errno)) + ")" : "") +
                       ": it stays in the spool!",
                   denied ? LevelError : LevelWarning);
        SaveRecord(SpoolFolder, file, state);
        return;
    }
    LogMessage("Held: " + file.name + " (" + reason + ")", LevelError);
    Journal(file, "held", reason);
    ForgetQueueState(SpoolFolder, state.file);
    state.outcome = "held";
    std::string heldFolder = JoinPath(SpoolFolder, HeldFolderName);
    state.noticed = !Policy.notifyCommand.empty();
    if (state.noticed && !SendNotice({AbsolutePath(JoinPath(heldFolder, argument)), reason, file.sender, file.recipients, file.subject}))
        LogMessage("Notice command not run for " + file.name + "!", LevelWarning);
    SaveRecord(heldFolder, file, state);  // a move keeps the file's identity
}

// A try and its outcome in the record; a file the relay may take later waits for its next try.
void NoteTry(QueueState& state, const std::string& reason, const char* outcome, bool later, std::int64_t now) {
    ++state.tries;
    state.lastTry = now;
    state.outcome = outcome;
    state.reason = reason;
    state.relay = RelayName;
    if (!Policy.account.empty()) state.account = Policy.account;
    state.wait = later ? NextWait(state.wait, RetryHintSeconds(reason), Policy.retryMin, Policy.retryMax) : 0;
    state.nextTry = later ? now + state.wait : 0;
}

}  // namespace

void SetRecordRelay(const std::string& relay) {
    RelayName = relay;
}

void NoteSessionTry(const std::set<std::string>& names, const std::string& reason, bool temporary) {
    std::int64_t now = Now();
    for (const std::string& name : names) {
        std::string path = JoinPath(SpoolFolder, name);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        QueueState state;
        LoadQueueState(SpoolFolder, RecordKeyOf(info), state);
        state.file = RecordKeyOf(info);
        if (state.firstSeen == 0) state.firstSeen = std::min<std::int64_t>(info.st_mtime, now);
        NoteTry(state, reason, "deferred", temporary, now);
        if (SaveQueueState(SpoolFolder, state) == 0) Recorded.insert(RecordFileName(state.file));
        else LogMessage("Can't write the record of " + name + " in " + StateFolderOf(SpoolFolder) + ": " +
                            std::strerror(errno) + "!", LevelWarning);
    }
}

void StartFileRecords(const std::string& spoolFolder, const std::string& relay, const QueuePolicy& policy) {
    Policy = policy;
    RunStart = (static_cast<std::int64_t>(std::time(nullptr)) - ClockSlackSeconds) * 1'000'000'000;
    SpoolFolder = spoolFolder.empty() ? "." : spoolFolder;
    RelayName = relay;
    std::set<unsigned long> present;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(SpoolFolder.c_str()), ::closedir);
    if (!listing) return;
    while (dirent* entry = ::readdir(listing.get())) present.insert(static_cast<unsigned long>(entry->d_ino));
    PruneQueueStates(SpoolFolder, present);
    RecordFolder = StateFolderOf(SpoolFolder);
    struct stat info {};
    RecordFolderChanged = !RecordFolder.empty() && ::stat(RecordFolder.c_str(), &info) == 0 ? info.st_mtim : timespec{};
    Recorded = RecordNames(SpoolFolder);
}

QueueState FileRecord(const SpoolFile& file) {
    QueueState state;
    RecordKey key = KeyOf(file);
    state.file = key;
    // A file queued since the run began may have brought its record (the outbox writes it
    // first): that one is looked for too.
    std::string name = RecordFileName(key);
    if (Recorded.count(name) == 0 && file.identity.modified >= RunStart) RelistNewRecords();
    if (Recorded.count(name) != 0) LoadQueueState(SpoolFolder, key, state);
    return state;
}

void NoteSent(const SpoolFile& file, const std::string& reply) {
    if (!Recorded.empty() && Recorded.erase(RecordFileName(KeyOf(file))) != 0) ForgetQueueState(SpoolFolder, KeyOf(file));
    Journal(file, "sent", reply);
}

void NoteKept(const SpoolFile& file, const std::string& reason, bool forGood, bool later) {
    QueueState state = FileRecord(file);
    std::int64_t now = Now();
    struct stat info {};  // a file queued by another program has no record: its age is its own
    if (state.firstSeen == 0)
        state.firstSeen = ::stat(file.path.c_str(), &info) == 0 ? std::min<std::int64_t>(info.st_mtime, now) : now;
    NoteTry(state, reason, forGood ? "refused" : "deferred", later, now);
    bool expired = Policy.expireDays > 0 && now - state.firstSeen > Policy.expireDays * SecondsPerDay;
    if ((Policy.hold && forGood) || expired) {
        Hold(file, state, expired && !forGood ? "waited over " + std::to_string(Policy.expireDays) +
                                                    " days: " + reason
                                              : reason);
        return;
    }
    if (SaveRecord(SpoolFolder, file, state) == 0) Recorded.insert(RecordFileName(state.file));
    Journal(file, "kept", reason);
}

}  // namespace sendal
