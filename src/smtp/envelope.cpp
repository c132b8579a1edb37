// The reply queue and the envelope. Every command is logged when its reply is read, just
// before it, so the log reads command, reply, command, reply whether the commands went out
// together or not, and a refusal stands in the log as the transaction's last line.
#include "smtp/envelope.h"

#include <deque>

#include "base/outcome.h"
#include "log/log.h"
#include "net/send.h"
#include "smtp/codes.h"

namespace sendal {
namespace {

struct Awaited {
    ReplyFor kind;
    std::string logged;  // the command as the log shows it; empty when its reply is shown
    bool streamed = false;      // judged with its file's end (see QueueEnvelope)
    std::size_t chunkBytes = 0;  // the text a BDAT carried
};

std::deque<Awaited> Outstanding;
std::size_t OutstandingChunkBytes = 0;
std::string Unsent;  // queued commands not yet written
bool Pipelining = false;
bool Broken = false;  // the relay closed the connection: only its last replies are left to read

void Queue(ReplyFor kind, const std::string& command, bool logged, bool streamed = false) {
    if (!Broken) {
        Unsent += command;
        Unsent += "\r\n";
    }
    Outstanding.push_back({kind, logged ? command : std::string(), streamed});
}

std::int32_t Flush() {
    if (Unsent.empty()) return 0;
    std::string bytes = std::move(Unsent);
    Unsent.clear();
    if (Broken) return 0;
    std::int16_t sent = SendData(bytes);
    if (sent == SendBroken) Broken = true;  // what the relay said before it went is read next
    return sent == SendBroken ? 0 : sent;
}

std::int32_t Take(Reply& reply, ReplyFor& kind, bool quiet) {
    if (Flush() != 0) return -1;
    Awaited awaited = std::move(Outstanding.front());
    Outstanding.pop_front();
    OutstandingChunkBytes -= awaited.chunkBytes;
    kind = awaited.kind;
    // A chunk's reply says only that its bytes arrived; it would stand in the progress row.
    if (quiet || kind == ForChunk) return ReadReply(reply, EchoNone);
    if (!awaited.logged.empty()) LogMessage(awaited.logged, -1, LevelNormal);
    return ReadReply(reply, awaited.logged.empty() ? EchoConsole : EchoLog);
}

void Refuse(Envelope& envelope, const Reply& reply) {
    envelope.refused = true;
    envelope.refusal = reply;
}

// A relay that waits for the text of a transaction it refused would take our next commands as
// the text: the session cannot go on.
std::int32_t GoAheadWithoutRecipient() {
    NoteOutcome(EX_PROTOCOL);
    LogMessage("Bad reply from relay!", -1, LevelError);
    return -1;
}

std::int32_t JudgeNext(Envelope& envelope) {
    Reply reply;
    ReplyFor kind;
    if (Take(reply, kind, envelope.refused) != 0) return -1;
    bool good = ReplyClass(reply.code) == 2;
    if (kind == ForData) {
        if (envelope.refused || envelope.accepted.empty())
            return reply.code == DataCode ? GoAheadWithoutRecipient() : 0;
        envelope.goAhead = reply.code == DataCode;
        if (!envelope.goAhead) Refuse(envelope, reply);
    } else if (envelope.refused) {
        return 0;
    } else if (kind == ForRecipient) {
        std::size_t entry = envelope.recipients[envelope.judgedRecipients++];
        if (good) {
            envelope.accepted.push_back(entry);
        } else if (reply.code == TooManyRecipientsCode) {
            envelope.deferred.push_back(entry);  // the relay's limit: the next transaction's
            if (envelope.deferral.lines.empty()) envelope.deferral = reply;
        } else {
            Refuse(envelope, reply);  // all or nothing: the file waits for every recipient
        }
    } else if (!good) {
        Refuse(envelope, reply);
    }
    return 0;
}

// Every reply still outstanding (all of them this envelope's).
std::int32_t JudgeOutstanding(Envelope& envelope) {
    while (!Outstanding.empty())
        if (JudgeNext(envelope) != 0) return -1;
    return 0;
}

// One command at a time: its reply before the next command.
std::int32_t JudgeIfLockStep(Envelope& envelope) {
    return Pipelining ? 0 : JudgeOutstanding(envelope);
}

}  // namespace

void StartReplyQueue(bool pipelining) {
    Pipelining = pipelining;
    Broken = false;
    Outstanding.clear();
    OutstandingChunkBytes = 0;
    Unsent.clear();
}

bool Pipelined() {
    return Pipelining;
}

void QueueEndOfData(const std::string& bytes, bool broken) {
    Broken = Broken || broken;
    if (!Broken) Unsent += bytes;
    Queue(ForEnd, ".", false);
}

void QueueReset() {
    Queue(ForReset, "RSET", true);
}

std::int16_t QueueChunk(const std::string& bytes, bool last) {
    std::string command = "BDAT " + std::to_string(bytes.size()) + (last ? " LAST" : "");
    Outstanding.push_back({last ? ForEnd : ForChunk, std::string(), false, bytes.size()});
    OutstandingChunkBytes += bytes.size();
    if (Broken) return SendBroken;
    // The command and its bytes in one send: the relay reads them in one go.
    Unsent += command + "\r\n";
    Unsent += bytes;
    std::string out = std::move(Unsent);
    Unsent.clear();
    std::int16_t sent = SendData(out);
    Broken = sent == SendBroken;
    return sent;
}

bool NextReplyIs(ReplyFor kind) {
    return !Outstanding.empty() && Outstanding.front().kind == kind;
}

bool NextReplyIsStreamed() {
    return !Outstanding.empty() && Outstanding.front().streamed;
}

bool RepliesOutstanding() {
    return !Outstanding.empty();
}

bool WindowFull() {
    return Outstanding.size() > MaxAwaitedReplies || OutstandingChunkBytes > MaxAwaitedChunkBytes;
}

std::int32_t TakeReply(Reply& reply, bool quiet) {
    ReplyFor kind;
    return Take(reply, kind, quiet);
}

std::string MailParameters(const std::vector<std::string>& list, std::uint64_t wireBytes,
                           bool eightBit) {
    std::string parameters;
    if (Offers("SIZE")) parameters += " SIZE=" + std::to_string(wireBytes);
    if (eightBit && Offers("8BITMIME")) parameters += " BODY=8BITMIME";
    bool utf8 = false;
    for (const std::string& address : list)
        for (char c : address) utf8 = utf8 || (static_cast<unsigned char>(c) & 0x80) != 0;
    if (utf8 && Offers("SMTPUTF8")) parameters += " SMTPUTF8";
    return parameters;
}

std::int32_t QueueEnvelope(const std::vector<std::string>& list, Envelope& envelope,
                           EnvelopeMode mode) {
    bool streamed = mode == EnvelopeStreamed;
    Queue(ForMail, "MAIL FROM:<" + list[0] + ">" + envelope.mailParameters, true, streamed);
    if (JudgeIfLockStep(envelope) != 0) return -1;
    for (std::size_t entry : envelope.recipients) {
        if (envelope.refused) return -1;
        Queue(ForRecipient, "RCPT TO:<" + list[entry] + ">", true, streamed);
        if (JudgeIfLockStep(envelope) != 0) return -1;
    }
    if (mode == EnvelopeForData && Pipelining && envelope.recipients.size() == 1)
        Queue(ForData, "DATA", false);
    return envelope.refused ? -1 : 0;
}

std::int32_t AwaitGoAhead(Envelope& envelope, bool data) {
    if (JudgeOutstanding(envelope) != 0) return -1;
    if (!envelope.refused && envelope.accepted.empty()) Refuse(envelope, envelope.deferral);
    if (envelope.refused) return -1;
    if (data && !envelope.goAhead) {
        Queue(ForData, "DATA", false);
        if (JudgeOutstanding(envelope) != 0) return -1;
    }
    return envelope.refused ? -1 : 0;
}

}  // namespace sendal
