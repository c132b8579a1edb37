// The option table and the one routine that reads its words.
#include "driver/optiontable.h"

#include <cstring>

#include "base/text.h"

namespace sendal {
namespace {

// How an option's value is read.
enum class Form { Switch, Count, Duration, Text, FirstText, Fingerprint, Pin, Auth };

struct OptionEntry {
    const char* word;        // ends in "=" when a value follows
    Form form;
    bool RunOptions::*flag;  // Switch
    int RunOptions::*count;  // Count
    std::string RunOptions::*text;  // Text, FirstText, Fingerprint
    const char* accountKey;  // the configuration file's key, or nullptr
    bool keepsCase;          // the value is kept as written
    const char* usage;
};

constexpr bool RunOptions::*NoFlag = nullptr;
constexpr int RunOptions::*NoCount = nullptr;
constexpr std::string RunOptions::*NoText = nullptr;

const OptionEntry Table[] = {
    {"-helo=", Form::FirstText, NoFlag, NoCount, &RunOptions::heloName, "helo", false,
     "  -helo=name        the name sent with HELO or EHLO"},
    {"-exitcode", Form::Switch, &RunOptions::exitCode, NoCount, NoText, nullptr, false,
     "  -exitcode         exit codes for cron and systemd instead of 0"},
    {"-keepgoing", Form::Switch, &RunOptions::keepGoing, NoCount, NoText, nullptr, false,
     "  -keepgoing        a file the relay refuses stays, the others still go"},
    {"-from=", Form::Text, NoFlag, NoCount, &RunOptions::from, "envelope_from", true,
     "  -from=address     the envelope sender of every file"},
    {"-ehlo", Form::Switch, &RunOptions::ehlo, NoCount, NoText, nullptr, false,
     "  -ehlo             EHLO instead of HELO: pipelining, SIZE, 8BITMIME, SMTPUTF8"},
    {"-nochunking", Form::Switch, &RunOptions::noChunking, NoCount, NoText, nullptr, false,
     "  -nochunking       DATA even where the relay offers CHUNKING (BDAT)"},
    {"-starttls", Form::Switch, &RunOptions::startTls, NoCount, NoText, nullptr, false,
     "  -starttls         STARTTLS before anything is sent (never plain text)"},
    {"-tls", Form::Switch, &RunOptions::implicitTls, NoCount, NoText, nullptr, false,
     "  -tls              TLS from the first byte (port 465 by default)"},
    {"-auth", Form::Auth, NoFlag, NoCount, NoText, nullptr, false,
     "  -auth[=plain|=login|=xoauth2|=oauthbearer|=external]  log in (netrc, SENDAL_PASSWORD_COMMAND)"},
    {"-auth=", Form::Auth, NoFlag, NoCount, NoText, "auth", false, nullptr},
    {"-insecureauth", Form::Switch, &RunOptions::insecureAuth, NoCount, NoText, nullptr, false,
     "  -insecureauth     allow -auth without TLS"},
    {"-noverify", Form::Switch, &RunOptions::noVerify, NoCount, NoText, nullptr, false,
     "  -noverify         do not check the relay's certificate"},
    {"-fingerprint=", Form::Fingerprint, NoFlag, NoCount, &RunOptions::fingerprint, "fingerprint", false,
     "  -fingerprint=hex  the SHA-256 of the relay's certificate, instead of the CA check"},
    {"-pin=", Form::Pin, NoFlag, NoCount, NoText, "pin", true,
     "  -pin=sha256:key   a SHA-256 of a key the relay's chain must hold (base64 or hex)"},
    {"-cert=", Form::Text, NoFlag, NoCount, &RunOptions::certFile, "cert", true,
     "  -cert=file -key=file  a client certificate (PEM); -auth=external logs in with it"},
    {"-key=", Form::Text, NoFlag, NoCount, &RunOptions::keyFile, "key", true, nullptr},
    {"-hold", Form::Switch, &RunOptions::hold, NoCount, NoText, "hold", false,
     "  -hold             a file refused for good moves to held/ (SENDAL_NOTIFY_COMMAND runs)"},
    {"-expire=", Form::Count, NoFlag, &RunOptions::expireDays, NoText, "expire", false,
     "  -expire=days      a file waiting longer is held when its next try fails"},
    {"-rate=", Form::Count, NoFlag, &RunOptions::rate, NoText, "rate", false,
     "  -rate=n           at most n messages a minute"},
    {"-retrymin=", Form::Duration, NoFlag, &RunOptions::retryMin, NoText, "retry_min", false,
     "  -retrymin=time    the first wait after a relay asked to wait (60s, 5m, 1h; default 1m)"},
    {"-retrymax=", Form::Duration, NoFlag, &RunOptions::retryMax, NoText, "retry_max", false,
     "  -retrymax=time    the longest wait between tries (default 1h)"},
    {"-alertafter=", Form::Duration, NoFlag, &RunOptions::alertAfter, NoText, "alert_after", false,
     "  -alertafter=time  the notice command runs once for a file waiting that long (stuck)"},
    {"-metrics=", Form::Text, NoFlag, NoCount, &RunOptions::metricsFile, "metrics_file", true,
     "  -metrics=file     the run's figures for a metrics collector (Prometheus text)"},
    {"-backoff", Form::Switch, &RunOptions::backoff, NoCount, NoText, nullptr, false,
     "  -backoff          a file waits for its next-try time, as under --send"},
    {"-syslog", Form::Switch, &RunOptions::syslog, NoCount, NoText, "syslog", false,
     "  -syslog           a line per file to the system log (journalctl -t sendal)"},
    {"-nosandbox", Form::Switch, &RunOptions::noSandbox, NoCount, NoText, nullptr, false,
     "  -nosandbox        do not confine the run (for debugging)"},
    {"--config=", Form::Text, NoFlag, NoCount, &RunOptions::configName, nullptr, true,
     "  --config=file     the configuration (else ~/.config/sendal/config.toml)"},
    {"--now", Form::Switch, &RunOptions::now, NoCount, NoText, nullptr, false,
     "  --now             (--send) every file now, whatever its next-try time"},
    {"--json", Form::Switch, &RunOptions::json, NoCount, NoText, nullptr, false,
     "  --json            (--queue) one JSON object a line, for programs"},
};

constexpr std::size_t MaxDigits = 6;

bool TakeCount(const std::string& digits, int& into) {
    if (digits.empty() || digits.size() > MaxDigits || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int value = std::stoi(digits);
    return value > 0 && (into = value, true);
}

// A time as users write it: seconds, or a number with s, m, h or d.
bool TakeDuration(const std::string& text, int& into) {
    constexpr int MaxSeconds = 365 * 86400;
    std::size_t digits = text.find_first_not_of("0123456789");
    std::string number = text.substr(0, digits), unit = digits == std::string::npos ? "" : text.substr(digits);
    int scale = unit.empty() || unit == "s" ? 1 : unit == "m" ? 60 : unit == "h" ? 3600 : unit == "d" ? 86400 : 0;
    int value = 0;
    if (scale == 0 || !TakeCount(number, value) || value > MaxSeconds / scale) return false;
    return into = value * scale, true;
}

// The 64 hex digits of a SHA-256, colons allowed between them.
bool TakeFingerprint(const std::string& value, std::string& into) {
    std::string hex;
    for (char c : value)
        if (c != ':') hex += c;
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    return into = hex, true;
}

// "sha256:" with a key's SHA-256 in base64 or hex, kept as its 32 bytes.
bool TakePin(const std::string& value, std::vector<std::string>& pins) {
    std::string digest;
    if (ToLowerAscii(value.substr(0, 7)) != "sha256:" || !DecodePinValue(value.substr(7), digest)) return false;
    pins.push_back(digest);
    return true;
}

bool TakeAuth(const std::string& value, AuthMechanism& into) {
    const struct {
        const char* word;
        AuthMechanism mechanism;
    } mechanisms[] = {{"plain", AuthPlain},     {"login", AuthLogin},       {"xoauth2", AuthXoauth2},
                      {"oauthbearer", AuthOauthbearer}, {"external", AuthExternal}, {"none", AuthNone}};
    for (const auto& m : mechanisms)
        if (value == m.word) return into = m.mechanism, true;
    return false;
}

bool TakeValue(const OptionEntry& entry, const std::string& value, RunOptions& options) {
    switch (entry.form) {
    case Form::Switch: return options.*entry.flag = true;
    case Form::Count: return TakeCount(value, options.*entry.count);
    case Form::Duration: return TakeDuration(value, options.*entry.count);
    case Form::Text: return !value.empty() && (options.*entry.text = value, true);
    case Form::FirstText:  // the first one given counts; an empty one gives way to the default
        if ((options.*entry.text).empty()) options.*entry.text = value;
        return true;
    case Form::Fingerprint: return TakeFingerprint(value, options.*entry.text);
    case Form::Pin: return TakePin(value, options.pins);
    case Form::Auth: return entry.word[std::strlen(entry.word) - 1] == '=' ? TakeAuth(value, options.auth)
                                                                          : (options.auth = AuthAny, true);
    }
    return false;
}

bool TakesValue(const OptionEntry& entry) {
    return entry.word[std::strlen(entry.word) - 1] == '=';
}

std::uint64_t Bit(const OptionEntry& entry) {
    return std::uint64_t{1} << (&entry - Table);
}

}  // namespace

bool TakeOptionWord(const std::string& word, RunOptions& options) {
    for (const OptionEntry& entry : Table) {
        bool valued = TakesValue(entry);
        if (valued ? word.rfind(entry.word, 0) != 0 : word != entry.word) continue;
        RunOptions taken = options;
        if (!TakeValue(entry, valued ? word.substr(std::strlen(entry.word)) : std::string(), taken)) return false;
        options = std::move(taken);
        options.given |= Bit(entry);
        return true;
    }
    return false;
}

std::string OptionInSmallLetters(const std::string& word) {
    std::string lower = ToLowerAscii(word);
    for (const OptionEntry& entry : Table) {
        std::size_t length = std::strlen(entry.word);
        if (entry.keepsCase && lower.rfind(entry.word, 0) == 0) return lower.substr(0, length) + word.substr(length);
    }
    return lower;
}

KeyValue AccountKeyValue(const std::string& key) {
    for (const OptionEntry& entry : Table)
        if (entry.accountKey != nullptr && key == entry.accountKey)
            return entry.form == Form::Switch     ? KeyValue::Flag
                   : entry.form == Form::Count    ? KeyValue::Number
                   : entry.form == Form::Duration ? KeyValue::Time
                                                  : KeyValue::Text;
    return KeyValue::Unknown;
}

int TakeAccountKey(const std::string& key, const std::string& value, RunOptions& options) {
    for (const OptionEntry& entry : Table) {
        if (entry.accountKey == nullptr || key != entry.accountKey) continue;
        if (entry.form == Form::Switch) {  // true or false, as the file wrote it
            options.*entry.flag = value == "true";
            return 0;
        }
        return TakeValue(entry, entry.keepsCase ? value : ToLowerAscii(value), options) ? 0 : -1;
    }
    return 1;
}

void LayGivenOver(const RunOptions& given, RunOptions& account) {
    for (const OptionEntry& entry : Table) {
        if ((given.given & Bit(entry)) == 0) continue;
        if (entry.flag != nullptr) account.*entry.flag = given.*entry.flag;
        if (entry.count != nullptr) account.*entry.count = given.*entry.count;
        if (entry.text != nullptr) account.*entry.text = given.*entry.text;
        if (entry.form == Form::Pin) account.pins = given.pins;
        if (entry.form == Form::Auth) account.auth = given.auth;
    }
    // -tls and -starttls choose the account's security between them.
    if (given.implicitTls || given.startTls) {
        account.implicitTls = given.implicitTls;
        account.startTls = given.startTls;
    }
    account.given = given.given;
}

std::vector<std::string> OptionUsageLines() {
    std::vector<std::string> lines;
    for (const OptionEntry& entry : Table)
        if (entry.usage != nullptr) lines.emplace_back(entry.usage);
    return lines;
}

}  // namespace sendal
