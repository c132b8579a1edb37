// TLS on the relay connection (GnuTLS): the handshake with the certificate check, and the
// reads and writes that go through the session once it is on. The rest of the program sees
// only the transport routines; nothing else calls GnuTLS, and only the main thread does: the
// receiver thread moves the session's records from the socket into the receive ring, and
// every call into the session (handshake, decrypting, sending, closing) is the main thread's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/runoptions.h"

namespace sendal {

// How the relay's certificate is judged, as the run's options say; the transport reads nothing
// else of them.
struct TlsPolicy {
    bool implicit = false;    // TLS from the first byte of the connection
    bool verify = true;       // checked at all (-noverify turns it off)
    std::string fingerprint;  // the certificate's SHA-256 in hex, pinned instead of the CA check
    // SHA-256 digests (32 bytes each) of keys one of which the relay's chain must hold: with
    // the CA check, or alone when `verify` is off. They survive a renewal with the same key.
    std::vector<std::string> pins;
    std::string certFile, keyFile;  // a client certificate to present, PEM
    std::string caFile;             // a CA's PEM file trusted besides the system's
    bool underAccount = false;      // hints name the configuration's keys, not options
};

// The policy the run's options ask for.
inline TlsPolicy TlsPolicyOf(const RunOptions& options) {
    return {options.implicitTls, !options.noVerify, options.fingerprint, options.pins,
            options.certFile, options.keyFile, options.caFile, options.underAccount};
}

// Loads what the handshake will need from files (the trust store, the CA file, the client
// certificate and key), so that it can run where files can no longer be opened. StartTls does
// it when it has not been done. 0, or -1 after logging.
std::int32_t PrepareTls(const TlsPolicy& policy);

// The client's key holds the login to the relay: only its owner may read it, as with netrc.
// 0, or -1 after logging "Client key <path> may be read by others (chmod 600 <path>)!".
std::int32_t CheckClientKeyFile(const std::string& path);

// Does the TLS handshake for the relay `host` (a name, or an address literal) over `socket`,
// whose incoming bytes the receiver stores in the ring, within one deadline (the reply
// time-out) and ending at once on a stop signal. TLS 1.2 or later only. The certificate is
// checked against the system's trust store (and the policy's CA file), the host
// and the purpose of a TLS server, with keys of at least 2048 bits RSA; pinned by
// -fingerprint=, or not checked with -noverify. 0, or -1 after logging "Certificate not
// trusted: <reason>!" or "TLS handshake failed: <reason>!" at level 1 (nothing on a stop).
std::int32_t StartTls(int socket, const std::string& host, const TlsPolicy& policy);

// Whether the connection runs through TLS.
bool TlsActive();

// Sends the close_notify (bounded by the socket's send time-out), before the socket is shut.
void SayTlsGoodbye();

// Forgets the session; the receiver must have ended.
void EndTls();

// Decrypted bytes from the records in the receive ring: a count; 0 when the session or the
// connection ended; -1 with errno EAGAIN when no whole record is there yet, else another errno.
long TlsReceive(char* buffer, std::size_t length);

// Sends through the session: a count, or -1 with errno (EINTR, EAGAIN: call again with the
// same bytes; EPIPE or ECONNRESET for a closed connection, EIO for a TLS error).
long TlsSend(const char* data, std::size_t length);

// Whether a send must be repeated before anything else may go through the session.
bool TlsSendPending();

}  // namespace sendal
