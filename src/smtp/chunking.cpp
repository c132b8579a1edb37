// BDAT transactions. Only what went out counts: a file is deleted only after the 2xx to its own
// "BDAT <n> LAST", and a file whose transaction failed never gets another chunk (the relay
// drops what it had, and RSET ends the transaction).
#include "smtp/chunking.h"

#include "base/console.h"
#include "log/log.h"
#include "message/spool.h"
#include "net/send.h"
#include "queue/relaynotes.h"
#include "smtp/codes.h"
#include "smtp/message_text.h"
#include "base/runoptions.h"

namespace sendal {
namespace {

// The file being streamed stops here (refused, or changed): every reply still outstanding is
// read (older files' as usual, this one's quietly), and the file stays; RSET ends its
// transaction when the run goes on.
Fate StopStreaming(EndAwaited& current, SpoolFile& file, bool changed) {
    current.refused = true;
    while (RepliesOutstanding())
        if (Fate settled = SettleOne(&file); settled != Fate::GoesOn) return settled;
    current.settled = true;
    if (Fate kept = changed ? ReportChangedFile(file) : KeepRefusedFile(current); kept != Fate::GoesOn)
        return kept;
    QueueReset();  // the relay drops the chunks it had
    Fate settled = SettleEarlier(nullptr);
    return settled == Fate::GoesOn ? Fate::FileKept : settled;
}

// The text stopped by a failure (reported): the file stays, and the connection's end abandons
// its transaction.
Fate FailStreaming(EndAwaited& current) {
    if (!current.named) LogNotSent(current.file, nullptr);
    current.named = true;
    return Fate::RunEnds;
}

// The session's first chunk is the text's first byte alone, answered (with the envelope sent
// before it) before anything follows: a relay that does not understand BDAT refuses the
// command and takes that byte as the start of a command line, which nothing of ours then
// joins (the session ends). GoesOn with `piece` short of that byte, ChunkingRefused, or what a
// refusal of the file gives.
Fate ProveChunking(EndAwaited& current, SpoolFile& file, std::string& piece,
                   const std::shared_ptr<EndAwaited>& shared) {
    std::int16_t sent = QueueChunk(piece.substr(0, 1), false, shared);
    if (sent != 0 && sent != SendBroken) return FailStreaming(current);
    piece.erase(0, 1);
    while (RepliesOutstanding())
        if (Fate settled = SettleOne(&file); settled != Fate::GoesOn) return settled;
    if (!current.refused) {
        CurrentSession.chunkingProven = true;
        return Fate::GoesOn;
    }
    if (!current.envelopeRefused && RefusesTheCommand(current.refusal)) return Fate::ChunkingRefused;
    return StopStreaming(current, file, false);
}

// The text as chunks; replies already there are read after each one.
Fate StreamText(SpoolReader& reader, const std::shared_ptr<EndAwaited>& current, SpoolFile& file) {
    MessageText text;
    StartMessageText(text, reader, true);
    std::string piece;
    bool probe = !CurrentSession.chunkingProven;
    for (;;) {
        int more = NextTextPiece(text, piece);
        if (more < 0) return FailStreaming(*current);  // an incomplete text must never get its end
        if (probe && (more != 0 || piece.size() > 1)) {
            probe = false;
            if (Fate proved = ProveChunking(*current, file, piece, current); proved != Fate::GoesOn) return proved;
            if (piece.empty() && more != 0) continue;
        }
        if (more == 0 && SpoolFileChanged(reader)) return StopStreaming(*current, file, true);
        std::int16_t sent = QueueChunk(piece, more == 0, current);
        if (sent == SendBroken && more != 0) sent = QueueChunk(std::string(), true, current);
        if (sent == SendBroken || more == 0) return Fate::GoesOn;  // the LAST's reply tells the rest
        if (sent != 0) return FailStreaming(*current);
        // Replies already there are read now, so a file the relay took is deleted at once
        // (a crash then sends it no second time); a full window waits for them.
        if (Fate settled = SettleArrived(&file); settled != Fate::GoesOn) return settled;
        if (current->refused) return StopStreaming(*current, file, false);
    }
}

// The relay offers CHUNKING but refused BDAT: it gets DATA from now on, over a new connection
// when the run goes on; the file stays (not held: nothing is wrong with it).
Fate RefuseChunking(EndAwaited& current) {
    current.settled = true;
    LogMessage("BDAT refused: the rest goes with DATA!", LevelWarning);
    RelayChunking.refused = true;
    if (std::string why; NoteRelayRefusesChunking(RelayChunking.host, RelayChunking.port, why) != 0)
        LogMessage(why, LevelWarning);
    if (CurrentSession.options->keepGoing) return Fate::ChunkingRefused;
    LogNotSent(current.file, &current.refusal, true);
    return Fate::RunEnds;
}

}  // namespace

Fate SendChunkedTransaction(SpoolReader& reader, const AddressList& list, Envelope& envelope, SpoolFile& file,
                            bool othersFollow) {
    // One recipient: the envelope goes with the text (the session's first also with the
    // proving byte, whose reply comes after the envelope's, so a refused envelope is told
    // from a refused BDAT).
    bool streamed = envelope.recipients.size() == 1;
    // Before anything more goes out: the replies already there, and room in the window.
    if (Fate settled = SettleArrived(&file); settled != Fate::GoesOn) return settled;
    if (CurrentSession.resetDue) QueueReset();
    CurrentSession.resetDue = false;
    auto current = std::make_shared<EndAwaited>();
    current->file = file;
    current->chunked = true;
    std::int32_t announced =
        QueueEnvelope(list, envelope, streamed ? EnvelopeStreamed : EnvelopeForChunks, current);
    // Streamed, the files before are settled as the window fills: waiting here would cost a
    // round trip a message.
    if (!streamed)
        if (Fate settled = SettleEarlier(&file); settled != Fate::GoesOn) return settled;
    if (!streamed && announced == 0) announced = AwaitGoAhead(envelope, false);
    if (announced != 0) return KeepRefusedEnvelope(file, envelope);
    current->file = file;  // with the recipients its earlier transactions delivered
    current->lastOfFile = !othersFollow && envelope.deferred.empty();
    current->accepted = streamed ? 1 : envelope.accepted.size();
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(file.name);
    Fate result = StreamText(reader, current, file);
    ConsoleLineEnd();
    if (result == Fate::ChunkingRefused) return RefuseChunking(*current);
    if (result != Fate::GoesOn || CurrentSession.chunkingProven) return result;
    // A text of one byte went as the session's first chunk, unproven: its reply before the
    // next, so a relay that refuses BDAT is told from one that refuses the message.
    result = SettleEarlier(&file);
    return result == Fate::ChunkingRefused ? RefuseChunking(*current) : result;
}

}  // namespace sendal
