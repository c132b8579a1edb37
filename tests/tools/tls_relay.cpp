// A relay for the TLS tests, on GnuTLS: TLS from the first byte (TLS 1.3), a minimal SMTP
// dialogue for any number of messages, a key update asked of the client every KEYUPDATE_BYTES
// of text, and at the end whether the client closed with a close_notify. For each message it
// prints "message <bytes> <sha256 hex> <key updates>"; then "close_notify yes" or "no".
// Key updates come at most every 150 ms: GnuTLS takes more than eight a second for a flood.
// With a pause, the relay reads slowly (that many milliseconds per MB), so that updates fall
// in the middle of a shorter message too.
//   tls_relay <port-file> <cert.pem> <key.pem> <keyupdate bytes, 0 for none> [pause ms]
#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

gnutls_session_t Session;
std::string Pending;

bool Say(const std::string& line) {
    std::string out = line + "\r\n";
    return gnutls_record_send(Session, out.data(), out.size()) == static_cast<ssize_t>(out.size());
}

// The next line of the dialogue; false at the end of the session.
bool ReadLine(std::string& line) {
    for (;;) {
        std::size_t end = Pending.find("\r\n");
        if (end != std::string::npos) {
            line = Pending.substr(0, end);
            Pending.erase(0, end + 2);
            return true;
        }
        char block[65536];
        ssize_t got = gnutls_record_recv(Session, block, sizeof block);
        if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) continue;
        if (got <= 0) {
            if (got < 0) std::fprintf(stderr, "tls_relay: %s\n", gnutls_strerror(static_cast<int>(got)));
            return false;
        }
        Pending.append(block, static_cast<std::size_t>(got));
    }
}

std::string Hex(const unsigned char* bytes, std::size_t length) {
    std::string hex;
    char two[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

long PauseMilliseconds = 0;

// The text up to the end-of-data line, hashed; a key update every `every` bytes.
bool ReadText(long long every) {
    using Clock = std::chrono::steady_clock;
    gnutls_hash_hd_t hash;
    gnutls_hash_init(&hash, GNUTLS_DIG_SHA256);
    long long total = 0, sinceUpdate = 0, sincePause = 0;
    int updates = 0;
    auto lastUpdate = Clock::now() - std::chrono::seconds(1);
    std::string line;
    while (ReadLine(line)) {
        if (line == ".") {
            unsigned char digest[32];
            gnutls_hash_deinit(hash, digest);
            std::printf("message %lld %s %d\n", total, Hex(digest, 32).c_str(), updates);
            std::fflush(stdout);
            return Say("250 ok");
        }
        line += "\r\n";
        gnutls_hash(hash, line.data(), line.size());
        total += static_cast<long long>(line.size());
        sinceUpdate += static_cast<long long>(line.size());
        sincePause += static_cast<long long>(line.size());
        if (PauseMilliseconds > 0 && sincePause >= 1000000) {
            sincePause = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(PauseMilliseconds));
        }
        if (every > 0 && sinceUpdate >= every && Clock::now() - lastUpdate > std::chrono::milliseconds(150)) {
            sinceUpdate = 0;
            lastUpdate = Clock::now();
            ++updates;
            if (int failed = gnutls_session_key_update(Session, GNUTLS_KU_PEER); failed < 0) {
                std::fprintf(stderr, "tls_relay: key update: %s\n", gnutls_strerror(failed));
                return false;
            }
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) return 2;
    long long every = std::atoll(argv[4]);
    if (argc == 6) PauseMilliseconds = std::atol(argv[5]);
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 1;
    if (FILE* portFile = std::fopen(argv[1], "w")) {
        std::fprintf(portFile, "%d\n", ntohs(address.sin_port));
        std::fclose(portFile);
    }
    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    if (gnutls_certificate_set_x509_key_file(credentials, argv[2], argv[3], GNUTLS_X509_FMT_PEM) < 0)
        return 1;
    int client = ::accept(listener, nullptr, nullptr);
    gnutls_init(&Session, GNUTLS_SERVER);
    gnutls_priority_set_direct(Session, "NORMAL:-VERS-ALL:+VERS-TLS1.3", nullptr);
    gnutls_credentials_set(Session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_transport_set_int(Session, client);
    int result;
    do {
        result = gnutls_handshake(Session);
    } while (result < 0 && gnutls_error_is_fatal(result) == 0);
    if (result < 0 || !Say("220 tls relay")) return 1;
    std::string line;
    bool quit = false;
    while (!quit && ReadLine(line)) {
        std::string verb = line.substr(0, 4);
        for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (verb == "DATA") {
            if (!Say("354 go ahead") || !ReadText(every)) return 1;
        } else if (verb == "QUIT") {
            Say("221 bye");
            quit = true;
        } else if (!Say(verb == "EHLO" ? "250 tls relay" : "250 ok")) {
            return 1;
        }
    }
    // What the client does after QUIT: a close_notify, or a bare hang-up.
    char block[256];
    ssize_t got;
    do {
        got = gnutls_record_recv(Session, block, sizeof block);
    } while (got > 0 || got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED);
    std::printf("close_notify %s\n", got == 0 ? "yes" : "no");
    return 0;
}
