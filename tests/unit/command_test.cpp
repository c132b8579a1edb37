// The greeting, HELO and the reply-code rule, against a relay played on a socket pair.
#include "smtp/command.h"

#include <gtest/gtest.h>

#include <atomic>

#include "test_support.h"

namespace sendal {
namespace {

using testing::RelayPair;

TEST(ReplyLineCode, ThreeDigitsAtTheStart) {
    EXPECT_EQ(ReplyLineCode("250 ok"), 250);
    EXPECT_EQ(ReplyLineCode("250-ok"), 250);
    EXPECT_EQ(ReplyLineCode("250"), 250);
    EXPECT_EQ(ReplyLineCode(" 354 go"), -1);
    EXPECT_EQ(ReplyLineCode(""), -1);
    EXPECT_EQ(ReplyLineCode("ok 250"), -1);
    EXPECT_EQ(ReplyLineCode("25e1 ok"), -1);  // no number reading: 25e1 is not 250
    EXPECT_EQ(ReplyLineCode("2500 ok"), -1);
    EXPECT_EQ(ReplyLineCode("25"), -1);
    EXPECT_TRUE(IsIntermediateReply("250-x"));
    EXPECT_FALSE(IsIntermediateReply("250 x"));
    EXPECT_FALSE(IsIntermediateReply("25-"));
}

struct Dialogue {
    const char* name;
    const char* greeting;  // sent at once
    const char* reply;     // sent once HELO has arrived
    std::int32_t want;
};

TEST(SmtpCommand, Dialogues) {
    Dialogue rows[] = {
        {"one-line greeting and reply", "220 hi\r\n", "250 ok\r\n", 0},
        {"three-line greeting", "220-a\r\n220-b\r\n220 c\r\n", "250 ok\r\n", 0},
        {"greeting repeated after HELO", "220 hi\r\n", "220 still greeting\r\n250 hello\r\n", 0},
        {"multi-line 250", "220 hi\r\n", "250-a\r\n250-b\r\n250 c\r\n", 0},
        {"501 refused", "220 hi\r\n", "501 no\r\n", -1},
        {"421- then 421", "220 hi\r\n", "421-a\r\n421 b\r\n", -1},
        {"bare 250", "220 hi\r\n", "250\r\n", 0},
        {"empty line is a bad reply", "220 hi\r\n", "\r\n", -1},
        {"mixed codes are a bad reply", "220 hi\r\n", "250-a\r\n251 b\r\n", -1},
        {"251 is no answer to HELO", "220 hi\r\n", "251 x\r\n", -1},
        {"250 before HELO is out of turn", "220 hi\r\n250 early\r\n", "", -1},
    };
    for (const Dialogue& row : rows) {
        RelayPair relay;
        relay.Answer({{"", row.greeting}, {"HELO box\r\n", row.reply}});
        EXPECT_EQ(SmtpCommand("HELO box"), row.want) << row.name;
        EXPECT_EQ(relay.Received(), "HELO box\r\n") << row.name;
    }
}

// No command before the greeting's last line, and none at all after a greeting that is not
// 220 or is no reply.
TEST(SmtpCommand, GreetingReadWholeFirst) {
    testing::ScratchDir dir;
    {
        RelayPair relay;
        relay.Send("220-first\r\n220-second\r\n");
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(relay.Received(), "");
            relay.Answer({{"", "220 last\r\n"}, {"HELO box\r\n", "250 ok\r\n"}});
        });
        EXPECT_EQ(SmtpCommand("HELO box"), 0);
        late.join();
    }
    for (const char* greeting : {"554 go away\r\n", "220-a\r\n554 b\r\n", "2x0 hi\r\n"}) {
        RelayPair relay;
        relay.Send(greeting);
        EXPECT_EQ(SmtpCommand("HELO box"), -1) << greeting;
        EXPECT_EQ(relay.Received(), "") << greeting;
    }
}

TEST(SmtpCommand, EndlessReplyIsCutOff) {
    RelayPair relay;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        relay.Send("220 hi\r\n");
        while (!stop)
            if (::send(relay.RelayFd(), "250-more\r\n", 10, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
    });
    EXPECT_EQ(SmtpCommand("HELO box"), -1);
    stop = true;
    flood.join();
}

TEST(SmtpCommand, SilentGreetingSendsNothing) {
    testing::ScratchDir dir;
    RelayPair relay;
    testing::ShortReplyWait shortWait(std::chrono::milliseconds(30));
    EXPECT_EQ(SmtpCommand("HELO box"), -1);
    EXPECT_EQ(relay.Received(), "");
}

}  // namespace
}  // namespace sendal
