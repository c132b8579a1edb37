// The envelope. Every command is logged before its reply and every reply before it is judged,
// so a refusal stands in the log as the envelope's last line, pipelined or not.
#include "smtp/envelope.h"

#include "base/outcome.h"
#include "log/log.h"
#include "smtp/codes.h"
#include "smtp/command.h"

namespace sendal {
namespace {

std::string MailCommand(const std::vector<std::string>& list) {
    return "MAIL FROM:<" + list[0] + ">";
}

std::string RecipientCommand(const std::vector<std::string>& list, std::size_t entry) {
    return "RCPT TO:<" + list[entry] + ">";
}

// The reply to a RCPT TO just read: 1 accepted, 0 deferred (452, the relay's limit), -1 refused.
int JudgeRecipient(std::int32_t exchanged, Envelope& envelope, std::size_t entry) {
    if (exchanged == 0) {
        envelope.accepted.push_back(entry);
        return 1;
    }
    if (!LastReplyRefused() || ReplyCode(LastReply()) != TooManyRecipientsCode) return -1;
    envelope.deferred.push_back(entry);
    return 0;
}

// The relay took the DATA command; without an accepted recipient nothing may follow.
std::int32_t AfterData(std::int32_t exchanged, const Envelope& envelope) {
    if (exchanged != 0) return -1;
    if (!envelope.accepted.empty()) return 0;
    NoteOutcome(EX_PROTOCOL);
    return -1;
}

}  // namespace

std::int32_t ExchangeEnvelope(const std::vector<std::string>& list, Envelope& envelope) {
    if (Exchange(MailCommand(list), OkCode, EchoLog) != 0) return -1;
    for (std::size_t i = 0; i < envelope.recipients.size(); ++i) {
        std::size_t entry = envelope.recipients[i];
        int judged = JudgeRecipient(Exchange(RecipientCommand(list, entry), OkCode, EchoLog),
                                    envelope, entry);
        if (judged < 0 || (judged == 0 && envelope.accepted.empty())) return -1;
        if (judged > 0) continue;
        // The relay has no room for more: the rest go in the next transaction.
        envelope.deferred.insert(envelope.deferred.end(), envelope.recipients.begin() + i + 1,
                                 envelope.recipients.end());
        break;
    }
    return AfterData(Exchange("DATA", DataCode, EchoConsole), envelope);
}

std::string EnvelopeGroup(const std::vector<std::string>& list, const Envelope& envelope) {
    std::string group = MailCommand(list) + "\r\n";
    for (std::size_t entry : envelope.recipients) group += RecipientCommand(list, entry) + "\r\n";
    return group + "DATA\r\n";
}

std::int32_t ReadEnvelopeReplies(const std::vector<std::string>& list, Envelope& envelope) {
    LogMessage(MailCommand(list), -1, LevelNormal);
    if (AwaitReply(OkCode, EchoLog) != 0) return -1;
    for (std::size_t entry : envelope.recipients) {
        LogMessage(RecipientCommand(list, entry), -1, LevelNormal);
        if (JudgeRecipient(AwaitReply(OkCode, EchoLog), envelope, entry) < 0) return -1;
    }
    return AfterData(AwaitReply(DataCode, EchoConsole), envelope);
}

}  // namespace sendal
