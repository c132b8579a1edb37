// Connection set-up and close-down.
#include "net/connect.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "base/fdio.h"
#include "base/globals.h"
#include "base/outcome.h"
#include "base/stop.h"
#include "log/log.h"
#include "net/receive.h"
#include "net/tls.h"

namespace sendal {
namespace {

constexpr std::size_t HostBufferSize = 254;  // a DNS name's 253 characters and the zero
// A relay address that never answers is given up after this long, and the next one tried.
constexpr int ConnectTimeoutSeconds = 20;
constexpr int SendSliceMilliseconds = 1000;

struct RelayAddress {
    sockaddr_storage address;
    socklen_t length;
};

void AddAddress(std::vector<RelayAddress>& found, const void* address, socklen_t length) {
    found.push_back({});
    std::memcpy(&found.back().address, address, length);
    found.back().length = length;
}

// The addresses of `host`: the IPv4 ones first, so a relay with both is reached at the address its
// users set their firewalls and SPF records for,
// then the IPv6 ones, each in the resolver's order. A dotted address is taken as it stands.
std::vector<RelayAddress> LookUpHost(const char* host, std::string& reason) {
    std::vector<RelayAddress> found;
    in_addr_t dotted = ::inet_addr(host);
    if (dotted != INADDR_NONE) {
        sockaddr_in relay{};
        relay.sin_family = AF_INET;
        relay.sin_addr.s_addr = dotted;
        AddAddress(found, &relay, sizeof relay);
        return found;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (int failed = ::getaddrinfo(host, nullptr, &hints, &list); failed != 0) {
        reason = failed == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(failed);
        return found;
    }
    for (int family : {AF_INET, AF_INET6})
        for (addrinfo* entry = list; entry; entry = entry->ai_next)
            if (entry->ai_family == family && entry->ai_addrlen <= sizeof(sockaddr_storage))
                AddAddress(found, entry->ai_addr, entry->ai_addrlen);
    ::freeaddrinfo(list);
    return found;
}

void SetPort(RelayAddress& relay, std::int32_t port) {
    auto low16 = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (relay.address.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&relay.address)->sin_port = low16;
    else
        reinterpret_cast<sockaddr_in6*>(&relay.address)->sin6_port = low16;
}

// How long a send may wait for the socket to take a byte (the connect's wait too).
void SetSendTimeout(int socket, int milliseconds) {
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

std::string ConnectReason;  // why the last connect failed

// A new socket for `relay` in SocketHandle (the last one stays there after a failure).
// 0 connected, 1 the socket could not be made, -1 the connect failed.
int TryAddress(const RelayAddress& relay) {
    int fresh = ::socket(relay.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fresh == -1) return 1;
    if (SocketHandle != -1) ::close(SocketHandle);
    SocketHandle = fresh;
    // Every line we send is a unit the relay waits for: Nagle's algorithm would hold a short
    // line sent after a piece of text until the relay's delayed acknowledgement.
    int on = 1;
    ::setsockopt(SocketHandle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SetSendTimeout(SocketHandle, ConnectTimeoutSeconds * 1000);
    if (::connect(SocketHandle, reinterpret_cast<const sockaddr*>(&relay.address), relay.length) != 0) {
        // A connect that the send time-out gave up reports "in progress": say what it means.
        bool late = errno == EINPROGRESS || errno == EAGAIN;
        ConnectReason = late ? "no answer within " + std::to_string(ConnectTimeoutSeconds) + " s"
                             : std::strerror(errno);
        return -1;
    }
    // From now on a send gives up after a slice, so that SendData can tell a relay that reads
    // slowly from one that stopped reading, and see a stop.
    SetSendTimeout(SocketHandle, SendSliceMilliseconds);
    return 0;
}

// The receiver thread. Never destroyed: a run that ends without the close-down must not
// find a joinable thread at exit.
std::thread* Receiver = nullptr;

void StartReceiver() {
    // The receiver of an earlier connection of the run was joined when it closed.
    if (Receiver != nullptr && !Receiver->joinable()) {
        delete Receiver;
        Receiver = nullptr;
    }
    StopSignalsBlocked forTheReceiver;  // stop signals go to the dialogue, not the receiver
    try {
        Receiver = new std::thread(ReceiveData, SocketHandle);
    } catch (...) {
        Receiver = nullptr;  // without a receiver the first wait ends with its time-out
    }
}

void JoinReceiver() {
    if (Receiver && Receiver->joinable()) Receiver->join();
}

std::int32_t Fail(const std::string& message, int outcome) {
    return ReportFailure(message, outcome);
}

// An IPv6 literal may come in brackets, as in a URL.
std::string WithoutBrackets(const std::string& host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

// A reconnect (and the next relay of a list) uses the addresses of the first look-up: the run
// may be confined by then, and the relay it talks to stays the one it found.
std::map<std::string, std::vector<RelayAddress>> LookedUp;

std::vector<RelayAddress>& KnownAddresses(const std::string& host, std::string& reason) {
    std::vector<RelayAddress>& addresses = LookedUp[host];
    if (addresses.empty()) addresses = LookUpHost(host.c_str(), reason);
    return addresses;
}

}  // namespace

void LookUpRelays(const std::vector<std::string>& hosts) {
    std::string reason;
    for (const std::string& host : hosts) KnownAddresses(WithoutBrackets(host).substr(0, HostBufferSize - 1), reason);
}

std::int32_t ConnectRelay(const std::string& host, const std::int32_t& port,
                          const TlsPolicy& tls, bool startTransport) {
    char hostBuffer[HostBufferSize] = {};
    std::strncpy(hostBuffer, WithoutBrackets(host).c_str(), HostBufferSize - 1);

    std::string reason = "no address";
    std::vector<RelayAddress>& addresses = KnownAddresses(hostBuffer, reason);
    if (addresses.empty())
        return Fail("GetHostByName failed: " + std::string(hostBuffer) + ": " + reason + "!", EX_NOHOST);
    int result = 1;
    for (RelayAddress& relay : addresses) {
        SetPort(relay, port);
        result = TryAddress(relay);
        if (result == 0 || StopSignal() != 0) break;
    }
    if (StopSignal() != 0) return -1;  // the stop is the only word on it
    if (result == 1 && SocketHandle == -1) return Fail("Invalid Socket!", EX_OSERR);
    if (result != 0)
        return Fail("Connection failure: " + std::string(hostBuffer) + " port " +
                        std::to_string(port & 0xFFFF) + ": " + ConnectReason + "!",
                    EX_TEMPFAIL);
    return startTransport ? StartTransport(host, tls) : 0;
}

std::int32_t StartTransport(const std::string& host, const TlsPolicy& tls) {
    ResetReceiveRing();  // nothing of an earlier connection of the run may be read as this one's
    StartReceiver();
    if (tls.implicit && StartTls(SocketHandle, WithoutBrackets(host), tls) != 0) return -1;
    return 0;
}

std::int32_t SwitchToTls(const std::string& host, const TlsPolicy& tls) {
    // Bytes the relay sent after its go-ahead, before our hello, are not part of the handshake
    // (a server speaks second): taken as the session's they would be an injection.
    if (!ReceiveRingEmpty())
        return ReportFailure("TLS handshake failed: the relay sent data after its go-ahead!",
                             EX_PROTOCOL);
    return StartTls(SocketHandle, WithoutBrackets(host), tls);
}

void CloseRelaySocket() {
    SayTlsGoodbye();
    ::shutdown(SocketHandle, SHUT_RDWR);
    JoinReceiver();  // the TLS session must outlive the receiver's last read
    EndTls();
    ::close(SocketHandle);
}

}  // namespace sendal
