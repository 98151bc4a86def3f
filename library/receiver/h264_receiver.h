// The process-wide frame receiver: one thread that connects to the sender, decodes the
// H.264 stream and keeps the latest picture in its store for the camera streams.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "library/diagnostics/log_capture.h"
#include "library/receiver/clock_step_watch.h"
#include "library/receiver/connection_log_throttle.h"
#include "library/receiver/decoded_picture.h"
#include "library/receiver/gpu_decoding.h"

class H264Receiver : public DecodedFrameStore<TextureReference> {
public:
    // The process's one receiver, created at first use and never destroyed: at process
    // exit the receiver thread is already gone, possibly holding the store's mutex, and
    // releasing textures under the loader lock could crash the host.
    static H264Receiver& Instance() noexcept;

    explicit H264Receiver(SteadyClockFunction clock = &SteadyNowNs) noexcept : DecodedFrameStore(clock) {}

    // Starts the receiver thread the first time it is called in the process. Safe from any
    // thread, any number of times; never throws.
    void EnsureStarted() noexcept;

    // One connection: decoder, stream, frames until something fails. Returns the HRESULT
    // that ended it. Receiver thread only (tests may run it on a receiver of their own).
    long RunConnection() noexcept;

    // Logs how a connection ended (throttled while the same failure repeats).
    void LogConnectionEnd(long result) noexcept;

    // The receiver thread's first step: waits until EnsureStarted has written its line.
    void PassStartGate() noexcept;

    // Starts a detached thread running ReceiverThreadMain(receiver); false when the
    // system refuses. Replaceable so tests can refuse it.
    using ThreadStarter = bool (*)(H264Receiver* receiver) noexcept;
    static ThreadStarter threadStarter;

    // Set by the first successful EnsureStarted, never cleared afterwards.
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
    // Frames refused as too old since the last publication, across connections.
    ClockStepWatch clockStepWatch;
    // An empty picture vector with room for the next picture (receiver thread only).
    std::vector<std::uint8_t> recycledBytes;

    // The sender's port; tests may point a receiver of their own elsewhere.
    std::uint16_t port = 8080;

    // Graphics mode's Direct3D device, kept across connections; receiver thread only.
    DecoderDevice decoderDevice;

private:
    void UpdateStatistics(std::int64_t readNs, std::int64_t decodeNs, std::int64_t storeNs,
                          std::uint32_t payloadLength) noexcept;

    // Receiver thread only: log throttling across connections.
    ConnectionLogThrottle logThrottle;
    LogCapture heldLines;

    std::atomic<std::int64_t> lastStartFailureLogNs{0};
    std::mutex startGate;
};

// The receiver thread's entry: COM (multithreaded), Media Foundation, then connections
// forever, 50 ms apart. Never returns.
void ReceiverThreadMain(H264Receiver* receiver) noexcept;
