// The header block of a spool file: the walk over its lines with their continuation lines, the
// rules for the lines that are never sent, and the scan for the sender and the recipients.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message/spool.h"

namespace sendal {

// One part of the header block as the reader hands it out: a line, or a part of a line
// longer than the reader's window.
struct HeaderPart {
    std::string text;
    bool lineStarts = true;
    bool lineEnds = true;
};

// The walk over the header block, which ends at its first empty line. It holds no more than
// one part, so a header line of any length needs no more memory than the reader's window.
struct HeaderWalk {
    SpoolReader* reader = nullptr;  // the file it walks
    std::string field;         // the current field's name in small letters; empty for a line
                               // that names none
    bool separator = false;    // the current line is a "From " mailbox separator
    bool fieldStarts = false;  // the part at hand begins a field (is not a continuation)
    bool lineStarts = true;    // the next part begins a line
    bool started = false;
    bool ended = false;
    bool endedAtEmptyLine = false;  // the block's empty line was taken (and is not a part)
};

// Starts the walk at the reader's current line (after a load or a rewind).
void StartHeaderWalk(HeaderWalk& walk, SpoolReader& reader);

// The next part of the header block; false at its end.
bool NextHeaderPart(HeaderWalk& walk, HeaderPart& part);

// A line that continues the header line before it: it begins with a blank or a tab.
bool IsContinuationLine(const std::string& line);

// The field a header line names: the text before its first colon in small letters, blanks
// and tabs before the colon left out; empty when there is no colon or the name holds a blank,
// a tab or a control byte. Whatever follows the colon does not matter.
std::string FieldName(const std::string& line);

// Left out of the sent text with its continuation lines: a mailbox separator ("From " as
// written) or a blind-copy field, in whatever form.
bool IsDroppedField(const HeaderWalk& walk);

// Entry 0 the sender (may be empty), entries 1 on the recipients (never empty).
using AddressList = std::vector<std::string>;


// Loads the file at `path` (see LoadSpoolFile) and scans its whole header block: the first
// address of the last From field gives entry 0, each address of the To, Cc and Bcc fields one
// more entry, all cut by the same list rules. What the load gave; the list holds no recipient
// when it failed. With `subject`, the last Subject field's text too, unfolded (for a notice).
SpoolLoad ScanHeaders(SpoolReader& reader, const std::string& path, AddressList& list,
                      std::string* subject = nullptr);

// The pieces of an address list, split at the commas between addresses: commas inside double
// quotes (a backslash escapes the next character), comments (nested) and angle brackets do
// not split. Comments are left out; a group ("name: member, member;") gives its members.
std::vector<std::string> SplitAddressList(const std::string& value);

}  // namespace sendal
