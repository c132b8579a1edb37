// The transport between the SMTP client and the relay: lines in, bytes out, in plain text or
// through TLS alike. The receiver and the TLS session beneath it are the connection's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/receive.h"

namespace sendal {

// Takes the next line from the relay, without its CR LF, into `line`: 0. Otherwise a line end
// on standard output, `line` holding the unread text, and -1 after logging at level 1
// "ERROR ON NETWORK (Connection closed)." at once when the relay has closed the connection
// (or reading failed) and no complete line is left, or "ERROR ON NETWORK (Timeout)." when
// none arrived within the time-out. -1 without a word when a stop signal came. The text waiting
// to be framed is bounded like the ring: of a longer line only its first 4096 bytes are given.
std::int16_t WaitReply(std::string& line);

// The same with the time-out running out at `deadline`, so that every line of one reply
// counts against one wait.
std::int16_t WaitReply(std::string& line, ReplyDeadline deadline);

// By which ReceivedSoFar count the first byte of the line WaitReply took last had arrived: a
// reply whose count is at most a command's mark was sent before the relay had the command.
std::uint64_t LastLineArrival();

// Whether a complete line waits to be taken, so a reply already there is read without waiting.
bool LineWaiting();

// With TLS on: decrypts the records the ring holds (while the text has room), so that whatever
// the relay sends (a key update too) is dealt with now.
void AbsorbTlsRecords();

// send on the relay connection, through TLS once it is on, with its contract (a count, or -1
// with errno: EINTR, EAGAIN for the send time-out, EPIPE or ECONNRESET for a closed
// connection, EIO for a TLS error).
long TransportSend(int socket, const char* data, std::size_t length);

}  // namespace sendal
