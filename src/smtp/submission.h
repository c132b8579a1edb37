// The opening of the dialogue: HELO as always, or, when an option asks for it, EHLO with
// STARTTLS and AUTH as the relay offers them.
#pragma once

#include <cstdint>
#include <string>

#include "base/runoptions.h"

namespace sendal {

// Reads the greeting and greets the relay; then, as the options ask, STARTTLS (the relay must
// offer it: "STARTTLS not offered!" otherwise, never a fall-back to plain text) with a second
// EHLO, and AUTH with a mechanism the relay offered ("AUTH not offered!" otherwise). The AUTH
// lines are logged like the envelope's, with the secrets as "********". 0 when the relay may
// take mail now, else -1. With -starttls, a relay silent for the first seconds is told of
// (it may want TLS from the first byte on its port), and the greeting's own wait goes on.
std::int32_t OpenDialogue(const RunOptions& options);

// Checks made before connecting: AUTH only over TLS unless -insecureauth ("AUTH needs TLS!"),
// and the warning for -noverify. 0, or -1 after logging.
std::int32_t CheckSubmissionOptions(const RunOptions& options);

// With -auth: the login and its secret (netrc, the password command), read once the spool
// proved non-empty. 0, or -1 after logging why (nothing on a stop).
std::int32_t ReadSubmissionSecret(const RunOptions& options);

}  // namespace sendal
