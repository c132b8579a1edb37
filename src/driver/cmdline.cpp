// Command-line parsing. The options field is taken in small letters, so the HELO name and the
// mask come out in small letters; the directory search and path resolution ignore case, so the
// mask still finds the files however they are written on disk.
#include "driver/cmdline.h"

#include <sys/stat.h>

#include <cctype>
#include <vector>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "base/number.h"
#include "smtp/options.h"
#include "base/outcome.h"
#include "base/text.h"
#include "driver/usage.h"
#include "log/log.h"

namespace sendal {
namespace {

constexpr std::int32_t DefaultPort = 25;
constexpr std::size_t HostPromptLength = 128;
constexpr const char* DefaultMask = ".\\spool\\m????.out";
constexpr const char* SpoolFolder = "spool";
constexpr const char* HeloOption = "-helo=";
constexpr const char* FingerprintOption = "-fingerprint=";
constexpr const char* FromOption = "-from=";
constexpr const char* PinOption = "-pin=";
constexpr std::int32_t ImplicitTlsPort = 465;

// A comma field of the command tail. One opened by a double quote runs to the next one, commas
// and blanks included; what follows the closing quote up to the comma is `after`.
struct Field {
    std::string text;
    bool quoted = false;
    std::string after;
};

std::vector<Field> SplitFields(const std::string& tail) {
    std::vector<Field> fields;
    std::size_t pos = 0;
    do {
        Field field;
        std::size_t start = tail.find_first_not_of(' ', pos);
        if (start == std::string::npos) start = tail.size();
        std::size_t from = start;
        if (start < tail.size() && tail[start] == '"') {
            std::size_t close = tail.find('"', start + 1);
            field.quoted = true;
            field.text = tail.substr(start + 1, (close == std::string::npos ? tail.size() : close) - start - 1);
            from = close == std::string::npos ? tail.size() : close + 1;
        }
        std::size_t comma = tail.find(',', from);
        std::string plain = tail.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        (field.quoted ? field.after : field.text) = plain;
        fields.push_back(std::move(field));
        pos = comma == std::string::npos ? std::string::npos : comma + 1;
    } while (pos != std::string::npos);
    return fields;
}

// The words of a quoted host field, split at single blanks: two blanks in a row make an empty
// word, so '" 2525"' is an empty host (asked for) and the port 2525.
std::vector<std::string> SingleBlankWords(const std::string& text) {
    std::vector<std::string> words(1);
    for (char c : text) {
        if (c == ' ')
            words.emplace_back();
        else
            words.back() += c;
    }
    return words;
}

// The words of a text, split at runs of blanks.
std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + ' ') {
        if (c != ' ') {
            word += c;
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    return words;
}

// An option word in small letters, but for the values that are kept as written: an address,
// a pin (base64 is case-sensitive) and file names.
std::string OptionInSmallLetters(const std::string& word) {
    std::string lower = ToLowerAscii(word);
    for (const char* option : {"-from=", "-pin=", "-cert=", "-key="}) {
        std::size_t length = std::char_traits<char>::length(option);
        if (lower.rfind(option, 0) == 0) return lower.substr(0, length) + word.substr(length);
    }
    return lower;
}

// The option words that switch something on.
bool TakeSwitch(const std::string& word) {
    struct Switch {
        const char* word;
        bool* flag;
    };
    const Switch switches[] = {
        {"-exitcode", &Options.exitCode},   {"-ehlo", &Options.ehlo},
        {"-starttls", &Options.startTls},   {"-tls", &Options.implicitTls},
        {"-insecureauth", &Options.insecureAuth}, {"-noverify", &Options.noVerify},
        {"-keepgoing", &Options.keepGoing}, {"-nochunking", &Options.noChunking},
        {"-nosandbox", &Options.noSandbox}, {"-hold", &Options.hold},
        {"-syslog", &Options.syslog},
    };
    for (const Switch& s : switches)
        if (word == s.word) return *s.flag = true;
    const struct {
        const char* word;
        AuthMechanism mechanism;
    } mechanisms[] = {{"-auth", AuthAny},           {"-auth=plain", AuthPlain},
                      {"-auth=login", AuthLogin},   {"-auth=xoauth2", AuthXoauth2},
                      {"-auth=oauthbearer", AuthOauthbearer}, {"-auth=external", AuthExternal}};
    for (const auto& m : mechanisms)
        if (word == m.word) {
            Options.auth = m.mechanism;
            return true;
        }
    return false;
}

// "-fingerprint=" with the 64 hex digits of a SHA-256 (colons allowed), kept without colons.
bool TakeFingerprint(const std::string& word) {
    if (word.rfind(FingerprintOption, 0) != 0) return false;
    std::string hex;
    for (char c : word.substr(std::char_traits<char>::length(FingerprintOption)))
        if (c != ':') hex += c;
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    Options.fingerprint = hex;
    return true;
}

// "-pin=sha256:" with a key's SHA-256 in base64 or hex, kept as its 32 bytes.
bool TakePin(const std::string& word) {
    if (word.rfind(PinOption, 0) != 0) return false;
    std::string value = word.substr(std::char_traits<char>::length(PinOption));
    if (ToLowerAscii(value.substr(0, 7)) != "sha256:") return false;
    std::string digest;
    if (!DecodePinValue(value.substr(7), digest)) return false;
    Options.pins.push_back(digest);
    return true;
}

bool TakeCount(const std::string& word) {
    return TakeCountOption(word, "-rate=", Options.rate) || TakeCountOption(word, "-expire=", Options.expireDays);
}

bool TakeFileOption(const std::string& word) {
    for (auto [option, into] : {std::pair{"-cert=", &Options.certFile}, std::pair{"-key=", &Options.keyFile}}) {
        std::size_t length = std::char_traits<char>::length(option);
        if (word.rfind(option, 0) == 0 && word.size() > length) return *into = word.substr(length), true;
    }
    return false;
}

// Takes one option word (it begins with "-") into the run's settings; false for a word that
// is no option, which must never change what is sent or how.
bool TakeOption(const std::string& word, std::string& heloName) {
    if (word.rfind(HeloOption, 0) == 0) {
        if (heloName.empty()) heloName = word.substr(std::char_traits<char>::length(HeloOption));
        return true;
    }
    if (word.rfind(FromOption, 0) == 0 && word.size() > std::char_traits<char>::length(FromOption)) {
        Options.from = word.substr(std::char_traits<char>::length(FromOption));
        return true;
    }
    return TakeSwitch(word) || TakeFingerprint(word) || TakePin(word) || TakeFileOption(word) ||
           TakeCount(word);
}

// Options begin with "-"; a "-" before a digit is a (negative) port, as it always was.
bool IsOptionWord(const std::string& word) {
    return word[0] == '-' && !(word.size() > 1 && (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.'));
}

// Takes an option word; notes the first one that is no option.
void TakeOptionWord(const std::string& word, std::string& heloName, std::string& unknown) {
    std::string option = OptionInSmallLetters(word);
    if (!TakeOption(option, heloName) && unknown.empty()) unknown = option;
}

// The words after the host: every word that begins with "-" is an option, in the host field
// or after a comma; the one other word of the host field is the port; the other words after
// the comma (blanks between them) are the file mask. Nothing is dropped: a word that is no
// option, a second port and a second mask are refused. 0, or -1 after reporting the first.
std::int32_t TakeWords(const std::vector<std::string>& headWords, const std::vector<Field>& rest,
                       std::int32_t& port, std::string& heloName, std::string& fileMask) {
    std::string unknown, unexpected;
    bool havePort = false;
    for (std::size_t i = 1; i < headWords.size(); ++i) {
        const std::string& word = headWords[i];
        if (IsOptionWord(word))
            TakeOptionWord(word, heloName, unknown);
        else if (!havePort)
            port = ReadWholeNumber(word), havePort = true;
        else if (unexpected.empty())
            unexpected = word;
    }
    std::string mask;
    for (const Field& field : rest) {
        // A quoted field is the mask as written, commas and blanks kept.
        std::string segmentMask = field.quoted ? ToLowerAscii(field.text) : std::string();
        for (const std::string& word : Words(field.quoted ? field.after : field.text)) {
            if (word[0] == '-')
                TakeOptionWord(word, heloName, unknown);
            else
                segmentMask += (segmentMask.empty() ? "" : " ") + ToLowerAscii(word);
        }
        if (!segmentMask.empty() && !mask.empty() && unexpected.empty()) unexpected = segmentMask;
        if (mask.empty()) mask = segmentMask;
    }
    if (!unknown.empty()) return ReportFailure("Unknown option " + unknown + "!", EX_CONFIG);
    if (!unexpected.empty()) return ReportFailure("Unexpected word " + unexpected + "!", EX_CONFIG);
    fileMask = mask;
    return 0;
}

// Options that cannot go together: a second handshake inside the first, or a pin dropped.
std::int32_t CheckOptionPairs() {
    const char* conflict = nullptr;
    if (Options.implicitTls && Options.startTls) conflict = "Use -tls or -starttls, not both!";
    if (Options.noVerify && !Options.fingerprint.empty())
        conflict = "Use -noverify or -fingerprint=, not both!";
    if (!Options.fingerprint.empty() && !Options.pins.empty())
        conflict = "Use -fingerprint= or -pin=, not both!";
    if (!Options.keyFile.empty() && Options.certFile.empty()) conflict = "-key= needs -cert=!";
    return conflict ? ReportFailure(conflict, EX_CONFIG) : 0;
}

bool SpoolFolderExists() {
    return EntryExists(SpoolFolder, SearchFilesAndDirectories);
}

// Makes sure the default spool folder is there; 0, or -1 after reporting it missing.
std::int32_t EnsureSpoolFolder() {
    if (!SpoolFolderExists()) ::mkdir(SpoolFolder, 0777);
    if (SpoolFolderExists()) return 0;
    return ReportFailure(".\\spool doesn't exist!", EX_CONFIG);
}

// Asks the usage screen for a host that is "?" or, as Linux users type it, an option word.
bool WantsUsage(const std::string& host) {
    return host.find('?') != std::string::npos || (!host.empty() && host[0] == '-');
}

}  // namespace

bool TakeCountOption(const std::string& word, const std::string& option, int& into) {
    std::string digits = word.rfind(option, 0) == 0 ? word.substr(option.size()) : std::string();
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    into = std::stoi(digits);
    return into > 0;
}

std::string DeriveHeloName(const std::string& host) {
    // Dotted addresses, IPv6 literals and other numeric hosts.
    if (ReadNumber(host) != 0 || host.find(':') != std::string::npos) return "me";
    std::size_t dot = host.find('.');
    return dot == std::string::npos ? "me" : host.substr(dot + 1);
}

std::string ReadCommandTail() {
    std::string all;
    ReadUntilEnd("/proc/self/cmdline", all);
    std::string tail;
    std::size_t pos = all.find('\0');  // each argument ends in a NUL; skip the program's name
    for (bool first = true; pos != std::string::npos && pos + 1 < all.size(); first = false) {
        std::size_t end = all.find('\0', pos + 1);
        if (end == std::string::npos) end = all.size();
        if (!first) tail += ' ';
        tail.append(all, pos + 1, end - pos - 1);
        pos = end;
    }
    return tail;
}

std::int32_t ParseCommandTail(const std::string& tail, std::string& host, std::int32_t& port,
                              std::string& heloName, std::string& fileMask) {
    if (tail.empty()) {
        ShowUsage();
        return -1;
    }
    std::vector<Field> fields = SplitFields(tail);
    const Field& head = fields[0];
    std::vector<std::string> headWords = head.quoted ? SingleBlankWords(head.text) : Words(head.text);
    if (head.quoted)
        for (std::string& word : Words(head.after)) headWords.push_back(std::move(word));
    std::vector<Field> rest(fields.begin() + 1, fields.end());
    host = headWords.empty() ? std::string() : headWords[0];
    if (host == "--version") {
        WriteStdoutLine("sendal " + VersionText);
        return -1;
    }
    bool prompted = host.empty();
    if (prompted) {
        ConsoleWrite("Host: ");
        host = ConsoleReadLine(HostPromptLength);  // the typed line is the host, whole
    }
    // No host can begin with a hyphen, so "--help" and "-h" lose nothing a relay could be called.
    if (host.empty() || WantsUsage(host)) {
        ShowUsage();
        return -1;
    }
    // A prompted host keeps the port of its field (the field said the host only by its absence).
    if (prompted && !headWords.empty()) headWords[0] = host;
    if (TakeWords(headWords, rest, port, heloName, fileMask) != 0 ||
        CheckOptionPairs() != 0)
        return -1;
    if (port == 0) port = Options.implicitTls ? ImplicitTlsPort : DefaultPort;
    if (heloName.empty()) heloName = DeriveHeloName(host);
    if (fileMask.empty()) {
        fileMask = DefaultMask;
        return EnsureSpoolFolder();
    }
    return 0;
}

std::int32_t ParseCommandLine(std::string& host, std::int32_t& port, std::string& heloName,
                              std::string& fileMask) {
    return ParseCommandTail(ReadCommandTail(), host, port, heloName, fileMask);
}

}  // namespace sendal
