// Connection set-up and close-down.
#include "net/connect.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "base/globals.h"
#include "log/log.h"
#include "net/receive.h"

namespace sendal {
namespace {

constexpr std::size_t HostBufferSize = 64;  // 63 characters and the terminating zero

// The first IPv4 address of `host`, in network order; false when the name is unknown.
bool LookUpHost(const char* host, in_addr_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

std::int32_t Fail(const char* message) {
    WSACleanup();
    LogMessage(message, -1, LevelError);
    return -1;
}

}  // namespace

int WSAStartup() {
    return 0;
}

void WSACleanup() {}

std::int32_t ConnectRelay(const std::string& host, const std::int32_t& port) {
    char hostBuffer[HostBufferSize] = {};
    std::strncpy(hostBuffer, host.c_str(), HostBufferSize - 1);
    if (WSAStartup() != 0) return Fail("WSAStartup failed!");

    in_addr_t address = ::inet_addr(hostBuffer);
    if (address == INADDR_NONE && !LookUpHost(hostBuffer, address))
        return Fail("GetHostByName failed!");

    SocketHandle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (SocketHandle == -1) return Fail("Invalid Socket!");
    // Every line we send is a unit the relay waits for: Nagle's algorithm would hold a short
    // line sent after a piece of text until the relay's delayed acknowledgement.
    int on = 1;
    ::setsockopt(SocketHandle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    relay.sin_addr.s_addr = address;
    if (::connect(SocketHandle, reinterpret_cast<sockaddr*>(&relay), sizeof relay) != 0)
        return Fail("Connection failure!");

    try {
        std::thread(ReceiveData, SocketHandle).detach();
    } catch (...) {
        // Without a receiver no reply arrives; the first wait ends with its time-out.
    }
    return 0;
}

void CloseRelaySocket() {
    ::shutdown(SocketHandle, SHUT_RDWR);
    ::close(SocketHandle);
}

}  // namespace sendal
