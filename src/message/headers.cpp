// The header block: one walk and one set of rules, shared by the scan and the transfer, so the
// lines the scan takes for blind copies are exactly the lines the transfer leaves out.
#include "message/headers.h"

#include "base/text.h"
#include "message/address.h"
#include "message/spool.h"

namespace sendal {
namespace {

std::string TabsAsSpaces(std::string line) {
    for (char& c : line)
        if (c == '\t') c = ' ';
    return line;
}

// Stores each address of a recipient line's value; pieces without one are skipped.
void AddRecipients(const std::string& line, AddressList& list) {
    for (const std::string& piece : SplitAddressList(line.substr(line.find(' ') + 1))) {
        std::string address = ExtractAddress(piece);
        if (!address.empty()) list.push_back(std::move(address));
    }
}

// One character of an address list outside quotes and comments.
void SplitOutside(char c, bool inAngle, std::vector<std::string>& pieces) {
    if (inAngle || (c != ',' && c != ';' && c != ':'))
        pieces.back() += c;
    else if (c == ':')
        pieces.back().clear();  // what stood before is a group's name
    else
        pieces.emplace_back();
}

void ScanLine(const HeaderLine& header, AddressList& list) {
    std::string line = TabsAsSpaces(header.joined);
    if (StartsWithNoCase(line, "from: "))
        list[0] = ExtractAddress(line.substr(6));
    else if (StartsWithNoCase(line, "to: ") || StartsWithNoCase(line, "cc: ") ||
             IsBlindCopyLine(header))
        AddRecipients(line, list);
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

std::vector<std::string> SplitAddressList(const std::string& value) {
    std::vector<std::string> pieces(1);
    bool quoted = false, inAngle = false;
    int commentDepth = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        bool escaped = c == '\\' && i + 1 < value.size() && (quoted || commentDepth > 0);
        if (commentDepth > 0) {
            if (escaped) ++i;
            commentDepth += c == '(' ? 1 : c == ')' ? -1 : 0;
        } else if (quoted) {
            pieces.back() += c;
            if (escaped) pieces.back() += value[++i];
            quoted = c != '"';
        } else if (c == '(') {
            commentDepth = 1;
        } else {
            quoted = c == '"';
            inAngle = c == '<' || (inAngle && c != '>');
            SplitOutside(c, inAngle || c == '>', pieces);
        }
    }
    return pieces;
}

std::int32_t ScanHeaders(const std::string& path, AddressList& list) {
    list.assign(1, std::string());
    if (LoadSpoolFile(path) != 0) return ScanUnreadable;
    HeaderWalk walk;
    StartHeaderWalk(walk);
    HeaderLine header;
    while (NextHeaderLine(walk, header)) ScanLine(header, list);
    return 0;
}

}  // namespace sendal
