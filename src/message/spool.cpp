// The spool reader. Lines are cut out of the held text by position, without another copy of
// the file.
#include "message/spool.h"

#include <cstring>

#include "base/fdio.h"

namespace sendal {
namespace {

std::string SpoolText;     // the whole file loaded last, byte for byte
std::size_t SpoolPos = 0;  // offset of the next line's first byte

}  // namespace

int LoadSpoolFile(const std::string& path) {
    SpoolPos = 0;
    return ReadWholeFile(path, SpoolText);
}

void RewindSpool() {
    SpoolPos = 0;
}

bool NextSpoolLine(std::string& line) {
    if (SpoolPos >= SpoolText.size()) {
        line.clear();
        return false;
    }
    const char* begin = SpoolText.data() + SpoolPos;
    std::size_t left = SpoolText.size() - SpoolPos;
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
    line.assign(begin, textLength);
    SpoolPos += next;
    return true;
}

}  // namespace sendal
