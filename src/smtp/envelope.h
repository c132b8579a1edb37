// The envelope of one transaction: MAIL FROM, one RCPT TO per recipient and DATA, from the
// message's own header lines; one command at a time, or pipelined when the relay offers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// The most recipients one transaction announces; a message with more goes out in several.
constexpr std::size_t MaxRecipients = 999;

// One transaction's recipients (positions in the address list, entry 0 being the sender).
struct Envelope {
    std::vector<std::size_t> recipients;  // announced, in order
    std::vector<std::size_t> accepted;
    std::vector<std::size_t> deferred;    // answered 452 (the relay's limit): the next one's
};

// One command at a time: MAIL FROM, then each RCPT TO (stopping at a 452 once some were
// accepted: the rest are deferred), then DATA. Each envelope command and reply is logged at
// level 0; the reply to DATA is shown. 0 when the relay waits for the text, else -1.
std::int32_t ExchangeEnvelope(const std::vector<std::string>& list, Envelope& envelope);

// The pipelined form: every command of the envelope and DATA as one text to send at once ...
std::string EnvelopeGroup(const std::vector<std::string>& list, const Envelope& envelope);
// ... and their replies read in order, each logged after its command as above; the log ends
// at the first refusal. 0 when the relay waits for the text, else -1.
std::int32_t ReadEnvelopeReplies(const std::vector<std::string>& list, Envelope& envelope);

}  // namespace sendal
