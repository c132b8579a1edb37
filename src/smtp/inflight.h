// The spool files in flight: those whose end of data (or last BDAT chunk) is sent and whose
// replies are still to be read, in the order they went. Reading those replies decides each
// file's fate: deleted as sent, or kept with the reason in the log.
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
// that changed while it was sent; the relay refused BDAT; the run ends.
enum class Fate { GoesOn, FileKept, SessionAbandoned, ChunkingRefused, RunEnds };

// A reply that refuses the command itself (500 to 504: unknown, not implemented, out of
// sequence), not the message: for BDAT the sign of a relay that cannot take it.
inline bool RefusesTheCommand(const Reply& reply) {
    return reply.code >= 500 && reply.code <= 504;
}

// The log line of a file that stays (with the refusing reply, whose exit code it notes).
void LogNotSent(const SpoolFile& file, const Reply* refusal);

// A file in flight that the relay refused: ChunkingRefused for a relay that refused the
// session's first BDAT command; otherwise the file stays with its log line, and GoesOn when the
// run goes on (-keepgoing), else RunEnds.
Fate KeepRefusedFile(const EndAwaited& end);

// A file that changed while its text went out never gets its end: the relay would deliver a
// mixture. Logs it; GoesOn when the run goes on (-keepgoing), else RunEnds.
Fate ReportChangedFile(const SpoolFile& file);

// A refusal that belongs to one message: with -keepgoing that file stays and the run goes on.
bool GoesOnAfter(const Reply& refusal);

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

}  // namespace sendal
