// The sending side: lines and pieces of message text to the relay.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// What SendData gives when the relay closed or reset the connection: nothing is logged, since
// the relay may have said why in a reply that still waits to be read.
constexpr std::int16_t SendBroken = -2;

// Sends every byte of `text` on SocketHandle, going on after short counts. 0; SendBroken (not
// a SIGPIPE); or -1 after logging at level 1 "ERROR ON NETWORK (Timeout)." when the socket
// took no byte for the send time-out, else "ERROR ON NETWORK (Send failed)."; -1 without a
// word when a stop signal came.
std::int16_t SendData(const std::string& text);

// The mark of a command that ended at byte offset `end` of the last SendData's text: the
// received count (ReceivedSoFar) just before its last byte went to the kernel. Any reply whose
// first byte had arrived by then was sent before the relay could have had the command.
// NeverSent when that byte never went out.
constexpr std::uint64_t NeverSent = ~std::uint64_t{0};
std::uint64_t ReceivedMarkAt(std::size_t end);

// Sends `text` followed by CR LF in one SendData call (the copy with the line end is wiped).
std::int16_t SendLine(const std::string& text);

}  // namespace sendal
