// The pixel routines against the rules written out plainly (one division per pixel, sharing no
// code with the library), at every instruction-set level this processor offers, with guard
// bytes around every output and outputs at every alignment; documented examples pin the rules.
// Where the rules would touch a byte outside a buffer, the library must write nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "library/stream/pixel_kernels.h"
#include "library/stream/pixel_routines.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velmora::pixels::InstructionLevel;

constexpr std::size_t kGuard = 64;

std::uint64_t Nv12Size(std::uint64_t w, std::uint64_t h) {
    return w * h * 3 / 2;
}

// ---- The rules ---------------------------------------------------------------------------

// Reads and writes through bounds checks: the first access outside marks the run as failed,
// and then the destination stays as it was.
struct Checked {
    const Bytes& in;
    Bytes out;
    bool outside = false;

    std::uint8_t Get(std::uint64_t index) {
        outside |= index >= in.size();
        return index < in.size() ? in[index] : 0;
    }
    void Set(std::uint64_t index, std::uint8_t value) {
        outside |= index >= out.size();
        if (index < out.size()) {
            out[index] = value;
        }
    }
    bool Commit(Bytes& destination) {
        if (!outside) {
            destination = out;
        }
        return !outside;
    }
};

std::uint32_t RulesCropHeight(std::uint32_t w, std::uint32_t h, std::uint32_t rw, std::uint32_t rh) {
    const std::uint64_t fit = (std::uint64_t{w} * rh + rw / 2) / rw;
    return fit != 0 && fit < h && h - fit <= 16 ? static_cast<std::uint32_t>(fit & ~1ull) : h;
}

bool RulesCopyCropped(const Bytes& source, std::uint32_t w, std::uint32_t h, Bytes& destination, std::uint32_t rw,
                      std::uint32_t rh) {
    const std::uint64_t luma = std::uint64_t{rw} * rh;
    if (w == 0 || h == 0 || rw == 0 || rh == 0 || w != rw || RulesCropHeight(w, h, rw, rh) != rh ||
        destination.size() < luma * 3 / 2) {
        return false;
    }
    for (std::uint64_t i = 0; i < luma * 3 / 2; ++i) {
        destination[i] = source[i < luma ? i : i - luma + std::uint64_t{w} * h];
    }
    return true;
}

bool RulesScale(const Bytes& source, std::uint32_t w, std::uint32_t h, std::uint32_t c, Bytes& destination,
                std::uint32_t rw, std::uint32_t rh) {
    if (w == 0 || h == 0 || c == 0 || rw == 0 || rh == 0 || c > h) {
        return true;  // nothing written, nothing outside
    }
    Checked io{source, destination};
    const std::uint64_t area = std::uint64_t{rw} * rh;
    for (std::uint64_t i = 0; i < area * 3 / 2; ++i) {
        io.Set(i, i < area ? 16 : 128);
    }
    std::uint64_t fh = std::uint64_t{rw} * c / w;
    std::uint64_t fw = rw;
    if (fh > rh) {
        fw = std::uint64_t{rh} * w / c;
        fh = rh;
    }
    fw = std::max<std::uint64_t>(fw & ~1ull, 2);
    fh = std::max<std::uint64_t>(fh & ~1ull, 2);
    // 32-bit subtractions, as the rules have them.
    const std::uint32_t ox = ((rw - static_cast<std::uint32_t>(fw)) >> 1) & 0x7FFFFFFEu;
    const std::uint32_t oy = ((rh - static_cast<std::uint32_t>(fh)) >> 1) & 0x7FFFFFFEu;
    for (std::uint64_t y = 0; y < fh; ++y) {
        for (std::uint64_t x = 0; x < fw; ++x) {
            io.Set((y + oy) * rw + ox + x, io.Get(x * w / fw + y * c / fh * w));
        }
    }
    for (std::uint64_t y = 0; y < fh / 2; ++y) {
        const std::uint64_t from = std::uint64_t{w} * h + w * (y * (c / 2) / (fh / 2));
        for (std::uint64_t x = 0; x < fw; ++x) {
            const std::uint64_t pair = (x & ~1ull) * w / fw & ~1ull;
            io.Set(area + ox + std::uint64_t{rw} * (oy / 2 + y) + x, io.Get(from + pair + x % 2));
        }
    }
    return io.Commit(destination);
}

bool RulesYuy2(const Bytes& source, Bytes& destination, std::uint32_t w, std::uint32_t h) {
    Checked io{source, destination};
    for (std::uint64_t y = 0; y < h; ++y) {
        for (std::uint64_t x = 0; x < w; x += 2) {
            const std::uint64_t out = y * 2 * w + 2 * x;
            const std::uint64_t chroma = std::uint64_t{w} * h + y / 2 * w + x;
            io.Set(out, io.Get(y * w + x));
            io.Set(out + 1, io.Get(chroma));
            io.Set(out + 2, io.Get(y * w + x + 1));
            io.Set(out + 3, io.Get(chroma + 1));
        }
    }
    return io.Commit(destination);
}

Bytes RulesFallback(std::uint64_t counter) {
    Bytes picture(kFallbackPatternBytes);
    for (std::uint64_t r = 0; r < 360; ++r) {
        for (std::uint64_t c = 0; c < 640; ++c) {
            picture[r * 640 + c] = static_cast<std::uint8_t>((4 * counter + r + c) % 256);
            const bool parity = ((c / 80) + (r / 40)) % 2 == 1;
            if (r < 180) {
                picture[230400 + r * 640 + c] = c % 2 ? (parity ? 240 : 70) : (parity ? 90 : 170);
            }
        }
    }
    return picture;
}

// ---- Comparison ----------------------------------------------------------------------------

Bytes RandomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

int SupportedLevel() {
    static const int supported = static_cast<int>(velmora::pixels::SupportedInstructionLevel());
    static const bool reported = std::printf("instruction levels tested: 0 (portable) to %d\n", supported) > 0;
    (void)reported;
    return supported;
}

// Runs body once per level, with that level forced.
template <typename Body>
void AtEveryLevel(Body&& body) {
    const int supported = SupportedLevel();
    for (int level = 0; level <= supported; ++level) {
        SCOPED_TRACE("instruction level " + std::to_string(level));
        ASSERT_EQ(velmora::pixels::ForceInstructionLevel(static_cast<InstructionLevel>(level)),
                  static_cast<InstructionLevel>(level));
        ASSERT_EQ(velmora::pixels::ActiveInstructionLevel(), static_cast<InstructionLevel>(level));
        body();
    }
    velmora::pixels::ResetInstructionLevel();
}

std::string Difference(const Bytes& actual, const Bytes& expected) {
    const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin());
    if (a == actual.end()) {
        return "same";
    }
    return "first difference at output byte " + std::to_string((a - actual.begin()) - std::ptrdiff_t{kGuard}) + ": " +
           std::to_string(*a) + " instead of " + std::to_string(*e);
}

// The rules make their output from a random `size`-byte destination; the library, at every
// level and at a random alignment, must make the same of the same bytes and leave the guard
// bytes around it. Returns whether the rules write.
template <typename Rules, typename Library>
bool MatchesRules(std::size_t size, Rules&& rules, Library&& library, std::mt19937& random) {
    const Bytes initial = RandomBytes(size + 2 * kGuard, random);
    Bytes inner(initial.begin() + kGuard, initial.end() - kGuard);
    const bool writes = rules(inner);
    Bytes expected = initial;
    std::copy(inner.begin(), inner.end(), expected.begin() + kGuard);
    AtEveryLevel([&] {
        const std::size_t skew = random() % 32;
        Bytes actual(skew, 0);
        actual.insert(actual.end(), initial.begin(), initial.end());
        library(actual.data() + skew + kGuard);
        ASSERT_EQ(Difference(Bytes(actual.begin() + skew, actual.end()), expected), "same") << "skew " << skew;
    });
    return writes;
}

bool ScaleMatches(const Bytes& source, std::uint32_t w, std::uint32_t h, std::uint32_t c, std::uint32_t rw,
                  std::uint32_t rh, std::mt19937& random) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " crop " + std::to_string(c) + " -> " +
                 std::to_string(rw) + "x" + std::to_string(rh));
    return MatchesRules(
        Nv12Size(rw, rh), [&](Bytes& out) { return RulesScale(source, w, h, c, out, rw, rh); },
        [&](std::uint8_t* out) { ScaleNv12Letterboxed(source.data(), w, h, c, out, rw, rh); }, random);
}

TEST(PixelRoutines, CropHeight) {
    EXPECT_EQ(CropHeight(1920, 1088, 1920, 1080), 1080u);
    EXPECT_EQ(CropHeight(1920, 1088, 640, 360), 1080u);
    EXPECT_EQ(CropHeight(1920, 1104, 1920, 1080), 1104u);
    EXPECT_EQ(CropHeight(640, 360, 640, 480), 360u);
    EXPECT_EQ(CropHeight(1920, 1096, 1920, 1080), 1080u);  // 16 rows: still cropped
    EXPECT_EQ(CropHeight(1920, 1097, 1920, 1080), 1097u);  // 17 rows: not
    EXPECT_EQ(CropHeight(640, 480, 0, 360), 480u);         // no division by zero
    std::mt19937 random(11);
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t w = random() % 4000 + 1;
        const std::uint32_t h = random() % 4000 + 1;
        const std::uint32_t rw = random() % 4000 + 1;
        const std::uint32_t nearCrop = static_cast<std::uint32_t>(std::uint64_t{h} * rw / w) - random() % 20 + 1;
        const std::uint32_t rh = i % 2 ? random() % 4000 + 1 : nearCrop;
        if (rh != 0 && rh <= 0x7FFFFFFF) {
            ASSERT_EQ(CropHeight(w, h, rw, rh), RulesCropHeight(w, h, rw, rh)) << w << "x" << h << " for " << rw << "x"
                                                                                << rh;
        }
    }
}

TEST(PixelRoutines, CopyNv12Cropped) {
    std::mt19937 random(12);
    struct Case {
        std::uint32_t w, h, rw, rh;
        std::uint64_t size;
    };
    std::vector<Case> cases = {{1920, 1088, 1920, 1080, 3110400}, {1920, 1088, 1280, 1080, 3110400},
                               {1920, 1088, 1920, 1080, 3110399}};
    for (int i = 0; i < 3000; ++i) {
        const std::uint32_t w = random() % 64 + 1;
        const std::uint32_t h = random() % 64 + 1;
        const std::uint32_t rw = i % 8 ? w : random() % 64 + 1;
        const std::uint32_t rh = i % 4 ? h - std::min<std::uint32_t>(h - 1, random() % 18) : random() % 64 + 1;
        const std::uint64_t needed = Nv12Size(rw, rh);
        cases.push_back({w, h, rw, rh, needed + random() % 3 - (needed > 0 ? 1 : 0)});
    }
    int copied = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.w) + "x" + std::to_string(k.h) + " -> " + std::to_string(k.rw) + "x" +
                     std::to_string(k.rh) + " into " + std::to_string(k.size));
        const Bytes source = RandomBytes(Nv12Size(k.w, k.h), random);
        const auto uint32 = static_cast<std::uint32_t>(k.size);
        bool expected = false;
        copied += MatchesRules(
            k.size, [&](Bytes& out) { return expected = RulesCopyCropped(source, k.w, k.h, out, k.rw, k.rh); },
            [&](std::uint8_t* out) {
                EXPECT_EQ(CopyNv12Cropped(source.data(), k.w, k.h, out, uint32, k.rw, k.rh), expected);
            },
            random);
        if (HasFailure()) {
            return;
        }
    }
    EXPECT_TRUE(copied > 300 && copied < 2700) << copied;  // both outcomes exercised
}

// Documented examples, checked on the rules (which the library must then match).
TEST(PixelRoutines, ScaleExamplesPinTheRules) {
    std::mt19937 random(13);
    const auto scale = [](const Bytes& source, std::uint32_t w, std::uint32_t h, std::uint32_t rw, std::uint32_t rh) {
        Bytes out(Nv12Size(rw, rh));
        EXPECT_TRUE(RulesScale(source, w, h, h, out, rw, rh));
        return out;
    };
    const Bytes wide = RandomBytes(Nv12Size(1280, 720), random);
    Bytes out = scale(wide, 1280, 720, 640, 480);  // bars of 60 rows above and below
    for (std::uint32_t y = 0; y < 480; ++y) {
        ASSERT_EQ(out[y * 640 + 7], y < 60 || y >= 420 ? 16 : wide[(y - 60) * 2 * 1280 + 14]) << y;
        const std::uint8_t chroma = y < 60 || y >= 420 ? 128 : wide[921600 + (y - 60) / 2 * 2 * 1280 + 13];
        ASSERT_EQ(out[307200 + y / 2 * 640 + 7], chroma) << y;
    }
    const Bytes vga = RandomBytes(Nv12Size(640, 480), random);
    out = scale(vga, 640, 480, 1280, 720);  // bars of 160 columns left and right
    for (std::uint32_t y = 0; y < 720; ++y) {
        ASSERT_EQ(out[y * 1280 + 159], 16);
        ASSERT_EQ(out[y * 1280 + 1120], 16);
        ASSERT_EQ(out[y * 1280 + 160], vga[(y * 480 / 720) * 640]);
        ASSERT_EQ(out[y * 1280 + 1119], vga[(y * 480 / 720) * 640 + 959 * 640 / 960]);
    }
    const Bytes portrait = RandomBytes(Nv12Size(720, 1280), random);
    out = scale(portrait, 720, 1280, 1280, 720);
    EXPECT_EQ(out[437], 16);
    EXPECT_EQ(out[438], portrait[0]);
    EXPECT_EQ(out[438 + 403], portrait[403 * 720 / 404]);
    EXPECT_EQ(out[438 + 404], 16);
    const Bytes fallback = RulesFallback(5);  // tripled: every source pixel becomes 3 x 3
    out = scale(fallback, 640, 360, 1920, 1080);
    for (std::uint32_t y = 0; y < 1080; ++y) {
        for (std::uint32_t x = 0; x < 1920; ++x) {
            ASSERT_EQ(out[y * 1920 + x], fallback[(y / 3) * 640 + x / 3]) << x << "," << y;
            const std::uint32_t sx = ((x & ~1u) / 3 & ~1u) + x % 2;
            ASSERT_EQ(out[2073600 + y / 2 * 1920 + x], fallback[230400 + (y / 2 / 3) * 640 + sx]);
        }
    }
}

// Catalogue sizes, the test picture, crops and portrait; the sizes that leave the vector
// kernels (wide rows, strong downscales, tiny pictures); sizes where the rules reach outside
// (nothing may be written); random sizes; wide rows at simple ratios.
TEST(PixelRoutines, ScaleMatchesTheRules) {
    std::mt19937 random(14);
    struct Size {
        std::uint32_t w, h, c = 0;
    };
    const Size catalogue[] = {{640, 360, 360},    {640, 368, 360},   {1280, 720, 720},
                              {1920, 1088, 1080}, {1920, 1088, 1088}, {1920, 1080, 1080},
                              {720, 1280, 1280},  {480, 640, 640},   {960, 544, 540}};
    const std::pair<std::uint32_t, std::uint32_t> requests[] = {{640, 360}, {640, 480}, {960, 540}, {1280, 720},
                                                                 {1920, 1080}};
    for (const Size& s : catalogue) {
        Bytes source = RandomBytes(Nv12Size(s.w, s.h), random);
        if (s.w == 640 && s.h == 360) {
            source.assign(kFallbackPatternBytes, 0);
            FillFallbackPattern(source.data(), 77);
        }
        for (const auto& [rw, rh] : requests) {
            ASSERT_TRUE(ScaleMatches(source, s.w, s.h, s.c, rw, rh, random));
        }
    }
    const std::pair<Size, Size> odd[] = {
        {{5000, 6, 6}, {4400, 8}},   {{4400, 8, 8}, {5000, 6}},      {{4000, 40, 40}, {300, 4}},
        {{1920, 1080, 1080}, {100, 60}}, {{32, 4, 4}, {20, 4}},     {{66, 10, 9}, {18, 34}},
        {{16, 16, 16}, {4096, 4096}}, {{64, 8, 8}, {32, 8}},        {{100, 8, 8}, {50, 10}},
        {{36, 6, 6}, {18, 4}},       {{1000, 10, 10}, {500, 6}},    {{130, 4, 3}, {66, 2}}};
    for (const auto& [s, r] : odd) {
        ASSERT_TRUE(ScaleMatches(RandomBytes(Nv12Size(s.w, s.h), random), s.w, s.h, s.c, r.w, r.h, random));
    }
    const std::pair<Size, Size> outside[] = {
        {{640, 360, 360}, {1, 480}}, {{640, 360, 360}, {640, 1}}, {{640, 360, 360}, {1, 1}},  // destination < 2
        {{1920, 1080, 1080}, {1, 1080}}, {{8, 1, 1}, {64, 64}}, {{640, 1, 1}, {640, 480}},    // one source row
        {{3, 2, 2}, {100, 100}},     {{641, 2, 2}, {1284, 4}}};                             // odd width, last pair
    for (const auto& [s, r] : outside) {
        ASSERT_FALSE(ScaleMatches(RandomBytes(Nv12Size(s.w, s.h), random), s.w, s.h, s.c, r.w, r.h, random));
    }
    int written = 0;
    for (int i = 0; i < 1000 && !HasFailure(); ++i) {
        const std::uint32_t limit = i % 3 ? 24 : 700;
        const std::uint32_t w = random() % limit + 1;
        const std::uint32_t h = random() % limit + 1;
        const std::uint32_t c = i % 5 == 0 ? random() % (h + 2) : h - random() % std::min(h, 17u);
        const std::uint32_t rw = random() % limit + 1;
        const std::uint32_t rh = random() % limit + 1;
        written += ScaleMatches(RandomBytes(Nv12Size(w, h), random), w, h, c, rw, rh, random);
    }
    EXPECT_TRUE(written > 700 && written < 980) << written;  // both outcomes exercised
    const std::pair<std::uint32_t, std::uint32_t> ratios[] = {{1, 3}, {2, 3}, {3, 4}, {4, 3}, {3, 2},  {5, 3},
                                                              {9, 16}, {16, 9}, {1, 2}, {2, 1}, {5, 4}, {8, 5}};
    for (int i = 0; i < 120 && !HasFailure(); ++i) {
        const auto [num, den] = ratios[i % std::size(ratios)];
        const std::uint32_t w = (random() % 1000 + 8) * 2;
        const std::uint32_t h = random() % 6 + 2;
        const std::uint32_t rw = std::max<std::uint32_t>(w * num / den & ~1u, 2);
        // Tall enough that the fitted width is the requested one.
        ASSERT_TRUE(ScaleMatches(RandomBytes(Nv12Size(w, h), random), w, h, h, rw, rw * h / w + 2, random));
    }
}

TEST(PixelRoutines, Yuy2MatchesTheRulesAndExample) {
    std::mt19937 random(16);
    Bytes tiny(8);
    ASSERT_TRUE(RulesYuy2({10, 20, 30, 40, 100, 200}, tiny, 2, 2));
    EXPECT_EQ(tiny, (Bytes{10, 100, 20, 200, 30, 100, 40, 200}));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes = {{1920, 1080}, {1280, 720}, {640, 360}, {2, 2},
                                                                  {30, 4}, {34, 6}, {62, 2}, {640, 359}, {639, 360},
                                                                  {1, 1}, {2, 1}};
    for (int i = 0; i < 400; ++i) {
        sizes.emplace_back(random() % 100 + 1, random() % 20 + 1);  // odd ones included
    }
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const Bytes source = RandomBytes(Nv12Size(w, h), random);
        const bool writes = MatchesRules(
            std::size_t{w} * h * 2, [&](Bytes& out) { return RulesYuy2(source, out, w, h); },
            [&](std::uint8_t* out) { ConvertNv12ToYuy2(source.data(), out, w, h); }, random);
        ASSERT_EQ(writes, w % 2 == 0 && h % 2 == 0);
    }
}

TEST(PixelRoutines, FallbackPatternMatchesTheRulesAndExamples) {
    std::mt19937 random(17);
    const Bytes picture = RulesFallback(0);
    const std::pair<std::size_t, std::uint8_t> examples[] = {
        {0, 0},        {255, 255},     {640 + 255, 0},     {359 * 640 + 639, 230},        {230400, 170},
        {230401, 70},  {230480, 90},   {230481, 240},      {230400 + 40 * 640, 90},       {230400 + 40 * 640 + 1, 240}};
    for (const auto& [index, value] : examples) {
        EXPECT_EQ(picture[index], value) << index;
    }
    EXPECT_TRUE(std::equal(picture.begin(), picture.begin() + 230400, RulesFallback(64).begin()));
    for (const std::uint64_t counter : {0ull, 1ull, 63ull, 65ull, (1ull << 40) + 3, ~0ull}) {
        SCOPED_TRACE(counter);
        MatchesRules(
            kFallbackPatternBytes, [&](Bytes& out) { return out = RulesFallback(counter), true; },
            [&](std::uint8_t* out) { FillFallbackPattern(out, counter); }, random);
    }
}

// Pictures of 4 GiB or more (32-bit sizes would wrap) with small real buffers, and null
// buffers: nothing written (the host tree runs this under AddressSanitizer).
TEST(PixelRoutines, HugeSizesAndNullBuffersTouchNothing) {
    std::mt19937 random(18);
    const Bytes small = RandomBytes(4096, random);
    const Bytes before = RandomBytes(4096, random);
    Bytes out = before;
    ScaleNv12Letterboxed(small.data(), 65536, 65536, 65536, out.data(), 640, 480);
    ScaleNv12Letterboxed(small.data(), 32, 32, 32, out.data(), 65536, 65536);
    ScaleNv12Letterboxed(small.data(), 32, 32, 32, out.data(), 65536, 43691);
    ConvertNv12ToYuy2(small.data(), out.data(), 46342, 46342);
    EXPECT_FALSE(CopyNv12Cropped(small.data(), 65536, 65536, out.data(), 4096, 65536, 65536));
    EXPECT_FALSE(CopyNv12Cropped(small.data(), 65536, 43692, out.data(), 0xFFFFFFFFu, 65536, 43690));
    ScaleNv12Letterboxed(nullptr, 640, 360, 360, out.data(), 640, 480);
    ScaleNv12Letterboxed(small.data(), 16, 16, 16, nullptr, 16, 16);
    ConvertNv12ToYuy2(nullptr, out.data(), 16, 16);
    ConvertNv12ToYuy2(small.data(), nullptr, 16, 16);
    EXPECT_FALSE(CopyNv12Cropped(nullptr, 16, 16, out.data(), 4096, 16, 16));
    EXPECT_FALSE(CopyNv12Cropped(small.data(), 16, 16, nullptr, 4096, 16, 16));
    FillFallbackPattern(nullptr, 1);
    EXPECT_TRUE(out == before);
}

}  // namespace
