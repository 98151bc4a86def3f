// The frame stream's wire format and the end-to-end age of a frame. No Windows header:
// parsing and age estimation build natively as well, for the sanitizers.
//
// The stream is one endless HTTP body of frames, each a 28-byte big-endian header
// followed at once by its H.264 payload (Annex B, parameter sets in band).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

struct FrameHeader {
    std::uint32_t payloadLength = 0;  // bytes 0-3: payload bytes after the header
    std::uint64_t captureTimeMs = 0;  // bytes 4-11: sender clock, ms since 1970; 0 = no timing
    std::uint64_t opaqueValue = 0;    // bytes 12-19: the sender's own, not interpreted
    std::uint64_t senderDelayMs = 0;  // bytes 20-27: capture-to-send time on the sender
};

inline constexpr std::size_t kFrameHeaderSize = 28;
inline constexpr std::uint32_t kLargestPayloadLength = 2097152;
inline constexpr std::uint64_t kLargestUsableSenderDelayMs = 5000;
inline constexpr std::int64_t kClockOffsetResetThresholdMs = 2000;
inline constexpr std::int64_t kUnixEpochFileTimeMs = 11644473600000;
// Age value meaning "no age available"; also the value of every age too large to hold.
inline constexpr std::uint32_t kNoAge = 4294967295u;
// Initial clockOffsetMs: no offset estimated yet.
inline constexpr std::int64_t kClockOffsetUnset = std::numeric_limits<std::int64_t>::min();

// Reads the 28 header bytes (big-endian, most significant byte first).
FrameHeader ParseFrameHeader(const std::uint8_t (&bytes)[kFrameHeaderSize]) noexcept;

// A payload length the receiver accepts: 1 to 2,097,152 bytes.
constexpr bool IsValidPayloadLength(std::uint32_t payloadLength) noexcept {
    return payloadLength != 0 && payloadLength <= kLargestPayloadLength;
}

// Age in ms between the sender's capture of a frame and `nowFileTime` (the wall clock as a
// file time: 100 ns units since 1601-01-01 UTC), or kNoAge. `clockOffsetMs` (sender clock
// minus receiver clock, net of the shortest transit seen; kClockOffsetUnset at first)
// follows the largest candidate and falls back only when one lies more than 2000 ms below.
std::uint32_t EstimateEndToEndAge(std::uint64_t captureTimeMs, std::uint64_t senderDelayMs,
                                  std::int64_t& clockOffsetMs,
                                  std::uint64_t nowFileTime) noexcept;
