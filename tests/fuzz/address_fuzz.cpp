// ExtractAddress on any value: never crashes, never grows the text, never keeps a "(" outside
// double quotes (a comment) or blanks at either end.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "message/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string value(reinterpret_cast<const char*>(data), size);
    std::string address = sendal::ExtractAddress(value);
    FUZZ_CHECK(address.size() <= value.size());
    bool quoted = false;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (quoted && address[i] == '\\')
            ++i;
        else if (address[i] == '"')
            quoted = !quoted;
        else
            FUZZ_CHECK(quoted || address[i] != '(');
    }
    FUZZ_CHECK(address.empty() || (address.front() != ' ' && address.back() != ' '));
    FUZZ_CHECK(value.find('\n') != std::string::npos || address.find('\n') == std::string::npos);
    return 0;
}
