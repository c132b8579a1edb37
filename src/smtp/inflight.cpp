// The files in flight. A spool file is deleted only after the relay answered 2xx to the end
// of data (or last chunk) of its last transaction, and only if its name still stands for the
// file that was sent: users hand us their only copy.
#include "smtp/inflight.h"

#include "base/fdio.h"
#include "smtp/options.h"
#include "base/outcome.h"
#include "log/log.h"
#include "smtp/codes.h"
#include "smtp/envelope.h"
#include "smtp/fileoutcome.h"

namespace sendal {
namespace {

constexpr int ClosingCode = 421;  // the relay ends the session: no later file can go either

// Accepted by every transaction: the file is deleted now, if its name still stands for it. A
// file that stays would go out again on every later run, so the run ends there.
Fate DeleteSpoolFile(const SpoolFile& file, const Reply& reply) {
    bool replaced = !SpoolFileIsAt(file.path, file.identity);
    if (!replaced && RemoveFile(file.path) != 0) {
        NoteOutcome(EX_CANTCREAT);
        LogMessage("Can't delete " + file.name + "!", -1, LevelError);
        return Fate::RunEnds;
    }
    LogMessage("Sent: " + file.name + " (" + reply.Final() + ")", -1, LevelNormal);
    NoteSent(file, reply.Final());
    if (replaced)
        LogMessage("Not deleted: " + file.name + " was replaced while it was sent!", -1, LevelWarning);
    return Fate::GoesOn;
}

// A file whose last reply is in: deleted, counted, or kept with its reason.
Fate SettleFile(const EndAwaited& end, const Reply& reply, SpoolFile* current) {
    if (end.refused) {
        Fate kept = KeepRefusedFile(end);
        CurrentSession.resetDue = kept == Fate::GoesOn && end.chunked;
        return kept;
    }
    CurrentSession.chunkingProven = CurrentSession.chunkingProven || end.chunked;
    if (end.lastOfFile) return DeleteSpoolFile(end.file, reply);
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

}  // namespace

Fate KeepRefusedFile(const EndAwaited& end) {
    // A relay that offers CHUNKING but refuses the first BDAT gets DATA instead.
    if (end.chunked && !CurrentSession.chunkingProven && !end.envelopeRefused && RefusesTheCommand(end.refusal))
        return Fate::ChunkingRefused;
    bool known = !end.refusal.lines.empty();
    LogNotSent(end.file, known ? &end.refusal : nullptr);
    return known && GoesOnAfter(end.refusal) ? Fate::GoesOn : Fate::RunEnds;
}

Fate ReportChangedFile(const SpoolFile& file) {
    NoteOutcome(EX_TEMPFAIL);
    LogMessage("Changed while sending: " + file.name + "!", -1, LevelError);
    return Options.keepGoing ? Fate::GoesOn : Fate::RunEnds;
}

void LogNotSent(const SpoolFile& file, const Reply* refusal) {
    if (file.delivered > 0)
        LogMessage("Already sent to " + std::to_string(file.delivered) + " recipients of " +
                       file.name + " in this run!",
                   -1, LevelError);
    std::string line = "Not sent: " + file.name;
    if (refusal) {
        NoteRefusal(*refusal);
        line += " (" + refusal->Final() + ")";
    }
    LogMessage(line, -1, LevelError);
    // Held only for a refusal that answered its own command: a relay that answers before it
    // has the command may be refusing anything.
    NoteKept(file, refusal ? refusal->Final() : "no reply from the relay",
             refusal && ReplyClass(refusal->code) == 5 && !SessionOutOfStep());
}

bool GoesOnAfter(const Reply& refusal) {
    return Options.keepGoing && refusal.code != ClosingCode && !SessionOutOfStep();
}

Fate KeepRefusedEnvelope(const SpoolFile& file, const Envelope& envelope) {
    LogNotSent(file, envelope.refused ? &envelope.refusal : nullptr);
    if (!envelope.refused || !GoesOnAfter(envelope.refusal)) return Fate::RunEnds;
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
    bool isEnd = NextReplyIs(ForEnd), isEnvelope = !isEnd && !NextReplyIs(ForChunk);
    Reply reply;
    if (TakeReply(reply, entry.refused) != 0) {
        if (!entry.named) LogNotSent(entry.file, nullptr);
        entry.named = true;
        return Fate::RunEnds;
    }
    if (!entry.refused && ReplyClass(reply.code) != 2) {
        entry.refused = true;
        entry.refusal = reply;
        entry.envelopeRefused = isEnvelope;
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

}  // namespace sendal
