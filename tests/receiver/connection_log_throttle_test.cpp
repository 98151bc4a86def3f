// The receiver's retry loop must not flood the log while one failure repeats, and must
// still show every change: a new code, a new decode mode, a connection that streamed.
#include <gtest/gtest.h>

#include "library/receiver/connection_log_throttle.h"

namespace {

constexpr std::uint32_t kNoServer = 0x80072EFD;
constexpr std::uint32_t kClosed = 0x80070026;
constexpr std::int64_t kSecond = 1'000'000'000;

struct Attempt {
    bool quiet;
    ConnectionLogThrottle::Outcome outcome;
};

Attempt Fail(ConnectionLogThrottle& throttle, std::uint32_t code, std::int64_t nowNs, bool gpu = false,
             bool streamed = false) {
    Attempt attempt;
    attempt.quiet = throttle.BeginAttempt(gpu);
    if (streamed) {
        throttle.Streamed();
    }
    attempt.outcome = throttle.EndAttempt(code, nowNs);
    return attempt;
}

TEST(ConnectionLogThrottle, RepeatedFailureIsWrittenOnceThenSummarisedEveryMinute) {
    ConnectionLogThrottle throttle;
    std::int64_t now = 10 * kSecond;
    Attempt first = Fail(throttle, kNoServer, now);
    EXPECT_FALSE(first.quiet);
    EXPECT_TRUE(first.outcome.writeFailureLine);
    EXPECT_EQ(first.outcome.summaryCount, 0u);

    // One attempt every 60 ms for just under a minute: nothing at all is written.
    std::uint64_t attempts = 0;
    while (now + 60'000'000 < 10 * kSecond + ConnectionLogThrottle::kSummaryIntervalNs) {
        now += 60'000'000;
        const Attempt repeat = Fail(throttle, kNoServer, now);
        ++attempts;
        ASSERT_TRUE(repeat.quiet);
        ASSERT_FALSE(repeat.outcome.writeFailureLine);
        ASSERT_FALSE(repeat.outcome.writeHeldLines);
        ASSERT_EQ(repeat.outcome.summaryCount, 0u);
    }
    // The first attempt a minute after the last line writes the summary of all of them.
    now += 60'000'000;
    const Attempt summary = Fail(throttle, kNoServer, now);
    EXPECT_TRUE(summary.quiet);
    EXPECT_FALSE(summary.outcome.writeFailureLine);
    EXPECT_EQ(summary.outcome.summaryCode, kNoServer);
    EXPECT_EQ(summary.outcome.summaryCount, attempts + 1);

    // And the count starts again.
    const Attempt next = Fail(throttle, kNoServer, now + kSecond);
    EXPECT_EQ(next.outcome.summaryCount, 0u);
}

TEST(ConnectionLogThrottle, ADifferentCodeIsWrittenInFullAfterTheSummaryOfTheOldOne) {
    ConnectionLogThrottle throttle;
    Fail(throttle, kNoServer, 0);
    Fail(throttle, kNoServer, kSecond);
    Fail(throttle, kNoServer, 2 * kSecond);
    const Attempt changed = Fail(throttle, 0x8007274C, 3 * kSecond);
    EXPECT_TRUE(changed.quiet) << "held back until its outcome is known";
    EXPECT_TRUE(changed.outcome.writeHeldLines);
    EXPECT_TRUE(changed.outcome.writeFailureLine);
    EXPECT_EQ(changed.outcome.summaryCode, kNoServer);
    EXPECT_EQ(changed.outcome.summaryCount, 2u);
}

TEST(ConnectionLogThrottle, ADecodeModeChangeIsNeverHeldBack) {
    ConnectionLogThrottle throttle;
    Fail(throttle, kNoServer, 0, false);
    EXPECT_TRUE(Fail(throttle, kNoServer, kSecond, false).quiet);
    const Attempt gpu = Fail(throttle, kNoServer, 2 * kSecond, true);
    EXPECT_FALSE(gpu.quiet);
    EXPECT_TRUE(gpu.outcome.writeFailureLine);
    EXPECT_EQ(gpu.outcome.summaryCount, 1u);
}

TEST(ConnectionLogThrottle, TheFirstFailureAfterAStreamedConnectionIsWrittenInFull) {
    ConnectionLogThrottle throttle;
    Fail(throttle, kNoServer, 0);
    // The sender comes back: the held attempt streams and ends with a clean close.
    const Attempt streamed = Fail(throttle, kClosed, kSecond, false, true);
    EXPECT_TRUE(streamed.quiet);
    EXPECT_FALSE(streamed.outcome.writeHeldLines) << "its lines were written when it started streaming";
    EXPECT_TRUE(streamed.outcome.writeFailureLine);
    // The sender is gone again: the next failure is written in full, then held back.
    const Attempt after = Fail(throttle, kNoServer, 2 * kSecond);
    EXPECT_FALSE(after.quiet);
    EXPECT_TRUE(after.outcome.writeFailureLine);
    EXPECT_TRUE(Fail(throttle, kNoServer, 3 * kSecond).quiet);

    // A connection that streams and ends with the same code as the attempt before it is a
    // new event too.
    ConnectionLogThrottle again;
    Fail(again, kClosed, 0);
    const Attempt sameCode = Fail(again, kClosed, kSecond, false, true);
    EXPECT_TRUE(sameCode.outcome.writeFailureLine);
}

}  // namespace
