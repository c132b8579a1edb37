// TLS through GnuTLS, on the main thread only. The session reads its records from the receive
// ring (the receiver thread stores what the socket brings, as in plain text) and writes to the
// socket itself; so no two threads ever call into one session, and a key update the relay sends
// while we send is read and answered between two pieces of the text.
#include "net/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/fdio.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/receive.h"

namespace sendal {
namespace {

constexpr std::size_t Sha256Length = 32;
constexpr std::size_t MaxPemBytes = 1 << 20;  // certificates, keys and CA bundles are far smaller
// TLS 1.2 and 1.3 only: what remains of the older versions is broken.
// The medium verification profile: keys of at least 2048 bits RSA (256 bits ECC).
constexpr const char* Priorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:%PROFILE_MEDIUM";

// The trust store is loaded once; the rest belongs to the session with one relay.
gnutls_certificate_credentials_t Credentials = nullptr;

struct TlsSession {
    gnutls_session_t session = nullptr;
    TlsPolicy policy;
    std::string peerName;  // GnuTLS keeps a pointer to it for the session's lifetime
    std::atomic<bool> on{false};
    // While the handshake runs, a read waits for the receiver (bounded by the deadline and a
    // stop); afterwards it takes what is there and the transport does the waiting.
    bool handshakeRunning = false;
    ReplyDeadline handshakeDeadline;
    bool handshakeTimedOut = false;
    int lastPushError = 0;     // why the socket did not take the last record
    bool sendPending = false;  // a record_send must be repeated before anything else is sent
};
TlsSession Tls;

std::int32_t Fail(const std::string& reason, int outcome) {
    return ReportFailure(reason + "!", outcome);
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

ssize_t PullFromRing(gnutls_transport_ptr_t, void* buffer, size_t length) {
    for (;;) {
        long got = TakeReceived(static_cast<char*>(buffer), length);
        if (got >= 0) return got;
        if (!Tls.handshakeRunning) {
            gnutls_transport_set_errno(Tls.session, EAGAIN);
            return -1;
        }
        int waited = WaitReceived(Tls.handshakeDeadline);
        if (waited == 0) continue;
        Tls.handshakeTimedOut = waited > 0;
        gnutls_transport_set_errno(Tls.session, waited > 0 ? ETIMEDOUT : EINTR);
        return -1;
    }
}

ssize_t PushToSocket(gnutls_transport_ptr_t socket, const void* data, size_t length) {
    ssize_t sent = ::send(static_cast<int>(reinterpret_cast<std::intptr_t>(socket)), data, length,
                          MSG_NOSIGNAL);
    Tls.lastPushError = sent < 0 ? errno : 0;
    if (sent < 0) gnutls_transport_set_errno(Tls.session, errno);
    return sent;
}

std::string WithoutFinalStop(std::string text) {
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text;
}

// A certificate, key or CA file: a regular file of at most 1 MiB (not a device or a pipe that
// would never end), read whole at once. 0, or -1 with `why`.
int ReadPemFile(const std::string& path, std::string& text, std::string& why) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) why = std::strerror(errno);
    else if (!S_ISREG(info.st_mode)) why = "not a regular file";
    else if (static_cast<std::size_t>(info.st_size) > MaxPemBytes) why = "larger than 1 MiB";
    else if (ReadFdUpTo(fd.Get(), text, MaxPemBytes + 1) != 0 || text.size() > MaxPemBytes) why = "cannot be read";
    return why.empty() ? 0 : -1;
}

gnutls_datum_t Datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), static_cast<unsigned int>(text.size())};
}

int LoadClientCertificate() {
    const std::string& cert = Tls.policy.certFile;
    const std::string& key = Tls.policy.keyFile.empty() ? cert : Tls.policy.keyFile;
    if (cert.empty()) return 0;
    std::string certText, keyText, why;
    if (ReadPemFile(cert, certText, why) != 0) return Fail("Client certificate " + cert + ": " + why, EX_CONFIG);
    if (ReadPemFile(key, keyText, why) != 0) return Fail("Client key " + key + ": " + why, EX_CONFIG);
    if (CheckClientKeyFile(key) != 0) return -1;
    gnutls_datum_t certData = Datum(certText), keyData = Datum(keyText);
    int loaded = gnutls_certificate_set_x509_key_mem(Credentials, &certData, &keyData, GNUTLS_X509_FMT_PEM);
    ::explicit_bzero(keyText.data(), keyText.size());
    if (loaded < 0)
        return Fail("Client certificate " + cert + ": " + WithoutFinalStop(gnutls_strerror(loaded)), EX_CONFIG);
    return 0;
}

// The trust store: the system's, and the extra CA file; an empty one trusts nothing.
int LoadTrust() {
    if (gnutls_certificate_allocate_credentials(&Credentials) < 0) return -1;
    // Without the check (-noverify, or a pin alone) the trust store would only cost memory.
    if (Tls.policy.verify && Tls.policy.fingerprint.empty())
        gnutls_certificate_set_x509_system_trust(Credentials);
    std::string caFile = Tls.policy.caFile, caText, why;
    if (!caFile.empty()) {
        if (ReadPemFile(caFile, caText, why) != 0)
            return Fail("Certificate not trusted: cannot read " + caFile + " (" + why + ")", EX_CONFIG);
        gnutls_datum_t caData = Datum(caText);
        if (gnutls_certificate_set_x509_trust_mem(Credentials, &caData, GNUTLS_X509_FMT_PEM) < 0)
            return Fail("Certificate not trusted: cannot read " + caFile, EX_CONFIG);
    }
    return LoadClientCertificate();
}

int NewSession(int socket, const std::string& host) {
    Tls.peerName = host;
    if (gnutls_init(&Tls.session, GNUTLS_CLIENT) < 0 ||
        gnutls_priority_set_direct(Tls.session, Priorities, nullptr) < 0 ||
        gnutls_credentials_set(Tls.session, GNUTLS_CRD_CERTIFICATE, Credentials) < 0)
        return Fail("TLS handshake failed: no TLS session", EX_SOFTWARE);
    if (!IsAddressLiteral(Tls.peerName))
        gnutls_server_name_set(Tls.session, GNUTLS_NAME_DNS, Tls.peerName.data(), Tls.peerName.size());
    // The CA check with the name and the purpose, unless pinned or not to be checked.
    static gnutls_typed_vdata_st checks[2];
    checks[0] = {GNUTLS_DT_DNS_HOSTNAME, reinterpret_cast<unsigned char*>(Tls.peerName.data()), 0};
    checks[1] = {GNUTLS_DT_KEY_PURPOSE_OID,
                 reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER)), 0};
    if (Tls.policy.verify && Tls.policy.fingerprint.empty())
        gnutls_session_set_verify_cert2(Tls.session, checks, 2, 0);
    gnutls_transport_set_ptr(Tls.session, reinterpret_cast<gnutls_transport_ptr_t>(static_cast<std::intptr_t>(socket)));
    gnutls_transport_set_pull_function(Tls.session, PullFromRing);
    gnutls_transport_set_push_function(Tls.session, PushToSocket);
    return 0;
}

int HandshakeFailed(int error) {
    if (error == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        gnutls_datum_t reason{};
        unsigned status = gnutls_session_get_verify_cert_status(Tls.session);
        gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &reason, 0);
        std::string text(reinterpret_cast<char*>(reason.data), reason.size);
        gnutls_free(reason.data);
        // A relay with a certificate of its own CA, or a self-signed one: say what serves.
        if (status & GNUTLS_CERT_SIGNER_NOT_FOUND)
            text = WithoutFinalStop(text) + (Tls.policy.underAccount
                   ? " (name its CA's PEM file in ca_file, or pin the relay with fingerprint)"
                   : " (name its CA's PEM file in SENDAL_CAFILE, or pin the relay with -fingerprint=)");
        return Fail("Certificate not trusted: " + WithoutFinalStop(text), EX_CONFIG);
    }
    if (Tls.handshakeTimedOut) return Fail("TLS handshake failed: the relay took too long", EX_TEMPFAIL);
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
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(Tls.session, &count);
    unsigned char digest[Sha256Length];
    std::size_t size = sizeof digest;
    if (!chain || count == 0 || gnutls_fingerprint(GNUTLS_DIG_SHA256, &chain[0], digest, &size) < 0)
        return Fail("Certificate not trusted: no certificate", EX_CONFIG);
    std::string seen = Hex(digest, size);
    if (seen == Tls.policy.fingerprint) return 0;
    return Fail("Certificate not trusted: its fingerprint is " + seen, EX_CONFIG);
}

// The SHA-256 of a certificate's SubjectPublicKeyInfo; empty when it cannot be read.
std::string KeyDigest(const gnutls_datum_t& certificate) {
    gnutls_x509_crt_t crt = nullptr;
    gnutls_pubkey_t key = nullptr;
    std::string digest;
    gnutls_datum_t der{};
    if (gnutls_x509_crt_init(&crt) >= 0 && gnutls_pubkey_init(&key) >= 0 &&
        gnutls_x509_crt_import(crt, &certificate, GNUTLS_X509_FMT_DER) >= 0 &&
        gnutls_pubkey_import_x509(key, crt, 0) >= 0 &&
        gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &der) >= 0) {
        unsigned char hash[Sha256Length];
        if (gnutls_hash_fast(GNUTLS_DIG_SHA256, der.data, der.size, hash) >= 0)
            digest.assign(reinterpret_cast<char*>(hash), sizeof hash);
        gnutls_free(der.data);
    }
    if (key) gnutls_pubkey_deinit(key);
    if (crt) gnutls_x509_crt_deinit(crt);
    return digest;
}

std::string Base64(const std::string& bytes) {
    gnutls_datum_t in{reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data())),
                      static_cast<unsigned>(bytes.size())};
    gnutls_datum_t out{};
    if (gnutls_base64_encode2(&in, &out) < 0) return {};
    std::string text(reinterpret_cast<char*>(out.data), out.size);
    gnutls_free(out.data);
    return text;
}

// One key of the relay's chain must be pinned; the leaf's pin is named when none is, for the
// user who has just met a new key.
int CheckPins() {
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(Tls.session, &count);
    if (!chain || count == 0) return Fail("Key not pinned: the relay sent no certificate", EX_CONFIG);
    for (unsigned i = 0; i < count; ++i) {
        std::string digest = KeyDigest(chain[i]);
        for (const std::string& pin : Tls.policy.pins)
            if (!digest.empty() && digest == pin) return 0;
    }
    return Fail("Key not pinned: the relay's key is sha256:" + Base64(KeyDigest(chain[0])), EX_CONFIG);
}

// A CA's certificate is no server's, whatever names it carries.
int CheckLeafIsNoCa() {
    unsigned count = 0;
    const gnutls_datum_t* chain = gnutls_certificate_get_peers(Tls.session, &count);
    gnutls_x509_crt_t leaf;
    if (!chain || count == 0 || gnutls_x509_crt_init(&leaf) < 0) return 0;
    unsigned critical = 0, ca = 0;
    int pathLength = 0;
    bool isCa = gnutls_x509_crt_import(leaf, &chain[0], GNUTLS_X509_FMT_DER) >= 0 &&
                gnutls_x509_crt_get_basic_constraints(leaf, &critical, &ca, &pathLength) >= 0 && ca;
    gnutls_x509_crt_deinit(leaf);
    return isCa ? Fail("Certificate not trusted: it is a CA's certificate, not a server's", EX_CONFIG) : 0;
}

}  // namespace

std::int32_t CheckClientKeyFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return Fail("Client key " + path + ": " + std::strerror(errno), EX_CONFIG);
    if (!S_ISREG(info.st_mode)) return Fail("Client key " + path + ": not a regular file", EX_CONFIG);
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return Fail("Client key " + path + " may be read by others (chmod 600 " + path + ")", EX_CONFIG);
    return 0;
}

std::int32_t PrepareTls(const TlsPolicy& policy) {
    Tls.policy = policy;
    return Credentials || LoadTrust() == 0 ? 0 : -1;
}

std::int32_t StartTls(int socket, const std::string& host, const TlsPolicy& policy) {
    if (PrepareTls(policy) != 0) return -1;
    if (NewSession(socket, host) != 0) return -1;
    Tls.sendPending = false;
    Tls.handshakeRunning = true;
    Tls.handshakeTimedOut = false;
    Tls.handshakeDeadline = ReplyDeadlineFromNow();
    int result;
    do {
        result = gnutls_handshake(Tls.session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0 && !StopNow() &&
             !Tls.handshakeTimedOut);
    Tls.handshakeRunning = false;
    if (StopNow()) return -1;
    if (result < 0) return HandshakeFailed(Tls.handshakeTimedOut ? GNUTLS_E_TIMEDOUT : result);
    if (Tls.policy.verify && !Tls.policy.fingerprint.empty() && CheckFingerprint() != 0) return -1;
    if (Tls.policy.verify && Tls.policy.fingerprint.empty() && CheckLeafIsNoCa() != 0) return -1;
    if (!Tls.policy.pins.empty() && CheckPins() != 0) return -1;
    Tls.on.store(true);
    return 0;
}

bool TlsActive() {
    return Tls.on.load();
}

void SayTlsGoodbye() {
    if (Tls.session && Tls.on.load()) gnutls_bye(Tls.session, GNUTLS_SHUT_WR);  // the close_notify
}

void EndTls() {
    Tls.on.store(false);
    if (Tls.session) gnutls_deinit(Tls.session);
    Tls.session = nullptr;
}

long TlsReceive(char* buffer, std::size_t length) {
    ssize_t got = gnutls_record_recv(Tls.session, buffer, length);
    if (got >= 0) return static_cast<long>(got);
    if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED || got == GNUTLS_E_REHANDSHAKE) {
        errno = EAGAIN;
        return -1;
    }
    if (got == GNUTLS_E_PREMATURE_TERMINATION) return 0;  // hung up without a TLS goodbye
    errno = EIO;
    return -1;
}

bool TlsSendPending() {
    return Tls.sendPending;
}

long TlsSend(const char* data, std::size_t length) {
    ssize_t sent = gnutls_record_send(Tls.session, data, length);
    Tls.sendPending = sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED;
    if (sent >= 0) return static_cast<long>(sent);
    bool closed = Tls.lastPushError == EPIPE || Tls.lastPushError == ECONNRESET;
    errno = sent == GNUTLS_E_INTERRUPTED ? EINTR
            : sent == GNUTLS_E_AGAIN     ? EAGAIN
            : closed                     ? Tls.lastPushError
                                         : EIO;
    return -1;
}

}  // namespace sendal
