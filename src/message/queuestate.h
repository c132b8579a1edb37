// The state record of a spool file: when it was first seen, its tries and the last one's
// outcome, and the delivery notices its sender asked for. Kept in the spool's hidden folder
// beside it (".spool.sendal" for "spool"), so the spool itself holds only mail and nothing in
// it is ever matched by a mask or sent; written whole under a temporary name and renamed. Never needed for safety: a lost or damaged record only forgets
// the history; what is sent and deleted depends on the spool file alone.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace sendal {

constexpr const char* HeldFolderName = "held";

// The hidden folder of the records of `spoolFolder`'s files: ".<name>.sendal" beside it.
std::string StateFolderOf(const std::string& spoolFolder);

struct QueueState {
    unsigned long inode = 0;  // the file the record is about: a new file of that name starts afresh
    std::int64_t firstSeen = 0;
    std::int32_t tries = 0;
    std::int64_t lastTry = 0;
    std::string outcome;  // "deferred", "refused", "failed", "held"
    std::string reason;   // the relay's final reply line, or our own reason
    std::string notify, ret, envid;  // DSN: NOTIFY=, RET=, ENVID= as the mail program asked
    bool noticed = false;            // the notice command ran for it
};

// The record as text, and back; a text that is not a record gives false.
std::string FormatQueueState(const QueueState& state);
bool ParseQueueState(const std::string& text, QueueState& state);

// The record of `name` in `spoolFolder` for the file with `inode`: true when there is one
// that is whole and about that file; otherwise `state` is a fresh record.
bool LoadQueueState(const std::string& spoolFolder, const std::string& name, unsigned long inode,
                    QueueState& state);

// Writes the record (temporary file and rename). 0, or -1: the history is lost, nothing else.
std::int32_t SaveQueueState(const std::string& spoolFolder, const std::string& name,
                            const QueueState& state);

void ForgetQueueState(const std::string& spoolFolder, const std::string& name);

// Removes the records of files no longer in the spool (`present`).
void PruneQueueStates(const std::string& spoolFolder, const std::set<std::string>& present);

// Makes the hidden folder (and with `held` the held folder) when missing. 0, or -1.
std::int32_t MakeQueueFolders(const std::string& spoolFolder, bool held);

}  // namespace sendal
