// The graphics fallback log throttle and the packing of mapped NV12 rows.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "library/receiver/nv12_packing.h"
#include "library/receiver/sample_fallback_throttle.h"

TEST(SampleFallbackThrottle, FirstLineThenAtMostOneSummaryAMinute) {
    using Line = SampleFallbackThrottle::Line;
    constexpr std::int64_t s = 1'000'000'000, t0 = 1000 * s;  // the steady clock does not start at 0
    SampleFallbackThrottle throttle;
    auto expect = [&](const Line& line, Line::Kind kind, std::uint64_t count = 0, std::uint64_t seconds = 0) {
        EXPECT_TRUE(line.kind == kind && (kind != Line::Summary || (line.count == count && line.seconds == seconds)))
            << line.kind << " " << line.count << " " << line.seconds;
    };
    expect(throttle.Record(t0), Line::First);
    for (int n = 1; n < 1800; ++n) expect(throttle.Record(t0 + n * s / 30), Line::None);  // a minute at 30/s
    expect(throttle.Record(t0 + 60 * s), Line::Summary, 1800, 60);
    expect(throttle.Record(t0 + 119 * s), Line::None);  // the next minute counts from that line
    expect(throttle.Record(t0 + 400 * s), Line::Summary, 2, 340);
    expect(throttle.Finish(t0 + 401 * s), Line::None);  // nothing left to tell
    expect(throttle.Record(t0 + 500 * s), Line::First);  // the next connection starts over
    expect(throttle.Record(t0 + 501 * s), Line::None);
    expect(throttle.Record(t0 + 502 * s), Line::None);
    expect(throttle.Finish(t0 + 512 * s), Line::Summary, 2, 12);
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
