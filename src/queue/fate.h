// The one place where a spool file's fate is decided. The send paths (one command at a time,
// pipelined DATA, BDAT) and the settling at an end of the run hand in a verdict for each file
// they are done with; this deletes or keeps it, holds it, writes its record and journal line,
// says so in the log and notes the exit code.
#pragma once

#include <cstdint>
#include <string>

#include "message/spool.h"

namespace sendal {

enum class Verdict {
    Sent,     // the relay accepted its last transaction: deleted
    Refused,  // the relay refused it (with `code` and `reply`), or gave no reply (code 0)
    Changed,  // it changed while its text went out: it never got its end
    TooBig,   // larger than the relay takes (`why` gives the sizes)
    NoRecipient,  // a relay would refuse it, and it would block every later file
};

struct FileVerdict {
    Verdict verdict = Verdict::Refused;
    int code = 0;           // the relay's reply; 0 when it gave none
    std::string reply;      // that reply's final line
    bool forGood = false;   // refused by the message itself: it will never go as it is
    std::string why;        // TooBig: the sizes
};

// The verdict of a refusal (or of no reply at all, when `reply` is empty).
FileVerdict RefusedVerdict(int code, const std::string& reply, bool forGood);

// What this process's verdicts came to: files sent, and files kept (refused, no reply, changed,
// too big, no recipient).
struct FateTally {
    std::int64_t sent = 0, kept = 0;
};
FateTally RunTally();

// Applies `verdict` to `file`. 0; -1 when an accepted file could not be deleted (it would go
// twice: nothing more may go in this run).
std::int32_t DecideFile(const SpoolFile& file, const FileVerdict& verdict);

}  // namespace sendal
