// Pictures a person can open: NV12 and YUY2 converted to RGB and written as PNG files
// with stored (uncompressed) deflate blocks, so no compression library is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camera_host {

// Tightly packed 8-bit RGB, top row first.
struct RgbPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;
};

// BT.601 limited range, the colour the camera delivers. Give at least the picture's
// bytes (width x height x 3/2 for NV12, width x height x 2 for YUY2); false otherwise.
bool Nv12ToRgb(const std::uint8_t* data, std::size_t size, std::uint32_t width, std::uint32_t height,
               RgbPicture& picture);
bool Yuy2ToRgb(const std::uint8_t* data, std::size_t size, std::uint32_t width, std::uint32_t height,
               RgbPicture& picture);

// The complete PNG file: signature, IHDR (8-bit RGB), one IDAT with a zlib stream of
// stored blocks and its Adler-32, IEND; every chunk with its CRC-32.
std::vector<std::uint8_t> EncodePng(const RgbPicture& picture);

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);
std::uint32_t Adler32(const std::uint8_t* data, std::size_t size, std::uint32_t adler = 1);

}  // namespace camera_host
