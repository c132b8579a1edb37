// The spool files in flight: those whose end of data (or last BDAT chunk) is sent and whose
// replies are still to be read, in the order they went. Reading those replies gives each
// file's verdict, which the queue applies; every end of a session settles them first.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "message/spool.h"
#include "smtp/command.h"
#include "smtp/session.h"

namespace sendal {

// What became of a step of a file: the run goes on (the file went, or stays where the step
// says so); the file stays and the run goes on; the session had to be given up inside a file
// (it changed while it was sent, or the relay does not understand BDAT); the run ends.
enum class Fate { GoesOn, FileKept, SessionAbandoned, ChunkingRefused, SessionFull, RunEnds };

// A reply that refuses the command itself (500 to 504: unknown, not implemented, out of
// sequence), not the message: for BDAT the sign of a relay that cannot take it.
inline bool RefusesTheCommand(const Reply& reply) {
    return reply.code >= 500 && reply.code <= 504;
}

// The verdict of a file that stays: refused by `refusal` (which refused the whole session
// when `sessionWide`), or without a reply when it is null.
void LogNotSent(const SpoolFile& file, const Reply* refusal, bool sessionWide = false);

// A file in flight that the relay refused: ChunkingRefused for a relay that refused the
// session's first BDAT command; otherwise the file stays with its log line, and GoesOn when the
// run goes on (-keepgoing), else RunEnds.
Fate KeepRefusedFile(const EndAwaited& end);

// A file that changed while its text went out never gets its end: the relay would deliver a
// mixture. Logs it; GoesOn when the run goes on (-keepgoing), else RunEnds.
Fate ReportChangedFile(const SpoolFile& file);

// A refusal that belongs to one message: with -keepgoing that file stays and the run goes on.
// A refusal of the session ends it whatever the options.
bool GoesOnAfter(const Reply& refusal, bool sessionWide = false);

// An envelope the relay did not take: the file stays, and with -keepgoing RSET ends the
// transaction (its reply read now one command at a time, else with the next file). FileKept,
// or RunEnds.
struct Envelope;
Fate KeepRefusedEnvelope(const SpoolFile& file, const Envelope& envelope);

// Reads the oldest outstanding reply, which belongs to the oldest file in flight (or is a
// RSET's). GoesOn, RunEnds or ChunkingRefused.
Fate SettleOne(SpoolFile* current);

// Reads every reply at the front of the queue that answers earlier commands: ends of data
// (a file whose last transaction is accepted is deleted), BDAT chunks, streamed envelopes and
// RSET. `current` (when there is one) counts the recipients of its earlier transactions.
Fate SettleEarlier(SpoolFile* current);

// Before the next write: every reply already received is judged, and while the window is full
// the oldest are waited for, so no file the relay took waits undeleted behind the stream.
Fate SettleArrived(SpoolFile* current);

// The end of a session, for whatever reason (a refusal, a stop, a failed send): nothing new
// goes out, and the replies of everything already on the wire are read within the reply
// time-out (5 s after a stop; a second stop ends it at once), each file the relay accepted
// deleted. A file whose reply never came is named "Not sent" and stays.
void SettleInFlight();

}  // namespace sendal
