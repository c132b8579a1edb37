// The header scan, with one line of look-ahead to join continuation lines.
#include "message/headers.h"

#include "base/text.h"
#include "log/log.h"
#include "message/address.h"
#include "message/spool.h"

namespace sendal {
namespace {

// Stores each comma piece of a recipient line's value; false once the limit stopped the scan.
bool AddRecipients(const std::string& line, AddressList& list, std::size_t& stored) {
    std::string value = line.substr(line.find(' ') + 1);
    std::size_t pos = 0;
    for (;;) {
        std::size_t comma = value.find(',', pos);
        if (stored == MaxRecipients) {
            LogMessage("Too many (>999) recipients!", -1, LevelWarning);
            return false;
        }
        list[++stored] = ExtractAddress(value.substr(pos, comma - pos));
        list[stored + 1].clear();
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

// Classifies one joined header line; false when the scan must end.
bool ScanLine(std::string line, AddressList& list, std::size_t& stored) {
    for (char& c : line)
        if (c == '\t') c = ' ';
    if (StartsWithNoCase(line, "from: ")) {
        list[0] = ExtractAddress(line.substr(6));
        return true;
    }
    if (StartsWithNoCase(line, "to: ") || StartsWithNoCase(line, "cc: ") ||
        StartsWithNoCase(line, "bcc: "))
        return AddRecipients(line, list, stored);
    return true;
}

}  // namespace

std::int32_t ScanHeaders(const std::string& path, AddressList& list) {
    if (list.size() < AddressListSize) list.resize(AddressListSize);
    list[1].clear();
    std::int32_t readerState = 1;
    std::string load = path;
    ReadSpoolLine(readerState, load);

    std::string current;
    if (!NextSpoolLine(current) || current.empty()) return 0;
    std::size_t stored = 0;
    for (;;) {
        std::string ahead;
        bool more = NextSpoolLine(ahead);
        while (more && IsContinuationLine(ahead)) {
            current += ahead;
            more = NextSpoolLine(ahead);
        }
        if (!ScanLine(std::move(current), list, stored)) return 0;
        if (!more || ahead.empty()) return 0;
        current = std::move(ahead);
    }
}

}  // namespace sendal
