// Sending. Every byte of a piece must reach the socket: a relay could otherwise accept a
// truncated message and the spool file would be deleted.
#include "net/send.h"

#include <cerrno>

#include "base/fdio.h"
#include "base/globals.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/tls.h"

namespace sendal {

std::int16_t SendData(const std::string& text) {
    int failure = 0;
    int result = WriteEvery(text, [&failure](const char* data, std::size_t length) -> long {
        if (StopSignal() != 0) {
            failure = errno = ECANCELED;
            return -1;
        }
        long sent = TransportSend(SocketHandle, data, length);
        failure = sent < 0 ? errno : 0;
        return sent;
    });
    if (result == 0) return 0;
    if (failure == EPIPE || failure == ECONNRESET) return SendBroken;
    NoteOutcome(EX_TEMPFAIL);
    if (failure == EAGAIN || failure == EWOULDBLOCK)
        LogMessage("ERROR ON NETWORK (Timeout).", -1, LevelError);
    else if (failure != ECANCELED)
        LogMessage("ERROR ON NETWORK (Send failed).", -1, LevelError);
    return -1;
}

std::int16_t SendLine(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 2);
    line += text;
    line += "\r\n";
    return SendData(line);
}

}  // namespace sendal
