// The receiver's code without Windows headers, natively under the sanitizers and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <tuple>

#include "library/receiver/clock_step_watch.h"
#include "library/receiver/connection_log_throttle.h"
#include "library/receiver/decoded_frame_store.h"
#include "library/receiver/frame_header.h"
#include "library/receiver/nv12_packing.h"

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

// Frames through one offset: a row with a start begins a new sequence from it; `offset` is as after the frame.
TEST(EndToEndAge, EdgeCases) {
    constexpr std::int64_t kGoOn = 0;
    constexpr std::int64_t kUnset = kClockOffsetUnset;
    const std::int64_t lastNow = static_cast<std::int64_t>(~0ull / 10000) - kUnixEpochFileTimeMs;
    const struct {
        std::int64_t start;
        std::uint64_t capture, delay, now;
        std::uint32_t age;
        std::int64_t offset;
    } frames[] = {
        // Capture 0, delay 5001: no age, offset kept; delay 5000: the first age is the delay.
        {kUnset, 0, 30, kNow, kNoAge, kUnset}, {kGoOn, kT - 5001, 5001, kNow, kNoAge, kUnset},
        {kGoOn, kT - 5000, 5000, kNow, 5000, 0},
        // Receiver 250 ms behind; a frame 50 ms slower ages 50 more; a faster one moves the offset.
        {kUnset, kT, 30, At(kT + 30 - 250), 30, 250}, {kGoOn, kT + 33, 30, At(kT + 33 + 30 + 50 - 250), 80, 250},
        {kGoOn, kT + 66, 20, At(kT + 66 + 20 - 260), 20, 260},
        // Sender clock forward 3000: followed; back 1000: kept, 1000 older; 2000 below: kept; more: reset.
        {kUnset, kT, 10, At(kT + 10), 10, 0}, {kGoOn, kT + 3100, 10, At(kT + 110), 10, 3000},
        {kGoOn, kT + 2200, 10, At(kT + 210), 1010, 3000}, {kGoOn, kT + 1400, 10, At(kT + 410), 2010, 3000},
        {kGoOn, kT + 1499, 10, At(kT + 510), 10, 999},
        // Capture + delay above INT64_MAX: no age; at it: an age.
        {kUnset, kTop - 29, 30, kNow, kNoAge, kUnset}, {kGoOn, ~0ull, 0, kNow, kNoAge, kUnset},
        {kGoOn, kTop - 30, 30, kNow, 30, kMax - kT},
        // Wall clock before 1970: no age; 1970 and the latest file time work.
        {kUnset, kT, 30, 0, kNoAge, kUnset}, {kGoOn, kT, 30, At(0) - 1, kNoAge, kUnset},
        {kGoOn, kT, 30, At(0), 30, kT + 30}, {kGoOn, 1, 0, ~0ull, 0, 1 - lastNow},
        // Offsets at the ends of the range cannot overflow.
        {kMin + 1, kT, 30, kNow, 30, 30}, {kMax, kT, 30, kNow, 30, 30},
    };
    std::int64_t offset = kUnset;
    for (std::size_t i = 0; i < std::size(frames); ++i) {
        const auto& f = frames[i];
        offset = f.start == kGoOn ? offset : f.start;
        EXPECT_EQ(f.age, EstimateEndToEndAge(f.capture, f.delay, offset, f.now)) << i;
        EXPECT_EQ(f.offset, offset) << i;
    }
}

// Ten seconds at 30 frames/s; from frame 60 on the sender's clock is stepped back, and transit may grow too: no
// published frame may really be older than 200 ms, and after a step alone pictures come back in time.
TEST(EndToEndAge, ClockStepsAreRelearntLateFramesStayRefused) {
    for (auto [stepMs, growthMs, backWithinMs] : {std::tuple{-1000, 0, 1500}, {-250, 0, 1500}, {-1000, 30, -1}}) {
        std::int64_t offset = kClockOffsetUnset, arrival = 0, backMs = -1, oldestPublished = 0;
        ClockStepWatch watch;
        for (std::int64_t k = 0; k < 300; ++k) {
            const std::int64_t captured = kT + k * 1000 / 30 - 10;  // 10 ms before its send
            arrival = captured + 10 + (k >= 60 ? (k - 60) * growthMs / 30 : 0);
            const std::uint64_t capture = static_cast<std::uint64_t>(captured + (k >= 60 ? stepMs : 0));
            const std::uint32_t age = EstimateEndToEndAge(capture, 10, offset, At(arrival));
            if (watch.Judge(age, 10, offset, arrival * 1'000'000) <= kMaxPublishedAgeMs) {
                watch.Published();
                oldestPublished = std::max(oldestPublished, arrival - captured);
                backMs = k >= 60 && backMs < 0 ? arrival - (kT + 2000) : backMs;
            }
        }
        EXPECT_LE(oldestPublished, 200) << stepMs << " " << growthMs;
        EXPECT_TRUE(backWithinMs < 0 || (backMs >= 0 && backMs <= backWithinMs)) << stepMs << ": " << backMs;
    }
}

// Flags: g GPU mode, s streamed; q its lines held back at its start, h held lines written at its end, f its failure
// line written. `summarised`: how many attempts a summary line of the code before counts.
TEST(ConnectionLogThrottle, RepeatsAreHeldBackAndSummarisedEveryMinuteChangesWritten) {
    constexpr std::uint32_t kNoServer = 0x80072EFD, kTimedOut = 0x8007274C, kClosed = 0x80070026;
    constexpr std::int64_t kS = 1'000'000'000, kMinute = ConnectionLogThrottle::kSummaryIntervalNs;
    const struct {
        std::uint32_t code;
        std::int64_t atNs;
        const char* flags;
        std::uint64_t summarised;
    } attempts[] = {
        {kNoServer, 10 * kS, "f", 0},
        // The same failure again: nothing until a minute after the last line, then one summary.
        {kNoServer, 11 * kS, "q", 0},
        {kNoServer, 10 * kS + kMinute - 1, "q", 0},
        {kNoServer, 10 * kS + kMinute, "q", 3},
        {kNoServer, 11 * kS + kMinute, "q", 0},
        // Another code: the run so far is summarised, the attempt written in full.
        {kTimedOut, 12 * kS + kMinute, "qhf", 1},
        {kTimedOut, 13 * kS + kMinute, "q", 0},
        {kTimedOut, 14 * kS + kMinute, "gf", 1},  // another decode mode is never held back
        // A connection that streamed wrote its lines then; the next failure is written in full, then held back again.
        {kClosed, 15 * kS + kMinute, "gsqf", 0},
        {kNoServer, 16 * kS + kMinute, "gf", 0},
        {kNoServer, 17 * kS + kMinute, "gq", 0},
        {kNoServer, 18 * kS + kMinute, "gsqf", 1},  // streamed, then the same code: written too
    };
    ConnectionLogThrottle throttle;
    std::uint32_t previous = 0;
    for (const auto& a : attempts) {
        const std::string_view flags = a.flags;
        auto has = [&flags](char flag) { return flags.find(flag) != std::string_view::npos; };
        EXPECT_EQ(throttle.BeginAttempt(has('g')), has('q')) << flags << " at " << a.atNs;
        if (has('s')) {
            throttle.Streamed();
        }
        const ConnectionLogThrottle::Outcome outcome = throttle.EndAttempt(a.code, a.atNs);
        EXPECT_TRUE(outcome.writeHeldLines == has('h') && outcome.writeFailureLine == has('f') &&
                    outcome.summaryCount == a.summarised && (a.summarised == 0 || outcome.summaryCode == previous))
            << flags << " at " << a.atNs;
        previous = a.code;
    }
}

using Store = DecodedFrameStore<std::shared_ptr<int>>;
using Picture = Store::Picture;

std::int64_t fakeNowNs = 1'000'000'000;
std::int64_t FakeClock() noexcept {
    return fakeNowNs;
}

// An NV12 picture whose bytes encode `seed`, so a copy can be told from another.
Picture MakePicture(std::uint32_t width, std::uint32_t height, std::uint8_t seed) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    for (std::size_t i = 0; i < std::size_t{width} * height * 3 / 2; ++i) {
        picture.bytes.push_back(static_cast<std::uint8_t>(seed + i * 7));
    }
    return picture;
}

void Publish(Store& store, Picture picture, std::uint32_t age) {
    std::lock_guard<std::mutex> lock(store.mutex);
    store.PublishPicture(picture, age);
}

struct Take {
    bool taken = false;
    std::uint32_t ageMs = 12345, width = 0, height = 0;
    bool direct = false;
    std::vector<std::uint8_t> destination;
    double waitedMs = 0;
};

Take TakeCpu(Store& store, std::uint64_t& lastSequence, std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint8_t> scratch(4096 * 2304 * 3 / 2);
    Take take;
    take.destination.assign(std::size_t{width} * height * 3 / 2, 0xEE);
    const auto start = std::chrono::steady_clock::now();
    take.taken = store.TakeCpuFrame(take.destination.data(), static_cast<std::uint32_t>(take.destination.size()),
                                    scratch.data(), static_cast<std::uint32_t>(scratch.size()), width, height,
                                    lastSequence, take.ageMs, take.width, take.height, take.direct);
    take.waitedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return take;
}

// Ages come from the controlled clock: on a loaded machine two takes can be over 200 ms apart in real time.
TEST(FrameStore, WaitsAbout18MsForANewerPictureThenGivesTheLatestAgain) {
    Store store(&FakeClock);
    std::uint64_t lastSequence = 0;
    const Take empty = TakeCpu(store, lastSequence, 640, 360);
    EXPECT_TRUE(!empty.taken && empty.ageMs == kNoAge && empty.waitedMs >= 15.0) << empty.waitedMs;
    Publish(store, MakePicture(640, 360, 3), 10);
    const Take first = TakeCpu(store, lastSequence, 640, 360);
    const Take again = TakeCpu(store, lastSequence, 640, 360);
    EXPECT_TRUE(first.taken && again.taken && lastSequence == 1 && again.ageMs == 10);
    EXPECT_GE(again.waitedMs, 15.0) << "no newer picture: the full wait";
    EXPECT_EQ(first.destination, again.destination);
}

TEST(FrameStore, AgeIsPublishedAgePlusTimeSincePublicationAndRefusedAbove200) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    std::uint64_t lastSequence = 0;
    Publish(store, MakePicture(640, 360, 1), 40);
    for (auto [advanceMs, age, taken] : {std::tuple{150, 190u, true}, {10, 200u, true}, {1, 201u, false}}) {
        fakeNowNs += advanceMs * 1'000'000LL;
        const Take take = TakeCpu(store, lastSequence, 640, 360);
        EXPECT_TRUE(take.taken == taken && take.ageMs == age) << take.ageMs;
    }
    EXPECT_EQ(lastSequence, 1u) << "a refused picture is not taken";

    std::lock_guard<std::mutex> lock(store.mutex);
    Picture picture = MakePicture(640, 360, 2);
    store.PublishPicture(picture, kNoAge);  // no end-to-end age: counts as 0
    EXPECT_EQ(store.CurrentAgeMs(), 0u);
    store.ageAtPublishMs = kNoAge - 5;  // the sum saturates instead of wrapping
    fakeNowNs += 10'000'000;
    EXPECT_EQ(store.CurrentAgeMs(), kNoAge);
}

TEST(FrameStore, TexturesAreHandedOutWithTheirSliceAndLetGoOfForMemoryPictures) {
    Store store(&FakeClock, std::chrono::milliseconds(1));
    Picture both = MakePicture(640, 360, 2);
    both.texture = std::make_shared<int>(42);
    both.textureSubresource = 3;
    both.textureWidth = 640;
    both.textureHeight = 360;
    Picture textureOnly = both;
    textureOnly.bytes.clear();
    std::uint64_t gpuSequence = 0, cpuSequence = 0;
    std::uint32_t ageMs = 0;
    Store::GpuFrame frame;
    for (const Picture* picture : {&both, &textureOnly}) {
        Publish(store, *picture, 5);
        ASSERT_TRUE(store.TakeGpuFrame(gpuSequence, ageMs, frame));
        EXPECT_TRUE(frame.texture == both.texture && frame.textureSubresource == 3 && frame.textureWidth == 640 &&
                    frame.textureHeight == 360);
        EXPECT_EQ(TakeCpu(store, cpuSequence, 640, 360).taken, picture == &both) << "bytes only when published";
    }
    fakeNowNs += 196'000'000;  // 201 ms old: not handed out
    EXPECT_FALSE(store.TakeGpuFrame(gpuSequence, ageMs, frame) || ageMs != 201) << ageMs;
    frame = Store::GpuFrame();
    Publish(store, MakePicture(640, 360, 4), 5);
    EXPECT_EQ(both.texture.use_count(), 2) << "the two pictures, no longer the store";
    EXPECT_FALSE(store.TakeGpuFrame(gpuSequence, ageMs, frame) || gpuSequence != 2);
}

// Padding is 0xEE. The mapping ends right after the last byte read, so a read beyond it trips the host's sanitizer.
TEST(PackPitchedNv12, TakesWidthBytesOfEveryRowAndNoPadding) {
    for (const auto& [w, h, pitch] :
         {std::tuple{640u, 360u, 640u}, {650u, 360u, 652u}, {100u, 60u, 128u}, {641u, 361u, 644u}, {6u, 1u, 8u}}) {
        std::vector<std::uint8_t> mapped((h + h / 2 - 1) * std::size_t{pitch} + w, 0xEE), expected(w * h * 3 / 2, 0);
        for (std::uint32_t row = 0; row < h + h / 2; ++row)
            for (std::uint32_t x = 0; x < w; ++x)
                expected[row * w + x] = mapped[row * pitch + x] = std::uint8_t((row * 7 + x * 13 + (row >= h)) & 0x7F);
        std::vector<std::uint8_t> packed(expected.size(), 0);
        PackPitchedNv12(mapped.data(), pitch, w, h, packed.data());
        EXPECT_EQ(packed, expected) << w << "x" << h << " pitch " << pitch;
    }
}

}  // namespace
