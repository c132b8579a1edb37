// The bare address out of a header value.
#pragma once

#include <string>

namespace sendal {

// Cuts a header value to the address: everything from the first "(" dropped; then, when a "<"
// is left, the text after it up to the first ">"; then blanks trimmed at both ends. A "(" or
// "<" inside double quotes (a display name) does not count. No other check or change: the
// result may be empty.
std::string ExtractAddress(const std::string& value);

}  // namespace sendal
