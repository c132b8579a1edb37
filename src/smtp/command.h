// The greeting, one command and its reply of one or more lines; the one exchange of a command
// and its reply line; and the reply-code rule that every part of the dialogue uses.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// The number at the start of a reply line (blanks, tabs and line feeds skipped; 0 when the line
// does not start with a number). "250 ok" and "250-ok" both give 250.
double ReplyCode(const std::string& line);

// A line whose fourth character is "-": more lines of the same reply follow.
bool IsIntermediateReply(const std::string& line);

// Where an exchange writes: the envelope logs its command and reply at level 0; the rest of the
// dialogue sends its command unlogged and shows the reply on the console window.
enum ReplyEcho { EchoLog, EchoConsole };

// Reads one reply line, logs or shows it, and judges it: 0 when its code is `wantedCode` (or
// `wantedCode` is AnyCode), else -1; -1 also on a time-out or a closed connection.
std::int32_t AwaitReply(double wantedCode, ReplyEcho echo);

// Logs the command (EchoLog), sends it, then AwaitReply.
std::int32_t Exchange(const std::string& command, double wantedCode, ReplyEcho echo);
// The same with `shown` logged in place of the command (which holds a secret).
std::int32_t ExchangeShown(const std::string& command, const std::string& shown,
                           double wantedCode, ReplyEcho echo);

// The last reply line read, for the log line that says why a file stays.
const std::string& LastReply();
// Whether the last exchange failed because its reply was judged and refused (not a network
// failure).
bool LastReplyRefused();

// Reads the first greeting line, sends `command`, then reads reply lines (lines with code 220,
// the rest of a long greeting, and intermediate lines are skipped) up to the final one. Every
// line read is shown on the console window. 0 when the final line has code 250, else -1 (also
// when a reply runs past 1000 lines).
std::int32_t SmtpCommand(const std::string& command);

// Sends `command` (HELO or EHLO, also after STARTTLS, when no greeting comes first) and reads
// its reply lines as SmtpCommand does, keeping what an EHLO reply offers.
std::int32_t GreetingCommand(const std::string& command);

// Whether the last EHLO reply offered `keyword` (in capitals), and its parameters ("PLAIN
// LOGIN" for "AUTH PLAIN LOGIN"; empty when none).
bool Offers(const std::string& keyword);
std::string OfferedParameters(const std::string& keyword);

// Shows a relay's reply line on the console window, on a line of its own.
void ShowReply(const std::string& line);

}  // namespace sendal
