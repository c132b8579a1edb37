// The header scan: the sender and the recipients from a spool file's own header lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sendal {

// Entry 0 the sender, entries 1 on the recipients, ended by the first empty entry.
using AddressList = std::vector<std::string>;
constexpr std::size_t AddressListSize = 1001;
// The most recipients one message may have; the relay would refuse more in any case.
constexpr std::size_t MaxRecipients = 999;

// Loads the file at `path` and scans its header block (up to the first empty line): the last
// "From: " line gives entry 0, every comma piece of "To: ", "Cc: " and "Bcc: " lines the next
// entry. Continuation lines are joined and tabs read as spaces; names are matched in any case.
// A 1000th recipient logs "Too many (>999) recipients!" at level 2 and ends the scan. Always 0.
std::int32_t ScanHeaders(const std::string& path, AddressList& list);

}  // namespace sendal
