// The header block: one walk and one set of rules, shared by the scan and the transfer, so the
// lines the scan takes for blind copies are exactly the lines the transfer leaves out.
#include "message/headers.h"

#include "base/text.h"
#include "log/log.h"
#include "message/address.h"
#include "message/spool.h"

namespace sendal {
namespace {

std::string TabsAsSpaces(std::string line) {
    for (char& c : line)
        if (c == '\t') c = ' ';
    return line;
}

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

// Classifies one header line; false when the scan must end.
bool ScanLine(const HeaderLine& header, AddressList& list, std::size_t& stored) {
    std::string line = TabsAsSpaces(header.joined);
    if (StartsWithNoCase(line, "from: ")) {
        list[0] = ExtractAddress(line.substr(6));
        return true;
    }
    if (StartsWithNoCase(line, "to: ") || StartsWithNoCase(line, "cc: ") || IsBlindCopyLine(header))
        return AddRecipients(line, list, stored);
    return true;
}

}  // namespace

void StartHeaderWalk(HeaderWalk& walk) {
    walk.haveAhead = NextSpoolLine(walk.ahead);
}

bool NextHeaderLine(HeaderWalk& walk, HeaderLine& header) {
    if (!walk.haveAhead || walk.ahead.empty()) return false;
    header.raw.clear();
    header.joined = walk.ahead;
    header.raw.push_back(std::move(walk.ahead));
    walk.haveAhead = NextSpoolLine(walk.ahead);
    while (walk.haveAhead && IsContinuationLine(walk.ahead)) {
        header.joined += walk.ahead;
        header.raw.push_back(std::move(walk.ahead));
        walk.haveAhead = NextSpoolLine(walk.ahead);
    }
    return true;
}

bool IsContinuationLine(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

bool IsBlindCopyLine(const HeaderLine& header) {
    return StartsWithNoCase(TabsAsSpaces(header.joined.substr(0, 5)), "bcc: ");
}

bool IsDroppedHeader(const HeaderLine& header) {
    return header.raw.front().compare(0, 5, "From ") == 0 || IsBlindCopyLine(header);
}

std::int32_t ScanHeaders(const std::string& path, AddressList& list) {
    if (list.size() < AddressListSize) list.resize(AddressListSize);
    list[1].clear();
    if (LoadSpoolFile(path) != 0) return ScanUnreadable;
    HeaderWalk walk;
    StartHeaderWalk(walk);
    HeaderLine header;
    std::size_t stored = 0;
    while (NextHeaderLine(walk, header))
        if (!ScanLine(header, list, stored)) break;
    return 0;
}

}  // namespace sendal
