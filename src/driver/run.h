// The main sequence: one straight pass from the log header to the close-down.
#pragma once

#include <cstdint>

namespace sendal {

// Runs the whole program once. Returns the exit code, 0 on every path; the log and the
// console tell what happened.
std::int32_t RunMain();

}  // namespace sendal
