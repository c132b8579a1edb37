// The files in flight: each reply read gives its transaction's verdict, and a file's last
// verdict goes to the queue, which deletes or keeps it.
#include "smtp/inflight.h"

#include <chrono>

#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/receive.h"
#include "net/transport.h"
#include "queue/fate.h"
#include "smtp/codes.h"
#include "smtp/envelope.h"
#include "smtp/transfer.h"
#include "base/runoptions.h"

namespace sendal {
namespace {

// After a stop the replies already due are read for this long at most.
constexpr auto StopSettleTime = std::chrono::seconds(5);

// A file whose last reply is in: deleted, counted, or kept with its reason.
Fate SettleFile(EndAwaited& end, const Reply& reply, SpoolFile* current) {
    end.settled = true;
    if (end.refused) {
        Fate kept = KeepRefusedFile(end);
        CurrentSession.resetDue = kept == Fate::GoesOn && end.chunked;
        return kept;
    }
    CurrentSession.chunkingProven = CurrentSession.chunkingProven || end.chunked;
    if (end.lastOfFile) {
        FileVerdict sent;
        sent.verdict = Verdict::Sent;
        sent.code = reply.code;
        sent.reply = reply.Final();
        return DecideFile(end.file, sent) == 0 ? Fate::GoesOn : Fate::RunEnds;
    }
    if (current) current->delivered += end.accepted;
    return Fate::GoesOn;
}

Fate SettleReset() {
    Reply reply;
    if (TakeReply(reply) != 0) return Fate::RunEnds;
    if (ReplyClass(reply.code) == 2) return Fate::GoesOn;
    ReportRefusal("RSET", reply);
    return Fate::RunEnds;
}

// A success whose enhanced status says it answers a sender or recipient (2.1.x), from a relay
// that offers enhanced status codes: never the answer to an end of data (2.0.0, 2.6.x).
bool AnswersAnEnvelope(const Reply& reply) {
    const std::string& line = reply.Final();
    return ReplyClass(reply.code) == 2 && line.size() > 8 && line.compare(4, 4, "2.1.") == 0 &&
           Offers("ENHANCEDSTATUSCODES");
}

ReplyFor FrontKind() {
    for (ReplyFor kind : {ForMail, ForRecipient, ForData, ForEnd, ForReset, ForChunk, ForEmptyEnd})
        if (NextReplyIs(kind)) return kind;
    return ForMail;
}

}  // namespace

Fate KeepRefusedFile(const EndAwaited& end) {
    // A relay that offers CHUNKING but refuses the session's first BDAT gets DATA instead (a
    // text of one byte is its own proof; longer ones are proven by their first byte).
    if (!CurrentSession.ending && end.chunked && !CurrentSession.chunkingProven && !end.envelopeRefused &&
        RefusesTheCommand(end.refusal))
        return Fate::ChunkingRefused;
    bool known = !end.refusal.lines.empty();
    LogNotSent(end.file, known ? &end.refusal : nullptr, end.sessionRefusal);
    return known && GoesOnAfter(end.refusal, end.sessionRefusal) ? Fate::GoesOn : Fate::RunEnds;
}

Fate ReportChangedFile(const SpoolFile& file) {
    FileVerdict changed;
    changed.verdict = Verdict::Changed;
    DecideFile(file, changed);
    return CurrentSession.options->keepGoing ? Fate::GoesOn : Fate::RunEnds;
}

void LogNotSent(const SpoolFile& file, const Reply* refusal, bool sessionWide) {
    // A relay that closes the session (421) after some messages takes the rest over a new one:
    // with -keepgoing each file it left is tried once more in this run.
    if (refusal != nullptr && refusal->code == ClosingCode && CurrentSession.options->keepGoing)
        CurrentSession.relayClosed = true;
    if (CurrentSession.relayClosed && TryAgainAfterClosing(file.name)) {
        LogMessage("Closed by the relay before " + file.name + ": it goes over a new connection", LevelWarning);
        return;
    }
    // Held only for a refusal of this message that answered its own command: a relay that
    // answers before it has the command may be refusing anything.
    bool forGood = refusal && !sessionWide && !SessionOutOfStep();
    DecideFile(file, refusal ? RefusedVerdict(refusal->code, refusal->Final(), forGood)
                             : RefusedVerdict(0, std::string(), false));
}

bool GoesOnAfter(const Reply& refusal, bool sessionWide) {
    return CurrentSession.options->keepGoing && !sessionWide && refusal.code != ClosingCode && !SessionOutOfStep();
}

Fate KeepRefusedEnvelope(const SpoolFile& file, const Envelope& envelope) {
    LogNotSent(file, envelope.refused ? &envelope.refusal : nullptr, envelope.sessionRefusal);
    if (!envelope.refused || !GoesOnAfter(envelope.refusal, envelope.sessionRefusal)) return Fate::RunEnds;
    QueueReset();
    if (Pipelined() || SettleEarlier(nullptr) == Fate::GoesOn) return Fate::FileKept;
    return Fate::RunEnds;
}

Fate SettleOne(SpoolFile* current) {
    if (NextReplyIs(ForReset)) return SettleReset();
    std::shared_ptr<EndAwaited> transaction = NextReplyTransaction();
    if (!transaction) {  // no file waits for it: read and forget
        Reply reply;
        return TakeReply(reply, true) == 0 ? Fate::GoesOn : Fate::RunEnds;
    }
    EndAwaited& entry = *transaction;
    ReplyFor kind = FrontKind();
    bool isEnd = kind == ForEnd, isEnvelope = kind == ForMail || kind == ForRecipient;
    Reply reply;
    // A stop leaves the reply to the settling; a failure ends the file's hopes now.
    if (TakeReply(reply, entry.refused) != 0) {
        if (CurrentSession.failed && !entry.named) {
            entry.named = true;
            LogNotSent(entry.file, nullptr);
        }
        return Fate::RunEnds;
    }
    if (isEnd && AnswersAnEnvelope(reply)) {
        // A relay that answered a command twice (or skipped one): the replies no longer match
        // the commands, and this one cannot vouch for the text. Nothing is deleted on it.
        CurrentSession.outOfStep = true;
        NoteOutcome(EX_PROTOCOL);
        LogMessage("Reply out of step from relay: " + reply.Final() + "!", LevelError);
        return Fate::RunEnds;
    }
    if (!entry.refused && ReplyClass(reply.code) != 2) {
        entry.refused = true;
        entry.refusal = reply;
        entry.envelopeRefused = isEnvelope;
        entry.sessionRefusal = RefusesTheSession(reply, kind);
    }
    if (!isEnd) return Fate::GoesOn;
    return SettleFile(entry, reply, current);
}

Fate SettleEarlier(SpoolFile* current) {
    while (NextReplyIs(ForEnd) || NextReplyIs(ForReset) || NextReplyIs(ForChunk) ||
           NextReplyIsStreamed())
        if (Fate settled = SettleOne(current); settled != Fate::GoesOn) return settled;
    return Fate::GoesOn;
}

Fate SettleArrived(SpoolFile* current) {
    while (RepliesOutstanding() && (WindowFull() || LineWaiting()))
        if (Fate settled = SettleOne(current); settled != Fate::GoesOn) return settled;
    return Fate::GoesOn;
}

void SettleInFlight() {
    CurrentSession.ending = true;
    DropUnsent();
    std::vector<std::shared_ptr<EndAwaited>> inFlight = TransactionsInFlight();
    if (StopSignal() != 0) TolerateStops();
    auto bound = StopSignal() != 0 ? std::chrono::steady_clock::now() + StopSettleTime : ReplyDeadlineFromNow();
    ReplyDeadlineLimit = bound;
    while (RepliesOutstanding() && !CurrentSession.failed && !SessionOutOfStep() && !StopNow())
        SettleOne(nullptr);
    ReplyDeadlineLimit = ReplyDeadline::max();
    for (const std::shared_ptr<EndAwaited>& end : inFlight)
        if (!end->settled && !end->named) {
            end->named = true;
            LogNotSent(end->file, nullptr);
        }
}

}  // namespace sendal
