// Number reading on any text: no crash or undefined conversion, and leading blanks, tabs and
// line feeds never change the value.
#include <cmath>
#include <cstdint>
#include <string>

#include "base/number.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    double value = sendal::ReadNumber(text);
    double padded = sendal::ReadNumber(" \t\n" + text);
    FUZZ_CHECK(value == padded || (std::isnan(value) && std::isnan(padded)));
    std::int32_t whole = sendal::ReadWholeNumber(text);
    FUZZ_CHECK(whole == sendal::ReadWholeNumber("\t" + text));
    sendal::FormatNumber(whole);
    return 0;
}
