// The state record of a spool file: when it was first seen, its tries and the last one's
// outcome, and the delivery notices its sender asked for. Kept where Linux keeps a user's
// state: $XDG_STATE_HOME/sendal/spools/<device>-<inode of the spool folder>/ (default
// ~/.local/state/sendal/...), one folder per spool that no other spool shares, its path
// written inside; never in or beside the spool, where another user of a shared folder could
// plant one. A record is named after its file's identity (inode, modification time to the
// nanosecond, size), so a new message never inherits an old one's record, and one written
// before its message appears under a spool name is found the moment it does. Written whole
// under a temporary name and renamed. Never needed for safety: a lost or damaged record only
// forgets the history; what is sent and deleted depends on the spool file alone.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <set>
#include <string>

namespace sendal {

constexpr const char* HeldFolderName = "held";

// The folder of the records of `spoolFolder`'s files; empty when that folder is not there or
// the user has no home.
std::string StateFolderOf(const std::string& spoolFolder);

// What a record is matched by: a file with another identity starts afresh.
struct RecordKey {
    unsigned long inode = 0;
    std::int64_t modified = 0;  // nanoseconds since the epoch
    std::uint64_t size = 0;
};
RecordKey RecordKeyOf(const struct stat& info);
bool operator==(const RecordKey& a, const RecordKey& b);
// The key of the file at `path` (not followed if it is a link); false when it is not there.
bool RecordKeyAt(const std::string& path, RecordKey& key);
// The name of its record (without folder), and the inode a record's name begins with (0 for a
// name that is no record's).
std::string RecordFileName(const RecordKey& key);
unsigned long RecordInode(const std::string& fileName);

struct QueueState {
    RecordKey file;  // the file the record is about
    std::int64_t firstSeen = 0;
    std::int32_t tries = 0;
    std::int64_t lastTry = 0;
    std::string outcome;  // "deferred", "refused", "held", "released"
    std::string reason;   // the relay's final reply line, or our own reason
    std::string notify, ret, envid;  // DSN: NOTIFY=, RET=, ENVID= as the mail program asked
    bool noticed = false;            // the notice command ran for it
    std::int64_t nextTry = 0;        // not tried before this (a run that keeps to it); 0: any time
    std::int64_t wait = 0;           // the last wait between tries, seconds: the next one doubles it
    std::string relay;               // the relay of the last try
    std::string account;             // the account that sends it (--send)
    bool alerted = false;            // the notice command told it is stuck
};

// The DSN requests as RFC 3461 allows them (letter case aside), checked where the outbox takes
// them and again before a record's values go on the wire.
bool ValidDsnNotify(const std::string& value);
bool ValidDsnReturn(const std::string& value);
bool ValidEnvelopeId(const std::string& value);

// The record as text, and back; a text that is not a record gives false.
std::string FormatQueueState(const QueueState& state);
bool ParseQueueState(const std::string& text, QueueState& state);

// The record of the file `key` among `spoolFolder`'s: true when there is one that is whole
// and about that file; otherwise `state` is a fresh record.
bool LoadQueueState(const std::string& spoolFolder, const RecordKey& key, QueueState& state);

// Writes the record (temporary file and rename). 0, or -1: the history is lost, nothing else.
std::int32_t SaveQueueState(const std::string& spoolFolder, const QueueState& state);

void ForgetQueueState(const std::string& spoolFolder, const RecordKey& key);

// The record file names in `spoolFolder`'s record folder.
std::set<std::string> RecordNames(const std::string& spoolFolder);

// Removes the records of files no longer in the spool (`present`: their inodes). Only regular
// files named as records are ever removed, and none written in the last ten minutes (the
// outbox writes a message's record just before the message appears).
void PruneQueueStates(const std::string& spoolFolder, const std::set<unsigned long>& present);

// Why `path` is no folder of the user's own that nobody else may write (a link, another's
// folder, one open to others), or empty when it is one.
std::string RefusedFolder(const std::string& path);

// Makes the record folder (and with `held` the held folder) when missing, and checks that each
// is a folder of the user's that nobody else may write, not a link. The first time, the records
// of an earlier version's folder beside the spool are taken over (copied; that folder is left
// alone). 0, or -1 with `error` saying which folder is refused and why.
std::int32_t MakeQueueFolders(const std::string& spoolFolder, bool held, std::string& error);

}  // namespace sendal
