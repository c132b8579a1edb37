// What became of each file, beyond the log: its state record (tries, last outcome and reason),
// the hold of a file the relay will never take, the one notice of it, and the journal line.
#pragma once

#include <string>

#include "message/queuestate.h"
#include "smtp/session.h"

namespace sendal {

// The spool folder of this run and the relay, for the records and the journal; removes the
// records of files that are gone.
void StartFileRecords(const std::string& spoolFolder, const std::string& relay);

// The record of a file about to be tried (its DSN requests among it).
QueueState FileRecord(const SpoolFile& file);

// The file was accepted and deleted.
void NoteSent(const SpoolFile& file, const std::string& reply);

// The file stays: `forGood` when the relay (or we) will never take it as it is. With -hold
// such a file, or one waiting longer than -expire=, moves to the held folder, with its log
// line and its notice.
void NoteKept(const SpoolFile& file, const std::string& reason, bool forGood);

}  // namespace sendal
