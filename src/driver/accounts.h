// `sendal --send`: the configured spool, each file over the account that serves its sender.
#pragma once

#include <string>

namespace sendal {

// Whether the command tail asks for the configured run (its first word is --send).
bool IsAccountsRun(const std::string& tail);

// The whole configured run; returns the worst outcome as a sysexits code (see outcome.h).
int RunAccounts(const std::string& tail);

}  // namespace sendal
