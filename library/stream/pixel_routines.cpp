// Pixel routines: size checks, the letterbox geometry, the portable code paths and the
// choice of vector kernels (pixel_kernels_*.cpp).
#include "library/stream/pixel_routines.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "library/stream/pixel_kernels.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace velmora::pixels {
namespace {

std::atomic<int> forcedLevel{-1};

InstructionLevel DetectLevel() noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    __builtin_cpu_init();
    // GCC reports AVX2 only when the operating system saves the YMM registers.
    if (__builtin_cpu_supports("avx2")) {
        return InstructionLevel::Avx2;
    }
    if (__builtin_cpu_supports("ssse3")) {
        return InstructionLevel::Ssse3;
    }
#endif
    return InstructionLevel::Portable;
}

}  // namespace

InstructionLevel SupportedInstructionLevel() noexcept {
    static const InstructionLevel level = DetectLevel();
    return level;
}

InstructionLevel ActiveInstructionLevel() noexcept {
    const int forced = forcedLevel.load(std::memory_order_relaxed);
    return forced < 0 ? SupportedInstructionLevel() : static_cast<InstructionLevel>(forced);
}

InstructionLevel ForceInstructionLevel(InstructionLevel level) noexcept {
    const InstructionLevel supported = SupportedInstructionLevel();
    const InstructionLevel chosen =
        static_cast<int>(level) < static_cast<int>(supported) ? level : supported;
    forcedLevel.store(static_cast<int>(chosen), std::memory_order_relaxed);
    return chosen;
}

void ResetInstructionLevel() noexcept { forcedLevel.store(-1, std::memory_order_relaxed); }

}  // namespace velmora::pixels

namespace {

using velmora::pixels::ColumnPlan;
using velmora::pixels::InstructionLevel;
using velmora::pixels::kPlanMaxChunks;
using velmora::pixels::kPlanMaxWidth;
using velmora::pixels::kPlanMaxWindows;

// Products of sizes are 32-bit quantities: a picture whose byte count does not fit is refused
// rather than addressed with wrapped offsets.
constexpr std::uint64_t kMaxPictureBytes = 0xFFFFFFFFu;
constexpr std::uint8_t kBlackLuma = 16;
constexpr std::uint8_t kBlackChroma = 128;

// Chroma rows of the test picture come in two kinds, whose squares of 80 columns start
// with either tint.
struct FallbackTints {
    std::uint8_t bytes[2 * kFallbackWidth];
};

constexpr FallbackTints MakeFallbackTints() {
    FallbackTints tints{};
    for (std::uint32_t kind = 0; kind < 2; ++kind) {
        for (std::uint32_t column = 0; column < kFallbackWidth; column += 2) {
            const bool second = (column / 80 + kind) % 2 == 1;
            tints.bytes[kind * kFallbackWidth + column] = second ? 90 : 170;
            tints.bytes[kind * kFallbackWidth + column + 1] = second ? 240 : 70;
        }
    }
    return tints;
}

constexpr FallbackTints kFallbackTints = MakeFallbackTints();

std::uint64_t Nv12Bytes(std::uint32_t width, std::uint32_t height) noexcept {
    return std::uint64_t{width} * height * 3 / 2;
}

// floor(i * numerator / denominator) for i = start, start + 1, ... with one division in all.
class Stepper {
public:
    Stepper(std::uint64_t numerator, std::uint64_t denominator, std::uint64_t start) noexcept
        : denominator_(denominator),
          stepQuotient_(numerator / denominator),
          stepRemainder_(numerator % denominator),
          quotient_(start * numerator / denominator),
          remainder_(start * numerator % denominator) {}

    std::uint64_t Value() const noexcept { return quotient_; }

    // Without a branch: for most ratios the carry follows no pattern a predictor learns.
    void Next() noexcept {
        remainder_ += stepRemainder_;
        const std::uint64_t carry = remainder_ >= denominator_ ? 1 : 0;
        remainder_ -= denominator_ & (0 - carry);
        quotient_ += stepQuotient_ + carry;
    }

private:
    std::uint64_t denominator_;
    std::uint64_t stepQuotient_;
    std::uint64_t stepRemainder_;
    std::uint64_t quotient_;
    std::uint64_t remainder_;
};

// Where the fitted picture lies in the destination.
struct Letterbox {
    std::uint32_t fittedWidth;
    std::uint32_t fittedHeight;
    std::uint32_t offsetX;
    std::uint32_t offsetY;
};

// The largest fitted size with the aspect ratio of width x cropHeight, even and at least 2,
// centred on even coordinates. False when that does not fit the destination (a destination
// narrower or shorter than 2 pixels), where the offsets would wrap.
bool FitLetterbox(std::uint32_t width, std::uint32_t cropHeight, std::uint32_t requestedWidth,
                  std::uint32_t requestedHeight, Letterbox& box) noexcept {
    std::uint64_t fittedHeight = std::uint64_t{requestedWidth} * cropHeight / width;
    std::uint64_t fittedWidth = requestedWidth;
    if (fittedHeight > requestedHeight) {
        fittedWidth = std::uint64_t{requestedHeight} * width / cropHeight;
        fittedHeight = requestedHeight;
    }
    fittedWidth &= ~std::uint64_t{1};
    fittedHeight &= ~std::uint64_t{1};
    if (fittedWidth < 2) {
        fittedWidth = 2;
    }
    if (fittedHeight < 2) {
        fittedHeight = 2;
    }
    if (fittedWidth > requestedWidth || fittedHeight > requestedHeight) {
        return false;
    }
    box.fittedWidth = static_cast<std::uint32_t>(fittedWidth);
    box.fittedHeight = static_cast<std::uint32_t>(fittedHeight);
    box.offsetX = ((requestedWidth - box.fittedWidth) >> 1) & 0x7FFFFFFEu;
    box.offsetY = ((requestedHeight - box.fittedHeight) >> 1) & 0x7FFFFFFEu;
    return true;
}

// Fills a plane with `value` except the fitted segments of rows firstRow ... firstRow+rows-1;
// the bars between two fitted segments are one run of bytes.
void FillBars(std::uint8_t* plane, std::size_t planeBytes, std::uint32_t stride,
              std::uint32_t firstRow, std::uint32_t rows, std::uint32_t offsetX,
              std::uint32_t fittedWidth, std::uint8_t value) noexcept {
    std::size_t position = 0;
    if (fittedWidth != stride) {
        for (std::uint32_t row = 0; row < rows; ++row) {
            const std::size_t start = std::size_t{firstRow + row} * stride + offsetX;
            std::memset(plane + position, value, start - position);
            position = start + fittedWidth;
        }
    } else {
        // No side bars: the fitted rows are one block.
        const std::size_t start = std::size_t{firstRow} * stride;
        std::memset(plane, value, start);
        position = start + std::size_t{rows} * stride;
    }
    std::memset(plane + position, value, planeBytes - position);
}

std::uint64_t GreatestCommonDivisor(std::uint64_t a, std::uint64_t b) noexcept {
    while (b != 0) {
        const std::uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

// First pass of a plan: lays out the chunks (a unit at the start when `phase`, the offset of
// the first 32-byte aligned output byte, is not 0; aligned units from `phase` on; a unit at
// the end), and gives each chunk its first source byte and its bytes relative to that one
// (parked in the first window's masks). Luma byte x comes from column x * width /
// fittedWidth; chroma pair x, x + 1 (x even) from the pair at (x * width / fittedWidth) with
// its lowest bit cleared. Returns the widest span of a chunk; stops early at one wider than
// maxSpan.
template <bool Chroma>
std::uint32_t PlanChunks(ColumnPlan& plan, std::uint32_t width, std::uint32_t fittedWidth,
                         std::uint32_t phase, std::uint32_t maxSpan) noexcept {
    // A step is a byte (luma) or a pair (chroma). Four interleaved walks keep
    // floor(step * numerator / fittedWidth) as quotient and remainder, each advancing four
    // steps at a time: one walk alone would wait on its own carries. Quotients stay below
    // the width.
    constexpr int kWalks = 4;
    constexpr std::uint32_t kSteps = Chroma ? 8 : 16;
    const std::uint64_t numerator = Chroma ? std::uint64_t{width} * 2 : width;
    const auto stepQuotient = static_cast<std::uint32_t>(numerator * kWalks / fittedWidth);
    const auto stepRemainder = static_cast<std::uint32_t>(numerator * kWalks % fittedWidth);
    std::uint32_t quotient[kWalks];
    std::uint32_t remainder[kWalks];
    const auto startAt = [&](std::uint32_t destination) {
        const std::uint64_t step = Chroma ? destination / 2 : destination;
        for (int walk = 0; walk < kWalks; ++walk) {
            const std::uint64_t product = (step + walk) * numerator;
            quotient[walk] = static_cast<std::uint32_t>(product / fittedWidth);
            remainder[walk] = static_cast<std::uint32_t>(product % fittedWidth);
        }
    };
    std::uint32_t span = 0;
    std::uint32_t chunk = 0;
    const auto walkChunk = [&](std::uint32_t destination) {
        std::uint32_t columns[kSteps];
        for (std::uint32_t step = 0; step < kSteps; step += kWalks) {
            for (int walk = 0; walk < kWalks; ++walk) {
                columns[step + walk] = Chroma ? quotient[walk] & ~1u : quotient[walk];
                remainder[walk] += stepRemainder;
                const std::uint32_t carry = remainder[walk] >= fittedWidth ? 1 : 0;
                remainder[walk] -= fittedWidth & (0 - carry);
                quotient[walk] += stepQuotient + carry;
            }
        }
        const std::uint32_t first = columns[0];
        std::uint8_t* relative = plan.masks[0][chunk];
        for (std::uint32_t step = 0; step < kSteps; ++step) {
            if (Chroma) {
                relative[2 * step] = static_cast<std::uint8_t>(columns[step] - first);
                relative[2 * step + 1] = static_cast<std::uint8_t>(columns[step] - first + 1);
            } else {
                relative[step] = static_cast<std::uint8_t>(columns[step] - first);
            }
        }
        const std::uint32_t chunkSpan = columns[kSteps - 1] - first + (Chroma ? 1 : 0);
        span = chunkSpan > span ? chunkSpan : span;
        plan.sourceOffset[chunk] = first;
        plan.destinationOffset[chunk] = destination;
        ++chunk;
    };
    const auto walkUnit = [&](std::uint32_t destination) {
        startAt(destination);
        walkChunk(destination);
        walkChunk(destination + 16);
    };

    if (phase != 0) {
        walkUnit(0);
    }
    // Aligned chunks repeat every `period` chunks, shifted by `periodShift` source bytes:
    // steps repeat every fittedWidth / gcd steps, shifted by numerator / gcd.
    const std::uint32_t alignedChunks = (fittedWidth - phase) / 32 * 2;
    const std::uint64_t divisor = GreatestCommonDivisor(numerator, fittedWidth);
    const std::uint64_t stepPeriod = fittedWidth / divisor;
    std::uint64_t period = stepPeriod / GreatestCommonDivisor(stepPeriod, kSteps);
    std::uint64_t periodShift = period * kSteps / stepPeriod * (numerator / divisor);
    if (Chroma && periodShift % 2 != 0) {
        // Pairs start on even columns: only an even shift keeps them there.
        period *= 2;
        periodShift *= 2;
    }
    startAt(phase);
    for (std::uint32_t aligned = 0; aligned < alignedChunks && span <= maxSpan; ++aligned) {
        const std::uint32_t destination = phase + 16 * aligned;
        if (aligned < period) {
            walkChunk(destination);
            continue;
        }
        std::memcpy(plan.masks[0][chunk], plan.masks[0][chunk - period], 16);
        plan.sourceOffset[chunk] =
            plan.sourceOffset[chunk - period] + static_cast<std::uint32_t>(periodShift);
        plan.destinationOffset[chunk] = destination;
        ++chunk;
    }
    if (phase + alignedChunks * 16 < fittedWidth && span <= maxSpan) {
        walkUnit(fittedWidth - 32);
    }
    plan.chunkCount = chunk;
    return span;
}

// Prepares the shuffles of one plane whose first fitted row starts at firstOutput, rows
// stride bytes apart. False when the vector kernels cannot serve this size: rows narrower
// than one unit or wider than the plan, or chunks that span more source bytes than
// kPlanMaxWindows windows hold (strong downscaling), or a source row shorter than the
// windows.
bool BuildColumnPlan(ColumnPlan& plan, std::uint32_t width, std::uint32_t fittedWidth,
                     bool chroma, const std::uint8_t* firstOutput, std::uint32_t stride) noexcept {
    // A unit at each end and the aligned ones between them.
    static_assert(kPlanMaxChunks >= kPlanMaxWidth / 16 + 4);
    if (fittedWidth < 32 || fittedWidth > kPlanMaxWidth) {
        return false;
    }
    // Aligned stores when every row has the same alignment; chroma units must start on a
    // pair.
    std::uint32_t phase = 0;
    if (stride % 32 == 0) {
        phase = static_cast<std::uint32_t>(-reinterpret_cast<std::uintptr_t>(firstOutput) % 32);
        if (chroma && phase % 2 != 0) {
            phase = 0;
        }
    }
    constexpr std::uint32_t kMaxSpan = 16 * kPlanMaxWindows - 1;
    const std::uint32_t span =
        chroma ? PlanChunks<true>(plan, width, fittedWidth, phase, kMaxSpan)
               : PlanChunks<false>(plan, width, fittedWidth, phase, kMaxSpan);
    const std::uint32_t windows = span / 16 + 1;
    if (span > kMaxSpan || width < 16 * windows) {
        return false;
    }
    // The windows start at the chunk's first source byte unless that would read past the
    // row; every chosen byte stays inside either way.
    const std::uint32_t lastBase = width - 16 * windows;
    for (std::uint32_t chunk = 0; chunk < plan.chunkCount; ++chunk) {
        const std::uint32_t first = plan.sourceOffset[chunk];
        const std::uint32_t base = first < lastBase ? first : lastBase;
        const auto shift = static_cast<std::uint8_t>(first - base);
        plan.sourceOffset[chunk] = base;
#if defined(__x86_64__) || defined(_M_X64)
        // SSE2 belongs to every x86-64 processor.
        const __m128i relative = _mm_add_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(plan.masks[0][chunk])),
            _mm_set1_epi8(static_cast<char>(shift)));
        const __m128i window =
            _mm_and_si128(_mm_srli_epi16(relative, 4), _mm_set1_epi8(0x0F));
        const __m128i lane = _mm_and_si128(relative, _mm_set1_epi8(0x0F));
        const __m128i unused = _mm_set1_epi8(static_cast<char>(0x80));
        for (std::uint32_t w = 0; w < windows; ++w) {
            const __m128i here = _mm_cmpeq_epi8(window, _mm_set1_epi8(static_cast<char>(w)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(plan.masks[w][chunk]),
                             _mm_or_si128(_mm_and_si128(here, lane), _mm_andnot_si128(here, unused)));
        }
#else
        std::uint8_t relative[16];
        for (int byte = 0; byte < 16; ++byte) {
            relative[byte] = static_cast<std::uint8_t>(plan.masks[0][chunk][byte] + shift);
        }
        for (std::uint32_t w = 0; w < windows; ++w) {
            for (int byte = 0; byte < 16; ++byte) {
                plan.masks[w][chunk][byte] = relative[byte] / 16 == w
                                                 ? static_cast<std::uint8_t>(relative[byte] % 16)
                                                 : std::uint8_t{0x80};
            }
        }
#endif
    }
    plan.windowCount = windows;
    return true;
}

// Scales one plane's rows: output row y (of rows) comes from source row y * sourceRows / rows.
// Consecutive output rows with the same source row are handed over as one run:
// scaleRows(sourceRow, firstOutputRow, count).
template <typename RowsFunction>
void ScaleRows(const std::uint8_t* plane, std::uint32_t width, std::uint32_t sourceRows,
               std::uint8_t* firstOutput, std::uint32_t stride, std::uint32_t rows,
               RowsFunction&& scaleRows) noexcept {
    Stepper rowStepper(sourceRows, rows, 0);
    for (std::uint32_t y = 0; y < rows;) {
        const std::uint64_t sourceRow = rowStepper.Value();
        std::uint32_t count = 0;
        do {
            ++count;
            rowStepper.Next();
        } while (y + count < rows && rowStepper.Value() == sourceRow);
        scaleRows(plane + sourceRow * width, firstOutput + std::size_t{y} * stride, count);
        y += count;
    }
}

void ScaleLumaRowPortable(const std::uint8_t* source, std::uint8_t* output, std::uint32_t width,
                          std::uint32_t fittedWidth) noexcept {
    Stepper column(width, fittedWidth, 0);
    for (std::uint32_t x = 0; x < fittedWidth; ++x, column.Next()) {
        output[x] = source[column.Value()];
    }
}

void ScaleChromaRowPortable(const std::uint8_t* source, std::uint8_t* output,
                            std::uint32_t width, std::uint32_t fittedWidth) noexcept {
    Stepper column(std::uint64_t{width} * 2, fittedWidth, 0);
    for (std::uint32_t x = 0; x < fittedWidth; x += 2, column.Next()) {
        const std::uint64_t sourceX = column.Value() & ~std::uint64_t{1};
        output[x] = source[sourceX];
        output[x + 1] = source[sourceX + 1];
    }
}

// One plane, with the vector kernels where they apply.
void ScalePlane(const std::uint8_t* plane, std::uint32_t width, std::uint32_t sourceRows,
                std::uint8_t* firstOutput, std::uint32_t stride, std::uint32_t rows,
                std::uint32_t fittedWidth, bool chroma, InstructionLevel level) noexcept {
    // Row by row, repeated rows copied from the first of their run.
    const auto scale = [&](auto&& scaleRow) {
        ScaleRows(plane, width, sourceRows, firstOutput, stride, rows,
                  [&](const std::uint8_t* source, std::uint8_t* output, std::uint32_t count) {
                      scaleRow(source, output);
                      for (std::uint32_t row = 1; row < count; ++row) {
                          std::memcpy(output + std::size_t{row} * stride, output, fittedWidth);
                      }
                  });
    };
    if (fittedWidth == width) {
        // Same width: the column choice is the identity for luma and chroma alike.
        scale([&](const std::uint8_t* source, std::uint8_t* output) {
            std::memcpy(output, source, fittedWidth);
        });
        return;
    }
#if defined(__x86_64__) || defined(_M_X64)
    if (level != InstructionLevel::Portable && std::uint64_t{fittedWidth} * 2 == width &&
        fittedWidth >= 16) {
        // Exactly half the width: every other byte (luma) or byte pair (chroma).
        const auto halve = level == InstructionLevel::Avx2 ? velmora::pixels::HalveRowAvx2
                                                           : velmora::pixels::HalveRowSsse3;
        scale([&](const std::uint8_t* source, std::uint8_t* output) {
            halve(source, output, fittedWidth, chroma);
        });
        return;
    }
    // An odd source width makes chroma pairs straddle rows: left to the portable path.
    if (level != InstructionLevel::Portable && (!chroma || width % 2 == 0)) {
        ColumnPlan plan;
        if (BuildColumnPlan(plan, width, fittedWidth, chroma, firstOutput, stride)) {
            // Repeated rows are stored from the same registers rather than copied.
            const auto gather = level == InstructionLevel::Avx2 ? velmora::pixels::GatherRowsAvx2
                                                                : velmora::pixels::GatherRowsSsse3;
            ScaleRows(plane, width, sourceRows, firstOutput, stride, rows,
                      [&](const std::uint8_t* source, std::uint8_t* output, std::uint32_t count) {
                          gather(source, output, stride, count, plan);
                      });
            return;
        }
    }
#endif
    if (chroma) {
        scale([&](const std::uint8_t* source, std::uint8_t* output) {
            ScaleChromaRowPortable(source, output, width, fittedWidth);
        });
    } else {
        scale([&](const std::uint8_t* source, std::uint8_t* output) {
            ScaleLumaRowPortable(source, output, width, fittedWidth);
        });
    }
}

}  // namespace

bool FrameSizeIsReadable(std::uint32_t width, std::uint32_t height) noexcept {
    return width != 0 && height != 0 && width % 2 == 0 && height % 2 == 0 &&
           std::uint64_t{width} * height * 2 <= 0xFFFFFFFFu;
}

std::uint32_t CropHeight(std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                         std::uint32_t requestedWidth, std::uint32_t requestedHeight) noexcept {
    if (requestedWidth == 0) {
        return sourceHeight;
    }
    const std::uint64_t aspectHeight =
        (std::uint64_t{sourceWidth} * requestedHeight + requestedWidth / 2) / requestedWidth;
    if (aspectHeight != 0 && aspectHeight < sourceHeight && sourceHeight - aspectHeight <= 16) {
        return static_cast<std::uint32_t>(aspectHeight) & ~1u;
    }
    return sourceHeight;
}

bool CopyNv12Cropped(const std::uint8_t* source, std::uint32_t sourceWidth,
                     std::uint32_t sourceHeight, std::uint8_t* destination,
                     std::uint32_t destinationSize, std::uint32_t requestedWidth,
                     std::uint32_t requestedHeight) noexcept {
    if (source == nullptr || destination == nullptr || sourceWidth == 0 || sourceHeight == 0 ||
        requestedWidth == 0 || requestedHeight == 0 || sourceWidth != requestedWidth) {
        return false;
    }
    if (CropHeight(sourceWidth, sourceHeight, requestedWidth, requestedHeight) != requestedHeight) {
        return false;
    }
    const std::uint64_t needed = Nv12Bytes(requestedWidth, requestedHeight);
    if (needed > destinationSize || Nv12Bytes(sourceWidth, sourceHeight) > kMaxPictureBytes) {
        return false;
    }
    if (sourceHeight != requestedHeight) {
        // Cropped: the bottom rows of both planes stay behind.
        const std::size_t lumaBytes = std::size_t{requestedWidth} * requestedHeight;
        std::memcpy(destination, source, lumaBytes);
        std::memcpy(destination + lumaBytes, source + std::size_t{sourceWidth} * sourceHeight,
                    lumaBytes / 2);
    } else {
        std::memcpy(destination, source, static_cast<std::size_t>(needed));
    }
    return true;
}

void ScaleNv12Letterboxed(const std::uint8_t* source, std::uint32_t sourceWidth,
                          std::uint32_t sourceHeight, std::uint32_t cropHeight,
                          std::uint8_t* destination, std::uint32_t requestedWidth,
                          std::uint32_t requestedHeight) noexcept {
    if (source == nullptr || destination == nullptr || sourceWidth == 0 || sourceHeight == 0 ||
        cropHeight == 0 || requestedWidth == 0 || requestedHeight == 0 ||
        cropHeight > sourceHeight) {
        return;
    }
    const std::uint64_t sourceBytes = Nv12Bytes(sourceWidth, sourceHeight);
    if (sourceBytes > kMaxPictureBytes ||
        Nv12Bytes(requestedWidth, requestedHeight) > kMaxPictureBytes) {
        return;
    }
    Letterbox box{};
    if (!FitLetterbox(sourceWidth, cropHeight, requestedWidth, requestedHeight, box)) {
        return;
    }
    const std::uint32_t chromaRows = box.fittedHeight / 2;
    const std::uint32_t sourceChromaRows = cropHeight / 2;
    // The last chroma pair read lies furthest into the source. It can leave the buffer when
    // the source has a single row (chroma plane shorter than a row) or an odd width (the
    // pair's second byte is the next row's first).
    const std::uint64_t lastChromaRow =
        std::uint64_t{chromaRows - 1} * sourceChromaRows / chromaRows;
    const std::uint64_t lastChromaColumn =
        (std::uint64_t{box.fittedWidth - 2} * sourceWidth / box.fittedWidth) & ~std::uint64_t{1};
    const std::uint64_t lumaBytes = std::uint64_t{sourceWidth} * sourceHeight;
    if (lumaBytes + lastChromaRow * sourceWidth + lastChromaColumn + 1 >= sourceBytes) {
        return;
    }

    const InstructionLevel level = velmora::pixels::ActiveInstructionLevel();
    const std::size_t outputLumaBytes = std::size_t{requestedWidth} * requestedHeight;
    std::uint8_t* outputChroma = destination + outputLumaBytes;

    FillBars(destination, outputLumaBytes, requestedWidth, box.offsetY, box.fittedHeight,
             box.offsetX, box.fittedWidth, kBlackLuma);
    FillBars(outputChroma, outputLumaBytes / 2, requestedWidth, box.offsetY / 2, chromaRows,
             box.offsetX, box.fittedWidth, kBlackChroma);

    ScalePlane(source, sourceWidth, cropHeight,
               destination + std::size_t{box.offsetY} * requestedWidth + box.offsetX,
               requestedWidth, box.fittedHeight, box.fittedWidth, false, level);
    ScalePlane(source + lumaBytes, sourceWidth, sourceChromaRows,
               outputChroma + std::size_t{box.offsetY / 2} * requestedWidth + box.offsetX,
               requestedWidth, chromaRows, box.fittedWidth, true, level);
}

void ConvertNv12ToYuy2(const std::uint8_t* nv12, std::uint8_t* yuy2, std::uint32_t width,
                       std::uint32_t height) noexcept {
    // Odd sizes would read past the chroma plane (and an odd width write past the output).
    if (nv12 == nullptr || yuy2 == nullptr || width % 2 != 0 || height % 2 != 0 ||
        std::uint64_t{width} * height * 2 > kMaxPictureBytes) {
        return;
    }
    const InstructionLevel level = velmora::pixels::ActiveInstructionLevel();
    const std::uint8_t* chromaPlane = nv12 + std::size_t{width} * height;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* luma = nv12 + std::size_t{y} * width;
        const std::uint8_t* chroma = chromaPlane + std::size_t{y / 2} * width;
        std::uint8_t* out = yuy2 + std::size_t{y} * width * 2;
#if defined(__x86_64__) || defined(_M_X64)
        if (level == InstructionLevel::Avx2) {
            velmora::pixels::PackYuy2RowAvx2(luma, chroma, out, width);
            continue;
        }
        if (level == InstructionLevel::Ssse3) {
            velmora::pixels::PackYuy2RowSse2(luma, chroma, out, width);
            continue;
        }
#endif
        for (std::uint32_t x = 0; x < width; ++x) {
            out[2 * x] = luma[x];
            out[2 * x + 1] = chroma[x];
        }
    }
}

void FillFallbackPattern(std::uint8_t* destination, std::uint64_t counter) noexcept {
    if (destination == nullptr) {
        return;
    }
    const auto start = static_cast<std::uint8_t>(counter * 4);
    const std::uint8_t* tints = kFallbackTints.bytes;
#if defined(__x86_64__) || defined(_M_X64)
    switch (velmora::pixels::ActiveInstructionLevel()) {
        case InstructionLevel::Avx2: velmora::pixels::FillFallbackAvx2(destination, start, tints); return;
        case InstructionLevel::Ssse3: velmora::pixels::FillFallbackSse2(destination, start, tints); return;
        case InstructionLevel::Portable: break;
    }
#endif
    // Every luma row is a slice of the same ramp, starting one level later than the row above.
    std::uint8_t ramp[kFallbackWidth + 256];
    for (std::uint32_t i = 0; i < sizeof ramp; ++i) {
        ramp[i] = static_cast<std::uint8_t>(start + i);
    }
    for (std::uint32_t row = 0; row < kFallbackHeight; ++row) {
        std::memcpy(destination + row * kFallbackWidth, ramp + row % 256, kFallbackWidth);
    }
    std::uint8_t* chroma = destination + kFallbackWidth * kFallbackHeight;
    for (std::uint32_t row = 0; row < kFallbackHeight / 2; ++row) {
        std::memcpy(chroma + row * kFallbackWidth, tints + (row / 40) % 2 * kFallbackWidth,
                    kFallbackWidth);
    }
}
