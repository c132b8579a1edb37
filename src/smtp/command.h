// The relay's replies: one reader that takes a whole reply of one or more lines, the greeting,
// HELO or EHLO with what the relay offers, and the report of a refused step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/receive.h"

namespace sendal {

// A whole reply: every line as it came, without CR LF, and the code of its final line.
struct Reply {
    int code = 0;
    std::vector<std::string> lines;
    std::uint64_t arrival = 0;  // received count by which its first byte had arrived
    const std::string& Final() const { return lines.back(); }
};

// The code a reply line begins with (three digits, then the end, a blank or "-"), or -1.
// "25e1" or " 250" is no code.
int ReplyLineCode(const std::string& line);

// A line whose fourth character is "-": more lines of the same reply follow.
bool IsIntermediateReply(const std::string& line);

// Where a reply's lines go: the envelope logs them at level 0; the rest of the dialogue shows
// them on the console window; the replies to commands after a refused one are only read.
enum ReplyEcho { EchoLog, EchoConsole, EchoNone };

// Reads one whole reply within one deadline (the reply time-out), each line logged or shown
// as it comes. 0; -1 after a time-out, a closed connection or a stop (reported by WaitReply),
// or after "Bad reply from relay!" (lines without a code, or codes that differ) or "Reply too
// long from relay!" (more than MaxReplyLines lines), both at level 1.
std::int32_t ReadReply(Reply& reply, ReplyEcho echo);
std::int32_t ReadReply(Reply& reply, ReplyEcho echo, ReplyDeadline deadline);

// Sends `command` and CR LF; 0, or -1 (see SendData). `mark` (when given) gets the received
// count as its last byte went out (NeverSent when it did not).
std::int32_t SendCommand(const std::string& command, std::uint64_t* mark = nullptr);

// Whether `reply` began before its command's `mark`: the relay sent it before it could have
// had the command. A success or go-ahead then is a broken protocol ("Reply out of turn from
// relay: <line>!", exit 76) and true is returned; a refusal stands (it can only keep a file),
// and false is returned.
bool OutOfTurn(const Reply& reply, std::uint64_t mark);

// Sends `command` and reads its whole reply (see ReadReply), which must not come out of turn.
// 0, or -1 (reported).
std::int32_t Exchange(const std::string& command, Reply& reply, ReplyEcho echo);

// Notes the exit code a refusal gives: 75 for a 4xx reply, 69 for the rest.
void NoteRefusal(const Reply& reply);

// A refused step of the opening (greeting, HELO, EHLO, STARTTLS): the reply's lines in the log
// (they were only shown), then "<step> refused: <final line>" at level 1. Always -1.
std::int32_t ReportRefusal(const std::string& step, const Reply& reply);

// Reads the greeting whole, which must be 220 (no command goes out before its last line),
// then greets with `command`. 0 when the relay answered 250, else -1 after the log says why.
// The greeting's wait ends at `greetingDeadline` (the reply time-out from the connect).
std::int32_t SmtpCommand(const std::string& command);
std::int32_t SmtpCommand(const std::string& command, ReplyDeadline greetingDeadline);

// Sends `command` (HELO or EHLO, also after STARTTLS, when no greeting comes first) and reads
// its reply, keeping what an EHLO reply offers. 0 for 250, else -1 as SmtpCommand.
std::int32_t HelloCommand(const std::string& command);

// Whether the last EHLO reply offered `keyword` (in capitals), and its parameters ("PLAIN
// LOGIN" for "AUTH PLAIN LOGIN"; empty when none).
bool Offers(const std::string& keyword);
std::string OfferedParameters(const std::string& keyword);

// The message size limit the relay announced with SIZE; 0 when none.
std::uint64_t OfferedSizeLimit();

// Shows a relay's reply line on the console window, on a line of its own.
void ShowReply(const std::string& line);

}  // namespace sendal
