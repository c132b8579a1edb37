// Helpers shared by the unit tests: a scratch working directory and a relay on a socket pair.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <atomic>

#include "base/console.h"
#include "base/globals.h"
#include "message/spool.h"
#include "net/receive.h"

namespace sendal::testing {

// The spool reader of the unit tests, one file at a time as in a run.
inline SpoolReader TestReader;

// The next whole line of the spool reader (its parts joined); false at the end.
inline bool NextSpoolLine(std::string& line) {
    std::string part;
    bool lineEnds = false;
    if (!NextSpoolPart(TestReader, line, lineEnds)) return false;
    while (!lineEnds && NextSpoolPart(TestReader, part, lineEnds)) line += part;
    return true;
}

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

// Sets the reply time-out while it lives, and restores it, so the tests pass in any order.
class ShortReplyWait {
public:
    explicit ShortReplyWait(std::chrono::milliseconds timeout) : saved_(ReplyTimeout) { ReplyTimeout = timeout; }
    ~ShortReplyWait() { ReplyTimeout = saved_; }
    ShortReplyWait(const ShortReplyWait&) = delete;
    ShortReplyWait& operator=(const ShortReplyWait&) = delete;

private:
    std::chrono::milliseconds saved_;
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
        StopScript();
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
    // Plays the relay as a real one does: each step's reply goes out only once the program's
    // bytes so far hold the step's command (in order; an empty command: at once). A reply sent
    // before its command would be one out of turn.
    void Answer(std::vector<std::pair<std::string, std::string>> steps) {
        script_ = std::thread([this, steps = std::move(steps)] {
            std::size_t from = 0;
            for (const auto& [command, reply] : steps) {
                std::size_t at;
                while ((at = heard_.find(command, from)) == std::string::npos) {
                    pollfd readable{relay_, POLLIN, 0};
                    if (stop_ || ::poll(&readable, 1, 20) < 0) return;
                    char block[65536];
                    ssize_t n = ::recv(relay_, block, sizeof block, MSG_DONTWAIT);
                    if (n == 0) return;
                    if (n > 0) heard_.append(block, static_cast<std::size_t>(n));
                }
                from = at + command.size();
                Send(reply);
            }
        });
    }
    // Everything the program sent so far (waits briefly for it).
    std::string Received() {
        StopScript();
        std::string all = std::move(heard_);
        heard_.clear();
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
    void StopScript() {
        stop_ = true;
        if (script_.joinable()) script_.join();
        stop_ = false;
    }
    int relay_ = -1;
    std::thread receiver_;
    std::thread script_;
    std::atomic<bool> stop_{false};
    std::string heard_;  // what the script read
};

}  // namespace sendal::testing
