// The ring buffer, the receiver and the reply wait. The receiver wakes a waiting WaitReply
// through a futex on the write index as soon as it has stored bytes, so a reply is taken the
// moment its line is complete rather than at the end of a sleep slice.
//
// The receiver only ever moves the bytes that arrive on the socket into the ring: with TLS on
// they are the session's records, which the main thread alone decrypts. The ring knows nothing
// of lines or TLS: the transport takes bytes out of it.
#include "net/receive.h"

#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <algorithm>
#include <cstring>

#include "base/stop.h"

namespace sendal {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

constexpr int SpinMicroseconds = 60;
constexpr int QuickAck = 1;

// The ring and what is known of the stream it carries, for one connection at a time.
struct Ring {
    char buffer[ReceiveBufferSize];
    std::atomic<std::uint32_t> writeIndex{0};
    std::atomic<std::uint32_t> readIndex{0};
    // Set by the receiver once it has stored its last byte: the relay closed the connection,
    // or reading failed. No line can come after what the ring holds then.
    std::atomic<bool> ended{false};
    // Bytes the receiver has stored on this connection, and bytes the main thread has taken
    // out: positions in the relay's stream, which never wrap. A command remembers the received
    // count as it went out, and a reply that began before it was sent before the relay could
    // have had the command.
    std::atomic<std::uint64_t> received{0};
    std::uint64_t taken = 0;
    std::uint64_t generation = 0;  // counts the resets: a new connection, or a test's fresh ring
    // How many waits sleep on the write index; the receiver skips the wake-up call when nobody
    // does.
    std::atomic<std::uint32_t> waiters{0};
};
Ring Received;

std::uint32_t* FutexWord(std::atomic<std::uint32_t>& word) {
    return reinterpret_cast<std::uint32_t*>(&word);
}

void SleepWhileUnchanged(std::atomic<std::uint32_t>& word, std::uint32_t seen,
                         std::chrono::nanoseconds limit) {
    timespec timeout{0, static_cast<long>(limit.count())};
    ::syscall(SYS_futex, FutexWord(word), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

void WakeSleepers(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, FutexWord(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// The unread bytes as two runs: from the read index on, and the wrapped part from position 0.
struct UnreadRuns {
    const char* first;
    std::size_t firstLength;
    std::size_t secondLength;  // starts at Received.buffer[0]
};

UnreadRuns Unread(std::uint32_t read, std::uint32_t write) {
    if (read <= write) return {Received.buffer + read, write - read, 0};
    return {Received.buffer + read, ReceiveBufferSize - read, write};
}

// Contiguous free space from the write index: one position always stays free.
std::size_t FreeSpace(std::uint32_t write, std::uint32_t read) {
    if (write < read) return read - write - 1;
    return ReceiveBufferSize - write - (read == 0 ? 1 : 0);
}

// A relay on the same machine or network answers within tens of microseconds: watching the
// write index that long costs less than sleeping and being woken for every reply line.
bool SpinUntilChanged(std::uint32_t seen) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::microseconds(SpinMicroseconds);
    do {
        if (Received.writeIndex.load(std::memory_order_acquire) != seen) return true;
        // Give the processor to the receiver should it be waiting for this very core.
        sched_yield();
    } while (Clock::now() < until);
    return false;
}

// Wakes a WaitReply sleeping on the write index, if there is one.
void WakeWaiters() {
    if (Received.waiters.load(std::memory_order_seq_cst) != 0) WakeSleepers(Received.writeIndex);
}

// Makes `got` bytes stored at the write index visible to WaitReply and wakes it.
// The count goes up only after the bytes can be taken: a waiter that saw the count must find
// them, or it would wait for bytes that never come. (A command's mark read meanwhile is only
// smaller, which never makes an honest reply look early.)
void PublishReceived(std::uint32_t write, std::size_t got) {
    write += static_cast<std::uint32_t>(got);
    if (write == ReceiveBufferSize) write = 0;
    Received.writeIndex.store(write, std::memory_order_seq_cst);
    Received.received.fetch_add(got, std::memory_order_seq_cst);
    WakeWaiters();
}

// Stores what arrives on `socket` until the relay closes the connection or reading fails.
void ReceiveUntilEnd(int socket) {
    for (;;) {
        std::uint32_t write = Received.writeIndex.load(std::memory_order_relaxed);
        std::uint32_t read = Received.readIndex.load(std::memory_order_acquire);
        std::size_t space = FreeSpace(write, read);
        if (space == 0) {
            // Full ring: the relay waits (TCP holds its data) until WaitReply takes a line.
            // Look in every millisecond; leave once the close-down has shut the socket.
            pollfd socketState{socket, 0, 0};
            if (::poll(&socketState, 1, 1) == 1 &&
                (socketState.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return;
            continue;
        }
        long got = static_cast<long>(::recv(socket, Received.buffer + write, space, 0));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;  // closed by the relay or by our close-down, or an error
        PublishReceived(write, static_cast<std::size_t>(got));
        if (AcknowledgeAtOnce.load(std::memory_order_relaxed))
            ::setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &QuickAck, sizeof QuickAck);
    }
}


// Sleeps until the receiver stores more than `seen` or 10 ms (at most `left`) have passed.
void SleepUntilChanged(std::uint32_t seen, std::chrono::steady_clock::duration left) {
    auto pause = std::chrono::nanoseconds(std::chrono::milliseconds(WaitSliceMilliseconds));
    if (left < pause) pause = std::chrono::duration_cast<std::chrono::nanoseconds>(left);
    Received.waiters.fetch_add(1, std::memory_order_seq_cst);
    SleepWhileUnchanged(Received.writeIndex, seen, pause);
    Received.waiters.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace

void ResetReceiveRing(std::uint32_t position) {
    Received.readIndex.store(position % ReceiveBufferSize);
    Received.writeIndex.store(position % ReceiveBufferSize);
    Received.ended.store(false);
    Received.received.store(0);
    Received.taken = 0;
    ++Received.generation;
}

std::uint64_t RingGeneration() {
    return Received.generation;
}

std::uint64_t TakenSoFar() {
    return Received.taken;
}

long TakeReceived(char* buffer, std::size_t length) {
    bool ended = Received.ended.load(std::memory_order_acquire);
    std::uint32_t write = Received.writeIndex.load(std::memory_order_acquire);
    std::uint32_t read = Received.readIndex.load(std::memory_order_relaxed);
    UnreadRuns runs = Unread(read, write);
    std::size_t have = runs.firstLength + runs.secondLength;
    if (have == 0) return ended ? 0 : -1;
    std::size_t take = std::min(have, length);
    std::size_t fromFirst = std::min(take, runs.firstLength);
    std::memcpy(buffer, runs.first, fromFirst);
    std::memcpy(buffer + fromFirst, Received.buffer, take - fromFirst);
    std::uint32_t next = read + static_cast<std::uint32_t>(take);
    if (next >= ReceiveBufferSize) next -= ReceiveBufferSize;
    Received.taken += take;
    Received.readIndex.store(next, std::memory_order_release);
    return static_cast<long>(take);
}

int WaitReceived(ReplyDeadline deadline) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        std::uint32_t seen = Received.writeIndex.load(std::memory_order_acquire);
        if (!ReceiveRingEmpty() || Received.ended.load(std::memory_order_acquire)) return 0;
        if (StopNow()) return -1;
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 1;
        if (!SpinUntilChanged(seen)) SleepUntilChanged(seen, left);
    }
}

std::uint64_t ReceivedSoFar() {
    return Received.received.load(std::memory_order_acquire);
}

bool ReceiveRingEmpty() {
    return Received.readIndex.load() == Received.writeIndex.load();
}

void FeedReceiveRing(std::string_view bytes) {
    for (char byte : bytes) {
        std::uint32_t write = Received.writeIndex.load(std::memory_order_relaxed);
        Received.buffer[write] = byte;
        PublishReceived(write, 1);
    }
}

void ReceiveData(int socket) {
    ReceiveUntilEnd(socket);
    Received.ended.store(true, std::memory_order_seq_cst);
    WakeWaiters();
}

ReplyDeadline ReplyDeadlineFromNow() {
    return std::min(ReplyDeadlineLimit, std::chrono::steady_clock::now() +
                                            ReplyTimeout);
}

std::uint32_t ReceiveProgress() {
    return Received.writeIndex.load(std::memory_order_acquire);
}

int WaitReceivedAfter(std::uint32_t seen, ReplyDeadline deadline) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        // The write index moves with every store (it cannot come round to the same value while
        // the bytes are unread), and the receiver wakes sleepers on it.
        if (Received.writeIndex.load(std::memory_order_acquire) != seen ||
            Received.ended.load(std::memory_order_acquire))
            return 0;
        if (StopNow()) return -1;
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return 1;
        if (!SpinUntilChanged(seen)) SleepUntilChanged(seen, left);
    }
}

}  // namespace sendal
