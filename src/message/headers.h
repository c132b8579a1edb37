// The header block of a spool file: the walk over its lines with their continuation lines, the
// rules for the lines that are never sent, and the scan for the sender and the recipients.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// One header line as written (its first line and each continuation line) and joined.
struct HeaderLine {
    std::vector<std::string> raw;
    std::string joined;
};

// The walk over the spool reader, with one line of look-ahead to join continuation lines.
struct HeaderWalk {
    std::string ahead;  // the next line not yet taken
    bool haveAhead = false;
};

// Starts the walk at the reader's current line (after a load or a rewind).
void StartHeaderWalk(HeaderWalk& walk);

// The next line of the header block (which ends at the first empty line) into `header`; false
// at its end, when `walk.ahead` holds the first line after the block (if `walk.haveAhead`).
bool NextHeaderLine(HeaderWalk& walk, HeaderLine& header);

// A line that continues the header line before it: it begins with a blank or a tab.
bool IsContinuationLine(const std::string& line);

// The joined line with tabs read as spaces begins with "bcc: " in any case: its addresses are
// blind-copy recipients, and the line itself must never reach the relay.
bool IsBlindCopyLine(const HeaderLine& header);

// Left out of the sent text: a mailbox separator ("From " as written) or a blind-copy line.
bool IsDroppedHeader(const HeaderLine& header);

// Entry 0 the sender (may be empty), entries 1 on the recipients (never empty).
using AddressList = std::vector<std::string>;

// ScanHeaders' result when the spool file could not be read.
constexpr std::int32_t ScanUnreadable = 1;

// Loads the file at `path` and scans its whole header block: the last "From: " line gives
// entry 0, each address of "To: ", "Cc: " and "Bcc: " lines one more entry. Names are matched
// in any case. 0, or ScanUnreadable with the list holding no recipient.
std::int32_t ScanHeaders(const std::string& path, AddressList& list);

// The pieces of an address list, split at the commas between addresses: commas inside double
// quotes (a backslash escapes the next character), comments (nested) and angle brackets do
// not split. Comments are left out; a group ("name: member, member;") gives its members.
std::vector<std::string> SplitAddressList(const std::string& value);

}  // namespace sendal
