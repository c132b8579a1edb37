// What waits in a spool, file by file: for people (--queue), for programs (--queue --json) and
// for a metrics collector (the textfile of metrics_file), all from the one gathering.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sendal {

struct Config;

// One waiting or held file with what its record knows.
struct QueueEntry {
    std::string name;
    bool held = false;
    std::string status;  // "" for a message; "being written", "a symbolic link", "cannot be read"
    std::uint64_t size = 0;
    std::int64_t firstSeen = 0;
    std::string sender;
    std::vector<std::string> recipients;
    std::string account;  // the record's, else the one the configuration would choose
    std::int32_t tries = 0;
    std::int64_t lastTry = 0;
    std::string outcome, reason, relay, notify;
    std::int64_t nextTry = 0;
};

// The files of `mask` and of its held folder, with their records; `config` (may be null)
// names the account of a file never tried.
std::vector<QueueEntry> GatherQueue(const std::string& mask, const Config* config);

// The listing for people, and the one JSON object a line for programs.
void PrintQueue(const std::vector<QueueEntry>& entries, const std::string& folder, std::int64_t now);
void PrintQueueJson(const std::vector<QueueEntry>& entries);

// A run's own figures per account, for the metrics file.
struct RunFigures {
    std::int64_t sent = 0, refused = 0;
};

// Writes the metrics file at `path` (a temporary name, then renamed): files waiting and held and
// the oldest one's age per account, the last delivery's time, what the run sent and refused.
// 0, or -1 when it could not be written.
int WriteMetrics(const std::string& path, const std::vector<QueueEntry>& entries,
                 const std::map<std::string, RunFigures>& figures, std::int64_t now);

}  // namespace sendal
