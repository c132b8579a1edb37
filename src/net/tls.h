// TLS on the relay connection (GnuTLS): the handshake with the certificate check, and the
// reads and writes that go through the session once it is on. The rest of the program sees
// only the transport routines; nothing else calls GnuTLS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sendal {

// Does the TLS handshake on `socket` for the relay `host` (a name, or an address literal),
// bounded by the reply time-out. The certificate is checked against the system's trust store
// (and the PEM file named by SENDAL_CAFILE) and the host, pinned by -fingerprint=, or not
// checked with -noverify. 0, or -1 after logging "Certificate not trusted: <reason>!" or
// "TLS handshake failed: <reason>!" at level 1.
std::int32_t StartTls(int socket, const std::string& host);

// Whether the connection runs through TLS.
bool TlsActive();

// Forgets the session; the receiver must have ended.
void EndTls();

// recv and send on the relay connection, through TLS once it is on, with their contracts
// (a count, 0 for the end of the connection, or -1 with errno: EINTR, EAGAIN for the send
// time-out, EIO for a TLS error).
long TransportReceive(int socket, char* buffer, std::size_t length);
long TransportSend(int socket, const char* data, std::size_t length);

}  // namespace sendal
