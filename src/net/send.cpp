// Sending. Every byte of a piece must reach the socket: a relay could otherwise accept a
// truncated message and the spool file would be deleted.
#include "net/send.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "base/fdio.h"
#include "base/globals.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/receive.h"
#include "net/transport.h"

namespace sendal {
namespace {

// Bytes in the socket's send queue, not yet acknowledged by the relay; -1 when unknown.
long QueuedBytes() {
    int queued = 0;
    return ::ioctl(SocketHandle, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// Whether the relay still takes our bytes: the send queue shrank since the last look.
bool RelayTookBytes(long& lastQueued) {
    long queued = QueuedBytes();
    bool took = queued >= 0 && lastQueued >= 0 && queued < lastQueued;
    lastQueued = queued;
    return took;
}

// What the last SendData handed to the kernel: each send's end in the text and the received
// count read just before that send.
std::vector<std::pair<std::size_t, std::uint64_t>> SendJournal;

}  // namespace

std::uint64_t ReceivedMarkAt(std::size_t end) {
    for (const auto& [sentEnd, mark] : SendJournal)
        if (sentEnd >= end) return mark;
    return NeverSent;
}

std::int16_t SendData(const std::string& text) {
    using Clock = std::chrono::steady_clock;
    int failure = 0;
    // The socket gives up on a send after a slice of a second (see the connection); the send
    // fails only when the relay took no byte for the reply time-out, so a relay that reads
    // slowly but steadily is still served whole, and a stop is seen within a slice.
    const auto patience = ReplyDeadlineFromNow() - Clock::now();
    auto lastProgress = Clock::now();
    long lastQueued = QueuedBytes();
    SendJournal.clear();
    int result = WriteEvery(text, [&](const char* data, std::size_t length) -> long {
        for (;;) {
            if (StopNow()) {
                failure = errno = ECANCELED;
                return -1;
            }
            std::uint64_t mark = ReceivedSoFar();
            long sent = TransportSend(SocketHandle, data, length);
            failure = sent < 0 ? errno : 0;
            if (sent > 0) {
                lastProgress = Clock::now();
                SendJournal.emplace_back(static_cast<std::size_t>(data - text.data()) + sent, mark);
            }
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return sent;
            if (RelayTookBytes(lastQueued)) lastProgress = Clock::now();
            if (Clock::now() >= lastProgress + patience) {
                errno = EAGAIN;
                return -1;
            }
        }
    });
    if (result == 0) return 0;
    if (StopNow()) return -1;  // the stop is the only word on it
    if (failure == EPIPE || failure == ECONNRESET) return SendBroken;
    bool late = failure == EAGAIN || failure == EWOULDBLOCK;
    return ReportFailure(late ? "ERROR ON NETWORK (Timeout)." : "ERROR ON NETWORK (Send failed).",
                         EX_TEMPFAIL);
}

std::int16_t SendLine(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 2);
    line += text;
    line += "\r\n";
    std::int16_t sent = SendData(line);
    // A command may hold a secret (AUTH): this copy goes now, whatever happened.
    ::explicit_bzero(line.data(), line.size());
    return sent;
}

}  // namespace sendal
