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
#include "base/outcome.h"
#include "base/text.h"
#include "driver/optiontable.h"
#include "driver/usage.h"
#include "log/log.h"

namespace sendal {
namespace {

constexpr std::int32_t DefaultPort = 25;
constexpr std::size_t HostPromptLength = 128;
constexpr const char* DefaultMask = ".\\spool\\m????.out";
constexpr const char* SpoolFolder = "spool";
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

// Options begin with "-"; a "-" before a digit is a (negative) port: mail packages that start
// us write the port as a number field, sign and all, and a negative one must still be read so.
bool IsOptionWord(const std::string& word) {
    return word[0] == '-' && !(word.size() > 1 && (std::isdigit(static_cast<unsigned char>(word[1])) || word[1] == '.'));
}

// Takes an option word; notes the first one that is no option.
void TakeWord(const std::string& word, RunOptions& options, std::string& unknown) {
    std::string option = OptionInSmallLetters(word);
    if (!TakeOptionWord(option, options) && unknown.empty()) unknown = option;
}

// The words after the host: every word that begins with "-" is an option, in the host field
// or after a comma; the one other word of the host field is the port; the other words after
// the comma (blanks between them) are the file mask. Nothing is dropped: a word that is no
// option, a second port and a second mask are refused. 0, or -1 after reporting the first.
std::int32_t TakeWords(const std::vector<std::string>& headWords, const std::vector<Field>& rest,
                       RunOptions& options) {
    std::string unknown, unexpected;
    bool havePort = false;
    for (std::size_t i = 1; i < headWords.size(); ++i) {
        const std::string& word = headWords[i];
        if (IsOptionWord(word))
            TakeWord(word, options, unknown);
        else if (!havePort)
            options.port = ReadWholeNumber(word), havePort = true;
        else if (unexpected.empty())
            unexpected = word;
    }
    std::string mask;
    for (const Field& field : rest) {
        // A quoted field is the mask as written, commas and blanks kept.
        std::string segmentMask = field.quoted ? ToLowerAscii(field.text) : std::string();
        for (const std::string& word : Words(field.quoted ? field.after : field.text)) {
            if (word[0] == '-')
                TakeWord(word, options, unknown);
            else
                segmentMask += (segmentMask.empty() ? "" : " ") + ToLowerAscii(word);
        }
        if (!segmentMask.empty() && !mask.empty() && unexpected.empty()) unexpected = segmentMask;
        if (mask.empty()) mask = segmentMask;
    }
    if (!unknown.empty()) return ReportFailure("Unknown option " + unknown + "!", EX_CONFIG);
    if (!unexpected.empty()) return ReportFailure("Unexpected word " + unexpected + "!", EX_CONFIG);
    options.fileMask = mask;
    return 0;
}

}  // namespace

std::int32_t CheckOptionPairs(const RunOptions& options) {
    const char* conflict = nullptr;
    if (options.implicitTls && options.startTls) conflict = "Use -tls or -starttls, not both!";
    if (options.noVerify && !options.fingerprint.empty())
        conflict = "Use -noverify or -fingerprint=, not both!";
    if (!options.fingerprint.empty() && !options.pins.empty())
        conflict = "Use -fingerprint= or -pin=, not both!";
    if (!options.keyFile.empty() && options.certFile.empty()) conflict = "-key= needs -cert=!";
    return conflict ? ReportFailure(conflict, EX_CONFIG) : 0;
}

namespace {

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

// The commands that are no relay: --send, --queue, --release, --remove, --authorize.
RunForm CommandForm(const std::string& word) {
    if (word == "--send") return RunForm::Send;
    if (word == "--queue") return RunForm::Queue;
    if (word == "--release") return RunForm::Release;
    if (word == "--remove") return RunForm::Remove;
    if (word == "--authorize") return RunForm::Authorize;
    return RunForm::Host;
}

// The words after a command, in blanks or comma fields as after a host: every word that begins
// with "-" is an option of the one table (letter case as in the host form); the one other word
// is the mask of --queue or the name of --release and --remove. 0, or -1 reported.
std::int32_t TakeCommandWords(RunForm form, const std::vector<std::string>& headWords,
                              const std::vector<Field>& rest, RunOptions& options) {
    std::vector<std::string> words(headWords.begin() + 1, headWords.end());
    for (const Field& field : rest) {
        if (field.quoted) words.push_back(field.text);
        for (std::string& word : Words(field.quoted ? field.after : field.text)) words.push_back(std::move(word));
    }
    std::string unknown, argument, unexpected;
    for (const std::string& word : words) {
        if (!word.empty() && word[0] == '-') TakeWord(word, options, unknown);
        else if (argument.empty() && form != RunForm::Send) argument = word;
        else if (unexpected.empty()) unexpected = word;
    }
    if (!unknown.empty()) return ReportFailure("Unknown option " + unknown + "!", EX_CONFIG);
    if (!unexpected.empty()) return ReportFailure("Unexpected word " + unexpected + "!", EX_CONFIG);
    if (CheckOptionPairs(options) != 0) return -1;
    (form == RunForm::Queue ? options.fileMask : options.argument) = argument;
    options.form = form;
    return 0;
}

// The design's host form: host [port] [,options and mask]. 0 to go on; -1 when the usage
// screen was shown or a problem reported.
std::int32_t TakeHostForm(std::vector<std::string> headWords, const std::vector<Field>& rest, RunOptions& options) {
    std::string host = headWords.empty() ? std::string() : headWords[0];
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
    options.host = host;
    if (TakeWords(headWords, rest, options) != 0 || CheckOptionPairs(options) != 0) return -1;
    if (options.port == 0) options.port = options.implicitTls ? ImplicitTlsPort : DefaultPort;
    if (options.heloName.empty()) options.heloName = DeriveHeloName(host);
    options.form = RunForm::Host;
    if (!options.fileMask.empty()) return 0;
    options.fileMask = DefaultMask;
    return EnsureSpoolFolder();
}

}  // namespace

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

std::int32_t ReadRunWords(const std::string& tail, RunOptions& options) {
    options.form = RunForm::Stop;
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
    std::string first = headWords.empty() ? std::string() : ToLowerAscii(headWords[0]);
    if (first == "--version") {
        WriteStdoutLine("sendal " + VersionText);
        return -1;
    }
    if (RunForm form = CommandForm(first); form != RunForm::Host)
        return TakeCommandWords(form, headWords, rest, options);
    return TakeHostForm(headWords, rest, options);
}

bool IsCommandForm(const std::string& tail) {
    std::size_t start = tail.find_first_not_of(' ');
    if (start == std::string::npos) return false;
    std::size_t end = tail.find_first_of(" ,", start);
    return CommandForm(ToLowerAscii(tail.substr(start, end == std::string::npos ? end : end - start))) != RunForm::Host;
}

std::int32_t ParseCommandTail(const std::string& tail, RunOptions& options) {
    if (ReadRunWords(tail, options) != 0) return -1;
    return options.form == RunForm::Host ? 0 : -1;
}

}  // namespace sendal
