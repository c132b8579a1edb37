// The header block: one walk and one set of rules, shared by the scan and the transfer, so the
// lines the scan takes for blind copies are exactly the lines the transfer leaves out.
#include "message/headers.h"

#include <algorithm>

#include "base/text.h"
#include "message/address.h"
#include "message/spool.h"

namespace sendal {
namespace {

// The addresses of a field's value; pieces without one are skipped.
std::vector<std::string> Addresses(const std::string& value) {
    std::vector<std::string> found;
    for (const std::string& piece : SplitAddressList(value)) {
        std::string address = ExtractAddress(piece);
        if (!address.empty()) found.push_back(std::move(address));
    }
    return found;
}

bool IsAddressField(const std::string& field) {
    return field == "from" || field == "to" || field == "cc" || field == "bcc";
}

// One whole address field: the sender from From (its first mailbox), recipients from the rest.
void ScanField(const std::string& field, std::string value, AddressList& list) {
    for (char& c : value)
        if (c == '\t') c = ' ';
    std::vector<std::string> found = Addresses(value);
    if (field != "from")
        list.insert(list.end(), found.begin(), found.end());
    else
        list[0] = found.empty() ? std::string() : found.front();
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

}  // namespace

void StartHeaderWalk(HeaderWalk& walk, SpoolReader& reader) {
    walk = HeaderWalk{};
    walk.reader = &reader;
}

bool NextHeaderPart(HeaderWalk& walk, HeaderPart& part) {
    if (walk.ended) return false;
    bool lineEnds = true;
    if (!NextSpoolPart(*walk.reader, part.text, lineEnds)) {
        walk.ended = true;
        return false;
    }
    part.lineStarts = walk.lineStarts;
    part.lineEnds = lineEnds;
    walk.lineStarts = lineEnds;
    walk.fieldStarts = false;
    if (!part.lineStarts) return true;
    if (part.text.empty() && lineEnds) {
        walk.ended = walk.endedAtEmptyLine = true;
        return false;
    }
    if (walk.started && IsContinuationLine(part.text)) return true;
    walk.started = walk.fieldStarts = true;
    walk.field = FieldName(part.text);
    walk.separator = part.text.compare(0, 5, "From ") == 0;
    return true;
}

bool IsContinuationLine(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string FieldName(const std::string& line) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return {};
    std::size_t end = colon;
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
    if (end == 0) return {};
    for (std::size_t i = 0; i < end; ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c <= ' ' || c == 127) return {};
    }
    return ToLowerAscii(std::string_view(line).substr(0, end));
}

bool IsDroppedField(const HeaderWalk& walk) {
    return walk.separator || walk.field == "bcc";
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

SpoolLoad ScanHeaders(SpoolReader& reader, const std::string& path, AddressList& list, std::string* subject) {
    list.assign(1, std::string());
    if (SpoolLoad loaded = LoadSpoolFile(reader, path); loaded != SpoolLoad::Loaded) return loaded;
    HeaderWalk walk;
    StartHeaderWalk(walk, reader);
    HeaderPart part;
    std::string field, value;  // only an address field's value is kept
    bool inSubject = false;
    while (NextHeaderPart(walk, part)) {
        if (walk.fieldStarts) inSubject = subject != nullptr && walk.field == "subject";
        if (inSubject) *subject = walk.fieldStarts ? part.text.substr(part.text.find(':') + 1) : *subject + part.text;
        if (walk.fieldStarts) {
            if (!field.empty()) ScanField(field, value, list);
            field = IsAddressField(walk.field) ? walk.field : std::string();
            value = field.empty() ? std::string() : part.text.substr(part.text.find(':') + 1);
        } else if (!field.empty()) {
            value += part.text;
        }
    }
    if (!field.empty()) ScanField(field, value, list);
    if (subject != nullptr) subject->erase(0, std::min(subject->find_first_not_of(" \t"), subject->size()));
    return SpoolLoad::Loaded;
}

}  // namespace sendal
