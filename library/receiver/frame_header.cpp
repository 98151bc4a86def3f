#include "library/receiver/frame_header.h"

namespace {

std::uint64_t ReadBigEndian(const std::uint8_t* bytes, int count) noexcept {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

}  // namespace

FrameHeader ParseFrameHeader(const std::uint8_t (&bytes)[kFrameHeaderSize]) noexcept {
    FrameHeader header;
    header.payloadLength = static_cast<std::uint32_t>(ReadBigEndian(bytes, 4));
    header.captureTimeMs = ReadBigEndian(bytes + 4, 8);
    header.opaqueValue = ReadBigEndian(bytes + 12, 8);
    header.senderDelayMs = ReadBigEndian(bytes + 20, 8);
    return header;
}

std::uint32_t EstimateEndToEndAge(std::uint64_t captureTimeMs, std::uint64_t senderDelayMs,
                                  std::int64_t& clockOffsetMs,
                                  std::uint64_t nowFileTime) noexcept {
    if (captureTimeMs == 0 || senderDelayMs > kLargestUsableSenderDelayMs) {
        return kNoAge;
    }
    const auto delay = static_cast<std::int64_t>(senderDelayMs);
    if (captureTimeMs > static_cast<std::uint64_t>(kInt64Max - delay)) {
        return kNoAge;
    }
    // File time / 10,000 is below 2^64 / 10^4, well inside the signed range.
    const std::int64_t nowMs = static_cast<std::int64_t>(nowFileTime / 10000) - kUnixEpochFileTimeMs;
    if (nowMs < 0) {
        return kNoAge;
    }
    // capture + delay <= INT64_MAX and nowMs >= 0, so neither step can overflow.
    const std::int64_t capture = static_cast<std::int64_t>(captureTimeMs);
    const std::int64_t candidate = capture + delay - nowMs;

    // "Lies more than 2000 below the offset", written so that no offset value (the unset
    // marker included) can make the subtraction overflow.
    const bool unset = clockOffsetMs == kClockOffsetUnset;
    const bool farBelow =
        clockOffsetMs >= std::numeric_limits<std::int64_t>::min() + kClockOffsetResetThresholdMs &&
        candidate < clockOffsetMs - kClockOffsetResetThresholdMs;
    if (unset || candidate > clockOffsetMs || farBelow) {
        clockOffsetMs = candidate;
    }

    // offset - capture + now == (offset - candidate) + delay, and the update above keeps
    // offset - candidate within [0, 2000]: computed this way nothing can overflow.
    const std::int64_t age = (clockOffsetMs - candidate) + delay;
    if (age < 0) {
        return 0;
    }
    if (age > static_cast<std::int64_t>(kNoAge)) {
        return kNoAge;
    }
    return static_cast<std::uint32_t>(age);
}
