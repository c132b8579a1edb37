// Command and reply. A reply is read whole before anything is judged or sent, so a relay that
// answers in several lines is never answered early, and no line of one reply is ever taken for
// the reply to the next command.
#include "smtp/command.h"

#include <algorithm>
#include <cstdlib>

#include "base/console.h"
#include "base/outcome.h"
#include "base/text.h"
#include "log/log.h"
#include "net/transport.h"
#include "net/send.h"
#include "smtp/codes.h"
#include "smtp/session.h"

namespace sendal {
namespace {

// Lines taken for one reply at most: a relay that sent intermediate lines without end would
// otherwise hold the run until the deadline with memory growing.
constexpr std::size_t MaxReplyLines = 1000;
// What the log and the console show of a reply: a relay can add only a few KB a reply.
constexpr std::size_t MaxShownLineBytes = 512;
constexpr std::size_t MaxShownReplyLines = 8;
constexpr std::size_t MaxKeptLineBytes = 1024;  // twice what a relay may send in a line

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::int32_t BadReply(const char* message) {
    WriteStdoutLineEnd();  // the progress row ends first
    return ReportFailure(message, EX_PROTOCOL);
}

void Echo(const std::string& line, ReplyEcho echo) {
    std::string shown = line.size() > MaxShownLineBytes
                            ? line.substr(0, MaxShownLineBytes) + " (" + std::to_string(line.size()) + " bytes)"
                            : line;
    if (echo == EchoLog)
        LogMessage(shown, LevelNormal);
    else if (echo == EchoConsole)
        ShowReply(shown);
}

// The lines of a long reply past the first few are shown only as their count and the last.
void EchoLine(const Reply& reply, ReplyEcho echo) {
    if (reply.lines.size() <= MaxShownReplyLines || !IsIntermediateReply(reply.lines.back())) {
        std::size_t passed = reply.lines.size() - std::min(reply.lines.size(), MaxShownReplyLines + 1);
        if (passed > 0) Echo("(" + std::to_string(passed) + " more lines)", echo);
        Echo(reply.lines.back(), echo);
    }
}

// What an EHLO reply offers, one keyword a line after the first.
void KeepOffers(const Reply& reply) {
    CurrentSession.offers.clear();
    for (std::size_t i = 1; i < reply.lines.size(); ++i)
        if (reply.lines[i].size() > 4) CurrentSession.offers.push_back(ToUpperAscii(reply.lines[i].substr(4)));
}

}  // namespace

int ReplyLineCode(const std::string& line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool IsIntermediateReply(const std::string& line) {
    return line.size() >= 4 && line[3] == '-';
}

void ShowReply(const std::string& line) {
    ConsoleWriteOutside(line);
    ConsoleLineEnd();
}

std::int32_t ReadReply(Reply& reply, ReplyEcho echo) {
    return ReadReply(reply, echo, ReplyDeadlineFromNow());
}

std::int32_t ReadReply(Reply& reply, ReplyEcho echo, ReplyDeadline deadline) {
    reply = Reply{};
    std::string line;
    for (;;) {
        if (reply.lines.size() == MaxReplyLines) return BadReply("Reply too long from relay!");
        if (WaitReply(line, deadline) != 0) return -1;
        if (reply.lines.empty()) reply.arrival = LastLineArrival();
        int code = ReplyLineCode(line);
        if (line.size() > MaxKeptLineBytes) line.resize(MaxKeptLineBytes);
        reply.lines.push_back(line);
        EchoLine(reply, echo);
        if (code < 0 || (reply.lines.size() > 1 && code != reply.code))
            return BadReply("Bad reply from relay!");
        reply.code = code;
        if (!IsIntermediateReply(line)) return 0;
    }
}

std::int32_t SendCommand(const std::string& command, std::uint64_t* mark) {
    // A relay that hung up may have said why: the reply read next tells.
    std::int16_t sent = SendLine(command);
    if (mark) *mark = ReceivedMarkAt(command.size() + 2);
    return sent == SendBroken ? 0 : sent;
}

bool OutOfTurn(const Reply& reply, std::uint64_t mark) {
    int kind = ReplyClass(reply.code);
    if (reply.arrival > mark || (kind != 2 && kind != 3)) return false;
    NoteOutcome(EX_PROTOCOL);
    LogMessage("Reply out of turn from relay: " + reply.Final() + "!", LevelError);
    return true;
}

std::int32_t Exchange(const std::string& command, Reply& reply, ReplyEcho echo) {
    std::uint64_t mark = NeverSent;
    if (SendCommand(command, &mark) != 0 || ReadReply(reply, echo) != 0) return -1;
    return OutOfTurn(reply, mark) ? -1 : 0;
}

void NoteRefusal(const Reply& reply) {
    NoteOutcome(ReplyClass(reply.code) == 4 ? EX_TEMPFAIL : EX_UNAVAILABLE);
}

std::int32_t ReportRefusal(const std::string& step, const Reply& reply) {
    Reply shown;
    for (const std::string& line : reply.lines) {
        shown.lines.push_back(line);
        EchoLine(shown, EchoLog);
    }
    NoteRefusal(reply);
    LogMessage(step + " refused: " + reply.Final(), LevelError);
    return -1;
}

std::int32_t SmtpCommand(const std::string& command) {
    return SmtpCommand(command, ReplyDeadlineFromNow());
}

std::int32_t SmtpCommand(const std::string& command, ReplyDeadline greetingDeadline) {
    Reply greeting;
    if (ReadReply(greeting, EchoConsole, greetingDeadline) != 0) return -1;
    if (greeting.code != GreetingCode) {
        CurrentSession.greetingRefused = true;
        return ReportRefusal("Greeting", greeting);
    }
    return HelloCommand(command);
}

std::int32_t HelloCommand(const std::string& command) {
    CurrentSession.offers.clear();
    Reply reply;
    std::uint64_t mark = NeverSent;
    if (SendCommand(command, &mark) != 0) return -1;
    // A relay may repeat its greeting after the command: such replies are passed over (as many
    // as one reply may have lines, so an endless greeting still ends).
    std::size_t skipped = 0;
    do {
        if (skipped++ == MaxReplyLines) return BadReply("Reply too long from relay!");
        if (ReadReply(reply, EchoConsole) != 0) return -1;
    } while (reply.code == GreetingCode);
    if (OutOfTurn(reply, mark)) return -1;
    // A relay that does not know EHLO is greeted the old way on the same connection; it then
    // offers nothing, so what needs an offer (STARTTLS, AUTH) is refused as not offered.
    if (command.compare(0, 4, "EHLO") == 0 && (reply.code == UnknownCommandCode || reply.code == NotImplementedCode)) {
        LogMessage("EHLO not understood: HELO instead", LevelWarning);
        return HelloCommand("HELO" + command.substr(4));
    }
    if (reply.code != OkCode) return ReportRefusal(command.substr(0, 4), reply);
    if (command.compare(0, 4, "EHLO") == 0) KeepOffers(reply);
    return 0;
}

bool Offers(const std::string& keyword) {
    return !OfferedParameters(keyword).empty() ||
           std::find(CurrentSession.offers.begin(), CurrentSession.offers.end(), keyword) != CurrentSession.offers.end();
}

std::string OfferedParameters(const std::string& keyword) {
    for (const std::string& offer : CurrentSession.offers)
        if (offer.size() > keyword.size() && offer.compare(0, keyword.size(), keyword) == 0 &&
            (offer[keyword.size()] == ' ' || offer[keyword.size()] == '='))
            return offer.substr(keyword.size() + 1);
    return {};
}

std::uint64_t OfferedSizeLimit() {
    std::string limit = TrimBlanks(OfferedParameters("SIZE"));
    if (limit.empty() || limit.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::strtoull(limit.c_str(), nullptr, 10);
}

}  // namespace sendal
