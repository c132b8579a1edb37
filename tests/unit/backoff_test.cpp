// Waits between tries: the relay's hint, doubling, the bounds.
#include "queue/backoff.h"

#include <gtest/gtest.h>

#include "driver/optiontable.h"

namespace sendal {
namespace {

TEST(RetryHintSeconds, OnlyWordsThatAskToWaitCount) {
    EXPECT_EQ(RetryHintSeconds("421 4.7.0 try again in 5 minutes"), 300);
    EXPECT_EQ(RetryHintSeconds("451 4.7.500 Server busy. Please try again later. [BN8NAM]"), 0);
    EXPECT_EQ(RetryHintSeconds("450 4.2.0 greylisted, retry after 90 seconds"), 90);
    EXPECT_EQ(RetryHintSeconds("432 4.3.2 Concurrent connections limit exceeded, wait 2 h"), 7200);
    EXPECT_EQ(RetryHintSeconds("452 4.5.3 Too many recipients (100 max)"), 0);  // a number, no wait
    EXPECT_EQ(RetryHintSeconds("421 try again in 99999999 minutes"), 0);  // no such wait
    EXPECT_EQ(RetryHintSeconds("421 try again in 100000 hours"), 86400);  // at most a day
}

TEST(NextWait, GrowsFromTheHintOrTheFirstWaitUpToTheLongest) {
    EXPECT_EQ(NextWait(0, 0, 60, 3600), 60);
    EXPECT_EQ(NextWait(60, 0, 60, 3600), 120);
    EXPECT_EQ(NextWait(2400, 0, 60, 3600), 3600);
    EXPECT_EQ(NextWait(0, 300, 60, 3600), 300);    // the relay's word replaces the first wait
    EXPECT_EQ(NextWait(300, 30, 60, 3600), 600);   // later waits still double
    EXPECT_EQ(NextWait(0, 7200, 60, 3600), 7200);  // a relay that asks for more gets it
}

// Times as users write them, on the command line and (as text) in the configuration.
TEST(TakeOptionWord, Times) {
    RunOptions options;
    ASSERT_TRUE(TakeOptionWord("-retrymin=90s", options));
    ASSERT_TRUE(TakeOptionWord("-retrymax=2h", options));
    ASSERT_TRUE(TakeOptionWord("-alertafter=1d", options));
    EXPECT_EQ(options.retryMin, 90);
    EXPECT_EQ(options.retryMax, 7200);
    EXPECT_EQ(options.alertAfter, 86400);
    for (const char* bad : {"-retrymin=", "-retrymin=5w", "-retrymin=-5", "-retrymin=0", "-alertafter=1000d"})
        EXPECT_FALSE(TakeOptionWord(bad, options)) << bad;
    EXPECT_EQ(TakeAccountKey("alert_after", "4h", options), 0);
    EXPECT_EQ(options.alertAfter, 14400);
}

}  // namespace
}  // namespace sendal
