// Small text helpers that know nothing of mail: ASCII case folding and blank trimming.
#pragma once

#include <string>
#include <string_view>

namespace sendal {

char ToLowerAscii(char c);
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Case-insensitive ordering, ties broken byte by byte so the order is total.
bool LessNoCase(std::string_view a, std::string_view b);
// `text` without blanks (character 32 only) at both ends.
std::string TrimBlanks(std::string_view text);
// `text` with every control byte (0 to 31 but the tab, and 127) and every C1 control (0x80 to
// 0x9F, raw or written in UTF-8, which a terminal obeys as escapes) replaced by `with`: the
// one scrub for text from outside (a relay's reply, a file's header) that goes into a line of
// ours, on a terminal, in the log or a record, or to another program. Well-formed UTF-8 and
// the letters of 8-bit character sets stay.
std::string ReplaceTerminalControls(std::string_view text, char with);
// Whether the scrub would change `text`.
bool HoldsControlByte(std::string_view text);
// `bytes` in Base64 (RFC 4648, with padding), as SMTP AUTH wants it.
std::string EncodeBase64(std::string_view bytes);
// Base64 back to bytes (padding optional); false for any character outside the alphabet.
bool DecodeBase64(std::string_view text, std::string& bytes);
// A SHA-256 as users copy it: 64 hex digits (any case, colons allowed) or base64; false unless
// it gives 32 bytes.
bool DecodePinValue(std::string_view text, std::string& digest);

}  // namespace sendal
