// Address extraction: a pure text function.
#include "message/address.h"

#include "base/text.h"

namespace sendal {
namespace {

// The first `wanted` outside double quotes (a backslash escapes the next character inside them).
std::size_t FindOutsideQuotes(const std::string& text, char wanted) {
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quoted && text[i] == '\\')
            ++i;
        else if (text[i] == '"')
            quoted = !quoted;
        else if (!quoted && text[i] == wanted)
            return i;
    }
    return std::string::npos;
}

}  // namespace

std::string ExtractAddress(const std::string& value) {
    std::string text = value.substr(0, FindOutsideQuotes(value, '('));
    std::size_t open = FindOutsideQuotes(text, '<');
    if (open != std::string::npos) {
        text.erase(0, open + 1);
        std::size_t close = text.find('>');
        if (close != std::string::npos) text.erase(close);
    }
    return TrimBlanks(text);
}

}  // namespace sendal
