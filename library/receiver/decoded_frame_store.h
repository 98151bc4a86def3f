// The decoded frame store: the one meeting point of the receiver thread, which publishes
// the latest decoded picture, and the sample requests, which take it. It holds exactly one
// picture (NV12 bytes, a graphics texture, or both); consumers wait briefly for a picture
// newer than the one they took last and refuse pictures older than 200 ms.
//
// No Windows header here: the texture reference type is a parameter (a counted COM
// reference in the library, a stand-in in host tests).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "library/receiver/frame_header.h"  // kNoAge
#include "library/stream/pixel_routines.h"

inline constexpr std::uint32_t kMaxUsableAgeMs = 200;
inline constexpr std::chrono::milliseconds kFreshPictureWait{18};

// Steady clock in nanoseconds: waits, pacing, publication times and statistics.
inline std::int64_t SteadyNowNs() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using SteadyClockFunction = std::int64_t (*)() noexcept;

// NV12 byte count of a picture; 64-bit so that absurd sizes cannot wrap into a match.
inline std::uint64_t Nv12ByteCount(std::uint32_t width, std::uint32_t height) noexcept {
    return static_cast<std::uint64_t>(width) * height * 3 / 2;
}

// Picture-sized allocations of the receiver side, so that tests can see that steady
// decoding makes none: the decoder's output buffers, and picture byte vectors allocated or
// grown (decoded pictures and read-backs).
struct PictureAllocationCounters {
    std::atomic<std::uint64_t> decoderOutputBuffers{0};
    std::atomic<std::uint64_t> pictureVectors{0};
};
inline PictureAllocationCounters receiverAllocations;

template <class TextureRef>
struct BasicDecodedPicture {
    std::vector<std::uint8_t> bytes;  // NV12, tightly packed; may be empty
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    TextureRef texture{};  // camera texture holding the picture (direct mode)
    std::uint32_t textureSubresource = 0;
    std::uint32_t textureWidth = 0;
    std::uint32_t textureHeight = 0;

    bool HasTexture() const noexcept { return static_cast<bool>(texture); }
};

template <class TextureRef>
struct BasicGpuFrame {
    TextureRef texture{};
    std::uint32_t textureSubresource = 0;
    std::uint32_t textureWidth = 0;
    std::uint32_t textureHeight = 0;
};

template <class TextureRef>
class DecodedFrameStore {
public:
    using Picture = BasicDecodedPicture<TextureRef>;
    using GpuFrame = BasicGpuFrame<TextureRef>;

    // The clock decides publication times and ages; tests pass one they control. Waits
    // always use the real steady clock, for at most `freshPictureWait`.
    explicit DecodedFrameStore(SteadyClockFunction clock = &SteadyNowNs,
                               std::chrono::nanoseconds freshPictureWait = kFreshPictureWait) noexcept
        : clock(clock), freshPictureWait(freshPictureWait) {}
    DecodedFrameStore(const DecodedFrameStore&) = delete;
    DecodedFrameStore& operator=(const DecodedFrameStore&) = delete;

    std::mutex mutex;
    std::condition_variable frameReady;

    // Receiver thread only, with `mutex` held. The picture's bytes are moved, not copied,
    // and the picture gets back the vector of the picture it replaces, emptied, so that
    // the next picture can be decoded into it without an allocation.
    void PublishPicture(Picture& picture, std::uint32_t age) noexcept {
        const std::uint64_t expected = Nv12ByteCount(picture.width, picture.height);
        frame.swap(picture.bytes);
        if (picture.HasTexture()) {
            texture = picture.texture;
            textureSubresource = picture.textureSubresource;
            textureWidth = picture.textureWidth;
            textureHeight = picture.textureHeight;
            if (expected != 0 && frame.size() == expected) {
                width = picture.width;
                height = picture.height;
            } else {
                frame.clear();
                width = 0;
                height = 0;
            }
        } else {
            width = picture.width;
            height = picture.height;
            texture = nullptr;
            textureSubresource = 0;
            textureWidth = 0;
            textureHeight = 0;
        }
        picture.bytes.clear();
        publishTimeNs = clock();
        ageAtPublishMs = age == kNoAge ? 0 : age;
        ++sequence;
        frameReady.notify_all();
    }

    // With `mutex` held.
    std::uint32_t CurrentAgeMs() const noexcept {
        if (publishTimeNs == 0) {
            return kNoAge;
        }
        const std::int64_t elapsed = (clock() - publishTimeNs) / 1000000;
        if (elapsed < 0) {
            return 0;
        }
        const std::uint64_t sum = static_cast<std::uint64_t>(ageAtPublishMs) + static_cast<std::uint64_t>(elapsed);
        return sum > kNoAge ? kNoAge : static_cast<std::uint32_t>(sum);
    }

    // Waits up to 18 ms for a picture newer than lastSequence, refuses one older than
    // 200 ms, and delivers it either straight into directDestination (same width, height
    // equal or up to 16 rows taller) or whole into scratch.
    bool TakeCpuFrame(std::uint8_t* directDestination, std::uint32_t directCapacity, std::uint8_t* scratch,
                      std::uint32_t scratchCapacity, std::uint32_t requestedWidth, std::uint32_t requestedHeight,
                      std::uint64_t& lastSequence, std::uint32_t& ageMs, std::uint32_t& frameWidth,
                      std::uint32_t& frameHeight, bool& deliveredDirect) {
        if (directDestination == nullptr || scratch == nullptr) {
            return false;
        }
        ageMs = 0;
        deliveredDirect = false;
        std::unique_lock<std::mutex> lock(mutex);
        WaitForNewer(lock, lastSequence, [this] { return !frame.empty(); });
        ageMs = CurrentAgeMs();
        if (ageMs > kMaxUsableAgeMs) {
            return false;
        }
        if (frame.empty() || frame.size() != Nv12ByteCount(width, height)) {
            return false;
        }
        frameWidth = width;
        frameHeight = height;
        if (CopyNv12Cropped(frame.data(), width, height, directDestination, directCapacity, requestedWidth,
                            requestedHeight)) {
            deliveredDirect = true;
            lastSequence = sequence;
            return true;
        }
        if (scratchCapacity >= frame.size()) {
            std::memcpy(scratch, frame.data(), frame.size());
            lastSequence = sequence;
            return true;
        }
        return false;
    }

    // Waits up to 18 ms for a texture newer than lastSequence; gives a counted reference
    // when the latest picture has a texture and is at most 200 ms old.
    bool TakeGpuFrame(std::uint64_t& lastSequence, std::uint32_t& ageMs, GpuFrame& taken) {
        std::unique_lock<std::mutex> lock(mutex);
        WaitForNewer(lock, lastSequence, [this] { return static_cast<bool>(texture); });
        ageMs = CurrentAgeMs();
        if (ageMs > kMaxUsableAgeMs || !static_cast<bool>(texture)) {
            return false;
        }
        taken.texture = texture;
        taken.textureSubresource = textureSubresource;
        taken.textureWidth = textureWidth;
        taken.textureHeight = textureHeight;
        lastSequence = sequence;
        return true;
    }

    // Guarded by `mutex`.
    std::vector<std::uint8_t> frame;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    TextureRef texture{};
    std::uint32_t textureSubresource = 0;
    std::uint32_t textureWidth = 0;
    std::uint32_t textureHeight = 0;
    std::int64_t publishTimeNs = 0;
    std::uint32_t ageAtPublishMs = 0;
    std::uint64_t sequence = 0;
    // Consumers inside their wait right now; lets tests publish during a wait.
    std::uint32_t waitingConsumers = 0;

protected:
    // Waits until the picture is present and newer than lastSequence, or the deadline
    // passes; a timed-out wait ends the loop without testing again.
    template <class Present>
    void WaitForNewer(std::unique_lock<std::mutex>& lock, std::uint64_t lastSequence, Present present) {
        const auto deadline = std::chrono::steady_clock::now() + freshPictureWait;
        ++waitingConsumers;
        while (!(present() && sequence != lastSequence)) {
            if (frameReady.wait_until(lock, deadline) == std::cv_status::timeout) {
                break;
            }
        }
        --waitingConsumers;
    }

    SteadyClockFunction clock;
    std::chrono::nanoseconds freshPictureWait;
};
