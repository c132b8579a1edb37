// Sending. A short send count used to lose the rest of the text silently; a relay could then
// accept a truncated message and the spool file would be deleted. We send until all is taken.
#include "net/send.h"

#include <sys/socket.h>

#include <cerrno>

#include "base/globals.h"

namespace sendal {

std::int16_t SendData(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t sent = ::send(SocketHandle, data, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0) return -1;
        data += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return 0;
}

std::int16_t SendLine(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 2);
    line += text;
    line += "\r\n";
    return SendData(line);
}

}  // namespace sendal
