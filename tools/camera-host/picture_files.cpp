#include "tools/camera-host/picture_files.h"

#include <algorithm>
#include <array>

namespace camera_host {

namespace {

std::uint8_t Clamp(int value) {
    return static_cast<std::uint8_t>(std::clamp(value, 0, 255));
}

// Fixed-point BT.601 (limited range) to RGB.
void YuvToRgb(int y, int u, int v, std::uint8_t* rgb) {
    const int c = (y - 16) * 298;
    const int d = u - 128;
    const int e = v - 128;
    rgb[0] = Clamp((c + 409 * e + 128) >> 8);
    rgb[1] = Clamp((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = Clamp((c + 516 * d + 128) >> 8);
}

void AppendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void AppendChunk(std::vector<std::uint8_t>& out, const char type[4], const std::vector<std::uint8_t>& data) {
    AppendBigEndian(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeStart = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    AppendBigEndian(out, Crc32(out.data() + typeStart, out.size() - typeStart));
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            entries[n] = c;
        }
        return entries;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

std::uint32_t Adler32(const std::uint8_t* data, std::size_t size, std::uint32_t adler) {
    std::uint32_t a = adler & 0xFFFF;
    std::uint32_t b = adler >> 16;
    while (size > 0) {
        // 5552 bytes keep both sums below 2^32 between reductions.
        const std::size_t run = std::min<std::size_t>(size, 5552);
        for (std::size_t i = 0; i < run; ++i) {
            a += data[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        data += run;
        size -= run;
    }
    return (b << 16) | a;
}

bool Nv12ToRgb(const std::uint8_t* data, std::size_t size, std::uint32_t width, std::uint32_t height,
               RgbPicture& picture) {
    const std::size_t lumaSize = std::size_t{width} * height;
    if (width == 0 || height == 0 || width % 2 || height % 2 || size < lumaSize * 3 / 2) {
        return false;
    }
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(lumaSize * 3);
    const std::uint8_t* chroma = data + lumaSize;
    for (std::uint32_t row = 0; row < height; ++row) {
        const std::uint8_t* uv = chroma + std::size_t{row / 2} * width;
        for (std::uint32_t column = 0; column < width; ++column) {
            const std::size_t index = std::size_t{row} * width + column;
            YuvToRgb(data[index], uv[column & ~1u], uv[(column & ~1u) + 1], &picture.pixels[index * 3]);
        }
    }
    return true;
}

bool Yuy2ToRgb(const std::uint8_t* data, std::size_t size, std::uint32_t width, std::uint32_t height,
               RgbPicture& picture) {
    const std::size_t pixels = std::size_t{width} * height;
    if (width == 0 || height == 0 || width % 2 || size < pixels * 2) {
        return false;
    }
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(pixels * 3);
    for (std::size_t pair = 0; pair < pixels / 2; ++pair) {
        const std::uint8_t* yuyv = data + pair * 4;
        YuvToRgb(yuyv[0], yuyv[1], yuyv[3], &picture.pixels[pair * 6]);
        YuvToRgb(yuyv[2], yuyv[1], yuyv[3], &picture.pixels[pair * 6 + 3]);
    }
    return true;
}

std::vector<std::uint8_t> EncodePng(const RgbPicture& picture) {
    // Filter type 0 before every row.
    const std::size_t rowBytes = std::size_t{picture.width} * 3;
    std::vector<std::uint8_t> raw;
    raw.reserve((rowBytes + 1) * picture.height);
    for (std::uint32_t row = 0; row < picture.height; ++row) {
        raw.push_back(0);
        const auto start = picture.pixels.begin() + static_cast<std::ptrdiff_t>(row * rowBytes);
        raw.insert(raw.end(), start, start + static_cast<std::ptrdiff_t>(rowBytes));
    }

    std::vector<std::uint8_t> zlib = {0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(raw.size() - offset, 65535);
        const bool last = offset + length == raw.size();
        zlib.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
        zlib.push_back(static_cast<std::uint8_t>(length));
        zlib.push_back(static_cast<std::uint8_t>(length >> 8));
        zlib.push_back(static_cast<std::uint8_t>(~length));
        zlib.push_back(static_cast<std::uint8_t>(~length >> 8));
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                    raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    } while (offset < raw.size());
    AppendBigEndian(zlib, Adler32(raw.data(), raw.size()));

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    AppendBigEndian(header, picture.width);
    AppendBigEndian(header, picture.height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, filter 0, no interlace
    AppendChunk(png, "IHDR", header);
    AppendChunk(png, "IDAT", zlib);
    AppendChunk(png, "IEND", {});
    return png;
}

}  // namespace camera_host
