// Pixel routines of the camera stream: cropping, letterboxed nearest-neighbour scaling,
// NV12 to YUY2 packing and the animated test picture.
//
// Layouts are tightly packed (stride = width). An NV12 picture of W x H is W*H luma bytes
// followed by interleaved U,V bytes, W*H*3/2 bytes in all; a YUY2 picture is W*H*2 bytes.
// None of the routines allocates, locks or logs. They never touch memory outside the
// buffers that their size arguments describe: for sizes where that would happen (widths or
// heights below 2, odd sizes where chroma does not fit, pictures of 4 GiB or more) they
// return without writing anything.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kFallbackWidth = 640;
inline constexpr std::uint32_t kFallbackHeight = 360;
inline constexpr std::uint32_t kFallbackPatternBytes = kFallbackWidth * kFallbackHeight * 3 / 2;

// Whether the stream can produce pictures of this size: both sides even and non-zero
// (NV12 chroma, YUY2 pairs) and width x height x 2 at most 4,294,967,295, so that every
// picture size fits in 32 bits in both formats.
bool FrameSizeIsReadable(std::uint32_t width, std::uint32_t height) noexcept;

// Height of the source rows to use: a source up to 16 rows taller than the requested aspect
// ratio needs at the source width loses its bottom rows (1088 -> 1080); the result is even
// then. Otherwise the source height. A requested width of 0 gives the source height.
std::uint32_t CropHeight(std::uint32_t sourceWidth, std::uint32_t sourceHeight,
                         std::uint32_t requestedWidth, std::uint32_t requestedHeight) noexcept;

// Copies an NV12 picture of the requested size out of a source of equal width whose height
// is the requested one or, cropped, a few rows more. False (destination untouched) when the
// sizes do not allow that or destinationSize is below requestedWidth*requestedHeight*3/2.
bool CopyNv12Cropped(const std::uint8_t* source, std::uint32_t sourceWidth,
                     std::uint32_t sourceHeight, std::uint8_t* destination,
                     std::uint32_t destinationSize, std::uint32_t requestedWidth,
                     std::uint32_t requestedHeight) noexcept;

// Scales the top cropHeight rows of a W x H NV12 source into an RW x RH NV12 destination,
// keeping the aspect ratio: the picture is centred on even coordinates, the bars are black
// (luma 16, chroma 128). Nearest neighbour, truncating source positions.
void ScaleNv12Letterboxed(const std::uint8_t* source, std::uint32_t sourceWidth,
                          std::uint32_t sourceHeight, std::uint32_t cropHeight,
                          std::uint8_t* destination, std::uint32_t requestedWidth,
                          std::uint32_t requestedHeight) noexcept;

// Packs W x H NV12 into YUY2 (Y0 U Y1 V); each chroma row serves two output rows. Width and
// height must be even.
void ConvertNv12ToYuy2(const std::uint8_t* nv12, std::uint8_t* yuy2, std::uint32_t width,
                       std::uint32_t height) noexcept;

// The 640 x 360 NV12 test picture (kFallbackPatternBytes bytes): a diagonal luma ramp that
// moves by 4 levels per counter step over a checkerboard of two tints in 80-pixel squares.
void FillFallbackPattern(std::uint8_t* destination, std::uint64_t counter) noexcept;
