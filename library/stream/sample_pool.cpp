#include "library/stream/sample_pool.h"

#include <mfapi.h>

#include <algorithm>
#include <memory>
#include <new>

#include "library/com/object_count.h"

// A media buffer over pool memory. Its last Release hands it back to the pool instead of
// freeing it; the pool decides whether it is kept.
class PooledBuffer final : public IMFMediaBuffer {
public:
    static PooledBuffer* Create(DWORD size) noexcept {
        std::unique_ptr<std::uint8_t[]> memory(new (std::nothrow) std::uint8_t[size]);
        if (!memory) {
            return nullptr;
        }
        PooledBuffer* buffer = new (std::nothrow) PooledBuffer(std::move(memory), size);
        return buffer;
    }

    // Out of the pool to a new sample: one reference, empty, holding the pool.
    void HandOut(SamplePool* owner) noexcept {
        owner->AddRef();
        pool = owner;
        currentLength = 0;
        refCount = 1;
    }

    DWORD Size() const noexcept { return maxLength; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (iid != __uuidof(IUnknown) && iid != __uuidof(IMFMediaBuffer)) {
            return E_NOINTERFACE;
        }
        *object = static_cast<IMFMediaBuffer*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return refCount.fetch_add(1) + 1; }
    STDMETHODIMP_(ULONG) Release() noexcept override {
        const ULONG count = refCount.fetch_sub(1) - 1;
        if (count == 0) {
            pool->Return(this);
        }
        return count;
    }

    STDMETHODIMP Lock(BYTE** data, DWORD* max, DWORD* current) noexcept override {
        if (data == nullptr) {
            return E_POINTER;
        }
        *data = memory.get();
        if (max != nullptr) {
            *max = maxLength;
        }
        if (current != nullptr) {
            *current = currentLength;
        }
        return S_OK;
    }
    STDMETHODIMP Unlock() noexcept override { return S_OK; }
    STDMETHODIMP GetCurrentLength(DWORD* length) noexcept override {
        if (length == nullptr) {
            return E_POINTER;
        }
        *length = currentLength;
        return S_OK;
    }
    STDMETHODIMP SetCurrentLength(DWORD length) noexcept override {
        if (length > maxLength) {
            return E_INVALIDARG;
        }
        currentLength = length;
        return S_OK;
    }
    STDMETHODIMP GetMaxLength(DWORD* length) noexcept override {
        if (length == nullptr) {
            return E_POINTER;
        }
        *length = maxLength;
        return S_OK;
    }

private:
    PooledBuffer(std::unique_ptr<std::uint8_t[]> memory, DWORD size) noexcept
        : memory(std::move(memory)), maxLength(size) {}
    ~PooledBuffer() = default;
    friend class SamplePool;

    std::atomic<ULONG> refCount{0};
    SamplePool* pool = nullptr;  // counted while the buffer is out
    std::unique_ptr<std::uint8_t[]> memory;
    const DWORD maxLength;
    std::atomic<DWORD> currentLength{0};
};

SamplePool* SamplePool::Create() noexcept {
    return new (std::nothrow) SamplePool();
}

SamplePool::SamplePool() noexcept {
    ++ObjectCount;
}

SamplePool::~SamplePool() {
    FreeAll(idle, idleCount);
    --ObjectCount;
}

void SamplePool::FreeAll(PooledBuffer* const* buffers, std::uint32_t count) noexcept {
    for (std::uint32_t i = 0; i < count; ++i) {
        delete buffers[i];
    }
}

std::uint32_t SamplePool::TakeIdle(PooledBuffer** into) noexcept {
    const std::uint32_t taken = idleCount;
    std::copy(idle, idle + idleCount, into);
    counters.live -= idleCount;
    idleCount = 0;
    return taken;
}

ULONG SamplePool::AddRef() noexcept {
    return refCount.fetch_add(1) + 1;
}

ULONG SamplePool::Release() noexcept {
    const ULONG count = refCount.fetch_sub(1) - 1;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT SamplePool::Acquire(DWORD requested, IMFMediaBuffer** buffer) noexcept {
    *buffer = nullptr;
    PooledBuffer* stale[kCapacity] = {};
    std::uint32_t staleCount = 0;
    PooledBuffer* taken = nullptr;
    bool grow = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!closed && requested != size) {
            staleCount = TakeIdle(stale);
            size = requested;
        }
        if (!closed && idleCount != 0) {
            taken = idle[--idleCount];
        } else {
            grow = !closed && counters.live < kCapacity;
            counters.live += grow ? 1 : 0;
            ++counters.pictureAllocations;
        }
    }
    FreeAll(stale, staleCount);
    if (grow) {
        taken = PooledBuffer::Create(requested);
        if (taken == nullptr) {
            std::lock_guard<std::mutex> lock(mutex);
            --counters.live;
            return E_OUTOFMEMORY;
        }
    }
    if (taken == nullptr) {
        return MFCreateMemoryBuffer(requested, buffer);  // all held, or the pool closed
    }
    taken->HandOut(this);
    *buffer = taken;
    return S_OK;
}

void SamplePool::Return(PooledBuffer* buffer) noexcept {
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        keep = !closed && buffer->Size() == size && idleCount < kCapacity;
        if (keep) {
            idle[idleCount++] = buffer;
        } else {
            --counters.live;
        }
    }
    if (!keep) {
        delete buffer;
    }
    Release();
}

void SamplePool::Close() noexcept {
    PooledBuffer* stale[kCapacity] = {};
    std::uint32_t staleCount = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        staleCount = TakeIdle(stale);
    }
    FreeAll(stale, staleCount);
}

SamplePool::Counters SamplePool::Read() noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    Counters read = counters;
    read.idle = idleCount;
    return read;
}
