// The queue as the user sees and steers it: the listing of the waiting files with why each
// waits, and the held files released or removed.
#pragma once

#include <string>

#include "base/runoptions.h"

namespace sendal {

// Carries out the queue command the words asked for (--queue, --release, --remove); the exit
// code (0, or a sysexits code after its message).
int RunQueueCommand(const RunOptions& options);

// The listing of the spool files matching `mask` and of its held folder, on standard output.
// 0.
int ListQueue(const std::string& mask);

}  // namespace sendal
