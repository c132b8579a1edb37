// The reply queue and the envelope. Every command is logged when its reply is read, just
// before it, so the log reads command, reply, command, reply whether the commands went out
// together or not, and a refusal stands in the log as the transaction's last line.
#include "smtp/envelope.h"

#include <algorithm>
#include <cmath>

#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/send.h"
#include "smtp/codes.h"

namespace sendal {
namespace {

using Clock = std::chrono::steady_clock;

// How fast the measured pace follows the newest end, and how far beyond the round trip's ends
// the window reaches, so the relay finds the next one waiting while we read and send (and
// while a relay that holds small replies back sends them together). Every end beyond what the
// link needs is one more file a crash would send twice.
constexpr double PaceWeight = 0.25;
constexpr double WindowStretch = 1.6;

void Push(Awaited awaited) {
    if (awaited.kind == ForEnd) ++CurrentSession.endsOutstanding;
    awaited.end = CurrentSession.unsent.size();
    if (!CurrentSession.broken) ++CurrentSession.unsentEntries;
    CurrentSession.outstanding.push_back(std::move(awaited));
}

void Queue(ReplyFor kind, const std::string& command, bool logged,
           std::shared_ptr<EndAwaited> transaction = nullptr) {
    if (CurrentSession.ending) return;  // the session settles: nothing new goes out
    if (!CurrentSession.broken) {
        CurrentSession.unsent += command;
        CurrentSession.unsent += "\r\n";
    }
    Awaited awaited;
    awaited.kind = kind;
    awaited.logged = logged ? command : std::string();
    awaited.streamed = transaction && (kind == ForMail || kind == ForRecipient);
    awaited.transaction = std::move(transaction);
    Push(std::move(awaited));
}

// Writes what is queued; each command written gets its mark, one that never went out keeps
// NeverSent, so no reply can count as its answer but a refusal.
std::int16_t Flush() {
    if (CurrentSession.unsent.empty()) return 0;
    std::string bytes = std::move(CurrentSession.unsent);
    CurrentSession.unsent.clear();
    std::size_t entries = CurrentSession.unsentEntries;
    CurrentSession.unsentEntries = 0;
    if (CurrentSession.broken) return 0;
    std::int16_t sent = SendData(bytes);
    auto now = Clock::now();
    for (std::size_t i = CurrentSession.outstanding.size() - entries; i < CurrentSession.outstanding.size(); ++i) {
        CurrentSession.outstanding[i].mark = ReceivedMarkAt(CurrentSession.outstanding[i].end);
        CurrentSession.outstanding[i].sentAt = now;
    }
    if (sent == SendBroken) CurrentSession.broken = true;  // what the relay said before it went is read next
    return sent;
}

// The window follows the relay. The shortest round trip seen is what an end costs when
// nothing waits before it; the relay's pace is the mean time between the ends it answers. As
// many ends as it answers in a round trip fill the link, and six tenths more keep it busy
// while we read and send. While only the window holds the pace back, the round trips stay short and
// the window grows; once ends wait at the relay, their round trips grow and it stops.
void MeasurePace(const Awaited& awaited) {
    PaceMeasure& pace = CurrentSession.pace;
    if (awaited.mark == NeverSent || !awaited.transaction) return;
    auto now = Clock::now();
    pace.roundTrip = std::min(pace.roundTrip, now - awaited.sentAt);
    if (pace.lastEnd != Clock::time_point{}) {
        double gap = static_cast<double>(std::chrono::nanoseconds(now - pace.lastEnd).count());
        pace.gapNanoseconds = pace.gapNanoseconds == 0 ? gap : pace.gapNanoseconds * (1 - PaceWeight) + gap * PaceWeight;
    }
    pace.lastEnd = now;
    if (pace.gapNanoseconds <= 0) return;
    double fill = static_cast<double>(std::chrono::nanoseconds(pace.roundTrip).count()) / pace.gapNanoseconds;
    pace.window = std::clamp(static_cast<std::size_t>(std::ceil(std::min(fill * WindowStretch, 1e6))),
                             MinAwaitedTransactions, MaxAwaitedTransactions);
}

Awaited PopFront() {
    Awaited front = std::move(CurrentSession.outstanding.front());
    CurrentSession.outstanding.pop_front();
    CurrentSession.outstandingChunkBytes -= front.chunkBytes;
    if (front.kind == ForEnd) --CurrentSession.endsOutstanding;
    return front;
}

std::int32_t Take(Reply& reply, ReplyFor& kind, bool quiet) {
    if (std::int16_t sent = Flush(); sent != 0 && sent != SendBroken) {
        CurrentSession.failed = StopSignal() == 0;
        return -1;
    }
    Awaited& awaited = CurrentSession.outstanding.front();
    kind = awaited.kind;
    // A chunk's reply says only that its bytes arrived; it would stand in the progress row.
    ReplyEcho echo = quiet || kind == ForChunk ? EchoNone
                     : awaited.logged.empty()  ? EchoConsole
                                               : EchoLog;
    if (echo == EchoLog) LogMessage(awaited.logged, LevelNormal);
    awaited.logged.clear();  // read again after a stop, it stands in the log once
    if (ReadReply(reply, echo) != 0) {
        // A stop before the reply began leaves it to be read while the run settles.
        if (StopNow() && reply.lines.empty()) return -1;
        CurrentSession.failed = true;
        PopFront();
        return -1;
    }
    Awaited taken = PopFront();
    if (OutOfTurn(reply, taken.mark)) {
        CurrentSession.failed = true;
        return -1;
    }
    if (kind == ForEnd) MeasurePace(taken);
    if (kind == ForMail && ReplyClass(reply.code) == 2) CurrentSession.senderAccepted = true;
    // A refusal that came before its command can only keep a file; what follows it can no
    // longer be matched to our commands, so the session ends after it.
    CurrentSession.outOfStep = CurrentSession.outOfStep || reply.arrival <= taken.mark;
    return 0;
}

void Refuse(Envelope& envelope, const Reply& reply, ReplyFor kind) {
    envelope.refused = true;
    envelope.refusal = reply;
    envelope.sessionRefusal = RefusesTheSession(reply, kind);
}

std::int32_t JudgeNext(Envelope& envelope) {
    Reply reply;
    ReplyFor kind;
    if (Take(reply, kind, envelope.refused) != 0) return -1;
    bool good = ReplyClass(reply.code) == 2;
    if (kind == ForEmptyEnd) return 0;  // whatever it says, nobody gets that text
    if (kind == ForData) {
        // A relay may wait for the text of a transaction without recipients (RFC 2920): a
        // lone "." ends it, and the file stays as it would one command at a time.
        if (envelope.refused || envelope.accepted.empty()) {
            if (reply.code == DataCode) Queue(ForEmptyEnd, ".", false);
            return 0;
        }
        envelope.goAhead = reply.code == DataCode;
        if (!envelope.goAhead) Refuse(envelope, reply, kind);
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
            Refuse(envelope, reply, kind);  // all or nothing: the file waits for every recipient
        }
    } else if (!good) {
        Refuse(envelope, reply, kind);
    }
    return 0;
}

// Every reply still outstanding (all of them this envelope's).
std::int32_t JudgeOutstanding(Envelope& envelope) {
    while (!CurrentSession.outstanding.empty())
        if (JudgeNext(envelope) != 0) return -1;
    return 0;
}

// One command at a time: its reply before the next command.
std::int32_t JudgeIfLockStep(Envelope& envelope) {
    return CurrentSession.pipelining ? 0 : JudgeOutstanding(envelope);
}

}  // namespace

bool SessionOutOfStep() {
    return CurrentSession.outOfStep;
}

bool Pipelined() {
    return CurrentSession.pipelining;
}

void QueueEndOfData(const std::string& bytes, bool broken, std::shared_ptr<EndAwaited> transaction) {
    CurrentSession.broken = CurrentSession.broken || broken;
    if (!CurrentSession.broken) CurrentSession.unsent += bytes;
    Queue(ForEnd, ".", false, std::move(transaction));
}

void QueueReset() {
    Queue(ForReset, "RSET", true);
}

std::int16_t QueueChunk(const std::string& bytes, bool last, std::shared_ptr<EndAwaited> transaction) {
    if (CurrentSession.ending) return -1;
    std::string command = "BDAT " + std::to_string(bytes.size()) + (last ? " LAST" : "");
    CurrentSession.outstandingChunkBytes += bytes.size();
    if (!CurrentSession.broken) {
        // The command and its bytes in one send: the relay reads them in one go.
        CurrentSession.unsent += command + "\r\n";
        CurrentSession.unsent += bytes;
    }
    Awaited awaited;
    awaited.kind = last ? ForEnd : ForChunk;
    awaited.chunkBytes = bytes.size();
    awaited.transaction = std::move(transaction);
    Push(std::move(awaited));
    if (CurrentSession.broken) return SendBroken;
    return Flush();
}

bool NextReplyIs(ReplyFor kind) {
    return !CurrentSession.outstanding.empty() && CurrentSession.outstanding.front().kind == kind;
}

std::shared_ptr<EndAwaited> NextReplyTransaction() {
    return CurrentSession.outstanding.empty() ? nullptr : CurrentSession.outstanding.front().transaction;
}

std::vector<std::shared_ptr<EndAwaited>> TransactionsInFlight() {
    std::vector<std::shared_ptr<EndAwaited>> found;
    for (const Awaited& awaited : CurrentSession.outstanding)
        if (awaited.transaction && (found.empty() || found.back() != awaited.transaction))
            found.push_back(awaited.transaction);
    return found;
}

bool NextReplyIsStreamed() {
    return !CurrentSession.outstanding.empty() && CurrentSession.outstanding.front().streamed;
}

bool RepliesOutstanding() {
    return !CurrentSession.outstanding.empty();
}

bool WindowFull() {
    return CurrentSession.endsOutstanding >= CurrentSession.pace.window ||
           CurrentSession.outstandingChunkBytes > MaxAwaitedChunkBytes;
}

void DropUnsent() {
    CurrentSession.unsent.clear();
    CurrentSession.unsentEntries = 0;
    while (!CurrentSession.outstanding.empty() && CurrentSession.outstanding.back().mark == NeverSent) {
        Awaited& last = CurrentSession.outstanding.back();
        CurrentSession.outstandingChunkBytes -= last.chunkBytes;
        if (last.kind == ForEnd) --CurrentSession.endsOutstanding;
        CurrentSession.outstanding.pop_back();
    }
}

bool RefusesTheSession(const Reply& reply, ReplyFor kind) {
    if (reply.code == ClosingCode || reply.code == NoServiceCode || reply.code == AuthRequiredCode) return true;
    // Where no sender has passed yet, the relay may refuse every sender of this session.
    return kind == ForMail && ReplyClass(reply.code) == 5 && !CurrentSession.senderAccepted;
}

std::int32_t TakeReply(Reply& reply, bool quiet) {
    ReplyFor kind;
    return Take(reply, kind, quiet);
}

// An address as xtext: "+" and "=", blanks and bytes outside printable ASCII as "+HH".
std::string XText(const std::string& address) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (char c : address) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 33 || byte > 126 || c == '+' || c == '=')
            text += std::string("+") + Digits[byte >> 4] + Digits[byte & 15];
        else
            text += c;
    }
    return text;
}

std::string RecipientParameters(const Envelope& envelope, const std::string& address) {
    if (envelope.notify.empty()) return {};
    return " NOTIFY=" + envelope.notify + " ORCPT=rfc822;" + XText(address);
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
                           EnvelopeMode mode, std::shared_ptr<EndAwaited> transaction) {
    if (mode != EnvelopeStreamed) transaction = nullptr;  // judged now, with `envelope`
    Queue(ForMail, "MAIL FROM:<" + list[0] + ">" + envelope.mailParameters, true, transaction);
    if (JudgeIfLockStep(envelope) != 0) return -1;
    for (std::size_t entry : envelope.recipients) {
        if (envelope.refused) return -1;
        Queue(ForRecipient, "RCPT TO:<" + list[entry] + ">" + RecipientParameters(envelope, list[entry]),
              true, transaction);
        if (JudgeIfLockStep(envelope) != 0) return -1;
    }
    if (mode == EnvelopeForData && CurrentSession.pipelining && envelope.recipients.size() == 1)
        Queue(ForData, "DATA", false);
    return envelope.refused ? -1 : 0;
}

std::int32_t AwaitGoAhead(Envelope& envelope, bool data) {
    if (JudgeOutstanding(envelope) != 0) return -1;
    if (!envelope.refused && envelope.accepted.empty()) Refuse(envelope, envelope.deferral, ForRecipient);
    if (envelope.refused) return -1;
    if (data && !envelope.goAhead) {
        Queue(ForData, "DATA", false);
        if (JudgeOutstanding(envelope) != 0) return -1;
    }
    return envelope.refused ? -1 : 0;
}

}  // namespace sendal
