// The sending side: lines and pieces of message text to the relay.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// Sends every byte of `text` on SocketHandle, going on after short counts. A relay that reset
// the connection gives -1, not a SIGPIPE. 0, or -1 on a socket error; nothing is reported.
std::int16_t SendData(const std::string& text);

// Sends `text` followed by CR LF in one SendData call.
std::int16_t SendLine(const std::string& text);

}  // namespace sendal
