// Vector kernels behind the pixel routines and the choice between them. Internal to
// library/stream: the public routines are in pixel_routines.h.
//
// The kernel files are compiled with their own instruction-set flags, so they must not
// define or call inline functions from shared headers (the linker could keep an AVX2 copy
// of such a function for the callers that run on any processor).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::pixels {

enum class InstructionLevel : int {
    Portable = 0,  // plain C++
    Ssse3 = 1,     // SSE2 packing, SSSE3 byte shuffles
    Avx2 = 2,
};

// Highest level this processor and operating system support.
InstructionLevel SupportedInstructionLevel() noexcept;
// Level the routines use now: the supported one unless a test forced a lower one.
InstructionLevel ActiveInstructionLevel() noexcept;
// Test hook: makes the routines use `level` (clamped to the supported level) and returns the
// level now in effect. Not meant to be called while routines run on other threads.
InstructionLevel ForceInstructionLevel(InstructionLevel level) noexcept;
// Back to the supported level.
void ResetInstructionLevel() noexcept;

// Nearest-neighbour column selection of one scaled row, prepared once per plane and call.
// The fitted row is covered by units of 32 output bytes, each two chunks of 16: a unit at
// the row's start, units at 32-byte aligned addresses, a unit ending at the row's end
// (units may overlap). Chunk i goes to destinationOffset[i] within the row, reads
// `windowCount` consecutive 16-byte windows from sourceOffset[i] and picks its bytes with
// the byte shuffles masks[w][i] (0x80 = lane not taken from window w). Windows never reach
// past the source row.
inline constexpr std::uint32_t kPlanMaxWidth = 4096;
inline constexpr std::uint32_t kPlanMaxChunks = kPlanMaxWidth / 16 + 4;
inline constexpr std::uint32_t kPlanMaxWindows = 4;

struct ColumnPlan {
    alignas(32) std::uint8_t masks[kPlanMaxWindows][kPlanMaxChunks][16];
    std::uint32_t sourceOffset[kPlanMaxChunks];
    std::uint32_t destinationOffset[kPlanMaxChunks];
    std::uint32_t chunkCount;   // even: chunks 2u and 2u + 1 form unit u
    std::uint32_t windowCount;  // 1 to kPlanMaxWindows
};

// Fitted rows from one source row: the row at destinationRow and the repeat - 1 rows below
// it (stride bytes apart) get the plan's columns of sourceRow.
void GatherRowsSsse3(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                     std::size_t stride, std::uint32_t repeat, const ColumnPlan& plan) noexcept;
void GatherRowsAvx2(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                    std::size_t stride, std::uint32_t repeat, const ColumnPlan& plan) noexcept;

// One fitted row at exactly half the source width: byte x from source byte 2x, or with
// `pairs` the byte pair at x (x even) from the pair at 2x. SSSE3 needs fittedWidth >= 16,
// AVX2 fittedWidth >= 32; both read the source row's 2 * fittedWidth bytes only.
void HalveRowSsse3(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                   std::uint32_t fittedWidth, bool pairs) noexcept;
void HalveRowAvx2(const std::uint8_t* sourceRow, std::uint8_t* destinationRow,
                  std::uint32_t fittedWidth, bool pairs) noexcept;

// One YUY2 row: out[2j] = luma[j], out[2j + 1] = chroma[j] for j below width (even).
void PackYuy2RowSse2(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint8_t* out,
                     std::uint32_t width) noexcept;
void PackYuy2RowAvx2(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint8_t* out,
                     std::uint32_t width) noexcept;

// The 640 x 360 test picture: luma row r is the ramp start + r, start + r + 1, ...; chroma
// row r is tints[(r / 40) % 2] (two rows of 640 bytes, one after the other).
void FillFallbackSse2(std::uint8_t* destination, std::uint8_t start,
                      const std::uint8_t* tints) noexcept;
void FillFallbackAvx2(std::uint8_t* destination, std::uint8_t start,
                      const std::uint8_t* tints) noexcept;

}  // namespace velmora::pixels
