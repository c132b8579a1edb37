// BDAT transactions. Only what went out counts: a file is deleted only after the 2xx to its own
// "BDAT <n> LAST", and a file whose transaction failed never gets another chunk (the relay
// drops what it had, and RSET ends the transaction).
#include "smtp/chunking.h"

#include "base/console.h"
#include "log/log.h"
#include "message/spool.h"
#include "net/transport.h"
#include "net/send.h"
#include "smtp/codes.h"
#include "smtp/message_text.h"

namespace sendal {
namespace {

// The file being streamed stops here (refused, or changed): every reply still outstanding is
// read (older files' as usual, this one's quietly), and the file stays; RSET ends its
// transaction when the run goes on.
Fate StopStreaming(EndAwaited& current, SpoolFile& file, bool changed) {
    current.refused = true;
    while (RepliesOutstanding())
        if (Fate settled = SettleOne(&file); settled != Fate::GoesOn) return settled;
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

// The text as chunks; replies already there are read after each one.
Fate StreamText(const std::shared_ptr<EndAwaited>& current, SpoolFile& file) {
    MessageText text;
    StartMessageText(text, true);
    std::string piece;
    for (;;) {
        int more = NextTextPiece(text, piece);
        if (more < 0) return FailStreaming(*current);  // an incomplete text must never get its end
        if (more == 0 && SpoolFileChanged()) return StopStreaming(*current, file, true);
        std::int16_t sent = QueueChunk(piece, more == 0, current);
        if (sent == SendBroken && more != 0) sent = QueueChunk(std::string(), true, current);
        if (sent == SendBroken || more == 0) return Fate::GoesOn;  // the LAST's reply tells the rest
        if (sent != 0) return FailStreaming(*current);
        // Replies already there are read now, so a file the relay took is deleted at once
        // (a crash then sends it no second time); a full window waits for them.
        while (RepliesOutstanding() && (WindowFull() || LineWaiting()))
            if (Fate settled = SettleOne(&file); settled != Fate::GoesOn) return settled;
        if (current->refused) return StopStreaming(*current, file, false);
    }
}

}  // namespace

Fate SendChunkedTransaction(const AddressList& list, Envelope& envelope, SpoolFile& file,
                            bool othersFollow) {
    bool streamed = CurrentSession.chunkingProven && envelope.recipients.size() == 1;
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
    Fate result = StreamText(current, file);
    ConsoleLineEnd();
    if (result != Fate::GoesOn || CurrentSession.chunkingProven) return result;
    return SettleEarlier(&file);  // the session's first BDAT message: its replies before the next
}

std::int32_t FallBackToData() {
    LogMessage("BDAT refused: the rest goes with DATA!", -1, LevelWarning);
    CurrentSession.chunking = false;
    QueueReset();
    return SettleEarlier(nullptr) == Fate::GoesOn ? 0 : -1;
}

}  // namespace sendal
