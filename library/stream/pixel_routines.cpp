// Pixel routines: size checks, the letterbox geometry, the portable code paths and the
// choice of vector kernels (pixel_kernels_*.cpp).
#include "library/stream/pixel_routines.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "library/stream/pixel_kernels.h"

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

    void Next() noexcept {
        quotient_ += stepQuotient_;
        remainder_ += stepRemainder_;
        if (remainder_ >= denominator_) {
            remainder_ -= denominator_;
            ++quotient_;
        }
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
    for (std::uint32_t row = 0; row < rows; ++row) {
        const std::size_t start = std::size_t{firstRow + row} * stride + offsetX;
        std::memset(plane + position, value, start - position);
        position = start + fittedWidth;
    }
    std::memset(plane + position, value, planeBytes - position);
}

// Calls visit(chunk, destinationOffset, sourceOffsets[16]) for each chunk of a plan. Luma
// byte x comes from column x * width / fittedWidth; chroma pair x, x + 1 (x even) from the
// pair at (x * width / fittedWidth) with its lowest bit cleared.
template <typename Visit>
void ForEachChunk(std::uint32_t width, std::uint32_t fittedWidth, bool chroma,
                  Visit&& visit) noexcept {
    const std::uint32_t chunks = (fittedWidth + 15) / 16;
    const std::uint64_t numerator = chroma ? std::uint64_t{width} * 2 : width;
    std::uint32_t offsets[16];
    const auto fill = [&](Stepper& stepper) {
        if (chroma) {
            for (int pair = 0; pair < 8; ++pair) {
                const auto column = static_cast<std::uint32_t>(stepper.Value()) & ~1u;
                offsets[2 * pair] = column;
                offsets[2 * pair + 1] = column + 1;
                stepper.Next();
            }
        } else {
            for (int byte = 0; byte < 16; ++byte) {
                offsets[byte] = static_cast<std::uint32_t>(stepper.Value());
                stepper.Next();
            }
        }
    };
    Stepper stepper(numerator, fittedWidth, 0);
    for (std::uint32_t chunk = 0; chunk + 1 < chunks; ++chunk) {
        fill(stepper);
        visit(chunk, chunk * 16, offsets);
    }
    // The last chunk ends at the row's end, overlapping its predecessor when the width is
    // not a multiple of 16.
    const std::uint32_t last = fittedWidth - 16;
    Stepper lastStepper(numerator, fittedWidth, chroma ? last / 2 : last);
    fill(lastStepper);
    visit(chunks - 1, last, offsets);
}

// Prepares the shuffles of one plane. False when the vector kernels cannot serve this size:
// rows narrower than one chunk or wider than the plan, or chunks that span more source
// bytes than kPlanMaxWindows windows hold (strong downscaling), or a source row shorter
// than the windows.
bool BuildColumnPlan(ColumnPlan& plan, std::uint32_t width, std::uint32_t fittedWidth,
                     bool chroma) noexcept {
    if (fittedWidth < 16 || fittedWidth > kPlanMaxWidth) {
        return false;
    }
    std::uint32_t span = 0;
    ForEachChunk(width, fittedWidth, chroma,
                 [&](std::uint32_t, std::uint32_t, const std::uint32_t* offsets) {
                     if (offsets[15] - offsets[0] > span) {
                         span = offsets[15] - offsets[0];
                     }
                 });
    const std::uint32_t windows = span / 16 + 1;
    if (windows > kPlanMaxWindows || width < 16 * windows) {
        return false;
    }
    const std::uint32_t lastBase = width - 16 * windows;
    ForEachChunk(width, fittedWidth, chroma,
                 [&](std::uint32_t chunk, std::uint32_t destination,
                     const std::uint32_t* offsets) {
                     // Windows start at the chunk's first source byte unless that would
                     // read past the row; every chosen byte stays inside either way.
                     const std::uint32_t base = offsets[0] < lastBase ? offsets[0] : lastBase;
                     plan.sourceOffset[chunk] = base;
                     plan.destinationOffset[chunk] = destination;
                     for (int byte = 0; byte < 16; ++byte) {
                         const std::uint32_t relative = offsets[byte] - base;
                         for (std::uint32_t w = 0; w < windows; ++w) {
                             plan.masks[w][chunk][byte] =
                                 relative / 16 == w ? static_cast<std::uint8_t>(relative % 16)
                                                    : std::uint8_t{0x80};
                         }
                     }
                 });
    plan.chunkCount = (fittedWidth + 15) / 16;
    plan.windowCount = windows;
    static_assert(kPlanMaxChunks * 16 == kPlanMaxWidth);
    return true;
}

// Scales one plane's rows: output row y (of rows) comes from source row y * sourceRows / rows;
// a row equal to its predecessor's source is copied from the previous output row.
template <typename RowFunction>
void ScaleRows(const std::uint8_t* plane, std::uint32_t width, std::uint32_t sourceRows,
               std::uint8_t* firstOutput, std::uint32_t stride, std::uint32_t rows,
               std::uint32_t fittedWidth, RowFunction&& scaleRow) noexcept {
    Stepper rowStepper(sourceRows, rows, 0);
    std::uint64_t previous = ~std::uint64_t{0};
    for (std::uint32_t y = 0; y < rows; ++y, rowStepper.Next()) {
        std::uint8_t* output = firstOutput + std::size_t{y} * stride;
        const std::uint64_t sourceRow = rowStepper.Value();
        if (sourceRow == previous) {
            std::memcpy(output, output - stride, fittedWidth);
        } else {
            scaleRow(plane + sourceRow * width, output);
            previous = sourceRow;
        }
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
    const auto scale = [&](auto&& scaleRow) {
        ScaleRows(plane, width, sourceRows, firstOutput, stride, rows, fittedWidth, scaleRow);
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
        if (BuildColumnPlan(plan, width, fittedWidth, chroma)) {
            const auto gather = level == InstructionLevel::Avx2 ? velmora::pixels::GatherRowAvx2
                                                                : velmora::pixels::GatherRowSsse3;
            scale([&](const std::uint8_t* source, std::uint8_t* output) {
                gather(source, output, plan);
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
