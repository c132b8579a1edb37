// The journal line: with -syslog, one line per file outcome to the system log (facility mail,
// identifier "sendal"), so the journal shows what a timer's runs did. VORK.LOG is unchanged.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

struct JournalEntry {
    std::string file, from, status, reply, relay;
    std::size_t recipients = 0;
    std::uint64_t size = 0;
};

// Connects to the system log now, before the run is confined.
void OpenJournal();

// The line, as written: file= from= to= size= status= reply= relay=.
std::string FormatJournalLine(const JournalEntry& entry);

// Writes the line when the journal was opened.
void WriteJournal(const JournalEntry& entry);

}  // namespace sendal
