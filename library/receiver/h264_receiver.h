// The process-wide frame receiver: one thread that connects to the sender, decodes the
// H.264 stream and keeps the latest picture in its store for the camera streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <vector>

#include "library/receiver/decoded_picture.h"

class H264Receiver : public DecodedFrameStore<TextureReference> {
public:
    // The process's one receiver, created at first use and never destroyed: at process
    // exit the receiver thread is already gone, possibly holding the store's mutex, and
    // releasing textures under the loader lock could crash the host.
    static H264Receiver& Instance() noexcept;

    explicit H264Receiver(SteadyClockFunction clock = &SteadyNowNs) noexcept : DecodedFrameStore(clock) {}

    // Starts the receiver thread the first time it is called in the process.
    void EnsureStarted() noexcept;

    // Set by the first EnsureStarted, never cleared.
    std::atomic<bool> started{false};

    // Receiver statistics; touched only by the receiver thread, with `mutex` held.
    std::uint64_t decodedFrames = 0;
    std::int64_t lastStatsTimeNs = 0;
    std::int64_t readMicros = 0;
    std::int64_t decodeMicros = 0;
    std::int64_t storeMicros = 0;
    std::uint64_t payloadBytes = 0;

    // Stream-client state that survives reconnections; receiver thread only.
    std::vector<std::uint8_t> payloadBuffer;
    std::int64_t clockOffsetMs = std::numeric_limits<std::int64_t>::min();
};
