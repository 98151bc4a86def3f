// AVX2 kernels; this file is compiled with -mavx2 and runs only where the processor and the
// operating system support AVX2 (see SupportedInstructionLevel).
#include "library/stream/pixel_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace velmora::pixels {
namespace {

// Repeat 0: the run length comes at run time; 1 to 3 unroll the stores.
template <std::uint32_t Windows, std::uint32_t Repeat>
void GatherRows(const std::uint8_t* sourceRow, std::uint8_t* destinationRow, std::size_t stride,
                std::uint32_t repeat, const ColumnPlan& plan) noexcept {
    const std::uint32_t rows = Repeat != 0 ? Repeat : repeat;
    // One unit per register, one chunk per 128-bit lane: vpshufb works per lane, so each
    // lane gets its own chunk's windows and masks (masks of chunks i and i + 1 are adjacent).
    for (std::uint32_t i = 0; i < plan.chunkCount; i += 2) {
        const std::uint8_t* first = sourceRow + plan.sourceOffset[i];
        const std::uint8_t* second = sourceRow + plan.sourceOffset[i + 1];
        __m256i picked = _mm256_setzero_si256();
        for (std::uint32_t w = 0; w < Windows; ++w) {
            const __m256i windows = _mm256_inserti128_si256(
                _mm256_castsi128_si256(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + 16 * w))),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + 16 * w)), 1);
            const __m256i masks =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(plan.masks[w][i]));
            picked = _mm256_or_si256(picked, _mm256_shuffle_epi8(windows, masks));
        }
        std::uint8_t* out = destinationRow + plan.destinationOffset[i];
        for (std::uint32_t row = 0; row < rows; ++row) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + row * stride), picked);
        }
    }
}

template <std::uint32_t Windows>
void GatherRowsRepeated(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                        std::size_t stride, std::uint32_t repeat, const ColumnPlan& plan) noexcept {
    switch (repeat) {
        case 1: GatherRows<Windows, 1>(sourceRow, destinationRow, stride, repeat, plan); break;
        case 2: GatherRows<Windows, 2>(sourceRow, destinationRow, stride, repeat, plan); break;
        case 3: GatherRows<Windows, 3>(sourceRow, destinationRow, stride, repeat, plan); break;
        default: GatherRows<Windows, 0>(sourceRow, destinationRow, stride, repeat, plan); break;
    }
}

inline void PackStep(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint8_t* out) {
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma));
    // unpack works per lane: low = columns 0-7 | 16-23, high = 8-15 | 24-31.
    const __m256i low = _mm256_unpacklo_epi8(y, c);
    const __m256i high = _mm256_unpackhi_epi8(y, c);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(low, high, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32),
                        _mm256_permute2x128_si256(low, high, 0x31));
}

// Takes every other byte (or byte pair) of 64 source bytes into 32 output bytes. The
// shuffle packs each lane's picks into its low half; the permute puts the halves in order.
inline void HalveStep(const std::uint8_t* source, std::uint8_t* out, __m256i pick) {
    const __m256i low = _mm256_shuffle_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source)), pick);
    const __m256i high = _mm256_shuffle_epi8(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + 32)), pick);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(low, high), 0xD8));
}

inline void HalveStep16(const std::uint8_t* source, std::uint8_t* out, __m128i pick) {
    const __m128i low = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source)), pick);
    const __m128i high =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16)), pick);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(low, high));
}

}  // namespace

void HalveRowAvx2(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                  std::uint32_t fittedWidth, bool pairs) noexcept {
    const __m128i pick128 =
        pairs ? _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1)
              : _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i pick = _mm256_broadcastsi128_si256(pick128);
    std::uint32_t x = 0;
    for (; x + 32 <= fittedWidth; x += 32) {
        HalveStep(sourceRow + 2 * x, destinationRow + x, pick);
    }
    if (x == fittedWidth) {
        return;
    }
    if (fittedWidth >= 32) {
        // Overlapping last step; fittedWidth is even, so pairs stay aligned.
        HalveStep(sourceRow + 2 * (fittedWidth - 32), destinationRow + fittedWidth - 32, pick);
        return;
    }
    // 16 to 31 bytes: two overlapping 16-byte steps.
    HalveStep16(sourceRow, destinationRow, pick128);
    HalveStep16(sourceRow + 2 * (fittedWidth - 16), destinationRow + fittedWidth - 16, pick128);
}

void FillFallbackAvx2(std::uint8_t* destination, std::uint8_t start,
                      const std::uint8_t* tints) noexcept {
    const __m256i ramp = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                          16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                          29, 30, 31);
    const __m256i step = _mm256_set1_epi8(32);
    for (std::uint32_t row = 0; row < 360; ++row) {
        __m256i value = _mm256_add_epi8(ramp, _mm256_set1_epi8(static_cast<char>(start + row)));
        std::uint8_t* out = destination + row * 640;
        for (std::uint32_t column = 0; column < 640; column += 32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + column), value);
            value = _mm256_add_epi8(value, step);
        }
    }
    std::uint8_t* chroma = destination + 640 * 360;
    for (std::uint32_t row = 0; row < 180; ++row) {
        const std::uint8_t* tint = tints + (row / 40) % 2 * 640;
        std::uint8_t* out = chroma + row * 640;
        for (std::uint32_t column = 0; column < 640; column += 32) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + column),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tint + column)));
        }
    }
}

void GatherRowsAvx2(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                    std::size_t stride, std::uint32_t repeat, const ColumnPlan& plan) noexcept {
    switch (plan.windowCount) {
        case 1: GatherRowsRepeated<1>(sourceRow, destinationRow, stride, repeat, plan); break;
        case 2: GatherRowsRepeated<2>(sourceRow, destinationRow, stride, repeat, plan); break;
        case 3: GatherRowsRepeated<3>(sourceRow, destinationRow, stride, repeat, plan); break;
        default: GatherRowsRepeated<4>(sourceRow, destinationRow, stride, repeat, plan); break;
    }
}

void PackYuy2RowAvx2(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint8_t* out,
                     std::uint32_t width) noexcept {
    std::uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        PackStep(luma + x, chroma + x, out + 2 * x);
    }
    if (x < width) {
        if (width >= 32) {
            // The byte interleave holds at every column, so the tail is one overlapping step.
            x = width - 32;
            PackStep(luma + x, chroma + x, out + 2 * x);
            return;
        }
        for (; x < width; ++x) {
            out[2 * x] = luma[x];
            out[2 * x + 1] = chroma[x];
        }
    }
}

}  // namespace velmora::pixels
#endif
