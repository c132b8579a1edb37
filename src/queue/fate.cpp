// File fates. A spool file is deleted only after the relay answered 2xx to its last
// transaction, and only if its name still stands for the file that was sent: users hand us
// their only copy.
#include "queue/fate.h"

#include "base/fdio.h"
#include "base/outcome.h"
#include "log/log.h"
#include "queue/records.h"

namespace sendal {
namespace {

FateTally Tally;  // this process's verdicts

std::int32_t Delete(const SpoolFile& file, const std::string& reply) {
    bool replaced = !SpoolFileIsAt(file.path, file.identity);
    if (!replaced && RemoveFile(file.path) != 0) {
        NoteOutcome(EX_CANTCREAT);
        LogMessage("Can't delete " + file.name + "!", LevelError);
        return -1;
    }
    LogMessage("Sent: " + file.name + " (" + reply + ")", LevelNormal);
    NoteSent(file, reply);
    if (replaced)
        LogMessage("Not deleted: " + file.name + " was replaced while it was sent!", LevelWarning);
    return 0;
}

void Keep(const SpoolFile& file, const FileVerdict& verdict) {
    if (file.delivered > 0)
        LogMessage("Already sent to " + std::to_string(file.delivered) + " recipients of " +
                       file.name + " in this run!", LevelError);
    std::string line = "Not sent: " + file.name;
    if (verdict.code != 0) {
        NoteOutcome(verdict.code / 100 == 4 ? EX_TEMPFAIL : EX_UNAVAILABLE);
        line += " (" + verdict.reply + ")";
    }
    LogMessage(line, LevelError);
    // A 4xx, or no reply at all (the relay went away): it may well go later, after a wait.
    bool later = verdict.code == 0 || verdict.code / 100 == 4;
    NoteKept(file, verdict.code != 0 ? verdict.reply : "no reply from the relay", verdict.forGood, later);
}

}  // namespace

FileVerdict RefusedVerdict(int code, const std::string& reply, bool forGood) {
    FileVerdict verdict;
    verdict.code = reply.empty() ? 0 : code;
    verdict.reply = reply;
    verdict.forGood = forGood && verdict.code / 100 == 5;
    return verdict;
}

FateTally RunTally() {
    return Tally;
}

std::int32_t DecideFile(const SpoolFile& file, const FileVerdict& verdict) {
    ++(verdict.verdict == Verdict::Sent ? Tally.sent : Tally.kept);
    switch (verdict.verdict) {
    case Verdict::Sent:
        return Delete(file, verdict.reply);
    case Verdict::Refused:
        Keep(file, verdict);
        return 0;
    case Verdict::Changed:
        NoteOutcome(EX_TEMPFAIL);
        LogMessage("Changed while sending: " + file.name + "!", LevelError);
        return 0;
    case Verdict::TooBig:
        NoteOutcome(EX_UNAVAILABLE);
        LogMessage("Too big for the relay: " + file.name + " (" + verdict.why + ")!", LevelError);
        NoteKept(file, "Too big for the relay (" + verdict.why + ")", verdict.forGood, false);
        return 0;
    case Verdict::NoRecipient:
        NoteOutcome(EX_DATAERR);
        LogMessage("No recipient in " + file.name + "!", LevelError);
        NoteKept(file, "No recipient", true, false);
        return 0;
    }
    return 0;
}

}  // namespace sendal
