// `sendal --send`: the configured spool, each file over the account that serves its sender.
#pragma once

#include "base/runoptions.h"

namespace sendal {

// The whole configured run, with what the command line gave laid over every account;
// returns the worst outcome as a sysexits code (see outcome.h).
int RunAccounts(const RunOptions& given);

// sendal --authorize NAME: the OAuth2 flow of the configured account NAME. The exit code.
int AuthorizeConfigured(const RunOptions& given);

}  // namespace sendal
