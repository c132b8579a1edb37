// The usage screen and the help pager.
#include "driver/usage.h"

#include "base/console.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "base/text.h"

namespace sendal {
namespace {

constexpr const char* HelpFileName = "sendal.hlp";
constexpr int HelpPageLines = 24;
constexpr char EndOfText = 26;  // Ctrl-Z
constexpr const char* MorePrompt = "                                     -more- ";

// Every option, a line each; blanks or commas separate them, anywhere after the host.
constexpr const char* OptionLines[] = {
    "  -helo=name        the name sent with HELO or EHLO",
    "  -exitcode         exit codes for cron and systemd instead of 0",
    "  -keepgoing        a file the relay refuses stays, the others still go",
    "  -from=address     the envelope sender of every file",
    "  -ehlo             EHLO instead of HELO: pipelining, SIZE, 8BITMIME, SMTPUTF8",
    "  -nochunking       DATA even where the relay offers CHUNKING (BDAT)",
    "  -starttls         STARTTLS before anything is sent (never plain text)",
    "  -tls              TLS from the first byte (port 465 by default)",
    "  -auth[=plain|=login|=xoauth2|=oauthbearer|=external]  log in (netrc, SENDAL_PASSWORD_COMMAND)",
    "  -insecureauth     allow -auth without TLS",
    "  -noverify         do not check the relay's certificate",
    "  -fingerprint=hex  the SHA-256 of the relay's certificate, instead of the CA check",
    "  -pin=sha256:key   a SHA-256 of a key the relay's chain must hold (base64 or hex)",
    "  -cert=file -key=file  a client certificate (PEM); -auth=external logs in with it",
    "  -hold             a file refused for good moves to held/ (SENDAL_NOTIFY_COMMAND runs)",
    "  -expire=days      a file waiting longer is held when its next try fails",
    "  -rate=n           at most n messages a minute",
    "  -syslog           a line per file to the system log (journalctl -t sendal)",
    "  -nosandbox        do not confine the run (for debugging)",
    "  --version         the version; -h, --help or ? this screen",
    "Or: sendal --send [--config=file] [-keepgoing] [-exitcode] [-nochunking]",
    "  --send            the configured spool, each file through the account of its sender",
    "  --config=file     the configuration (else ~/.config/sendal/config.toml)",
    "Or: sendal --queue [mask] | --release name | --remove name  [--config=file]",
    "  --queue           the waiting files and why each waits; the held ones",
    "  --release name    a held file back into the spool; --remove name deletes it",
};

}  // namespace

std::vector<std::string> SplitHelpLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t end = text.find(EndOfText);
    if (end == std::string::npos) end = text.size();
    std::size_t pos = 0;
    while (pos < end) {
        std::size_t lineEnd = text.find_first_of("\r\n", pos);
        if (lineEnd == std::string::npos || lineEnd >= end) {
            lines.push_back(text.substr(pos, end - pos));
            break;
        }
        lines.push_back(text.substr(pos, lineEnd - pos));
        pos = lineEnd + 1;
        if (text[lineEnd] == '\r' && pos < end && text[pos] == '\n') ++pos;
    }
    return lines;
}

void ShowUsage() {
    WriteStdoutLine(ProgramTag + VersionText + " - sends the outgoing mail spool to an SMTP relay");
    WriteStdoutLine("Written as free software by the sendal developers.");
    WriteStdoutLine(" ");
    WriteStdoutLine("Usage: sendal host [Portnbr][,options]");
    WriteStdoutLine("Options: [-helo=host|domain] [dest-dir][filemask]");
    for (const char* line : OptionLines) WriteStdoutLine(line);

    std::string text;
    if (ReadWholeFile(HelpFileName, text) != 0) return;
    int lineCount = 0;
    for (const std::string& line : SplitHelpLines(text)) {
        ConsoleWrite(line);
        ConsoleLineEnd();
        if (++lineCount < HelpPageLines) continue;
        ConsoleWrite(MorePrompt);
        int key = ConsoleReadKey();
        ConsoleLineEnd();
        if (key >= 0 && ToLowerAscii(static_cast<char>(key)) == 'q') break;
        lineCount = 0;
    }
}

}  // namespace sendal
