// When a file is tried again: after a relay asked to wait (a 4xx, a session it would not take,
// no connection at all) the waits grow from the relay's own hint, or from the first wait, and
// double up to the longest; a run that keeps to the times leaves the file alone till then.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace sendal {

// The wait a relay's words ask for ("try again in 5 minutes", "retry after 300 seconds"), in
// seconds; 0 when they name none.
std::int64_t RetryHintSeconds(const std::string& reply);

// The next wait: the hint, else the first wait, for a first wait; else twice the last (never
// less than the hint); at most `longest` unless the relay itself asked for more.
std::int64_t NextWait(std::int64_t lastWait, std::int64_t hint, std::int64_t first, std::int64_t longest);

// The files of `names` in `spoolFolder` whose record says not before a time still to come,
// and the earliest such time (0 when none waits).
std::set<std::string> FilesWaiting(const std::string& spoolFolder, const std::set<std::string>& names,
                                   std::int64_t now, std::int64_t& earliest);

}  // namespace sendal
