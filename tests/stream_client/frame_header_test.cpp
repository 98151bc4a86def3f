// Header parsing and end-to-end age estimation, natively under the sanitizers and under Wine.
#include "library/receiver/frame_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "library/receiver/clock_step_watch.h"

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kT = 1700000000000;  // a plausible wall-clock instant, ms since 1970
constexpr std::uint64_t kTop = static_cast<std::uint64_t>(kMax);

// The wall clock as a file time.
constexpr std::uint64_t At(std::int64_t unixMs) {
    return static_cast<std::uint64_t>(unixMs + kUnixEpochFileTimeMs) * 10000u;
}

constexpr std::uint64_t kNow = At(kT);

TEST(FrameHeader, ParsesBigEndianFieldsAndLimitsTheLength) {
    std::uint8_t bytes[kFrameHeaderSize] = {
        0x00, 0x00, 0x00, 0x10,                          // payloadLength 16, not 0x10000000
        0x00, 0x00, 0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00,  // captureTimeMs
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // opaqueValue
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x13, 0x89}; // senderDelayMs 5001
    FrameHeader h = ParseFrameHeader(bytes);
    EXPECT_TRUE(h.payloadLength == 16 && h.captureTimeMs == 0x0000018BCFE56800ull &&
                h.opaqueValue == 0x0102030405060708ull && h.senderDelayMs == 5001);
    for (auto& b : bytes) b = 0xFF;
    h = ParseFrameHeader(bytes);
    EXPECT_TRUE(h.payloadLength == 0xFFFFFFFFu && h.captureTimeMs == ~0ull && h.opaqueValue == ~0ull &&
                h.senderDelayMs == ~0ull);
    for (auto [length, valid] : {std::pair{0u, false}, {1u, true}, {2097152u, true}, {2097153u, false}, {~0u, false}}) {
        EXPECT_EQ(valid, IsValidPayloadLength(length)) << length;
    }
}

// Sequences of frames through one offset, from `start`: capture, delay, wall clock, then
// the age and the offset expected after each frame.
TEST(EndToEndAge, EdgeCases) {
    struct Frame {
        std::uint64_t capture, delay, now;
        std::uint32_t age;
        std::int64_t offset;
    };
    constexpr std::int64_t kUnset = kClockOffsetUnset;
    const std::int64_t lastNow = static_cast<std::int64_t>(~0ull / 10000) - kUnixEpochFileTimeMs;
    const struct {
        const char* what;
        std::int64_t start;
        std::vector<Frame> frames;
    } sequences[] = {
        {"capture 0, delay 5001: no age, offset kept; delay 5000: the first age is the delay", kUnset,
         {{0, 30, kNow, kNoAge, kUnset}, {kT - 5001, 5001, kNow, kNoAge, kUnset}, {kT - 5000, 5000, kNow, 5000, 0}}},
        {"receiver 250 ms behind; a frame 50 ms slower ages 50 more; a faster one moves the offset", kUnset,
         {{kT, 30, At(kT + 30 - 250), 30, 250}, {kT + 33, 30, At(kT + 33 + 30 + 50 - 250), 80, 250},
          {kT + 66, 20, At(kT + 66 + 20 - 260), 20, 260}}},
        {"sender clock forward 3000: followed; back 1000: kept, 1000 older; 2000 below kept; more resets", kUnset,
         {{kT, 10, At(kT + 10), 10, 0}, {kT + 3100, 10, At(kT + 110), 10, 3000},
          {kT + 2200, 10, At(kT + 210), 1010, 3000}, {kT + 2300, 10, At(kT + 310), 1010, 3000},
          {kT + 1400, 10, At(kT + 410), 2010, 3000}, {kT + 1499, 10, At(kT + 510), 10, 999}}},
        {"capture + delay above INT64_MAX: no age; at it: an age", kUnset,
         {{kTop - 29, 30, kNow, kNoAge, kUnset}, {~0ull, 0, kNow, kNoAge, kUnset},
          {kTop - 30, 30, kNow, 30, kMax - kT}}},
        {"wall clock before 1970: no age; 1970 and the latest file time work", kUnset,
         {{kT, 30, 0, kNoAge, kUnset}, {kT, 30, At(0) - 1, kNoAge, kUnset}, {kT, 30, At(0), 30, kT + 30},
          {1, 0, ~0ull, 0, 1 - lastNow}}},
        {"offsets at the ends of the range cannot overflow", kMin + 1, {{kT, 30, kNow, 30, 30}}},
        {"offsets at the ends of the range cannot overflow", kMax, {{kT, 30, kNow, 30, 30}}},
    };
    for (const auto& sequence : sequences) {
        std::int64_t offset = sequence.start;
        for (std::size_t i = 0; i < sequence.frames.size(); ++i) {
            const Frame& f = sequence.frames[i];
            EXPECT_EQ(f.age, EstimateEndToEndAge(f.capture, f.delay, offset, f.now)) << sequence.what << ": " << i;
            EXPECT_EQ(f.offset, offset) << sequence.what << ": " << i;
        }
    }
}

// The algorithm written out literally in 128-bit arithmetic, where nothing overflows.
std::uint32_t ReferenceAge(std::uint64_t a, std::uint64_t c, std::int64_t& offset, std::uint64_t fileTime) {
    using Wide = __int128;
    const Wide now = static_cast<Wide>(fileTime / 10000) - kUnixEpochFileTimeMs;
    if (a == 0 || c > 5000 || static_cast<Wide>(a) > static_cast<Wide>(kMax) - c || now < 0) return kNoAge;
    const Wide candidate = static_cast<Wide>(a) + c - now;
    if (offset == kMin || candidate > offset || candidate < static_cast<Wide>(offset) - 2000) {
        offset = static_cast<std::int64_t>(candidate);
    }
    const Wide age = static_cast<Wide>(offset) - a + now;
    return age < 0 ? 0 : age > 4294967295 ? kNoAge : static_cast<std::uint32_t>(age);
}

// Random and extreme inputs against the literal algorithm. The age also always lies between
// the delay and the delay plus 2000 ms, which is why the clamps never act on such values.
TEST(EndToEndAge, MatchesTheLiteralAlgorithm) {
    std::mt19937_64 random(12345);
    const std::uint64_t captures[] = {1, 2, 1000, kT, kTop - 5000, kTop, ~0ull};
    const std::uint64_t clocks[] = {0, At(0), kNow, ~0ull};
    std::int64_t offset = kClockOffsetUnset, reference = kClockOffsetUnset;
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t a = i % 3 == 0 ? captures[random() % 7] : kT + random() % 20000 - 10000;
        const std::uint64_t c = random() % 5200;
        const std::uint64_t now = i % 5 == 0 ? clocks[random() % 4] : kNow + random() % 8000 * 10000;
        if (i % 1000 == 0) offset = reference = kClockOffsetUnset;
        const std::uint32_t age = EstimateEndToEndAge(a, c, offset, now);
        ASSERT_EQ(age, ReferenceAge(a, c, reference, now)) << "a=" << a << " c=" << c << " now=" << now;
        ASSERT_EQ(offset, reference);
        ASSERT_TRUE(age == kNoAge || (age >= c && age <= c + 2000)) << age;
    }
}

// Ten seconds of a 30 frames/s stream through the age estimate and the step watch; from
// frame 60 on something goes wrong. Whatever it is, no published frame may really be
// older than 200 ms; after a clock step, pictures must come back in time.
TEST(EndToEndAge, ClockStepsAreRelearntLateFramesStayRefused) {
    const struct {
        const char* what;
        std::int64_t stepMs;    // the sender's clock jumps by this much
        bool cameraStopped;     // the last capture time is sent again for 1.8 s, then nothing
        std::int64_t growthMs;  // transit grows by this much per second
        std::int64_t lateMs;    // frame 70 arrives this much late, those after it right behind
        std::int64_t backWithinMs;  // first picture after frame 60; 0: not judged
    } cases[] = {
        {"step back 1000 ms", -1000, false, 0, 0, 1500},
        {"step back 250 ms", -250, false, 0, 0, 1500},
        {"step back 1000 ms with one frame 150 ms late in the first second", -1000, false, 0, 150, 2500},
        {"the sender stopped", 0, true, 0, 0, 0},
        {"the receiver falls behind, 30 ms more per second", 0, false, 30, 0, 0},
        {"the receiver falls behind, 30 ms more per second, after a step back", -1000, false, 30, 0, 0},
    };
    constexpr std::uint64_t kDelay = 10;
    for (const auto& c : cases) {
        std::int64_t offset = kClockOffsetUnset;
        ClockStepWatch watch;
        std::int64_t arrival = 0;
        std::int64_t backMs = -1;
        std::int64_t oldestPublished = 0;
        for (std::int64_t k = 0; k < (c.cameraStopped ? 114 : 300); ++k) {
            const bool after = k >= 60;
            const std::int64_t send = kT + k * 1000 / 30;
            const std::int64_t captured = c.cameraStopped && after ? kT + 2000 - kDelay : send - kDelay;
            const std::int64_t late = k == 70 ? c.lateMs : 0;
            arrival = std::max(arrival, send + (after ? (k - 60) * c.growthMs / 30 : 0) + late);
            const std::uint64_t capture = static_cast<std::uint64_t>(captured + (after ? c.stepMs : 0));
            std::uint32_t age = EstimateEndToEndAge(capture, kDelay, offset, At(arrival));
            age = watch.Judge(age, kDelay, offset, arrival * 1'000'000);
            if (age > kMaxPublishedAgeMs) {
                continue;
            }
            watch.Published();
            oldestPublished = std::max(oldestPublished, arrival - captured);
            if (after && backMs < 0) {
                backMs = arrival - (kT + 2000);
            }
        }
        EXPECT_LE(oldestPublished, 200) << c.what;
        if (c.backWithinMs != 0) {
            EXPECT_TRUE(backMs >= 0 && backMs <= c.backWithinMs) << c.what << ": " << backMs;
        }
    }
}

}  // namespace
