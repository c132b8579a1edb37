// The transfer of the whole spool: for each file that matches the mask, the envelope, DATA,
// the message text, the end-of-data line, and the deletion once the relay has accepted it;
// QUIT after the last file.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "smtp/message_text.h"

namespace sendal {

// Done when every file was handled and QUIT was answered; Failed at the first refusal, failed send
// or time-out, which leaves that file and all later ones in the spool; either way every file
// already on the wire is settled first (deleted when the relay took it). With EHLO and a relay
// that offers PIPELINING, each envelope goes out in one write together with the end of data
// of the message before it; replies are read, logged and judged in order all the same.
// With -keepgoing a file the relay refused stays and the rest still go, and Abandoned
// tells that the session was given up inside a file (it changed while it was sent, or the
// relay does not understand BDAT): the run may go on with a new connection, and the files
// handled so far are not tried again (the one the relay refused BDAT for is, with DATA).
// The session must have been started (StartSession) on this connection.
enum class TransferEnd { Done, Failed, Abandoned };

// The files one account sends, when a run shares its spool among accounts; every file of the
// mask when `chosen` is false.
struct SpoolSelection {
    bool chosen = false;
    std::set<std::string> names;
};

TransferEnd TransferSpool(const std::string& fileMask, const SpoolSelection& selection);

// After the relay closed the session (421): whether `name` may be tried once more in this run
// (true the first time, and it is then no longer counted as handled).
bool TryAgainAfterClosing(const std::string& name);

// Forgets which files this run has handled (at the start of a run).
void StartSpoolRun();

// The directory part of a mask: up to and including its last "\", "/" or ":".
std::string SpoolDirectory(const std::string& fileMask);

// After a search of the mask: a folder that was there but could not be listed (a denial, also
// by the confinement) is an error, never "nothing to send". 0, or -1 after the log says so.
std::int32_t ReportDeniedListing(const std::string& fileMask);

// The spool folder a mask names, looked up on disk ("." for a mask without a folder).
std::string SpoolFolderOf(const std::string& fileMask);

}  // namespace sendal
