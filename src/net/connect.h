// The one TCP connection of a run: resolve the relay, connect, start the receiver thread.
// Knows nothing of SMTP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/tls.h"

namespace sendal {

// Looks up the addresses of `hosts` now, while names can still be looked up (before the run
// confines itself), for the connections to them later.
void LookUpRelays(const std::vector<std::string>& hosts);

// Connects to `host` (a dotted address, an IPv6 literal with or without brackets, or a name:
// its IPv4 addresses first, then its IPv6 ones, each connect given up after 20 seconds) on the
// low 16 bits of `port` and starts the receiver. 0 when connected; -1 after reporting
// "GetHostByName failed!", "Invalid Socket!" or "Connection failure!"
// at level 1. After a failed connect, SocketHandle still holds the socket for the close-down.
// A send that the relay does not take for the reply time-out fails from then on.
// Without `startTransport` only the TCP connection is made: nothing the relay sends is read
// until StartTransport, so the run can confine itself first.
std::int32_t ConnectRelay(const std::string& host, const std::int32_t& port,
                          const TlsPolicy& tls = TlsPolicy{}, bool startTransport = true);

// Starts the receiver on the connection and, for TLS from the first byte, the handshake.
// 0, or -1 after logging.
std::int32_t StartTransport(const std::string& host, const TlsPolicy& tls);

// After the relay's go-ahead to STARTTLS: the TLS handshake (see StartTls) over the same
// receiver, which then carries the session's records. 0, or -1 after logging.
std::int32_t SwitchToTls(const std::string& host, const TlsPolicy& tls);

// Shuts the connection down, so a receiver blocked in recv wakes and ends, waits for it, ends
// TLS, then closes the socket.
void CloseRelaySocket();

}  // namespace sendal
