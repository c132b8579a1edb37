// The queue as the user sees and steers it: the listing of the waiting files with why each
// waits, and the held files released or removed.
#pragma once

#include <string>

#include "base/runoptions.h"

namespace sendal {

// Carries out the queue command the words asked for (--queue, --release, --remove); the exit
// code (0, or a sysexits code after its message).
int RunQueueCommand(const RunOptions& options);

struct Config;

// The listing of the spool files matching `mask` and of its held folder, on standard output
// (`json`: one object a line); `config` (may be null) names each file's account. 0.
int ListQueue(const std::string& mask, bool json = false, const Config* config = nullptr);

}  // namespace sendal
