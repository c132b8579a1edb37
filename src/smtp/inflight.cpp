// The files in flight. A spool file is deleted only after the relay answered 2xx to the end
// of data (or last chunk) of its last transaction, and only if its name still stands for the
// file that was sent: users hand us their only copy.
#include "smtp/inflight.h"

#include "base/fdio.h"
#include "base/options.h"
#include "base/outcome.h"
#include "log/log.h"
#include "smtp/codes.h"
#include "smtp/envelope.h"

namespace sendal {
namespace {

constexpr int ClosingCode = 421;  // the relay ends the session: no later file can go either

// Accepted by every transaction: the file is deleted now, if its name still stands for it. A
// file that stays would go out again on every later run, so the run ends there.
std::int32_t DeleteSpoolFile(const SpoolFile& file, const Reply& reply) {
    bool replaced = !SpoolFileIsAt(file.path, file.identity);
    if (!replaced && RemoveFile(file.path) != 0) {
        NoteOutcome(EX_CANTCREAT);
        LogMessage("Can't delete " + file.name + "!", -1, LevelError);
        return -1;
    }
    LogMessage("Sent: " + file.name + " (" + reply.Final() + ")", -1, LevelNormal);
    if (replaced)
        LogMessage("Not deleted: " + file.name + " was replaced while it was sent!", -1, LevelWarning);
    return 0;
}

// A file whose last reply is in: deleted, counted, or kept with its reason.
std::int32_t SettleFile(const EndAwaited& end, const Reply& reply, SpoolFile* current) {
    if (end.refused) {
        std::int32_t kept = KeepRefusedFile(end);
        CurrentSession.resetDue = kept == 0 && end.chunked;
        return kept;
    }
    CurrentSession.chunkingProven = CurrentSession.chunkingProven || end.chunked;
    if (end.lastOfFile) return DeleteSpoolFile(end.file, reply);
    if (current) current->delivered += end.accepted;
    return 0;
}

std::int32_t SettleReset() {
    Reply reply;
    if (TakeReply(reply) != 0) return -1;
    return ReplyClass(reply.code) == 2 ? 0 : ReportRefusal("RSET", reply);
}

}  // namespace

std::int32_t KeepRefusedFile(const EndAwaited& end) {
    // A relay that offers CHUNKING but refuses the first BDAT gets DATA instead.
    if (end.chunked && !CurrentSession.chunkingProven && !end.envelopeRefused && RefusesTheCommand(end.refusal))
        return ChunkingRefused;
    bool known = !end.refusal.lines.empty();
    LogNotSent(end.file, known ? &end.refusal : nullptr);
    return known && GoesOnAfter(end.refusal) ? 0 : -1;
}

std::int32_t ReportChangedFile(const SpoolFile& file) {
    NoteOutcome(EX_TEMPFAIL);
    LogMessage("Changed while sending: " + file.name + "!", -1, LevelError);
    return Options.keepGoing ? 0 : -1;
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
}

bool GoesOnAfter(const Reply& refusal) {
    return Options.keepGoing && refusal.code != ClosingCode && !SessionOutOfStep();
}

std::int32_t KeepRefusedEnvelope(const SpoolFile& file, const Envelope& envelope) {
    LogNotSent(file, envelope.refused ? &envelope.refusal : nullptr);
    if (!envelope.refused || !GoesOnAfter(envelope.refusal)) return -1;
    QueueReset();
    return Pipelined() ? FileKept : (SettleEarlier(nullptr) == 0 ? FileKept : -1);
}

std::int32_t SettleOne(SpoolFile* current) {
    if (NextReplyIs(ForReset)) return SettleReset();
    if (CurrentSession.endsAwaited.empty()) {  // no file waits for it: read and forget
        Reply reply;
        return TakeReply(reply, true);
    }
    EndAwaited& entry = CurrentSession.endsAwaited.front();
    bool isEnd = NextReplyIs(ForEnd), isEnvelope = !isEnd && !NextReplyIs(ForChunk);
    Reply reply;
    if (TakeReply(reply, entry.refused) != 0) {
        LogNotSent(entry.file, nullptr);
        CurrentSession.endsAwaited.pop_front();
        return -1;
    }
    if (!entry.refused && ReplyClass(reply.code) != 2) {
        entry.refused = true;
        entry.refusal = reply;
        entry.envelopeRefused = isEnvelope;
    }
    if (!isEnd) return 0;
    EndAwaited end = std::move(entry);
    CurrentSession.endsAwaited.pop_front();
    return SettleFile(end, reply, current);
}

std::int32_t SettleEarlier(SpoolFile* current) {
    while (NextReplyIs(ForEnd) || NextReplyIs(ForReset) || NextReplyIs(ForChunk) ||
           NextReplyIsStreamed())
        if (std::int32_t settled = SettleOne(current); settled != 0) return settled;
    return 0;
}

}  // namespace sendal
