// syslog(3) with LOG_NDELAY: the socket to /dev/log is made when the journal is opened, so a
// confined run keeps it.
#include "log/journal.h"

#include <syslog.h>

#include "base/text.h"

namespace sendal {
namespace {

bool Opened = false;

// A value in double quotes when it holds a blank, a quote or a backslash, those two escaped,
// so no reply can forge a field for a parser; control bytes never reach it.
std::string Value(const std::string& text) {
    std::string clean = ReplaceTerminalControls(text, '?');
    if (clean.find_first_of(" \t\"\\") == std::string::npos && !clean.empty()) return clean;
    std::string quoted = "\"";
    for (char c : clean) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

void OpenJournal() {
    ::openlog("sendal", LOG_NDELAY | LOG_PID, LOG_MAIL);
    Opened = true;
}

std::string FormatJournalLine(const JournalEntry& entry) {
    return "file=" + Value(entry.file) + " from=" + Value(entry.from.empty() ? "<>" : entry.from) +
           " to=" + std::to_string(entry.recipients) + " size=" + std::to_string(entry.size) +
           " status=" + entry.status + " reply=" + Value(entry.reply) + " relay=" + Value(entry.relay);
}

void WriteJournal(const JournalEntry& entry) {
    if (!Opened) return;
    int priority = entry.status == "sent" ? LOG_INFO : entry.status == "held" ? LOG_WARNING : LOG_NOTICE;
    ::syslog(priority, "%s", FormatJournalLine(entry).c_str());
}

}  // namespace sendal
