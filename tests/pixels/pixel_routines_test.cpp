// The pixel routines against the plain rules (plain_rules.cpp), at every instruction-set level
// this processor offers, with guard bytes around every output; the documented examples; and
// the sizes at which the plain rules would reach outside their buffers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "library/stream/pixel_kernels.h"
#include "library/stream/pixel_routines.h"
#include "tests/pixels/plain_rules.h"

namespace {

using plain_rules::Bytes;
using velmora::pixels::InstructionLevel;

constexpr std::size_t kGuard = 64;

std::vector<InstructionLevel> Levels() {
    static const bool reported = [] {
        std::printf("instruction levels tested: 0 (portable) to %d\n",
                    static_cast<int>(velmora::pixels::SupportedInstructionLevel()));
        return true;
    }();
    (void)reported;
    std::vector<InstructionLevel> levels;
    for (int level = 0; level <= static_cast<int>(velmora::pixels::SupportedInstructionLevel());
         ++level) {
        levels.push_back(static_cast<InstructionLevel>(level));
    }
    return levels;
}

// Runs body once per level, with that level forced.
template <typename Body>
void AtEveryLevel(Body&& body) {
    for (const InstructionLevel level : Levels()) {
        SCOPED_TRACE("instruction level " + std::to_string(static_cast<int>(level)));
        ASSERT_EQ(velmora::pixels::ForceInstructionLevel(level), level);
        ASSERT_EQ(velmora::pixels::ActiveInstructionLevel(), level);
        body();
    }
    velmora::pixels::ResetInstructionLevel();
}

Bytes RandomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

std::uint64_t Nv12Size(std::uint64_t w, std::uint64_t h) { return w * h * 3 / 2; }

// An output buffer of `size` bytes between two guard areas, all random.
struct Guarded {
    Guarded(std::size_t size, std::mt19937& random) : bytes(RandomBytes(size + 2 * kGuard, random)) {}
    std::uint8_t* Data() { return bytes.data() + kGuard; }
    std::size_t Size() const { return bytes.size() - 2 * kGuard; }
    Bytes Inner() const { return Bytes(bytes.begin() + kGuard, bytes.end() - kGuard); }
    void SetInner(const Bytes& inner) { std::copy(inner.begin(), inner.end(), bytes.begin() + kGuard); }
    Bytes bytes;
};

// Index of the first differing byte (offset by the guard), or "same".
std::string Difference(const Bytes& actual, const Bytes& expected) {
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i] != expected[i]) {
            return "first difference at output byte " +
                   std::to_string(static_cast<long long>(i) - static_cast<long long>(kGuard)) +
                   ": " + std::to_string(actual[i]) + " instead of " + std::to_string(expected[i]);
        }
    }
    return "same";
}

// Scales with the library at every level and compares with the rules, guards included.
// Returns whether the rules write (false: they would reach outside a buffer).
bool CheckScale(const Bytes& source, std::uint32_t w, std::uint32_t h, std::uint32_t c,
                std::uint32_t rw, std::uint32_t rh, std::mt19937& random) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " crop " + std::to_string(c) +
                 " -> " + std::to_string(rw) + "x" + std::to_string(rh));
    const Guarded initial(Nv12Size(rw, rh), random);
    Guarded expected = initial;
    Bytes inner = expected.Inner();
    const bool writes = plain_rules::ScaleNv12Letterboxed(source, w, h, c, inner, rw, rh);
    expected.SetInner(inner);
    AtEveryLevel([&] {
        // Output rows at every alignment: the vector kernels lay out their stores by it.
        const std::size_t skew = random() % 32;
        Bytes actual(skew, 0x3C);
        actual.insert(actual.end(), initial.bytes.begin(), initial.bytes.end());
        ScaleNv12Letterboxed(source.data(), w, h, c, actual.data() + skew + kGuard, rw, rh);
        EXPECT_EQ(Difference(Bytes(actual.begin() + skew, actual.end()), expected.bytes), "same")
            << "skew " << skew;
        EXPECT_EQ(Bytes(actual.begin(), actual.begin() + skew), Bytes(skew, 0x3C));
    });
    return writes;
}

TEST(PixelRoutines, CropHeightMatchesTheRulesAndExamples) {
    EXPECT_EQ(CropHeight(1920, 1088, 1920, 1080), 1080u);
    EXPECT_EQ(CropHeight(1920, 1088, 640, 360), 1080u);
    EXPECT_EQ(CropHeight(1920, 1104, 1920, 1080), 1104u);
    EXPECT_EQ(CropHeight(640, 360, 640, 480), 360u);
    EXPECT_EQ(CropHeight(1920, 1096, 1920, 1080), 1080u);  // 16 rows: still cropped
    EXPECT_EQ(CropHeight(1920, 1097, 1920, 1080), 1097u);  // 17 rows: not
    EXPECT_EQ(CropHeight(640, 480, 0, 360), 480u);         // no division by zero
    std::mt19937 random(11);
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t w = random() % 4000 + 1, h = random() % 4000 + 1;
        const std::uint32_t rw = random() % 4000 + 1;
        const std::uint32_t rh = i % 2 ? random() % 4000 + 1
                                       : static_cast<std::uint32_t>(std::uint64_t{h} * rw / w) -
                                             random() % 20 + 1;  // near the crop window
        if (rh == 0 || rh > 0x7FFFFFFF) {
            continue;
        }
        ASSERT_EQ(CropHeight(w, h, rw, rh), plain_rules::CropHeight(w, h, rw, rh))
            << w << "x" << h << " for " << rw << "x" << rh;
    }
}

TEST(PixelRoutines, CopyNv12CroppedMatchesTheRulesAndExamples) {
    std::mt19937 random(12);
    {
        const Bytes source = RandomBytes(Nv12Size(1920, 1088), random);
        Guarded copy(3110400, random);
        const Bytes guards = copy.bytes;
        ASSERT_TRUE(CopyNv12Cropped(source.data(), 1920, 1088, copy.Data(), 3110400, 1920, 1080));
        const Bytes destination = copy.Inner();
        EXPECT_TRUE(std::equal(source.begin(), source.begin() + 2073600, destination.begin()));
        EXPECT_TRUE(std::equal(source.begin() + 2088960, source.begin() + 2088960 + 1036800,
                               destination.begin() + 2073600));
        EXPECT_TRUE(std::equal(guards.begin(), guards.begin() + kGuard, copy.bytes.begin()));
        EXPECT_TRUE(std::equal(guards.end() - kGuard, guards.end(), copy.bytes.end() - kGuard));
        Guarded untouched(3110400, random);
        const Bytes before = untouched.bytes;
        EXPECT_FALSE(CopyNv12Cropped(source.data(), 1920, 1088, untouched.Data(), 3110400, 1280, 1080));
        EXPECT_FALSE(CopyNv12Cropped(source.data(), 1920, 1088, untouched.Data(), 3110399, 1920, 1080));
        EXPECT_EQ(Difference(untouched.bytes, before), "same");
    }
    for (int i = 0; i < 3000; ++i) {
        const std::uint32_t w = random() % 64 + 1, h = random() % 64 + 1;
        const std::uint32_t rw = i % 8 ? w : random() % 64 + 1;
        const std::uint32_t rh = i % 4 ? h - std::min<std::uint32_t>(h - 1, random() % 18) : random() % 64 + 1;
        const std::uint64_t needed = Nv12Size(rw, rh);
        const std::uint64_t size = needed + random() % 3 - (needed > 0 ? 1 : 0);
        const Bytes source = RandomBytes(Nv12Size(w, h), random);
        const Guarded initial(size, random);
        Guarded expected = initial, actual = initial;
        Bytes inner = expected.Inner();
        const bool result = plain_rules::CopyNv12Cropped(source, w, h, inner, rw, rh);
        expected.SetInner(inner);
        ASSERT_EQ(CopyNv12Cropped(source.data(), w, h, actual.Data(), size, rw, rh), result)
            << w << "x" << h << " -> " << rw << "x" << rh << " into " << size;
        ASSERT_EQ(Difference(actual.bytes, expected.bytes), "same");
    }
}

TEST(PixelRoutines, ScaleExamples) {
    std::mt19937 random(13);
    const auto scale = [&](const Bytes& source, std::uint32_t w, std::uint32_t h,
                           std::uint32_t c, std::uint32_t rw, std::uint32_t rh) {
        Guarded out(Nv12Size(rw, rh), random);
        const Bytes before = out.bytes;
        ScaleNv12Letterboxed(source.data(), w, h, c, out.Data(), rw, rh);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + kGuard, out.bytes.begin()));
        EXPECT_TRUE(std::equal(before.end() - kGuard, before.end(), out.bytes.end() - kGuard));
        return out.Inner();
    };
    AtEveryLevel([&] {
        const Bytes wide = RandomBytes(Nv12Size(1280, 720), random);
        Bytes out = scale(wide, 1280, 720, 720, 640, 480);
        for (std::uint32_t y = 0; y < 480; ++y) {
            for (std::uint32_t x = 0; x < 640; ++x) {
                const std::uint8_t want = y < 60 || y >= 420 ? 16 : wide[(y - 60) * 2 * 1280 + 2 * x];
                ASSERT_EQ(out[y * 640 + x], want) << x << "," << y;
            }
        }
        for (std::uint32_t y = 0; y < 240; ++y) {
            if (y < 30 || y >= 210) {
                for (std::uint32_t x = 0; x < 640; ++x) {
                    ASSERT_EQ(out[307200 + y * 640 + x], 128) << x << "," << y;
                }
            }
        }

        const Bytes vga = RandomBytes(Nv12Size(640, 480), random);
        out = scale(vga, 640, 480, 480, 1280, 720);
        for (std::uint32_t y = 0; y < 720; ++y) {
            ASSERT_EQ(out[y * 1280 + 159], 16);
            ASSERT_EQ(out[y * 1280 + 1120], 16);
            ASSERT_EQ(out[y * 1280 + 160], vga[(y * 480 / 720) * 640]);
            ASSERT_EQ(out[y * 1280 + 1119], vga[(y * 480 / 720) * 640 + 959 * 640 / 960]);
        }

        const Bytes portrait = RandomBytes(Nv12Size(720, 1280), random);
        out = scale(portrait, 720, 1280, 1280, 1280, 720);
        EXPECT_EQ(out[437], 16);
        EXPECT_EQ(out[438], portrait[0]);
        EXPECT_EQ(out[438 + 403], portrait[403 * 720 / 404]);
        EXPECT_EQ(out[438 + 404], 16);

        // The test picture tripled: every source pixel becomes 3 x 3, no bars.
        Bytes fallback(kFallbackPatternBytes);
        FillFallbackPattern(fallback.data(), 5);
        out = scale(fallback, 640, 360, 360, 1920, 1080);
        for (std::uint32_t y = 0; y < 1080; ++y) {
            for (std::uint32_t x = 0; x < 1920; ++x) {
                ASSERT_EQ(out[y * 1920 + x], fallback[(y / 3) * 640 + x / 3]) << x << "," << y;
            }
        }
        for (std::uint32_t y = 0; y < 540; ++y) {
            for (std::uint32_t x = 0; x < 1920; ++x) {
                const std::uint32_t sx = ((x & ~1u) / 3 & ~1u) + x % 2;
                ASSERT_EQ(out[2073600 + y * 1920 + x], fallback[230400 + (y / 3) * 640 + sx]);
            }
        }

        // Crop height 0 or beyond the source: untouched.
        for (const std::uint32_t crop : {0u, 721u}) {
            Bytes untouched(Nv12Size(640, 480), 0x5A);
            ScaleNv12Letterboxed(wide.data(), 1280, 720, crop, untouched.data(), 640, 480);
            EXPECT_EQ(untouched, Bytes(Nv12Size(640, 480), 0x5A));
        }
    });
}

// Catalogue-like sizes, the test picture, crops, portrait, and the sizes that leave the
// vector kernels (wide rows, strong downscales, tiny pictures).
TEST(PixelRoutines, ScaleMatchesTheRulesForCameraSizes) {
    std::mt19937 random(14);
    struct Size { std::uint32_t w, h, c; };
    const Size sources[] = {{640, 360, 360},  {640, 368, 360},   {1280, 720, 720},
                            {1920, 1088, 1080}, {1920, 1088, 1088}, {1920, 1080, 1080},
                            {720, 1280, 1280},  {480, 640, 640},   {960, 544, 540}};
    const Size requests[] = {{640, 360, 0}, {640, 480, 0}, {960, 540, 0}, {1280, 720, 0}, {1920, 1080, 0}};
    Bytes fallback(kFallbackPatternBytes);
    FillFallbackPattern(fallback.data(), 77);
    for (const Size& s : sources) {
        const Bytes source = s.w == 640 && s.h == 360 ? fallback : RandomBytes(Nv12Size(s.w, s.h), random);
        for (const Size& r : requests) {
            ASSERT_TRUE(CheckScale(source, s.w, s.h, s.c, r.w, r.h, random));
        }
    }
    const Size odd[][2] = {{{5000, 6, 6}, {4400, 8, 0}},  {{4400, 8, 8}, {5000, 6, 0}},
                           {{4000, 40, 40}, {300, 4, 0}}, {{1920, 1080, 1080}, {100, 60, 0}},
                           {{32, 4, 4}, {20, 4, 0}},      {{66, 10, 9}, {18, 34, 0}},
                           {{16, 16, 16}, {4096, 4096, 0}},  {{64, 8, 8}, {32, 8, 0}},
                           {{100, 8, 8}, {50, 10, 0}},       {{36, 6, 6}, {18, 4, 0}},
                           {{1000, 10, 10}, {500, 6, 0}},    {{130, 4, 3}, {66, 2, 0}}};
    for (const auto& pair : odd) {
        const Bytes source = RandomBytes(Nv12Size(pair[0].w, pair[0].h), random);
        ASSERT_TRUE(CheckScale(source, pair[0].w, pair[0].h, pair[0].c, pair[1].w, pair[1].h, random));
    }
}

TEST(PixelRoutines, ScaleMatchesTheRulesForRandomSizes) {
    std::mt19937 random(15);
    int written = 0, refused = 0;
    for (int i = 0; i < 1000; ++i) {
        const bool small = i % 3 != 0;
        const std::uint32_t limit = small ? 24 : 700;
        const std::uint32_t w = random() % limit + 1, h = random() % limit + 1;
        const std::uint32_t c = i % 5 == 0 ? random() % (h + 2) : h - random() % std::min(h, 17u);
        const std::uint32_t rw = random() % limit + 1, rh = random() % limit + 1;
        const Bytes source = RandomBytes(Nv12Size(w, h), random);
        ++(CheckScale(source, w, h, c, rw, rh, random) ? written : refused);
        if (HasFailure()) {
            return;
        }
    }
    // Both outcomes must have been exercised.
    EXPECT_GT(written, 700);
    EXPECT_GT(refused, 20);
}

// Wide rows at simple ratios, whose column choices repeat along the row.
TEST(PixelRoutines, ScaleMatchesTheRulesForSimpleRatios) {
    std::mt19937 random(19);
    const std::pair<std::uint32_t, std::uint32_t> ratios[] = {
        {1, 3}, {2, 3}, {3, 4}, {4, 3}, {3, 2}, {5, 3}, {9, 16}, {16, 9}, {1, 2}, {2, 1}, {5, 4}, {8, 5}};
    for (int i = 0; i < 120; ++i) {
        const auto [num, den] = ratios[i % std::size(ratios)];
        const std::uint32_t w = (random() % 1000 + 8) * 2, h = random() % 6 + 2;
        const std::uint32_t rw = std::max<std::uint32_t>(w * num / den & ~1u, 2);
        const Bytes source = RandomBytes(Nv12Size(w, h), random);
        // Tall enough that the fitted width is the requested one.
        ASSERT_TRUE(CheckScale(source, w, h, h, rw, rw * h / w + 2, random));
    }
}

TEST(PixelRoutines, Yuy2MatchesTheRulesAndExample) {
    std::mt19937 random(16);
    AtEveryLevel([&] {
        const Bytes tiny = {10, 20, 30, 40, 100, 200};
        Guarded out(8, random);
        Guarded expected = out;
        expected.SetInner({10, 100, 20, 200, 30, 100, 40, 200});
        ConvertNv12ToYuy2(tiny.data(), out.Data(), 2, 2);
        EXPECT_EQ(Difference(out.bytes, expected.bytes), "same");
    });
    const std::pair<std::uint32_t, std::uint32_t> fixed[] = {{1920, 1080}, {1280, 720}, {640, 360},
                                                             {2, 2}, {30, 4}, {34, 6}, {62, 2}};
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes(std::begin(fixed), std::end(fixed));
    for (int i = 0; i < 400; ++i) {
        sizes.emplace_back(random() % 100 + 1, random() % 20 + 1);  // odd ones included
    }
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const Bytes source = RandomBytes(Nv12Size(w, h), random);
        const Guarded initial(std::size_t{w} * h * 2, random);
        Guarded expected = initial;
        Bytes inner = expected.Inner();
        const bool writes = plain_rules::ConvertNv12ToYuy2(source, inner, w, h);
        EXPECT_EQ(writes, w % 2 == 0 && h % 2 == 0);
        expected.SetInner(inner);
        AtEveryLevel([&] {
            Guarded actual = initial;
            ConvertNv12ToYuy2(source.data(), actual.Data(), w, h);
            ASSERT_EQ(Difference(actual.bytes, expected.bytes), "same");
        });
        if (HasFailure()) {
            return;
        }
    }
}

TEST(PixelRoutines, FallbackPatternMatchesTheRulesAndExamples) {
    std::mt19937 random(17);
    Guarded zero(kFallbackPatternBytes, random);
    FillFallbackPattern(zero.Data(), 0);
    const Bytes picture = zero.Inner();
    EXPECT_EQ(picture[0], 0);
    EXPECT_EQ(picture[255], 255);
    EXPECT_EQ(picture[640 + 255], 0);
    EXPECT_EQ(picture[359 * 640 + 639], 230);
    EXPECT_EQ(picture[230400], 170);
    EXPECT_EQ(picture[230401], 70);
    EXPECT_EQ(picture[230400 + 80], 90);
    EXPECT_EQ(picture[230400 + 81], 240);
    EXPECT_EQ(picture[230400 + 40 * 640], 90);
    EXPECT_EQ(picture[230400 + 40 * 640 + 1], 240);
    Bytes shifted(kFallbackPatternBytes);
    FillFallbackPattern(shifted.data(), 64);
    EXPECT_TRUE(std::equal(picture.begin(), picture.begin() + 230400, shifted.begin()));
    for (const std::uint64_t counter : {0ull, 1ull, 63ull, 65ull, (1ull << 40) + 3, ~0ull}) {
        const Guarded initial(kFallbackPatternBytes, random);
        Guarded expected = initial;
        expected.SetInner(plain_rules::FallbackPattern(counter));
        AtEveryLevel([&] {
            Guarded actual = initial;
            FillFallbackPattern(actual.Data(), counter);
            EXPECT_EQ(Difference(actual.bytes, expected.bytes), "same") << "counter " << counter;
        });
    }
}

// Sizes where the plain rules reach outside their buffers: nothing is written, nothing read
// outside (the host tree runs this under AddressSanitizer).
TEST(PixelRoutines, SizesOutsideTheRulesTouchNothing) {
    std::mt19937 random(18);
    struct Case { std::uint32_t w, h, c, rw, rh; };
    const Case scales[] = {
        {640, 360, 360, 1, 480},  {640, 360, 360, 640, 1},  {640, 360, 360, 1, 1},   // destination < 2
        {1920, 1080, 1080, 1, 1080}, {8, 1, 1, 64, 64},     {640, 1, 1, 640, 480},    // one source row
        {3, 2, 2, 100, 100},      {641, 2, 2, 1284, 4},                              // odd width, last pair
    };
    AtEveryLevel([&] {
        for (const Case& k : scales) {
            SCOPED_TRACE(std::to_string(k.w) + "x" + std::to_string(k.h) + " -> " +
                         std::to_string(k.rw) + "x" + std::to_string(k.rh));
            const Bytes source = RandomBytes(Nv12Size(k.w, k.h), random);
            Bytes rulesOut(Nv12Size(k.rw, k.rh));
            ASSERT_FALSE(plain_rules::ScaleNv12Letterboxed(source, k.w, k.h, k.c, rulesOut, k.rw, k.rh));
            Guarded out(Nv12Size(k.rw, k.rh), random);
            const Bytes before = out.bytes;
            ScaleNv12Letterboxed(source.data(), k.w, k.h, k.c, out.Data(), k.rw, k.rh);
            EXPECT_EQ(Difference(out.bytes, before), "same");
        }
        for (const auto& [w, h] : {std::pair{640u, 359u}, {639u, 360u}, {1u, 1u}, {2u, 1u}}) {
            const Bytes source = RandomBytes(Nv12Size(w, h), random);
            Guarded out(std::size_t{w} * h * 2, random);
            const Bytes before = out.bytes;
            ConvertNv12ToYuy2(source.data(), out.Data(), w, h);
            EXPECT_EQ(Difference(out.bytes, before), "same") << w << "x" << h;
        }
    });

    // Pictures of 4 GiB or more (32-bit sizes would wrap) with small real buffers.
    const Bytes small = RandomBytes(4096, random);
    Guarded out(4096, random);
    const Bytes before = out.bytes;
    ScaleNv12Letterboxed(small.data(), 65536, 65536, 65536, out.Data(), 640, 480);
    ScaleNv12Letterboxed(small.data(), 32, 32, 32, out.Data(), 65536, 65536);
    ScaleNv12Letterboxed(small.data(), 32, 32, 32, out.Data(), 65536, 43691);
    ConvertNv12ToYuy2(small.data(), out.Data(), 46342, 46342);
    EXPECT_FALSE(CopyNv12Cropped(small.data(), 65536, 65536, out.Data(), 4096, 65536, 65536));
    EXPECT_FALSE(CopyNv12Cropped(small.data(), 65536, 43692, out.Data(), 0xFFFFFFFFu, 65536, 43690));
    // Null buffers.
    ScaleNv12Letterboxed(nullptr, 640, 360, 360, out.Data(), 640, 480);
    ScaleNv12Letterboxed(small.data(), 16, 16, 16, nullptr, 16, 16);
    ConvertNv12ToYuy2(nullptr, out.Data(), 16, 16);
    ConvertNv12ToYuy2(small.data(), nullptr, 16, 16);
    EXPECT_FALSE(CopyNv12Cropped(nullptr, 16, 16, out.Data(), 4096, 16, 16));
    EXPECT_FALSE(CopyNv12Cropped(small.data(), 16, 16, nullptr, 4096, 16, 16));
    FillFallbackPattern(nullptr, 1);
    EXPECT_EQ(Difference(out.bytes, before), "same");
}

}  // namespace
