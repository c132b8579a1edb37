// Address extraction: a pure text function.
#include "message/address.h"

#include "base/text.h"

namespace sendal {

std::string ExtractAddress(const std::string& value) {
    std::string text = value.substr(0, value.find('('));
    std::size_t open = text.find('<');
    if (open != std::string::npos) {
        text.erase(0, open + 1);
        std::size_t close = text.find('>');
        if (close != std::string::npos) text.erase(close);
    }
    return TrimBlanks(text);
}

}  // namespace sendal
