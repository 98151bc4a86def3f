// The pixel rules written out plainly, one division per pixel, as the yardstick for the
// library's routines. Independent of the library: it shares no code with it.
//
// Every buffer access is checked. When the rules would touch a byte outside a buffer, the
// routine reports that and leaves the destination as it was (what the library must do).
#pragma once

#include <cstdint>
#include <vector>

namespace plain_rules {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t CropHeight(std::uint32_t w, std::uint32_t h, std::uint32_t rw, std::uint32_t rh);

// destination.size() is the destination size in bytes.
bool CopyNv12Cropped(const Bytes& source, std::uint32_t w, std::uint32_t h, Bytes& destination,
                     std::uint32_t rw, std::uint32_t rh);

// Return false when the rules would reach outside source or destination (then destination is
// unchanged). Sources are w*h*3/2 bytes, destinations rw*rh*3/2 (NV12) or w*h*2 (YUY2).
bool ScaleNv12Letterboxed(const Bytes& source, std::uint32_t w, std::uint32_t h, std::uint32_t c,
                          Bytes& destination, std::uint32_t rw, std::uint32_t rh);
bool ConvertNv12ToYuy2(const Bytes& source, Bytes& destination, std::uint32_t w,
                       std::uint32_t h);

Bytes FallbackPattern(std::uint64_t counter);

}  // namespace plain_rules
