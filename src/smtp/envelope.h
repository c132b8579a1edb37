// The envelope of one transaction: MAIL FROM and one RCPT TO per recipient, from the message's
// own header lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// The most recipients one transaction announces; a message with more goes out in several.
constexpr std::size_t MaxRecipients = 999;

// Announces the sender (`list[0]`) and the recipients from `list[first]` on: at most
// MaxRecipients, and fewer when the relay answers 452 (its own limit) to a later one. Each
// command and each reply line is logged at level 0; one reply line is read per command and
// only 250 is accepted. 0 with `announced` set, or -1 on a refusal, a failed send or a time-out.
std::int32_t SendEnvelope(const std::vector<std::string>& list, std::size_t first,
                          std::size_t& announced);

}  // namespace sendal
