// Helpers shared by the unit tests: a scratch working directory and a relay on a socket pair.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "base/console.h"
#include "base/globals.h"
#include "net/receive.h"

namespace sendal::testing {

// A fresh temporary directory that is the working directory while the object lives.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/sendal-unit-XXXXXX";
        path_ = ::mkdtemp(pattern);
        char here[PATH_MAX];
        old_ = ::getcwd(here, sizeof here);
        if (::chdir(path_.c_str()) != 0) std::abort();
        SetConsoleFd(-1);
    }
    ~ScratchDir() {
        if (::chdir(old_.c_str()) != 0) std::abort();
        std::string command = "rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0) std::abort();
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_, old_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lowers the reply time-out to `polls` waits of 10 ms while it lives, and restores it, so the
// tests pass in any order.
class ShortReplyWait {
public:
    explicit ShortReplyWait(int polls) : saved_(ReplyPollCount) { ReplyPollCount = polls; }
    ~ShortReplyWait() { ReplyPollCount = saved_; }
    ShortReplyWait(const ShortReplyWait&) = delete;
    ShortReplyWait& operator=(const ShortReplyWait&) = delete;

private:
    int saved_;
};

// The program's socket is one end of a socket pair; the test plays the relay on the other.
// The receiver runs on a thread that the pair joins when it is done.
class RelayPair {
public:
    explicit RelayPair(std::uint32_t ringStart = 0) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) std::abort();
        SocketHandle = ends[0];
        relay_ = ends[1];
        ResetReceiveRing(ringStart);
        receiver_ = std::thread(ReceiveData, SocketHandle);
    }
    ~RelayPair() {
        ::shutdown(SocketHandle, SHUT_RDWR);
        receiver_.join();
        ::close(SocketHandle);
        ::close(relay_);
        SocketHandle = -1;
    }
    void Send(const std::string& bytes) const {
        if (::write(relay_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            std::abort();
    }
    // Everything the program sent so far (waits briefly for it).
    std::string Received() const {
        std::string all;
        char block[65536];
        for (;;) {
            ssize_t n = ::recv(relay_, block, sizeof block, MSG_DONTWAIT);
            if (n <= 0) break;
            all.append(block, static_cast<std::size_t>(n));
        }
        return all;
    }
    int RelayFd() const { return relay_; }

private:
    int relay_ = -1;
    std::thread receiver_;
};

}  // namespace sendal::testing
