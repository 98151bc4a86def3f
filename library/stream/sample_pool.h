// Picture memory of the memory path, recycled. Each sample gets a media buffer of exactly
// its size; when the last reference to that buffer goes (the consumer released the sample
// and everything else that held the buffer), its memory returns to the pool and serves a
// later sample. A buffer is therefore never handed out while anyone still holds it, and a
// consumer that holds several samples gets as many buffers, up to kCapacity.
//
// The pool lives as long as its stream holds it or any of its buffers is out; it counts as
// one live object of the library, so the library stays loaded while a buffer is held.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <atomic>
#include <cstdint>
#include <mutex>

class PooledBuffer;

class SamplePool {
public:
    // Buffers the pool keeps at most. Beyond that, while all are held, a sample gets a
    // plain Media Foundation buffer that is freed with it.
    static constexpr std::uint32_t kCapacity = 6;

    struct Counters {
        std::uint64_t pictureAllocations = 0;  // picture-sized buffers allocated, pooled or plain
        std::uint32_t live = 0;                // pooled buffers in existence, idle or held
        std::uint32_t idle = 0;                // pooled buffers waiting for a sample
    };

    // Count 1; null without memory.
    static SamplePool* Create() noexcept;
    SamplePool(const SamplePool&) = delete;
    SamplePool& operator=(const SamplePool&) = delete;

    ULONG AddRef() noexcept;
    ULONG Release() noexcept;

    // A buffer of `size` bytes (maximum length = size, current length 0). A change of size
    // frees the idle buffers; held ones of the old size are freed when they come back.
    HRESULT Acquire(DWORD size, IMFMediaBuffer** buffer) noexcept;

    // Frees the idle buffers; every buffer that comes back later is freed, not kept.
    void Close() noexcept;

    Counters Read() noexcept;

private:
    friend class PooledBuffer;

    SamplePool() noexcept;
    ~SamplePool();
    void Return(PooledBuffer* buffer) noexcept;  // releases the reference the buffer held
    std::uint32_t TakeIdle(PooledBuffer** into) noexcept;  // mutex held; into: kCapacity entries
    static void FreeAll(PooledBuffer* const* buffers, std::uint32_t count) noexcept;

    std::atomic<ULONG> refCount{1};
    std::mutex mutex;
    bool closed = false;                // mutex
    DWORD size = 0;                     // mutex; the size of the pooled buffers
    PooledBuffer* idle[kCapacity] = {};  // mutex
    std::uint32_t idleCount = 0;         // mutex
    Counters counters;                   // mutex (its idle is idleCount)
};
