// The usage screen and the help pager.
#include "driver/usage.h"

#include "base/console.h"
#include "base/fdio.h"
#include "base/globals.h"
#include "base/text.h"
#include "driver/optiontable.h"

namespace sendal {
namespace {

constexpr const char* HelpFileName = "sendal.hlp";
constexpr int HelpPageLines = 24;
constexpr char EndOfText = 26;  // Ctrl-Z
constexpr const char* MorePrompt = "                                     -more- ";

// The forms other than the host's; the options are the table's.
constexpr const char* CommandLines[] = {
    "Or: sendal --send [--config=file] [--now] [options]",
    "  --send            the configured spool, each file through the account of its sender",
    "Or: sendal --queue [--json] [mask] | --release name | --remove name  [--config=file]",
    "  --queue           the waiting files and why each waits; the held ones",
    "  --release name    a held file back into the spool; --remove name deletes it",
    "Or: sendal --authorize account [--config=file]",
    "  --authorize name  the account's OAuth2 sign-in, once: its tokens kept and refreshed",
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
    for (const std::string& line : OptionUsageLines()) WriteStdoutLine(line);
    WriteStdoutLine("  --version         the version; -h, --help or ? this screen");
    for (const char* line : CommandLines) WriteStdoutLine(line);

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
