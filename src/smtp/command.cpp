// Command and reply: the greeting with HELO, and the exchange every later command uses.
#include "smtp/command.h"

#include "base/console.h"
#include "base/number.h"
#include "base/text.h"
#include "log/log.h"
#include "net/receive.h"
#include "net/send.h"
#include "smtp/codes.h"

#include <algorithm>
#include <vector>

namespace sendal {
namespace {

// Reply lines taken for one command at most. Each line has its own time-out, so a relay that
// sent intermediate or greeting lines without end would otherwise keep the run going for ever.
constexpr int MaxReplyLines = 1000;

std::string LastReplyLine;
bool Refused = false;
std::vector<std::string> OfferedLines;  // the 250 lines of the last greeting reply, in capitals

}  // namespace

double ReplyCode(const std::string& line) {
    return ReadNumber(line);
}

bool IsIntermediateReply(const std::string& line) {
    return line.size() >= 4 && line[3] == '-';
}

void ShowReply(const std::string& line) {
    ConsoleWriteOutside(line);
    ConsoleLineEnd();
}

const std::string& LastReply() {
    return LastReplyLine;
}

bool LastReplyRefused() {
    return Refused;
}

std::int32_t AwaitReply(double wantedCode, ReplyEcho echo) {
    Refused = false;
    if (WaitReply(LastReplyLine) != 0) return -1;
    if (echo == EchoLog)
        LogMessage(LastReplyLine, -1, LevelNormal);
    else
        ShowReply(LastReplyLine);
    Refused = wantedCode != AnyCode && ReplyCode(LastReplyLine) != wantedCode;
    return Refused ? -1 : 0;
}

std::int32_t Exchange(const std::string& command, double wantedCode, ReplyEcho echo) {
    return ExchangeShown(command, command, wantedCode, echo);
}

std::int32_t ExchangeShown(const std::string& command, const std::string& shown,
                           double wantedCode, ReplyEcho echo) {
    Refused = false;
    if (echo == EchoLog) LogMessage(shown, -1, LevelNormal);
    if (SendLine(command) != 0) return -1;
    return AwaitReply(wantedCode, echo);
}

std::int32_t SmtpCommand(const std::string& command) {
    // The command goes out after the first greeting line; the rest of a greeting of several
    // lines is skipped with the reply lines.
    if (AwaitReply(AnyCode, EchoConsole) != 0) return -1;
    return GreetingCommand(command);
}

bool Offers(const std::string& keyword) {
    return !OfferedParameters(keyword).empty() ||
           std::find(OfferedLines.begin(), OfferedLines.end(), keyword) != OfferedLines.end();
}

std::string OfferedParameters(const std::string& keyword) {
    for (const std::string& offer : OfferedLines)
        if (offer.size() > keyword.size() && offer.compare(0, keyword.size(), keyword) == 0 &&
            (offer[keyword.size()] == ' ' || offer[keyword.size()] == '='))
            return offer.substr(keyword.size() + 1);
    return {};
}

std::int32_t GreetingCommand(const std::string& command) {
    if (SendLine(command) != 0) return -1;
    OfferedLines.clear();
    for (int lines = 0; lines < MaxReplyLines; ++lines) {
        if (AwaitReply(AnyCode, EchoConsole) != 0) return -1;
        double code = ReplyCode(LastReplyLine);
        if (code == GreetingCode) continue;
        // What an EHLO reply offers, one keyword a line after the first.
        if (code == OkCode && LastReplyLine.size() > 4)
            OfferedLines.push_back(ToUpperAscii(LastReplyLine.substr(4)));
        if (IsIntermediateReply(LastReplyLine)) continue;
        Refused = code != OkCode;
        return Refused ? -1 : 0;
    }
    return -1;
}

}  // namespace sendal
