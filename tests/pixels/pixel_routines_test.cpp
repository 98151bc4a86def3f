// The pixel routines against plainly written rules that share no code with the library; documented examples pin them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <vector>

#include "library/stream/pixel_kernels.h"
#include "library/stream/pixel_routines.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velmora::pixels::InstructionLevel;
using U32 = std::uint32_t;
using U64 = std::uint64_t;

constexpr std::size_t kGuard = 64;

U64 Nv12Size(U64 w, U64 h) { return w * h * 3 / 2; }

U32 RulesCropHeight(U32 w, U32 h, U32 rw, U32 rh) {
    const U64 fit = (U64{w} * rh + rw / 2) / rw;
    return fit != 0 && fit < h && h - fit <= 16 ? static_cast<U32>(fit & ~1ull) : h;
}

bool RulesCopyCropped(const Bytes& source, U32 w, U32 h, Bytes& destination, U32 rw, U32 rh) {
    const U64 luma = U64{rw} * rh;
    if (w == 0 || h == 0 || rw == 0 || rh == 0 || w != rw || RulesCropHeight(w, h, rw, rh) != rh ||
        destination.size() < luma * 3 / 2) {
        return false;
    }
    for (U64 i = 0; i < luma * 3 / 2; ++i) {
        destination[i] = source[i < luma ? i : i - luma + U64{w} * h];
    }
    return true;
}

bool RulesScale(const Bytes& source, U32 w, U32 h, U32 c, Bytes& destination, U32 rw, U32 rh) {
    if (w == 0 || h == 0 || c == 0 || rw == 0 || rh == 0 || c > h) {
        return true;  // nothing written, nothing outside
    }
    const U64 area = U64{rw} * rh;
    for (U64 i = 0; i < area * 3 / 2; ++i) {
        destination.at(i) = i < area ? 16 : 128;
    }
    const bool tall = U64{rw} * c / w > rh;  // the picture fills the height, not the width
    const U64 fw = std::max<U64>((tall ? U64{rh} * w / c : rw) & ~1ull, 2);
    const U64 fh = std::max<U64>((tall ? rh : U64{rw} * c / w) & ~1ull, 2);
    // 32-bit subtractions, as the rules have them.
    const U32 ox = ((rw - static_cast<U32>(fw)) >> 1) & 0x7FFFFFFEu;
    const U32 oy = ((rh - static_cast<U32>(fh)) >> 1) & 0x7FFFFFFEu;
    for (U64 y = 0; y < fh; ++y) {
        for (U64 x = 0; x < fw; ++x) {
            destination.at((y + oy) * rw + ox + x) = source.at(x * w / fw + y * c / fh * w);
            // The chroma pair of the column's pair, from the chroma row of the output row.
            const U64 chroma = U64{w} * h + w * (y * (c / 2) / (fh / 2)) + ((x & ~1ull) * w / fw & ~1ull) + x % 2;
            if (y < fh / 2) destination.at(area + ox + U64{rw} * (oy / 2 + y) + x) = source.at(chroma);
        }
    }
    return true;
}

// Each luma byte, then the byte of its column in the chroma row; an odd width has no last pair.
bool RulesYuy2(const Bytes& source, Bytes& destination, U32 w, U32 h) {
    for (U64 i = 0; i < U64{w} * h * 2; ++i) {
        const U64 y = i / (2 * U64{w}), x = i % (2 * U64{w}) / 2;
        destination.at(i) = source.at(i % 2 ? U64{w} * h + y / 2 * w + x : y * w + x);
    }
    return w % 2 == 0;
}

bool RulesFallback(Bytes& picture, U64 counter) {
    for (U64 r = 0; r < 360; ++r) {
        for (U64 c = 0; c < 640; ++c) {
            picture[r * 640 + c] = static_cast<std::uint8_t>((4 * counter + r + c) % 256);
            const bool parity = ((c / 80) + (r / 40)) % 2 == 1;
            if (r < 180) {
                picture[230400 + r * 640 + c] = c % 2 ? (parity ? 240 : 70) : (parity ? 90 : 170);
            }
        }
    }
    return true;
}

Bytes RandomBytes(std::size_t size, std::mt19937& random) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<std::uint8_t>(random()); });
    return bytes;
}

// Rules that reach outside a buffer (at() throws) write nothing, nor may the library. Returns whether the rules write.
template <typename Rules, typename Library>
bool MatchesRules(std::size_t size, Rules&& rules, Library&& library, std::mt19937& random) {
    const Bytes initial = RandomBytes(size + 2 * kGuard, random);
    Bytes expected = initial;
    Bytes inner(initial.begin() + kGuard, initial.end() - kGuard);
    bool writes = false;
    try {
        writes = rules(inner);
    } catch (const std::out_of_range&) {
    }
    if (writes) std::copy(inner.begin(), inner.end(), expected.begin() + kGuard);
    for (int level = 0; level <= static_cast<int>(velmora::pixels::SupportedInstructionLevel()); ++level) {
        const auto forced = static_cast<InstructionLevel>(level);
        EXPECT_EQ(velmora::pixels::ForceInstructionLevel(forced), forced);
        EXPECT_EQ(velmora::pixels::ActiveInstructionLevel(), forced);
        const std::size_t skew = random() % 32;
        Bytes actual(skew, 0);
        actual.insert(actual.end(), initial.begin(), initial.end());
        library(actual.data() + skew + kGuard);
        const auto [a, e] = std::mismatch(actual.begin() + skew, actual.end(), expected.begin());
        EXPECT_TRUE(a == actual.end()) << "level " << level << ", skew " << skew << ": output byte "
                                       << (e - expected.begin()) - std::ptrdiff_t{kGuard} << " is " << int{*a}
                                       << " instead of " << int{*e};
    }
    velmora::pixels::ResetInstructionLevel();
    return writes;
}

// Scales the source and packs it as YUY2 at its own size; whether the scale rules stay inside.
bool ScaleMatches(U32 w, U32 h, U32 c, U32 rw, U32 rh, std::mt19937& random, const Bytes* given = nullptr) {
    SCOPED_TRACE(testing::Message() << w << "x" << h << " crop " << c << " -> " << rw << "x" << rh);
    const Bytes source = given ? *given : RandomBytes(Nv12Size(w, h), random);
    const bool packs = MatchesRules(
        std::size_t{w} * h * 2, [&](Bytes& out) { return RulesYuy2(source, out, w, h); },
        [&](std::uint8_t* out) { ConvertNv12ToYuy2(source.data(), out, w, h); }, random);
    EXPECT_EQ(packs, w % 2 == 0 && h % 2 == 0);
    return MatchesRules(
        Nv12Size(rw, rh), [&](Bytes& out) { return RulesScale(source, w, h, c, out, rw, rh); },
        [&](std::uint8_t* out) { ScaleNv12Letterboxed(source.data(), w, h, c, out, rw, rh); }, random);
}

// A crop is the height that fits the requested shape when at most 16 rows are left over.
TEST(PixelRoutines, CropHeightAndCopyNv12Cropped) {
    EXPECT_EQ(CropHeight(1920, 1088, 640, 360), 1080u);
    EXPECT_EQ(CropHeight(640, 480, 0, 360), 480u);  // no division by zero
    std::mt19937 random(12);
    int copied = 0;
    for (int i = 0; i < 1000 && !HasFailure(); ++i) {
        const U32 w = random() % 64 + 1;
        const U32 h = random() % 64 + 1;
        const U32 rw = i % 8 ? w : random() % 64 + 1;
        const U32 rh = i % 4 ? h - std::min<U32>(h - 1, random() % 18) : random() % 64 + 1;
        const auto size = static_cast<U32>(Nv12Size(rw, rh) + random() % 3 - 1);
        SCOPED_TRACE(testing::Message() << w << "x" << h << " -> " << rw << "x" << rh << " into " << size);
        ASSERT_EQ(CropHeight(w, h, rw, rh), RulesCropHeight(w, h, rw, rh));
        const Bytes source = RandomBytes(Nv12Size(w, h), random);
        bool expected = false;
        copied += MatchesRules(
            size, [&](Bytes& out) { return expected = RulesCopyCropped(source, w, h, out, rw, rh); },
            [&](std::uint8_t* out) { EXPECT_EQ(CopyNv12Cropped(source.data(), w, h, out, size, rw, rh), expected); },
            random);
    }
    EXPECT_TRUE(copied > 100 && copied < 900) << copied;  // both outcomes exercised
}

// `odd` holds the sizes that leave the vector kernels: wide rows, strong downscales, tiny pictures.
TEST(PixelRoutines, ScaleAndYuy2MatchTheRules) {
    std::mt19937 random(14);
    Bytes tiny(8);
    ASSERT_TRUE(RulesYuy2({10, 20, 30, 40, 100, 200}, tiny, 2, 2));
    EXPECT_EQ(tiny, (Bytes{10, 100, 20, 200, 30, 100, 40, 200}));
    Bytes pattern(kFallbackPatternBytes);
    FillFallbackPattern(pattern.data(), 77);
    for (const auto& [rw, rh] : {std::pair{640u, 480u}, {960u, 540u}, {1920u, 1080u}}) {
        ASSERT_TRUE(ScaleMatches(640, 360, 360, rw, rh, random, &pattern));
        ASSERT_TRUE(ScaleMatches(1920, 1088, 1080, rw, rh, random));
        ASSERT_TRUE(ScaleMatches(720, 1280, 1280, rw, rh, random));
    }
    const std::array<U32, 5> odd[] = {
        {5000, 6, 6, 4400, 8}, {4400, 8, 8, 5000, 6},   {4000, 40, 40, 300, 4}, {1920, 1080, 1080, 100, 60},
        {32, 4, 4, 20, 4},     {66, 10, 9, 18, 34},     {16, 16, 16, 4096, 4096}, {64, 8, 8, 32, 8},
        {100, 8, 8, 50, 10},   {36, 6, 6, 18, 4},       {1000, 10, 10, 500, 6}, {130, 4, 3, 66, 2}};
    for (const auto& [w, h, c, rw, rh] : odd) {
        ASSERT_TRUE(ScaleMatches(w, h, c, rw, rh, random));
    }
    const std::array<U32, 5> outside[] = {
        {640, 360, 360, 1, 480}, {640, 360, 360, 640, 1}, {640, 360, 360, 1, 1},  // destination < 2
        {8, 1, 1, 64, 64},       {640, 1, 1, 640, 480},                           // one source row
        {3, 2, 2, 100, 100},     {641, 2, 2, 1284, 4}};                           // odd width, last pair
    for (const auto& [w, h, c, rw, rh] : outside) {
        ASSERT_FALSE(ScaleMatches(w, h, c, rw, rh, random));
    }
    int written = 0;
    for (int i = 0; i < 400 && !HasFailure(); ++i) {
        const U32 limit = i % 3 ? 24 : 700;
        const U32 w = random() % limit + 1;
        const U32 h = random() % limit + 1;
        const U32 c = i % 5 == 0 ? random() % (h + 2) : h - random() % std::min(h, 17u);
        written += ScaleMatches(w, h, c, random() % limit + 1, random() % limit + 1, random);
    }
    EXPECT_TRUE(written > 280 && written < 390) << written;  // both outcomes exercised
    // Wide rows at simple ratios, tall enough that the fitted width is the requested one.
    for (const auto& [num, den] : {std::pair{1u, 3u}, {2u, 3u}, {3u, 4u}, {4u, 3u}, {5u, 3u}, {9u, 16u}, {5u, 4u}}) {
        const U32 w = (random() % 1000 + 8) * 2;
        const U32 h = random() % 6 + 2;
        const U32 rw = std::max<U32>(w * num / den & ~1u, 2);
        ASSERT_TRUE(ScaleMatches(w, h, h, rw, rw * h / w + 2, random));
    }
}

TEST(PixelRoutines, FallbackPatternMatchesTheRulesAndExamples) {
    std::mt19937 random(17);
    Bytes picture(kFallbackPatternBytes);
    RulesFallback(picture, 0);
    for (const auto& [index, value] : {std::pair{255u, 255}, {640u + 255, 0}, {359u * 640 + 639, 230},
                                       {230400u, 170}, {230401u, 70}, {230480u, 90}, {230481u, 240}}) {
        EXPECT_EQ(picture[index], value) << index;
    }
    for (const U64 counter : {0ull, 63ull, (1ull << 40) + 3, ~0ull}) {
        SCOPED_TRACE(counter);
        MatchesRules(
            kFallbackPatternBytes, [&](Bytes& out) { return RulesFallback(out, counter); },
            [&](std::uint8_t* out) { FillFallbackPattern(out, counter); }, random);
    }
}

// Pictures of 4 GiB or more (32-bit sizes would wrap) on small buffers; the host tree runs this under AddressSanitizer.
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
