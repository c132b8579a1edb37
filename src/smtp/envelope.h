// The replies still outstanding and the envelope of one transaction. Commands are queued, sent
// together when a reply is needed, and their replies judged in the order they were sent; one
// command at a time is the same with a depth of one, so both give the same files sent and
// kept and the same log for every reply the relay can give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "smtp/command.h"
#include "smtp/session.h"

namespace sendal {

// The most recipients one transaction announces; a message with more goes out in several.
constexpr std::size_t MaxRecipients = 999;


// The window of transactions outstanding while a spool streams as BDAT chunks: as many as
// fill the measured round trip at the relay's pace, so a crash or a refusal finds at most
// about a round trip of files unanswered, and never more text than this unanswered.
constexpr std::size_t MinAwaitedTransactions = 2;
constexpr std::size_t MaxAwaitedTransactions = 64;
constexpr std::size_t MaxAwaitedChunkBytes = 4 << 20;

// Whether commands go out together (the relay offered PIPELINING after EHLO) or one at a
// time, each reply read before the next command.
bool Pipelined();

// Whether a refusal came before its command: the relay's replies no longer match our commands,
// so nothing more goes over this session.
bool SessionOutOfStep();

// Queues `bytes` (the message text's last piece) and the end-of-data line; its reply is
// judged with the rest. With `broken` the text did not reach the relay: nothing more is sent,
// and the reply is the relay's last word, if it said one.
void QueueEndOfData(const std::string& bytes, bool broken, std::shared_ptr<EndAwaited> transaction);

// Queues RSET, which ends a refused transaction so the next file starts afresh.
void QueueReset();

// Sends what is queued, then "BDAT <size>" (with " LAST" for the message's end, whose reply is
// then ForEnd's and shown; a chunk's reply is only read) and the chunk's bytes. 0; SendBroken
// (what follows is the relay's last word); -1 on a failed send (reported).
std::int16_t QueueChunk(const std::string& bytes, bool last, std::shared_ptr<EndAwaited> transaction);

// Whether the oldest outstanding reply answers `kind`, or belongs to a streamed envelope.
bool NextReplyIs(ReplyFor kind);
bool NextReplyIsStreamed();

// The transaction the oldest outstanding reply belongs to; null when none.
std::shared_ptr<EndAwaited> NextReplyTransaction();

// Every transaction with replies outstanding, oldest first, each once.
std::vector<std::shared_ptr<EndAwaited>> TransactionsInFlight();
bool RepliesOutstanding();

// Whether the window has no room for another transaction (or more text is unanswered than
// it allows).
bool WindowFull();

// Forgets the commands that never went out (none of them can be answered): the run ends.
void DropUnsent();

// Whether `reply` to a command of `kind` refuses the session or the account rather than the
// message: the relay closes, takes no mail, wants a login, or refuses the first sender of
// the session.
bool RefusesTheSession(const Reply& reply, ReplyFor kind);

// Sends what is queued and reads the oldest outstanding reply, the command it answers logged
// before it (as the envelope's are) or the reply shown (DATA, the end of data); `quiet` reads
// it without a word (a reply after its transaction's refusal). 0, or -1 when the connection
// failed (reported).
std::int32_t TakeReply(Reply& reply, bool quiet = false);

// One transaction's recipients (positions in the address list, entry 0 being the sender).
struct Envelope {
    std::vector<std::size_t> recipients;  // announced, in order
    std::vector<std::size_t> accepted;
    std::vector<std::size_t> deferred;    // answered 452 (the relay's limit): the next one's
    std::string mailParameters;           // " SIZE=..." and the like, or empty
    std::string notify;                   // DSN NOTIFY= for each recipient, or empty
    bool refused = false;                 // by the reply in `refusal`
    Reply refusal;
    bool sessionRefusal = false;          // that reply refused the session, not the message
    // How far its replies have been judged.
    std::size_t judgedRecipients = 0;
    bool goAhead = false;
    Reply deferral;  // the first 452, which refuses the transaction when nobody was accepted
};

// What MAIL FROM adds to the sender, from what the relay offered after EHLO: SIZE=<the text's
// bytes on the wire>, BODY=8BITMIME for a text with a byte above 127, SMTPUTF8 for a sender or
// recipient with one.
// An address or id as DSN parameters carry it (xtext).
std::string XText(const std::string& text);

std::string MailParameters(const std::vector<std::string>& list, std::uint64_t wireBytes,
                           bool eightBit);

// The envelope's commands, judged as they are answered: any 2xx for MAIL FROM and RCPT TO,
// 452 to a RCPT TO deferring that recipient, 354 for DATA. One command at a time, each is
// judged before the next goes out. Pipelined, MAIL FROM and every RCPT TO are only queued, and
// DATA with them for a transaction of one recipient: with several, DATA waits for their
// replies, so a refused recipient never finds the relay waiting for the text (a file goes to
// all of its recipients or to none). 0, or -1 as AwaitGoAhead.
// EnvelopeForData: DATA follows (pipelined with a single recipient). EnvelopeForChunks: BDAT
// follows once the replies are judged. EnvelopeStreamed: BDAT follows at once, and the replies
// are judged with the file's end (a single recipient, pipelined).
enum EnvelopeMode { EnvelopeForData, EnvelopeForChunks, EnvelopeStreamed };
// A streamed envelope's replies belong to `transaction`.
std::int32_t QueueEnvelope(const std::vector<std::string>& list, Envelope& envelope,
                           EnvelopeMode mode = EnvelopeForData,
                           std::shared_ptr<EndAwaited> transaction = nullptr);

// The rest of the envelope's replies, and DATA (with `data`) if it is still to go; replies to
// an end of data queued before it must have been taken. 0 when the relay waits for the text; -1 with
// `refused` set when it refused the transaction (every reply of it read, those after the
// refusal unlogged); -1 otherwise after the failure was reported.
std::int32_t AwaitGoAhead(Envelope& envelope, bool data = true);

}  // namespace sendal
