// Packs an NV12 picture as a texture map gives it (rows `rowPitch` bytes apart, the
// interleaved chroma plane starting right after `height` luma rows) into the tightly
// packed layout of DecodedPicture. No Windows header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// `destination` holds width * height * 3 / 2 bytes; rowPitch >= width. The luma rows go to
// the start, height / 2 chroma rows right after width * height bytes.
inline void PackPitchedNv12(const std::uint8_t* mapped, std::size_t rowPitch, std::uint32_t width,
                            std::uint32_t height, std::uint8_t* destination) noexcept {
    for (std::uint32_t y = 0; y < height; ++y) {
        std::memcpy(destination + std::size_t{y} * width, mapped + std::size_t{y} * rowPitch, width);
    }
    const std::uint8_t* chroma = mapped + rowPitch * height;
    std::uint8_t* chromaDestination = destination + std::size_t{width} * height;
    for (std::uint32_t y = 0; y < height / 2; ++y) {
        std::memcpy(chromaDestination + std::size_t{y} * width, chroma + std::size_t{y} * rowPitch, width);
    }
}
