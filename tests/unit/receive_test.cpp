// The ring and the reply wait: line framing, the wrap at 29999/0, the time-out, and a stress
// run (the ThreadSanitizer build checks it for races).
#include "net/transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <random>

#include "net/send.h"
#include "test_support.h"

namespace sendal {
namespace {

using testing::RelayPair;

std::string Next() {
    std::string line;
    EXPECT_EQ(WaitReply(line), 0);
    return line;
}

TEST(WaitReply, LineCases) {
    RelayPair relay;
    relay.Send("220 first part");
    relay.Send(" and rest\r\n");
    EXPECT_EQ(Next(), "220 first part and rest");
    relay.Send("one\r\ntwo\r\n\r\n");
    EXPECT_EQ(Next(), "one");
    EXPECT_EQ(Next(), "two");
    EXPECT_EQ(Next(), "");
    relay.Send("a\nb\rc\r");
    relay.Send("\r\n");
    EXPECT_EQ(Next(), "a\nb\rc\r");
}

// A line seen waiting (to settle replies that are there) is still taken as it was sent.
TEST(WaitReply, LineSeenWaitingIsTakenWhole) {
    RelayPair relay;
    EXPECT_FALSE(LineWaiting());
    relay.Send("250 a\r\n250 b\r\n");
    for (int i = 0; i < 1000 && !LineWaiting(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(LineWaiting());
    EXPECT_EQ(Next(), "250 a");
    EXPECT_TRUE(LineWaiting());
    EXPECT_EQ(Next(), "250 b");
    EXPECT_FALSE(LineWaiting());
}

TEST(WaitReply, LineEndSplitAcrossTheWrap) {
    // Start at 29900, so the CR of a 99-byte line lands on 29999 and its LF on 0.
    RelayPair relay(29900);
    relay.Send(std::string(99, 'y') + "\r\n" + "after\r\n");
    EXPECT_EQ(Next(), std::string(99, 'y'));
    EXPECT_EQ(Next(), "after");
}

TEST(WaitReply, TimeOutKeepsUnreadBytes) {
    testing::ScratchDir dir;
    RelayPair relay;
    testing::ShortReplyWait shortWait(std::chrono::milliseconds(50));
    relay.Send("250 no line end");
    std::string line;
    EXPECT_EQ(WaitReply(line), -1);
    EXPECT_EQ(line, "250 no line end");
    relay.Send("\r\n");
    EXPECT_EQ(Next(), "250 no line end");
}

// A line longer than the ring is passed over as it comes (only its beginning is kept), so the
// lines after it are framed as usual, and a relay that floods and closes is seen at once.
void Flood(const RelayPair& relay, std::size_t bytes, std::atomic<bool>& stop) {
    std::string block(4000, 'z');
    for (std::size_t sent = 0; sent < bytes && !stop;) {
        ssize_t n = ::send(relay.RelayFd(), block.data(), std::min(block.size(), bytes - sent), MSG_DONTWAIT);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(WaitReply, LongLineIsCutAndPassedOver) {
    RelayPair relay;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        relay.Send("250-");
        Flood(relay, 200000, stop);
        relay.Send("\r\n250 next\r\n");
    });
    std::string line = Next();
    EXPECT_EQ(line.size(), 4096u);
    EXPECT_EQ(line.substr(0, 6), "250-zz");
    EXPECT_EQ(Next(), "250 next");
    flood.join();
}

TEST(WaitReply, FloodThenCloseIsAClosedConnectionAtOnce) {
    testing::ScratchDir dir;
    RelayPair relay;
    testing::ShortReplyWait longWait(std::chrono::milliseconds(1000000));  // a time-out would take over 15 minutes: the
    // test would hang, where the close must be seen at once
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        relay.Send("250 ");
        Flood(relay, 200000, stop);
        ::shutdown(relay.RelayFd(), SHUT_WR);
    });
    std::string line;
    EXPECT_EQ(WaitReply(line), -1);
    EXPECT_EQ(line.substr(0, 5), "250 z");
    flood.join();
}

TEST(SendLine, AddsCrLfAndSendsEverything) {
    RelayPair relay;
    EXPECT_EQ(SendLine(""), 0);
    EXPECT_EQ(SendLine("QUIT"), 0);
    EXPECT_EQ(relay.Received(), "\r\nQUIT\r\n");
}

TEST(SendLine, ResetConnectionGivesSendBrokenNotSigpipe) {
    RelayPair relay;
    ::shutdown(relay.RelayFd(), SHUT_RDWR);
    ::close(relay.RelayFd());
    std::int16_t result = 0;
    for (int i = 0; i < 10 && result == 0; ++i) result = SendLine(std::string(100000, 'x'));
    EXPECT_EQ(result, SendBroken);
}

TEST(RingStress, EveryLineInOrderUnchanged) {
    RelayPair relay;
    std::mt19937 random(12345);
    std::vector<std::string> lines;
    std::string stream;
    const char alphabet[] = "abcXYZ 0123\n\r-";
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        int length = static_cast<int>(random() % (i % 100 == 0 ? 3000 : 120));
        for (int k = 0; k < length; ++k) line += alphabet[random() % (sizeof alphabet - 1)];
        // A CR at the end of a line's text would join the line end; keep the stream unambiguous.
        while (line.find("\r\n") != std::string::npos) line.replace(line.find("\r\n"), 2, "--");
        if (!line.empty() && line.back() == '\r') line.back() = '-';
        lines.push_back(line);
        stream += line + "\r\n";
    }
    std::thread producer([&] {
        std::mt19937 pieces(99);
        for (std::size_t pos = 0; pos < stream.size();) {
            std::size_t n = 1 + pieces() % 700;
            relay.Send(stream.substr(pos, n));
            pos += n;
        }
    });
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line;
        ASSERT_EQ(WaitReply(line), 0) << "line " << i;
        ASSERT_EQ(line, lines[i]) << "line " << i;
    }
    producer.join();
}

}  // namespace
}  // namespace sendal
