// Round trip of one command and its one-line reply on 127.0.0.1: SendLine and WaitReply (the
// receiver thread and the ring) beside plain blocking send and recv on a second connection.
// Prints the median and the 99th percentile of each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/globals.h"
#include "net/connect.h"
#include "net/transport.h"
#include "net/send.h"

namespace {

constexpr int RoundTrips = 20000;
constexpr int WarmUp = 1000;

// Answers every CR LF line with "250 ok" on each connection it accepts.
void Responder(int listener, int connections) {
    for (int c = 0; c < connections; ++c) {
        int peer = ::accept(listener, nullptr, nullptr);
        int on = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::string pending;
        char block[4096];
        for (;;) {
            ssize_t n = ::recv(peer, block, sizeof block, 0);
            if (n <= 0) break;
            pending.append(block, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = pending.find("\r\n")) != std::string::npos) {
                pending.erase(0, end + 2);
                ::send(peer, "250 ok\r\n", 8, MSG_NOSIGNAL);
            }
        }
        ::close(peer);
    }
}

struct Figures {
    double median, p99;
};

template <typename RoundTrip>
Figures Measure(RoundTrip roundTrip) {
    std::vector<double> micros;
    micros.reserve(RoundTrips);
    for (int i = 0; i < WarmUp + RoundTrips; ++i) {
        auto start = std::chrono::steady_clock::now();
        roundTrip();
        auto took = std::chrono::steady_clock::now() - start;
        if (i >= WarmUp) micros.push_back(std::chrono::duration<double, std::micro>(took).count());
    }
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros[micros.size() * 99 / 100]};
}

}  // namespace

int main() {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread responder(Responder, listener, 2);

    std::int32_t port = ntohs(address.sin_port);
    if (sendal::ConnectRelay("127.0.0.1", port) != 0) return 1;
    std::string reply;
    Figures ring = Measure([&] {
        sendal::SendLine("NOOP");
        sendal::WaitReply(reply);
    });
    sendal::CloseRelaySocket();

    int plain = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(plain, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::connect(plain, reinterpret_cast<sockaddr*>(&address), sizeof address);
    Figures direct = Measure([&] {
        char block[64];
        ::send(plain, "NOOP\r\n", 6, 0);
        ::recv(plain, block, sizeof block, 0);
    });
    ::close(plain);
    responder.join();

    std::printf("round trip of one command, %d samples   median      p99\n", RoundTrips);
    std::printf("SendLine + WaitReply (receiver, ring) %8.1f us %8.1f us\n", ring.median, ring.p99);
    std::printf("plain blocking send + recv            %8.1f us %8.1f us\n", direct.median,
                direct.p99);
    std::printf("ratio of medians                      %8.2f\n", ring.median / direct.median);
    return 0;
}
