// Number reading that never fails and reads as far as the text looks like a number: the reply
// code rule and the host form's port word rely on it (a port typed "2525.4" or "&H9C4" by the
// mail packages' users still means the port they meant), and the HELO name's test of a
// numeric host.
#include "base/number.h"

#include <cmath>
#include <cstdlib>

namespace sendal {
namespace {

// An exponent beyond this already overflows or underflows any double.
constexpr long ExponentLimit = 100000;

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

double ReadBased(const std::string& text, std::size_t pos) {
    int base = 8;
    if (pos < text.size()) {
        switch (text[pos] | 0x20) {
            case 'b':
                base = 2;
                ++pos;
                break;
            case 'h':
                base = 16;
                ++pos;
                break;
            case 'o':
            case 'q':
                base = 8;
                ++pos;
                break;
            default:
                break;
        }
    }
    double value = 0;
    for (; pos < text.size() && DigitValue(text[pos]) < base; ++pos)
        value = value * base + DigitValue(text[pos]);
    return value;
}

bool IsDigit(const std::string& text, std::size_t pos) {
    return pos < text.size() && text[pos] >= '0' && text[pos] <= '9';
}

}  // namespace

double ReadNumber(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n')) ++pos;
    if (pos < text.size() && text[pos] == '&') return ReadBased(text, pos + 1);

    // Gather the mantissa in a plain form that strtod reads the same in every locale.
    std::string plain;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) plain += text[pos++];
    bool digits = false;
    for (; IsDigit(text, pos); ++pos, digits = true) plain += text[pos];
    if (pos < text.size() && text[pos] == '.') {
        plain += text[pos++];
        for (; IsDigit(text, pos); ++pos, digits = true) plain += text[pos];
    }
    if (!digits) return 0;

    long exponent = 0;
    if (pos < text.size() && ((text[pos] | 0x20) == 'e' || (text[pos] | 0x20) == 'd')) {
        ++pos;
        bool negative = false;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
            negative = text[pos++] == '-';
        for (; IsDigit(text, pos); ++pos)
            if (exponent < ExponentLimit) exponent = exponent * 10 + (text[pos] - '0');
        if (negative) exponent = -exponent;
    }
    plain += 'e' + std::to_string(exponent);
    return std::strtod(plain.c_str(), nullptr);
}

std::int32_t ReadWholeNumber(const std::string& text) {
    double value = std::nearbyint(ReadNumber(text));
    if (!std::isfinite(value)) return 0;
    // Keep the low 32 bits of the whole number, computed without overflow.
    double wrapped = std::fmod(value, 4294967296.0);
    if (wrapped < 0) wrapped += 4294967296.0;
    auto low = static_cast<std::uint32_t>(wrapped);
    return static_cast<std::int32_t>(low);
}

std::string FormatNumber(std::int64_t value) {
    std::string digits = std::to_string(value < 0 ? -static_cast<std::uint64_t>(value)
                                                  : static_cast<std::uint64_t>(value));
    return (value < 0 ? "-" : " ") + digits + " ";
}

}  // namespace sendal
