// The receiving side: the receiver thread copies every byte the relay sends into a fixed ring,
// and WaitReply takes complete lines out of it. Only CR LF ends a line.
//
// The ring is a single-producer, single-consumer queue without locks: the receiver alone moves
// the write index, WaitReply alone the read index. One position is always left free, so a full
// ring never looks empty; at most 29999 bytes wait unread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sendal {

constexpr std::uint32_t ReceiveBufferSize = 30000;

// When a wait must end.
using ReplyDeadline = std::chrono::steady_clock::time_point;

// How many 10 ms waits WaitReply allows for one line: about 50 seconds. Tests lower it.
inline int ReplyPollCount = 5000;
constexpr int ReplyPollMilliseconds = 10;

// The receiver thread's body: stores what arrives on `socket` until the relay closes the
// connection or recv reports an error.
void ReceiveData(int socket);

// Empties the ring with both indices at `position`, before a receiver starts (and for tests).
void ResetReceiveRing(std::uint32_t position = 0);

// The consumer's side for the TLS session, which reads its records from the ring: up to
// `length` bytes; 0 when the ring is empty and the relay closed the connection; -1 when it is
// empty for now.
long TakeReceived(char* buffer, std::size_t length);

// With TLS on: decrypts the records the ring holds into the text WaitReply takes its lines
// from, so that whatever the relay sends (a key update too) is dealt with now.
void AbsorbTlsRecords();

// Waits until the ring holds a byte or the relay closed the connection (0), the deadline
// passed (1) or a stop signal came (-1).
int WaitReceived(ReplyDeadline deadline);

// How many bytes the receiver has stored on this connection so far (a count that never wraps).
std::uint64_t ReceivedSoFar();

// By which ReceivedSoFar count the first byte of the line WaitReply took last had arrived: a
// reply whose count is at most a command's mark was sent before the relay had the command.
std::uint64_t LastLineArrival();

// Whether a complete line waits to be taken, so a reply already there is read without waiting.
bool LineWaiting();

// True when no byte waits unread in the ring.
bool ReceiveRingEmpty();

// Stores `bytes` as the receiver would, for tests and fuzzing; they must fit.
void FeedReceiveRing(std::string_view bytes);

// Takes the next line from the relay, without its CR LF, into `line`: 0. Otherwise a line end
// on standard output, `line` holding the unread bytes, and -1 after logging at level 1
// "ERROR ON NETWORK (Connection closed)." at once when the relay has closed the connection
// (or reading failed) and no complete line is left, or "ERROR ON NETWORK (Timeout)." when
// none arrived within the time-out. -1 without a word when a stop signal came.
std::int16_t WaitReply(std::string& line);

// The same with the time-out running out at `deadline`, so that every line of one reply
// counts against one wait.
std::int16_t WaitReply(std::string& line, ReplyDeadline deadline);

// When a wait that starts now must end: the reply time-out from now.
ReplyDeadline ReplyDeadlineFromNow();

}  // namespace sendal
