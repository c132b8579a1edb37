// Command and reply for the greeting and HELO.
#include "smtp/command.h"

#include "base/console.h"
#include "base/number.h"
#include "net/receive.h"
#include "net/send.h"

namespace sendal {
namespace {

constexpr double GreetingCode = 220;
constexpr double OkCode = 250;

// Reply lines taken for one command at most. Each line has its own time-out, so a relay that
// sent intermediate or greeting lines without end would otherwise keep the run going for ever.
constexpr int MaxReplyLines = 1000;

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

std::int32_t SmtpCommand(const std::string& command) {
    std::string line;
    // The command goes out after the first greeting line; the rest of a greeting of several
    // lines is skipped below with the reply lines.
    if (WaitReply(line) != 0) return -1;
    ShowReply(line);
    if (SendLine(command) != 0) return -1;
    for (int lines = 0; lines < MaxReplyLines; ++lines) {
        if (WaitReply(line) != 0) return -1;
        ShowReply(line);
        if (ReplyCode(line) == GreetingCode || IsIntermediateReply(line)) continue;
        return ReplyCode(line) == OkCode ? 0 : -1;
    }
    return -1;
}

}  // namespace sendal
