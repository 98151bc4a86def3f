// The pixel rules done the plain way, one 64-bit division per pixel and no precomputation:
// the yardstick the library's routines are measured against. Benchmark code only.
#pragma once

#include <cstdint>

namespace plain_pixel_rules {

struct Letterbox {
    std::uint32_t fittedWidth, fittedHeight, offsetX, offsetY;
};

// Fitted size and offsets of the letterboxed picture (valid sizes only: destination of at
// least 2 x 2).
Letterbox Fit(std::uint32_t w, std::uint32_t c, std::uint32_t rw, std::uint32_t rh);

void CopyNv12Cropped(const std::uint8_t* source, std::uint32_t w, std::uint32_t h,
                     std::uint8_t* destination, std::uint32_t rw, std::uint32_t rh);
void ScaleNv12Letterboxed(const std::uint8_t* source, std::uint32_t w, std::uint32_t h,
                          std::uint32_t c, std::uint8_t* destination, std::uint32_t rw,
                          std::uint32_t rh);
void ConvertNv12ToYuy2(const std::uint8_t* nv12, std::uint8_t* yuy2, std::uint32_t w,
                       std::uint32_t h);
void FillFallbackPattern(std::uint8_t* destination, std::uint64_t counter);

}  // namespace plain_pixel_rules
