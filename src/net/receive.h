// The receiving side: the receiver thread copies every byte the relay sends into a fixed ring,
// and the transport takes them out (as plain text, or as TLS records to decrypt).
//
// The ring is a single-producer, single-consumer queue without locks: the receiver alone moves
// the write index, the main thread alone the read index. One position is always left free, so a full
// ring never looks empty; at most 29999 bytes wait unread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sendal {

constexpr std::uint32_t ReceiveBufferSize = 30000;

// When a wait must end.
using ReplyDeadline = std::chrono::steady_clock::time_point;

// How long WaitReply waits for one reply line. Tests lower it.
inline std::chrono::milliseconds ReplyTimeout{50000};
// The longest a waiter sleeps before it looks at the stop flag again.
constexpr int WaitSliceMilliseconds = 10;

// Whether the receiver acknowledges what it reads at once: when commands go out together, a
// relay that holds small replies back until the last is acknowledged (Nagle) would otherwise
// wait for our delayed acknowledgement. One command at a time, the next command carries it.
inline std::atomic<bool> AcknowledgeAtOnce{false};

// The receiver thread's body: stores what arrives on `socket` until the relay closes the
// connection or recv reports an error.
void ReceiveData(int socket);

// Empties the ring with both indices at `position`, before a receiver starts (and for tests).
void ResetReceiveRing(std::uint32_t position = 0);

// The consumer's side for the TLS session, which reads its records from the ring: up to
// `length` bytes; 0 when the ring is empty and the relay closed the connection; -1 when it is
// empty for now.
long TakeReceived(char* buffer, std::size_t length);

// Waits until the ring holds a byte or the relay closed the connection (0), the deadline
// passed (1) or a stop signal came (-1).
int WaitReceived(ReplyDeadline deadline);

// How many bytes the receiver has stored on this connection so far (a count that never wraps).
std::uint64_t ReceivedSoFar();

// How many bytes have been taken out of the ring (a count that never wraps).
std::uint64_t TakenSoFar();

// Changes whenever the ring is reset: a new connection (or a test's fresh ring) begins.
std::uint64_t RingGeneration();

// Where the receiver stands (its write index): taken before looking at what is there, so that
// a wait after it misses nothing stored meanwhile.
std::uint32_t ReceiveProgress();

// Waits until the receiver stored more since `seen` (ReceiveProgress) or the relay closed the
// connection (0), the deadline passed (1) or a stop signal came (-1).
int WaitReceivedAfter(std::uint32_t seen, ReplyDeadline deadline);

// True when no byte waits unread in the ring.
bool ReceiveRingEmpty();

// Stores `bytes` as the receiver would, for tests and fuzzing; they must fit.
void FeedReceiveRing(std::string_view bytes);

// When a wait that starts now must end: the reply time-out from now, or the limit when that
// comes first (the run settles what it sent within one bound).
inline ReplyDeadline ReplyDeadlineLimit = ReplyDeadline::max();
ReplyDeadline ReplyDeadlineFromNow();

}  // namespace sendal
