// The envelope of one message: MAIL FROM and one RCPT TO per recipient, from the message's own
// header lines.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// Result when the spool file could not be read: nothing was sent, the file is left alone.
constexpr std::int32_t EnvelopeUnreadable = 1;

// Scans the spool file at `path` (which loads its text for the transfer), then announces the
// sender and each recipient up to the first empty entry. Each command and each reply line is
// logged at level 0; exactly one reply line is read per command and only 250 is accepted.
// 0 when all were accepted, -1 on a refusal, a failed send or a time-out, EnvelopeUnreadable.
std::int32_t SendEnvelope(const std::string& path);

}  // namespace sendal
