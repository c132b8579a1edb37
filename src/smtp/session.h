// One session with one relay: what it offered, the commands whose replies are outstanding,
// the files in flight (the transactions its outstanding replies belong to) and how the text
// goes. Started afresh for every connection, so a
// reconnect is the end of one session and the start of the next.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/runoptions.h"
#include "message/spool.h"
#include "net/send.h"
#include "smtp/command.h"

namespace sendal {

// What an outstanding reply answers.
enum ReplyFor { ForMail, ForRecipient, ForData, ForEnd, ForReset, ForChunk, ForEmptyEnd };

// A transaction whose text is on its way, its replies not all read.
struct EndAwaited {
    SpoolFile file;
    bool lastOfFile = true;
    std::size_t accepted = 0;
    bool chunked = false;          // sent as BDAT chunks
    bool refused = false;          // by `refusal`, the first reply of it that was not 2xx
    Reply refusal;
    bool envelopeRefused = false;  // that reply answered MAIL FROM or RCPT TO
    bool sessionRefusal = false;   // that reply refused the session, not this message
    bool named = false;            // its file has its "Not sent" line already
    bool settled = false;          // its last reply is in and its file's fate decided
};

// One command whose reply is outstanding.
struct Awaited {
    ReplyFor kind = ForMail;
    std::string logged;  // the command as the log shows it; empty when its reply is shown
    bool streamed = false;      // judged with its file's end (see QueueEnvelope)
    std::size_t chunkBytes = 0;  // the text a BDAT carried
    std::size_t end = 0;         // where its bytes end in the unsent commands, until written
    std::uint64_t mark = NeverSent;  // the received count as its last byte went out
    std::chrono::steady_clock::time_point sentAt;  // when its last byte went out
    // The transaction whose file this reply decides (its text or a streamed envelope); none
    // for the commands judged at once and for RSET.
    std::shared_ptr<EndAwaited> transaction;
};

// What the replies tell of the relay's pace, for the window of transactions outstanding.
struct PaceMeasure {
    std::chrono::steady_clock::duration roundTrip = std::chrono::steady_clock::duration::max();  // shortest seen
    double gapNanoseconds = 0;  // smoothed time between the ends the relay answers back to back
    std::chrono::steady_clock::time_point lastEnd;  // when the last end's reply was read
    std::size_t window = 2;  // transactions that may be outstanding, before the first measure
};

struct Session {
    const RunOptions* options = nullptr;  // what the run asks of this session; outlives it
    std::vector<std::string> offers;  // the lines of the last EHLO reply, in capitals

    // The reply queue: commands in the order they were sent, with their replies to come.
    std::deque<Awaited> outstanding;
    std::size_t outstandingChunkBytes = 0;
    std::string unsent;            // queued commands not yet written
    std::size_t unsentEntries = 0;  // the newest outstanding entries whose bytes are unsent
    bool pipelining = false;       // commands go out together
    bool broken = false;     // the relay closed the connection: only its last replies are left
    bool outOfStep = false;  // a refusal came out of turn: later replies cannot be matched
    bool failed = false;     // the connection failed (or the relay broke the protocol)
    bool ending = false;     // the session settles what it sent: nothing new goes out
    bool senderAccepted = false;  // a MAIL FROM was accepted in this session
    std::size_t endsOutstanding = 0;  // transactions whose end is sent and unanswered
    PaceMeasure pace;

    bool chunking = false;        // the text goes as BDAT chunks
    bool chunkingProven = false;  // a BDAT transaction was accepted in this session
    bool resetDue = false;  // a streamed transaction was refused: RSET before the next one
    bool toldNoDsn = false;  // the log said once that the relay takes no DSN requests
    bool greetingRefused = false;  // the relay would not take the session: another may
    bool relayClosed = false;      // a 421 ended the session: with -keepgoing a new one goes on
    std::size_t transactions = 0;  // MAIL FROMs sent in this session
    std::size_t recipientsMost = 0, transactionsMost = 0;  // the relay's LIMITS (RCPTMAX, MAILMAX); 0: none
};

inline Session CurrentSession;

// Forgets everything of the session before: a new connection starts here.
inline void StartSession(const RunOptions& options) {
    CurrentSession = Session{};
    CurrentSession.options = &options;
}

}  // namespace sendal
