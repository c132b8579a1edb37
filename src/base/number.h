// Number reading and the numeric print form, shared by the command line (port, host test),
// the reply-code rule and the progress figure.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// The numeric value at the start of a text: blanks, tabs and line feeds skipped, an optional
// sign, digits, a decimal point, an exponent (E, e, D or d); or &B, &H, &O, &Q, & for the bases
// 2, 16, 8, 8, 8. Reading stops at the first character that cannot continue the number; a text
// that does not start with one reads as 0. Never fails; a huge exponent gives infinity.
double ReadNumber(const std::string& text);

// A number read from text rounded to the nearest whole number (halves to even) and kept in
// the low 32 bits (a port word of 65561 wraps to the port 25, as the users of the host form
// have written it); 0 for infinity or NaN.
std::int32_t ReadWholeNumber(const std::string& text);

// A sign position (blank or "-"), the decimal digits without leading zeros, one trailing blank.
std::string FormatNumber(std::int64_t value);

}  // namespace sendal
