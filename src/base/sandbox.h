// Confinement of the run once its secret is read: from then on the process parses what the
// relay sends, through a TLS library, while it holds the secret and may delete the user's
// mail. It can then gain no privilege, reach no file outside the folders it works in, and make
// no system call but those the run makes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// What the run may still reach, each folder with everything beneath it: `folders` (the
// spool: read, remove, move a file out; nothing made, linked or moved in), `holding` (the held
// folder: files moved in too), `writable` (state records: written and replaced in place, never
// moved out).
struct SandboxRules {
    std::vector<std::string> folders;
    std::vector<std::string> holding;
    std::vector<std::string> writable;
};

// No new privileges, then Landlock with `rules`, then the system call filter (a call outside
// it fails with EPERM, like any refused call). Where the kernel lacks Landlock or seccomp the
// run goes on without that part and says so on the console (never in the log). 0, or -1 with
// `why` set to the message when a confinement that the kernel offers could not be set up.
std::int32_t ConfineRun(const SandboxRules& rules, std::string& why);

// The Landlock ABI the kernel offers, 0 without it.
int LandlockAbi();

}  // namespace sendal
