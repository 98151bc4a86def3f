// Tells a step of the sender's clock from a receiver that falls behind. clockOffsetMs
// only follows larger estimates, so after the sender's clock steps back by less than the
// reset threshold every later frame would look too old for as long as the process lives.
// Frames refused as too old are watched instead: when for at least a second they all lie
// about the same distance below the offset (a step), the offset is learnt afresh from the
// newest one; when that distance keeps growing (a backlog), they stay refused.
// No Windows header: the steady time is a parameter.
#pragma once

#include <algorithm>
#include <cstdint>

#include "library/receiver/frame_header.h"

// The oldest end-to-end age at which the receiver still publishes a frame.
inline constexpr std::uint32_t kMaxPublishedAgeMs = 200;

class ClockStepWatch {
public:
    static constexpr std::int64_t kWindowNs = 1'000'000'000;
    static constexpr std::uint32_t kLeastRefusedFrames = 10;
    static constexpr std::int64_t kLargestSpanMs = 100;
    static constexpr std::int64_t kLargestGrowthMs = 20;

    // Judges one frame whose end-to-end age was just estimated (EstimateEndToEndAge with
    // the same offset) at steady time nowNs. When the frame completes a step, the offset is
    // learnt afresh from it and its age becomes its sender delay; otherwise the age is
    // returned as it is.
    std::uint32_t Judge(std::uint32_t age, std::uint64_t senderDelayMs, std::int64_t& clockOffsetMs,
                        std::int64_t nowNs) noexcept {
        if (age == kNoAge || age <= kMaxPublishedAgeMs) {
            return age;
        }
        // An age always lies 0 to 2000 ms above its delay: the distance of this frame's
        // estimate below the offset.
        const std::int64_t difference = static_cast<std::int64_t>(age) - static_cast<std::int64_t>(senderDelayMs);
        if (refused == 0) {
            Begin(difference, nowNs);
            return age;
        }
        lowest = std::min(lowest, difference);
        highest = std::max(highest, difference);
        if (nowNs - startNs < kWindowNs) {
            ++refused;
            return age;
        }
        const bool step = refused >= kLeastRefusedFrames && highest - lowest <= kLargestSpanMs &&
                          difference - oldest <= kLargestGrowthMs;
        if (!step) {
            // One late frame must not block the watch for good: the next second is judged
            // on its own, starting here.
            Begin(difference, nowNs);
            return age;
        }
        refused = 0;
        clockOffsetMs -= difference;
        return static_cast<std::uint32_t>(senderDelayMs);
    }

    // A frame was published (with or without an age): the frames refused so far were late,
    // not stepped.
    void Published() noexcept { refused = 0; }

private:
    void Begin(std::int64_t difference, std::int64_t nowNs) noexcept {
        refused = 1;
        startNs = nowNs;
        oldest = difference;
        lowest = difference;
        highest = difference;
    }

    std::uint32_t refused = 0;  // frames refused as too old since the last publication
    std::int64_t startNs = 0;   // steady time of the first of them
    std::int64_t oldest = 0;    // its distance below the offset, ms
    std::int64_t lowest = 0;
    std::int64_t highest = 0;
};
