// sendal-enqueue: the sendmail-style command that mail programs call. It only queues: the
// message on standard input becomes the next spool file, complete or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// The whole program: `arguments` without the program's name. Returns the exit code (0, or a
// sysexits code after a message on standard error).
int RunEnqueue(const std::vector<std::string>& arguments);

// The next free spool name after those in `taken` (any letter case): one past the highest
// m????.out, else the lowest free one; empty when all of m0001.out to m9999.out are taken.
std::string NextSpoolName(const std::vector<std::string>& taken, int after = 0);

}  // namespace sendal
