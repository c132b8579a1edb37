// TLS through GnuTLS. One thread sends while the receiver thread reads, which GnuTLS allows
// for one session; the handshake and the end of the session happen while no receiver runs.
#include "net/tls.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "base/environment.h"
#include "base/options.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/receive.h"

namespace sendal {
namespace {

constexpr std::size_t Sha256Length = 32;

gnutls_certificate_credentials_t Credentials = nullptr;
gnutls_session_t Session = nullptr;
std::string PeerName;  // GnuTLS keeps a pointer to it for the session's lifetime
std::atomic<bool> TlsOn{false};

std::int32_t Fail(const std::string& message, int outcome) {
    NoteOutcome(outcome);
    LogMessage(message + "!", -1, LevelError);
    return -1;
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The trust store: the system's, and the extra CA file; an empty one trusts nothing.
int LoadTrust() {
    if (gnutls_certificate_allocate_credentials(&Credentials) < 0) return -1;
    gnutls_certificate_set_x509_system_trust(Credentials);
    std::string caFile = GetEnvironment("SENDAL_CAFILE");
    if (!caFile.empty() &&
        gnutls_certificate_set_x509_trust_file(Credentials, caFile.c_str(), GNUTLS_X509_FMT_PEM) < 0)
        return Fail("Certificate not trusted: cannot read " + caFile, EX_CONFIG);
    return 0;
}

int NewSession(int socket, const std::string& host) {
    PeerName = host;
    if (gnutls_init(&Session, GNUTLS_CLIENT) < 0 || gnutls_set_default_priority(Session) < 0 ||
        gnutls_credentials_set(Session, GNUTLS_CRD_CERTIFICATE, Credentials) < 0)
        return Fail("TLS handshake failed: no TLS session", EX_SOFTWARE);
    if (!IsAddressLiteral(PeerName))
        gnutls_server_name_set(Session, GNUTLS_NAME_DNS, PeerName.data(), PeerName.size());
    // The CA check with the name, unless the certificate is pinned or not to be checked.
    if (!Options.noVerify && Options.fingerprint.empty())
        gnutls_session_set_verify_cert(Session, PeerName.c_str(), 0);
    gnutls_transport_set_int(Session, socket);
    gnutls_handshake_set_timeout(Session, static_cast<unsigned>(ReplyPollCount) *
                                              static_cast<unsigned>(ReplyPollMilliseconds));
    return 0;
}

std::string WithoutFinalStop(std::string text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text;
}

int HandshakeFailed(int error) {
    if (error == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        gnutls_datum_t reason{};
        unsigned status = gnutls_session_get_verify_cert_status(Session);
        gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &reason, 0);
        std::string text(reinterpret_cast<char*>(reason.data), reason.size);
        gnutls_free(reason.data);
        return Fail("Certificate not trusted: " + WithoutFinalStop(text), EX_CONFIG);
    }
    // A relay that speaks plain SMTP on this port sends its greeting where TLS expects a record.
    bool plainPeer = error == GNUTLS_E_UNEXPECTED_PACKET_LENGTH ||
                     error == GNUTLS_E_UNSUPPORTED_VERSION_PACKET ||
                     error == GNUTLS_E_UNEXPECTED_PACKET || error == GNUTLS_E_RECORD_OVERFLOW;
    std::string hint = plainPeer ? " (port 587 usually wants -starttls, port 465 -tls)" : "";
    return Fail("TLS handshake failed: " + WithoutFinalStop(gnutls_strerror(error)) + hint,
                plainPeer ? EX_CONFIG : EX_TEMPFAIL);
}

std::string Hex(const unsigned char* bytes, std::size_t length) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        hex += Digits[bytes[i] >> 4];
        hex += Digits[bytes[i] & 15];
    }
    return hex;
}

// The pinned certificate instead of the CA check.
int CheckFingerprint() {
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(Session, &count);
    unsigned char digest[Sha256Length];
    std::size_t size = sizeof digest;
    if (!chain || count == 0 || gnutls_fingerprint(GNUTLS_DIG_SHA256, &chain[0], digest, &size) < 0)
        return Fail("Certificate not trusted: no certificate", EX_CONFIG);
    std::string seen = Hex(digest, size);
    if (seen == Options.fingerprint) return 0;
    return Fail("Certificate not trusted: its fingerprint is " + seen, EX_CONFIG);
}

}  // namespace

std::int32_t StartTls(int socket, const std::string& host) {
    if (!Credentials && LoadTrust() != 0) return -1;
    if (NewSession(socket, host) != 0) return -1;
    int result;
    do {
        result = gnutls_handshake(Session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0 && StopSignal() == 0);
    if (StopSignal() != 0) return -1;
    if (result < 0) return HandshakeFailed(result);
    if (!Options.noVerify && !Options.fingerprint.empty() && CheckFingerprint() != 0) return -1;
    TlsOn.store(true);
    return 0;
}

bool TlsActive() {
    return TlsOn.load();
}

void EndTls() {
    TlsOn.store(false);
    if (Session) gnutls_deinit(Session);
    Session = nullptr;
}

long TransportReceive(int socket, char* buffer, std::size_t length) {
    if (!TlsOn.load(std::memory_order_acquire))
        return static_cast<long>(::recv(socket, buffer, length, 0));
    ssize_t got = gnutls_record_recv(Session, buffer, length);
    if (got >= 0) return static_cast<long>(got);
    if (got == GNUTLS_E_INTERRUPTED || got == GNUTLS_E_AGAIN) {
        errno = EINTR;
        return -1;
    }
    if (got == GNUTLS_E_PREMATURE_TERMINATION) return 0;  // hung up without a TLS goodbye
    errno = EIO;
    return -1;
}

long TransportSend(int socket, const char* data, std::size_t length) {
    if (!TlsOn.load(std::memory_order_acquire))
        return static_cast<long>(::send(socket, data, length, MSG_NOSIGNAL));
    ssize_t sent = gnutls_record_send(Session, data, length);
    if (sent >= 0) return static_cast<long>(sent);
    errno = sent == GNUTLS_E_INTERRUPTED ? EINTR
            : sent == GNUTLS_E_AGAIN     ? EAGAIN
            : sent == GNUTLS_E_PUSH_ERROR && (errno == EPIPE || errno == ECONNRESET) ? errno
                                         : EIO;
    return -1;
}

}  // namespace sendal
