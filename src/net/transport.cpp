// The transport: what the relay's bytes become. Plain or through TLS, they go from the ring into
// one bounded text, and one routine frames its lines, looking at each byte once. Each stretch
// of the text remembers by which received count its bytes had arrived, so the SMTP client can
// tell a reply that was sent before the relay could have had its command.
#include "net/transport.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>

#include "base/console.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/receive.h"
#include "net/tls.h"

namespace sendal {
namespace {

// As much as the ring holds at most; of a longer line only the beginning is kept (a reply
// line has 512 bytes at most, so anything longer is garbage to be shown, not read).
constexpr std::size_t MaxTextBytes = ReceiveBufferSize - 1;
constexpr std::size_t KeptLineBytes = 4096;
constexpr std::size_t TakeBlock = 4096;
constexpr auto TlsRecheck = std::chrono::milliseconds(10);
using Clock = std::chrono::steady_clock;

// A stretch of the text as it was taken: bytes from the ring one for one (plain text), whose
// arrival is exact, or decrypted records, which had all arrived by `arrival`.
struct Stretch {
    std::uint64_t start = 0, end = 0;  // positions in the text stream
    std::uint64_t arrival = 0;         // plain: the received count of the first byte; TLS: of all
    bool exact = false;
};

struct ReplyText {
    std::string text;
    std::size_t scanned = 0;  // no CR LF ends before this offset
    std::uint64_t base = 0;   // the stream position of text[0]
    std::deque<Stretch> stretches;
    bool ended = false;       // no more bytes will come
    bool overlong = false;    // the line at the front is longer than the text may hold
    std::string head;         // its beginning
    std::uint64_t headArrival = 0;
    std::uint64_t generation = 0;
    std::uint64_t lineArrival = 0;
};
ReplyText Text;

// A fresh connection (or a test's fresh ring) starts a fresh text.
void Follow() {
    if (Text.generation == RingGeneration()) return;
    Text = ReplyText{};
    Text.generation = RingGeneration();
}

void Append(const char* bytes, std::size_t length, std::uint64_t arrival, bool exact) {
    std::uint64_t start = Text.base + Text.text.size();
    Text.text.append(bytes, length);
    Text.stretches.push_back({start, start + length, arrival, exact});
}

// Moves what has arrived into the text while there is room: 1 when it gave text, 0 when
// nothing is there now (or no room), -1 when nothing more will come.
int Fill() {
    if (Text.ended) return -1;
    if (Text.text.size() >= MaxTextBytes) return 0;
    char block[TakeBlock];
    std::size_t room = std::min(sizeof block, MaxTextBytes - Text.text.size());
    if (TlsActive()) {
        for (;;) {
            // A call may only take in what the session keeps for itself (a session ticket)
            // and have the next record already buffered: go on while it makes progress.
            std::uint64_t before = TakenSoFar();
            long got = TlsReceive(block, room);
            if (got > 0) return Append(block, static_cast<std::size_t>(got), TakenSoFar(), false), 1;
            if (got >= 0 || errno != EAGAIN) break;
            if (TakenSoFar() == before) return 0;
        }
    } else {
        std::uint64_t first = TakenSoFar() + 1;
        long got = TakeReceived(block, room);
        if (got > 0) return Append(block, static_cast<std::size_t>(got), first, true), 1;
        if (got < 0) return 0;
    }
    Text.ended = true;
    return -1;
}

// Offset of the LF of the first CR LF in the text, or npos.
std::size_t FindLineEnd() {
    for (std::size_t lf; (lf = Text.text.find('\n', Text.scanned)) != std::string::npos;) {
        if (lf > 0 && Text.text[lf - 1] == '\r') {
            Text.scanned = lf;  // found again at once, should the line not be taken now
            return lf;
        }
        Text.scanned = lf + 1;
    }
    Text.scanned = Text.text.size();
    return std::string::npos;
}

std::uint64_t ArrivalOf(std::uint64_t position) {
    for (const Stretch& stretch : Text.stretches)
        if (stretch.end > position)
            return stretch.exact ? stretch.arrival + (position - stretch.start) : stretch.arrival;
    return TakenSoFar();
}

// Takes `count` bytes off the front of the text.
void Drop(std::size_t count) {
    Text.text.erase(0, count);
    Text.scanned = 0;
    Text.base += count;
    while (!Text.stretches.empty() && Text.stretches.front().end <= Text.base)
        Text.stretches.pop_front();
}

// A line longer than the text may hold: its beginning is kept, the rest is passed over as it
// comes (all but a last CR, which may start the line end), so each byte is looked at once.
void PassOverLongLine() {
    if (!Text.overlong) {
        Text.overlong = true;
        Text.head.assign(Text.text, 0, KeptLineBytes);
        Text.headArrival = ArrivalOf(Text.base);
    }
    Drop(Text.text.size() - 1);
}

// The next line into `line`: 1; 0 when none is complete yet, -1 when none will come (`line`
// holding what there is).
int TakeLine(std::string& line) {
    Follow();
    for (;;) {
        std::size_t lf = FindLineEnd();
        if (lf != std::string::npos) {
            Text.lineArrival = Text.overlong ? Text.headArrival : ArrivalOf(Text.base);
            if (Text.overlong)
                line = std::move(Text.head);
            else
                line.assign(Text.text, 0, lf - 1);
            Text.overlong = false;
            Text.head.clear();
            Drop(lf + 1);
            return 1;
        }
        if (Text.text.size() >= MaxTextBytes) PassOverLongLine();
        int got = Fill();
        if (got > 0) continue;
        line = Text.overlong ? Text.head : Text.text;
        return got;
    }
}

}  // namespace

void AbsorbTlsRecords() {
    Follow();
    if (TlsActive())
        while (Fill() > 0) {
        }
}

std::uint64_t LastLineArrival() {
    return Text.lineArrival;
}

bool LineWaiting() {
    Follow();
    while (FindLineEnd() == std::string::npos) {
        if (Text.text.size() >= MaxTextBytes) PassOverLongLine();
        if (Fill() <= 0) return false;
    }
    return true;
}

std::int16_t WaitReply(std::string& line) {
    return WaitReply(line, ReplyDeadlineFromNow());
}

std::int16_t WaitReply(std::string& line, ReplyDeadline deadline) {
    const char* failure = "ERROR ON NETWORK (Timeout).";
    for (;;) {
        std::uint32_t seen = ReceiveProgress();
        int got = TakeLine(line);
        if (got > 0) return 0;
        if (StopNow()) return -1;
        if (got < 0) {  // the relay closed the connection (or reading failed): no line is left
            failure = "ERROR ON NETWORK (Connection closed).";
            break;
        }
        // With TLS, the session may hold a record it read ahead: look again after a slice.
        auto until = TlsActive() ? std::min(deadline, Clock::now() + TlsRecheck) : deadline;
        int waited = WaitReceivedAfter(seen, until);
        if (waited < 0) return -1;
        if (waited > 0 && Clock::now() >= deadline) break;
    }
    WriteStdoutLineEnd();  // the progress row ends first
    return static_cast<std::int16_t>(ReportFailure(failure, EX_TEMPFAIL));
}

long TransportSend(int socket, const char* data, std::size_t length) {
    if (!TlsActive()) return static_cast<long>(::send(socket, data, length, MSG_NOSIGNAL));
    // Between two pieces of the text, what the relay sent is read: a key update is answered
    // before the next record (never in the middle of a send GnuTLS must repeat).
    if (!TlsSendPending() && !ReceiveRingEmpty()) AbsorbTlsRecords();
    return TlsSend(data, length);
}

}  // namespace sendal
