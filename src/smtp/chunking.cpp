// BDAT transactions. Only what went out counts: a file is deleted only after the 2xx to its own
// "BDAT <n> LAST", and a file whose transaction failed never gets another chunk (the relay
// drops what it had, and RSET ends the transaction).
#include "smtp/chunking.h"

#include "base/console.h"
#include "log/log.h"
#include "message/spool.h"
#include "net/receive.h"
#include "net/send.h"
#include "smtp/codes.h"
#include "smtp/message_text.h"

namespace sendal {
namespace {

// The file being streamed stops here (refused, or changed): every reply still outstanding is
// read (older files' as usual, this one's quietly), and the file stays; RSET ends its
// transaction when the run goes on.
std::int32_t StopStreaming(SpoolFile& file, bool changed) {
    CurrentSession.endsAwaited.back().refused = true;
    while (RepliesOutstanding())
        if (std::int32_t settled = SettleOne(&file); settled != 0) return settled;
    EndAwaited end = std::move(CurrentSession.endsAwaited.back());
    CurrentSession.endsAwaited.pop_back();
    if (std::int32_t kept = changed ? ReportChangedFile(file) : KeepRefusedFile(end); kept != 0)
        return kept;
    QueueReset();  // the relay drops the chunks it had
    std::int32_t settled = SettleEarlier(nullptr);
    return settled == 0 ? FileKept : settled;
}

// The text stopped by a failure (reported): the file stays, and the connection's end abandons
// its transaction.
std::int32_t FailStreaming() {
    EndAwaited end = std::move(CurrentSession.endsAwaited.back());
    CurrentSession.endsAwaited.pop_back();
    LogNotSent(end.file, nullptr);
    return -1;
}

// The text as chunks, reading replies whenever the window is full.
std::int32_t StreamText(SpoolFile& file) {
    MessageText text;
    StartMessageText(text, true);
    std::string piece;
    for (;;) {
        int more = NextTextPiece(text, piece);
        if (more < 0) return FailStreaming();  // an incomplete text must never get its end
        if (more == 0 && SpoolFileChanged()) return StopStreaming(file, true);
        std::int16_t sent = QueueChunk(piece, more == 0);
        if (sent == SendBroken && more != 0) sent = QueueChunk(std::string(), true);
        if (sent == SendBroken || more == 0) return 0;  // the LAST's reply tells the rest
        if (sent != 0) return FailStreaming();
        // Replies already there are read now, so a file the relay took is deleted at once
        // (a crash then sends it no second time); a full window waits for them.
        while (RepliesOutstanding() && (WindowFull() || LineWaiting()))
            if (std::int32_t settled = SettleOne(&file); settled != 0) return settled;
        if (CurrentSession.endsAwaited.back().refused) return StopStreaming(file, false);
    }
}

}  // namespace

std::int32_t SendChunkedTransaction(const AddressList& list, Envelope& envelope, SpoolFile& file,
                                    bool othersFollow) {
    bool streamed = CurrentSession.chunkingProven && envelope.recipients.size() == 1;
    if (CurrentSession.resetDue) QueueReset();
    CurrentSession.resetDue = false;
    std::int32_t announced =
        QueueEnvelope(list, envelope, streamed ? EnvelopeStreamed : EnvelopeForChunks);
    // Streamed, the files before are settled as the window fills: waiting here would cost a
    // round trip a message.
    if (!streamed)
        if (std::int32_t settled = SettleEarlier(&file); settled != 0) return settled;
    if (!streamed && announced == 0) announced = AwaitGoAhead(envelope, false);
    if (announced != 0) return KeepRefusedEnvelope(file, envelope);
    EndAwaited end;
    end.file = file;
    end.lastOfFile = !othersFollow && envelope.deferred.empty();
    end.accepted = streamed ? 1 : envelope.accepted.size();
    end.chunked = true;
    CurrentSession.endsAwaited.push_back(std::move(end));
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(file.name);
    std::int32_t result = StreamText(file);
    ConsoleLineEnd();
    if (result != 0 || CurrentSession.chunkingProven) return result;
    return SettleEarlier(&file);  // the session's first BDAT message: its replies before the next
}

std::int32_t FallBackToData() {
    LogMessage("BDAT refused: the rest goes with DATA!", -1, LevelWarning);
    CurrentSession.chunking = false;
    QueueReset();
    return SettleEarlier(nullptr) == 0 ? 0 : -1;
}

}  // namespace sendal
