// Sending. Every byte of a piece must reach the socket: a relay could otherwise accept a
// truncated message and the spool file would be deleted.
#include "net/send.h"

#include <sys/socket.h>

#include "base/fdio.h"
#include "base/globals.h"

namespace sendal {

std::int16_t SendData(const std::string& text) {
    return static_cast<std::int16_t>(WriteEvery(text, [](const char* data, std::size_t length) {
        return static_cast<long>(::send(SocketHandle, data, length, MSG_NOSIGNAL));
    }));
}

std::int16_t SendLine(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 2);
    line += text;
    line += "\r\n";
    return SendData(line);
}

}  // namespace sendal
