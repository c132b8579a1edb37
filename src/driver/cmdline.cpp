// Command-line parsing. The options field is taken in small letters, so the HELO name and the
// mask come out in small letters; the directory search and path resolution ignore case, so the
// mask still finds the files however they are written on disk.
#include "driver/cmdline.h"

#include <sys/stat.h>

#include <vector>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/number.h"
#include "base/options.h"
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
constexpr std::int32_t ImplicitTlsPort = 465;

// The first two comma fields; a field opened by a double quote runs to the next one.
std::vector<std::string> SplitFields(const std::string& tail) {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (fields.size() < 2) {
        while (pos < tail.size() && tail[pos] == ' ') ++pos;
        std::size_t comma;
        if (pos < tail.size() && tail[pos] == '"') {
            std::size_t close = tail.find('"', pos + 1);
            std::size_t stop = close == std::string::npos ? tail.size() : close;
            fields.push_back(tail.substr(pos + 1, stop - pos - 1));
            comma = close == std::string::npos ? close : tail.find(',', close + 1);
        } else {
            comma = tail.find(',', pos);
            std::size_t stop = comma == std::string::npos ? tail.size() : comma;
            fields.push_back(TrimBlanks(tail.substr(pos, stop - pos)));
        }
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return fields;
}

// Word `index` (0-based) of a text split at single blanks; empty when there are fewer.
std::string Word(const std::string& text, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = text.find(' ', start);
        if (start == std::string::npos) return {};
        ++start;
    }
    std::size_t end = text.find(' ', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
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
        {"-keepgoing", &Options.keepGoing},
    };
    for (const Switch& s : switches)
        if (word == s.word) return *s.flag = true;
    const struct {
        const char* word;
        AuthMechanism mechanism;
    } mechanisms[] = {{"-auth", AuthAny},           {"-auth=plain", AuthPlain},
                      {"-auth=login", AuthLogin},   {"-auth=xoauth2", AuthXoauth2},
                      {"-auth=oauthbearer", AuthOauthbearer}};
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
    return TakeSwitch(word) || TakeFingerprint(word);
}

// Takes every word that begins with "-" out of the options field, leaving the file mask.
// 0, or -1 after reporting the first word that is no option.
std::int32_t CutOptions(std::string& options, std::string& heloName) {
    std::string unknown;
    for (std::size_t start = 0; start < options.size();) {
        std::size_t end = options.find(' ', start);
        if (end == std::string::npos) end = options.size();
        if (options[start] != '-') {
            start = end + 1;
            continue;
        }
        std::string word = options.substr(start, end - start);
        if (!TakeOption(word, heloName) && unknown.empty()) unknown = word;
        options.erase(start, end - start);
    }
    if (unknown.empty()) return 0;
    NoteOutcome(EX_CONFIG);  // every option is read first, so -exitcode counts wherever it is
    LogMessage("Unknown option " + unknown + "!", -1, LevelError);
    return -1;
}

std::string DeriveHeloName(const std::string& host) {
    // Dotted addresses, IPv6 literals and other numeric hosts.
    if (ReadNumber(host) != 0 || host.find(':') != std::string::npos) return "me";
    std::size_t dot = host.find('.');
    return dot == std::string::npos ? "me" : host.substr(dot + 1);
}

bool SpoolFolderExists() {
    return EntryExists(SpoolFolder, SearchFilesAndDirectories);
}

// Makes sure the default spool folder is there; 0, or -1 after reporting it missing.
std::int32_t EnsureSpoolFolder() {
    if (!SpoolFolderExists()) ::mkdir(SpoolFolder, 0777);
    if (SpoolFolderExists()) return 0;
    NoteOutcome(EX_CONFIG);
    LogMessage(".\\spool doesn't exist!", -1, LevelError);
    return -1;
}

// Asks the usage screen for a host that is "?" or, as Linux users type it, an option word.
bool WantsUsage(const std::string& host) {
    return host.find('?') != std::string::npos || (!host.empty() && host[0] == '-');
}

}  // namespace

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
    std::vector<std::string> fields = SplitFields(tail);
    std::string options = fields.size() > 1 ? fields[1] : std::string();
    host = fields[0];
    if (host.find(' ') != std::string::npos) {
        port = ReadWholeNumber(Word(host, 1));
        host = Word(host, 0);
    }
    if (host.empty()) {
        ConsoleWrite("Host: ");
        host = ConsoleReadLine(HostPromptLength);
    }
    // No host can begin with a hyphen, so "--help" and "-h" lose nothing a relay could be called.
    if (host.empty() || WantsUsage(host)) {
        ShowUsage();
        return -1;
    }
    if (!options.empty()) {
        options = ToLowerAscii(options);
        if (CutOptions(options, heloName) != 0) return -1;
        fileMask = TrimBlanks(options);
    }
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
