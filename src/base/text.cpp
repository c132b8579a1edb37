// ASCII-only case folding: the program knows no character set, so bytes above 127 stay as
// they are whatever the locale says.
#include "base/text.h"

#include <cctype>
#include <cstdint>

#include <cstdint>

namespace sendal {

char ToLowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = ToLowerAscii(c);
    return out;
}

std::string ToUpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
    return true;
}

bool LessNoCase(std::string_view a, std::string_view b) {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(ToLowerAscii(a[i]));
        auto y = static_cast<unsigned char>(ToLowerAscii(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

std::string TrimBlanks(std::string_view text) {
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::string EncodeBase64(std::string_view bytes) {
    static constexpr char Digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        out += Digits[group >> 18 & 63];
        out += Digits[group >> 12 & 63];
        out += i + 1 < bytes.size() ? Digits[group >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? Digits[group & 63] : '=';
    }
    return out;
}

bool DecodeBase64(std::string_view text, std::string& bytes) {
    static constexpr std::string_view Alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    bytes.clear();
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        std::size_t value = Alphabet.find(c);
        if (value == std::string_view::npos) return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return true;
}

bool DecodePinValue(std::string_view text, std::string& digest) {
    constexpr std::size_t DigestLength = 32;
    std::string hex;
    for (char c : text)
        if (c != ':') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (hex.size() == 2 * DigestLength && hex.find_first_not_of("0123456789abcdef") == std::string::npos) {
        digest.clear();
        for (std::size_t i = 0; i < hex.size(); i += 2)
            digest += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        return true;
    }
    return DecodeBase64(text, digest) && digest.size() == DigestLength;
}

bool HoldsControlByte(std::string_view text) {
    return ReplaceTerminalControls(text, '\0') != text || text.find('\0') != std::string_view::npos;
}

}  // namespace sendal

namespace sendal {
namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    return length;
}

}  // namespace

std::string ReplaceTerminalControls(std::string_view text, char with) {
    // Most text is plain printable ASCII: it is taken whole.
    bool plain = true;
    for (char c : text) plain = plain && ((c >= 32 && c < 127) || c == '\t');
    if (plain) return std::string(text);
    std::string clean;
    clean.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            clean += (byte < 32 && byte != '\t') || byte == 127 ? with : text[at];
            ++at;
            continue;
        }
        std::size_t length = Utf8Length(text, at);
        if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
            clean += with;  // a C1 control written in UTF-8
        } else if (length > 0) {
            clean.append(text.substr(at, length));
        } else {
            length = 1;  // a byte of another character set: C1 controls go, letters stay
            clean += byte < 0xA0 ? with : text[at];
        }
        at += length;
    }
    return clean;
}

}  // namespace sendal
