// The spool reader. Lines are cut out of the held text by position, without another copy of
// the file.
#include "message/spool.h"

#include <cstring>

#include "base/fdio.h"

namespace sendal {
namespace {

void ReadNextLine(std::int32_t& readerState, std::string& text) {
    readerState = 0;
    auto start = static_cast<std::size_t>(SpoolPos - 1);
    if (start >= SpoolText.size()) {
        text.clear();
        readerState = -1;
        return;
    }
    const char* begin = SpoolText.data() + start;
    std::size_t left = SpoolText.size() - start;
    auto* lf = static_cast<const char*>(std::memchr(begin, '\n', left));
    std::size_t lineEnd = lf ? static_cast<std::size_t>(lf - begin) : left;
    auto* cr = static_cast<const char*>(std::memchr(begin, '\r', lineEnd));
    std::size_t textLength = lineEnd;
    std::size_t next = lf ? lineEnd + 1 : left;
    if (cr) {
        textLength = static_cast<std::size_t>(cr - begin);
        // CRs that run up to the LF belong to its line end; any other CR ends the line itself.
        std::size_t after = textLength;
        while (after < lineEnd && begin[after] == '\r') ++after;
        if (after < lineEnd) next = textLength + 1;
    }
    text.assign(begin, textLength);
    SpoolPos += static_cast<std::int64_t>(next);
}

}  // namespace

void ReadSpoolLine(std::int32_t& readerState, std::string& text) {
    if (readerState <= 0) {
        ReadNextLine(readerState, text);
        return;
    }
    if (!text.empty()) SpoolLoaded = ReadWholeFile(text, SpoolText) == 0;
    SpoolPos = 1;
    readerState = 0;
}

bool NextSpoolLine(std::string& line) {
    std::int32_t readerState = 0;
    ReadSpoolLine(readerState, line);
    return readerState != -1;
}

bool IsContinuationLine(const std::string& line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

}  // namespace sendal
