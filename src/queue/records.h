// What became of each file, beyond the log: its state record (tries, last outcome and reason),
// the hold of a file the relay will never take, the one notice of it, and the journal line.
#pragma once

#include <set>
#include <string>

#include "message/queuestate.h"
#include "message/spool.h"

namespace sendal {

// What the run does with a file that waits: hold it (-hold, -expire=), tell of it.
struct QueuePolicy {
    bool hold = false;          // a file refused for good moves to held/
    int expireDays = 0;         // a file waiting longer is held when its try fails
    bool syslog = false;        // a journal line per file outcome
    std::string notifyCommand;  // what runs once for a held file
    int retryMin = 60;          // the first wait after a relay asked to wait, seconds
    int retryMax = 3600;        // the longest wait between tries
    std::string account;        // the account that sends the files (--send), for their records
};

// The spool folder of this run, the relay and the policy, for the records and the journal;
// removes the records of files that are gone.
void StartFileRecords(const std::string& spoolFolder, const std::string& relay, const QueuePolicy& policy);

// The record of a file about to be tried (its DSN requests among it).
QueueState FileRecord(const SpoolFile& file);

// The file was accepted and deleted.
void NoteSent(const SpoolFile& file, const std::string& reply);

// The file stays: `forGood` when the relay (or we) will never take it as it is. With -hold
// such a file, or one waiting longer than -expire=, moves to the held folder, with its log
// line and its notice. One that may go `later` (a 4xx, no reply) gets its next-try time.
void NoteKept(const SpoolFile& file, const std::string& reason, bool forGood, bool later);

// A try of the session that ended before any file was sent (no connection, the greeting,
// EHLO, STARTTLS or the login refused, a certificate or password command failure, a stop):
// each of `names` in the spool gets the try, its time and `reason` in its record, and a
// next-try time when the relay may take it later (`temporary`).
void NoteSessionTry(const std::set<std::string>& names, const std::string& reason, bool temporary);

// The relay of the tries from now on (after a failover).
void SetRecordRelay(const std::string& relay);

}  // namespace sendal
