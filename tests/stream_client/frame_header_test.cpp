// Header parsing and end-to-end age estimation, natively under the sanitizers and under Wine.
#include "library/receiver/frame_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

// Wall clock as a file time from milliseconds since 1970.
std::uint64_t FileTimeAtUnixMs(std::int64_t unixMs) {
    return static_cast<std::uint64_t>(unixMs + kUnixEpochFileTimeMs) * 10000u;
}

constexpr std::int64_t kT = 1700000000000;  // a plausible wall-clock instant

// The age algorithm written out literally in 128-bit arithmetic, where nothing overflows.
std::uint32_t ReferenceAge(std::uint64_t a, std::uint64_t c, std::int64_t& offset,
                           std::uint64_t fileTime) {
    if (a == 0 || c > 5000) return kNoAge;
    if (static_cast<__int128>(a) > static_cast<__int128>(kInt64Max) - c) return kNoAge;
    const __int128 nowMs = static_cast<__int128>(fileTime / 10000) - kUnixEpochFileTimeMs;
    if (nowMs < 0) return kNoAge;
    const __int128 candidate = static_cast<__int128>(a) + c - nowMs;
    if (offset == kInt64Min || candidate > offset || candidate < static_cast<__int128>(offset) - 2000) {
        offset = static_cast<std::int64_t>(candidate);
    }
    const __int128 age = static_cast<__int128>(offset) - a + nowMs;
    if (age < 0) return 0;
    if (age > 4294967295) return kNoAge;
    return static_cast<std::uint32_t>(age);
}

TEST(FrameHeader, ParsesBigEndianFields) {
    const std::uint8_t bytes[kFrameHeaderSize] = {
        0x00, 0x00, 0x00, 0x10,                          // payloadLength 16, not 0x10000000
        0x00, 0x00, 0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00,  // captureTimeMs
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // opaqueValue
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x13, 0x89}; // senderDelayMs 5001
    const FrameHeader header = ParseFrameHeader(bytes);
    EXPECT_EQ(header.payloadLength, 16u);
    EXPECT_EQ(header.captureTimeMs, 0x0000018BCFE56800ull);
    EXPECT_EQ(header.opaqueValue, 0x0102030405060708ull);
    EXPECT_EQ(header.senderDelayMs, 5001u);

    std::uint8_t ones[kFrameHeaderSize];
    for (auto& b : ones) b = 0xFF;
    const FrameHeader top = ParseFrameHeader(ones);
    EXPECT_EQ(top.payloadLength, 0xFFFFFFFFu);
    EXPECT_EQ(top.captureTimeMs, ~0ull);
    EXPECT_EQ(top.opaqueValue, ~0ull);
    EXPECT_EQ(top.senderDelayMs, ~0ull);
}

TEST(FrameHeader, PayloadLengthLimits) {
    EXPECT_FALSE(IsValidPayloadLength(0));
    EXPECT_TRUE(IsValidPayloadLength(1));
    EXPECT_TRUE(IsValidPayloadLength(2097152));
    EXPECT_FALSE(IsValidPayloadLength(2097153));
    EXPECT_FALSE(IsValidPayloadLength(0xFFFFFFFFu));
}

TEST(EndToEndAge, FramesWithoutUsableTimingHaveNoAgeAndLeaveTheOffset) {
    std::int64_t offset = kClockOffsetUnset;
    const std::uint64_t now = FileTimeAtUnixMs(kT);
    EXPECT_EQ(EstimateEndToEndAge(0, 30, offset, now), kNoAge);
    EXPECT_EQ(EstimateEndToEndAge(kT - 5001, 5001, offset, now), kNoAge);
    EXPECT_EQ(offset, kClockOffsetUnset);
    // The largest usable delay still gives an age: the first one equals the delay.
    EXPECT_EQ(EstimateEndToEndAge(kT - 5000, 5000, offset, now), 5000u);
    EXPECT_EQ(offset, 0);
}

TEST(EndToEndAge, FirstFrameAgeIsTheDelayAndSlowerFramesAgeMore) {
    std::int64_t offset = kClockOffsetUnset;
    // Receiver clock 250 ms behind the sender's; transit itself takes no time.
    EXPECT_EQ(EstimateEndToEndAge(kT, 30, offset, FileTimeAtUnixMs(kT + 30 - 250)), 30u);
    EXPECT_EQ(offset, 250);
    // Next frame arrives 50 ms later than the fastest so far.
    EXPECT_EQ(EstimateEndToEndAge(kT + 33, 30, offset, FileTimeAtUnixMs(kT + 33 + 30 + 50 - 250)), 80u);
    EXPECT_EQ(offset, 250);
    // A faster frame than ever: the offset follows it.
    EXPECT_EQ(EstimateEndToEndAge(kT + 66, 20, offset, FileTimeAtUnixMs(kT + 66 + 20 - 260)), 20u);
    EXPECT_EQ(offset, 260);
}

TEST(EndToEndAge, SenderClockSteps) {
    std::int64_t offset = kClockOffsetUnset;
    EXPECT_EQ(EstimateEndToEndAge(kT, 10, offset, FileTimeAtUnixMs(kT + 10)), 10u);

    // Forward by 3000 ms: the offset follows at once, ages stay small.
    EXPECT_EQ(EstimateEndToEndAge(kT + 3100, 10, offset, FileTimeAtUnixMs(kT + 110)), 10u);
    EXPECT_EQ(offset, 3000);

    // Back by 1000 ms: the offset stays, and every later frame is 1000 ms older.
    EXPECT_EQ(EstimateEndToEndAge(kT + 2200, 10, offset, FileTimeAtUnixMs(kT + 210)), 1010u);
    EXPECT_EQ(EstimateEndToEndAge(kT + 2300, 10, offset, FileTimeAtUnixMs(kT + 310)), 1010u);
    EXPECT_EQ(offset, 3000);

    // Exactly 2000 ms below is still kept; more than that resets the offset.
    EXPECT_EQ(EstimateEndToEndAge(kT + 1400, 10, offset, FileTimeAtUnixMs(kT + 410)), 2010u);
    EXPECT_EQ(offset, 3000);
    EXPECT_EQ(EstimateEndToEndAge(kT + 1499, 10, offset, FileTimeAtUnixMs(kT + 510)), 10u);
    EXPECT_EQ(offset, 999);
}

TEST(EndToEndAge, ExtremeCaptureTimesAndClocks) {
    const std::uint64_t now = FileTimeAtUnixMs(kT);
    std::int64_t offset = kClockOffsetUnset;
    // capture + delay must stay within the signed 64-bit range.
    EXPECT_EQ(EstimateEndToEndAge(static_cast<std::uint64_t>(kInt64Max) - 29, 30, offset, now), kNoAge);
    EXPECT_EQ(EstimateEndToEndAge(~0ull, 0, offset, now), kNoAge);
    EXPECT_EQ(offset, kClockOffsetUnset);
    EXPECT_EQ(EstimateEndToEndAge(static_cast<std::uint64_t>(kInt64Max) - 30, 30, offset, now), 30u);
    EXPECT_EQ(offset, kInt64Max - kT);

    // A wall clock before 1970 gives no age; 1970 itself does.
    offset = kClockOffsetUnset;
    EXPECT_EQ(EstimateEndToEndAge(kT, 30, offset, 0), kNoAge);
    EXPECT_EQ(EstimateEndToEndAge(kT, 30, offset, FileTimeAtUnixMs(0) - 1), kNoAge);
    EXPECT_EQ(offset, kClockOffsetUnset);
    EXPECT_EQ(EstimateEndToEndAge(kT, 30, offset, FileTimeAtUnixMs(0)), 30u);
    // The latest representable file time still works.
    EXPECT_EQ(EstimateEndToEndAge(1, 0, offset, ~0ull), 0u);

    // Offsets at the bottom of the range (only the lowest one means unset) cannot overflow.
    offset = kInt64Min + 1;
    EXPECT_EQ(EstimateEndToEndAge(kT, 30, offset, now), 30u);
    EXPECT_EQ(offset, 30);
    offset = kInt64Max;
    EXPECT_EQ(EstimateEndToEndAge(kT, 30, offset, now), 30u);
    EXPECT_EQ(offset, 30);
}

// Random and extreme inputs against the literal algorithm. It also shows that the age
// always lies between the delay and the delay plus 2000 ms, which is why the clamps to 0
// and to 4,294,967,295 never act on a value produced this way.
TEST(EndToEndAge, MatchesTheLiteralAlgorithm) {
    std::mt19937_64 random(12345);
    const std::uint64_t captures[] = {1, 2, 1000, static_cast<std::uint64_t>(kT),
                                      static_cast<std::uint64_t>(kInt64Max) - 5000,
                                      static_cast<std::uint64_t>(kInt64Max), ~0ull};
    const std::uint64_t clocks[] = {0, FileTimeAtUnixMs(0), FileTimeAtUnixMs(kT), ~0ull};
    std::int64_t offset = kClockOffsetUnset;
    std::int64_t reference = kClockOffsetUnset;
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t a = (i % 3 == 0) ? captures[random() % 7]
                                       : static_cast<std::uint64_t>(kT) + random() % 20000 - 10000;
        const std::uint64_t c = random() % 5200;
        const std::uint64_t now = (i % 5 == 0) ? clocks[random() % 4]
                                               : FileTimeAtUnixMs(kT + static_cast<std::int64_t>(random() % 8000));
        if (i % 1000 == 0) offset = reference = kClockOffsetUnset;
        const std::uint32_t age = EstimateEndToEndAge(a, c, offset, now);
        ASSERT_EQ(age, ReferenceAge(a, c, reference, now)) << "a=" << a << " c=" << c << " now=" << now;
        ASSERT_EQ(offset, reference);
        if (age != kNoAge) {
            ASSERT_GE(age, c);
            ASSERT_LE(age, c + 2000);
        }
    }
}

}  // namespace
