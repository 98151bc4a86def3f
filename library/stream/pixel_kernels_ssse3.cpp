// SSE2/SSSE3 kernels; this file is compiled with -mssse3 and runs only where the processor
// has SSSE3 (see SupportedInstructionLevel).
#include "library/stream/pixel_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <tmmintrin.h>

namespace velmora::pixels {
namespace {

// Repeat 0: the run length comes at run time; 1 to 3 unroll the stores.
template <std::uint32_t Windows, std::uint32_t Repeat>
void GatherRows(const std::uint8_t* sourceRow, std::uint8_t* destinationRow, std::size_t stride,
                std::uint32_t repeat, const ColumnPlan& plan) noexcept {
    const std::uint32_t rows = Repeat != 0 ? Repeat : repeat;
    const std::uint32_t chunks = plan.chunkCount;
    for (std::uint32_t i = 0; i < chunks; ++i) {
        const std::uint8_t* window = sourceRow + plan.sourceOffset[i];
        __m128i picked = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(window)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.masks[0][i])));
        for (std::uint32_t w = 1; w < Windows; ++w) {
            picked = _mm_or_si128(
                picked, _mm_shuffle_epi8(
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + 16 * w)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.masks[w][i]))));
        }
        std::uint8_t* out = destinationRow + plan.destinationOffset[i];
        for (std::uint32_t row = 0; row < rows; ++row) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + row * stride), picked);
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

// Takes every other byte (or byte pair) of 32 source bytes into 16 output bytes.
inline void HalveStep(const std::uint8_t* source, std::uint8_t* out, __m128i pick) {
    const __m128i low = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source)), pick);
    const __m128i high =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 16)), pick);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi64(low, high));
}

}  // namespace

void HalveRowSsse3(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                   std::uint32_t fittedWidth, bool pairs) noexcept {
    const __m128i pick = pairs ? _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1)
                               : _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    std::uint32_t x = 0;
    for (; x + 16 <= fittedWidth; x += 16) {
        HalveStep(sourceRow + 2 * x, destinationRow + x, pick);
    }
    if (x < fittedWidth) {
        // Overlapping last step; fittedWidth is even, so pairs stay aligned.
        x = fittedWidth - 16;
        HalveStep(sourceRow + 2 * x, destinationRow + x, pick);
    }
}

void FillFallbackSse2(std::uint8_t* destination, std::uint8_t start,
                      const std::uint8_t* tints) noexcept {
    const __m128i ramp = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i step = _mm_set1_epi8(16);
    for (std::uint32_t row = 0; row < 360; ++row) {
        __m128i value = _mm_add_epi8(ramp, _mm_set1_epi8(static_cast<char>(start + row)));
        std::uint8_t* out = destination + row * 640;
        for (std::uint32_t column = 0; column < 640; column += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + column), value);
            value = _mm_add_epi8(value, step);
        }
    }
    std::uint8_t* chroma = destination + 640 * 360;
    for (std::uint32_t row = 0; row < 180; ++row) {
        const std::uint8_t* tint = tints + (row / 40) % 2 * 640;
        std::uint8_t* out = chroma + row * 640;
        for (std::uint32_t column = 0; column < 640; column += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + column),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(tint + column)));
        }
    }
}

void GatherRowsSsse3(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                     std::size_t stride, std::uint32_t repeat, const ColumnPlan& plan) noexcept {
    switch (plan.windowCount) {
        case 1: GatherRowsRepeated<1>(sourceRow, destinationRow, stride, repeat, plan); break;
        case 2: GatherRowsRepeated<2>(sourceRow, destinationRow, stride, repeat, plan); break;
        case 3: GatherRowsRepeated<3>(sourceRow, destinationRow, stride, repeat, plan); break;
        default: GatherRowsRepeated<4>(sourceRow, destinationRow, stride, repeat, plan); break;
    }
}

void PackYuy2RowSse2(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint8_t* out,
                     std::uint32_t width) noexcept {
    std::uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x), _mm_unpacklo_epi8(y, c));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x + 16), _mm_unpackhi_epi8(y, c));
    }
    if (x < width && width >= 16) {
        // The byte interleave holds at every column, so the tail is one overlapping step.
        x = width - 16;
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x), _mm_unpacklo_epi8(y, c));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x + 16), _mm_unpackhi_epi8(y, c));
        return;
    }
    for (; x < width; ++x) {
        out[2 * x] = luma[x];
        out[2 * x + 1] = chroma[x];
    }
}

}  // namespace velmora::pixels
#endif
