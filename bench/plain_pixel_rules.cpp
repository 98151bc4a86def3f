#include "bench/plain_pixel_rules.h"

#include <cstring>

namespace plain_pixel_rules {

Letterbox Fit(std::uint32_t w, std::uint32_t c, std::uint32_t rw, std::uint32_t rh) {
    std::uint64_t fh = std::uint64_t{rw} * c / w;
    std::uint64_t fw = rw;
    if (fh > rh) {
        fw = std::uint64_t{rh} * w / c;
        fh = rh;
    }
    fw = (fw & ~std::uint64_t{1}) < 2 ? 2 : (fw & ~std::uint64_t{1});
    fh = (fh & ~std::uint64_t{1}) < 2 ? 2 : (fh & ~std::uint64_t{1});
    const auto fw32 = static_cast<std::uint32_t>(fw);
    const auto fh32 = static_cast<std::uint32_t>(fh);
    return {fw32, fh32, ((rw - fw32) >> 1) & 0x7FFFFFFEu, ((rh - fh32) >> 1) & 0x7FFFFFFEu};
}

void CopyNv12Cropped(const std::uint8_t* source, std::uint32_t w, std::uint32_t h,
                     std::uint8_t* destination, std::uint32_t rw, std::uint32_t rh) {
    const std::uint64_t luma = std::uint64_t{rw} * rh;
    std::memcpy(destination, source, luma);
    std::memcpy(destination + luma, source + std::uint64_t{w} * h, luma / 2);
}

void ScaleNv12Letterboxed(const std::uint8_t* source, std::uint32_t w, std::uint32_t h,
                          std::uint32_t c, std::uint8_t* destination, std::uint32_t rw,
                          std::uint32_t rh) {
    const std::uint64_t area = std::uint64_t{rw} * rh;
    std::memset(destination, 16, area);
    std::memset(destination + area, 128, area / 2);
    const Letterbox box = Fit(w, c, rw, rh);
    const std::uint64_t fw = box.fittedWidth, fh = box.fittedHeight;
    for (std::uint64_t y = 0; y < fh; ++y) {
        const std::uint64_t sy = y * c / fh;
        for (std::uint64_t x = 0; x < fw; ++x) {
            destination[(y + box.offsetY) * rw + box.offsetX + x] = source[x * w / fw + sy * w];
        }
    }
    const std::uint64_t fc = fh / 2, cc = c / 2, chroma = std::uint64_t{w} * h;
    for (std::uint64_t y = 0; y < fc; ++y) {
        const std::uint64_t sy = y * cc / fc;
        std::uint8_t* row = destination + area + box.offsetX + std::uint64_t{rw} * (box.offsetY / 2 + y);
        for (std::uint64_t x = 0; x < fw; x += 2) {
            const std::uint64_t sx = (x * w / fw) & ~std::uint64_t{1};
            row[x] = source[chroma + sx + w * sy];
            row[x + 1] = source[chroma + sx + w * sy + 1];
        }
    }
}

void ConvertNv12ToYuy2(const std::uint8_t* nv12, std::uint8_t* yuy2, std::uint32_t w,
                       std::uint32_t h) {
    const std::uint8_t* chromaPlane = nv12 + std::uint64_t{w} * h;
    for (std::uint64_t y = 0; y < h; ++y) {
        const std::uint8_t* luma = nv12 + y * w;
        const std::uint8_t* chroma = chromaPlane + (y / 2) * w;
        std::uint8_t* out = yuy2 + y * 2 * w;
        for (std::uint64_t x = 0; x < w; x += 2) {
            out[2 * x] = luma[x];
            out[2 * x + 1] = chroma[x];
            out[2 * x + 2] = luma[x + 1];
            out[2 * x + 3] = chroma[x + 1];
        }
    }
}

void FillFallbackPattern(std::uint8_t* destination, std::uint64_t counter) {
    for (std::uint64_t r = 0; r < 360; ++r) {
        for (std::uint64_t c = 0; c < 640; ++c) {
            destination[r * 640 + c] = static_cast<std::uint8_t>((4 * counter + r + c) % 256);
        }
    }
    for (std::uint64_t r = 0; r < 180; ++r) {
        for (std::uint64_t c = 0; c < 640; c += 2) {
            const bool parity = ((c / 80) + (r / 40)) % 2 == 1;
            destination[230400 + r * 640 + c] = parity ? 90 : 170;
            destination[230400 + r * 640 + c + 1] = parity ? 240 : 70;
        }
    }
}

}  // namespace plain_pixel_rules
