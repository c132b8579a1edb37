// The sending side: lines and pieces of message text to the relay.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// Sends every byte of `text` on SocketHandle, going on after short counts. A relay that reset
// the connection gives -1, not a SIGPIPE. 0; or -1 after logging at level 1 "ERROR ON NETWORK
// (Timeout)." when the socket took no byte for the send time-out, else "ERROR ON NETWORK (Send
// failed)."; -1 without a word when a stop signal came.
std::int16_t SendData(const std::string& text);

// Sends `text` followed by CR LF in one SendData call.
std::int16_t SendLine(const std::string& text);

}  // namespace sendal
