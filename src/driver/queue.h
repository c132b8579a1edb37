// The queue as the user sees and steers it: the listing of the waiting files with why each
// waits, and the held files released or removed.
#pragma once

#include <string>

namespace sendal {

// Whether the command tail is one of --queue, --release or --remove.
bool IsQueueCommand(const std::string& tail);

// Carries out the queue command; the exit code (0, or a sysexits code after its message).
int RunQueueCommand(const std::string& tail);

// The listing of the spool files matching `mask` and of its held folder, on standard output.
// 0.
int ListQueue(const std::string& mask);

}  // namespace sendal
