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

// Entry 0 the sender, entries 1 on the recipients, ended by the first empty entry.
using AddressList = std::vector<std::string>;
constexpr std::size_t AddressListSize = 1001;
// The most recipients one message may have; the relay would refuse more in any case.
constexpr std::size_t MaxRecipients = 999;

// ScanHeaders' result when the spool file could not be read.
constexpr std::int32_t ScanUnreadable = 1;

// Loads the file at `path` and scans its header block: the last "From: " line gives entry 0,
// every comma piece of "To: ", "Cc: " and "Bcc: " lines the next entry. Names are matched in
// any case. A 1000th recipient logs "Too many (>999) recipients!" at level 2 and ends the scan.
// 0, or ScanUnreadable with the list holding no recipient.
std::int32_t ScanHeaders(const std::string& path, AddressList& list);

}  // namespace sendal
