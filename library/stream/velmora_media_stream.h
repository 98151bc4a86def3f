// The camera stream: the Media Foundation media stream from which the camera pipeline
// pulls samples. Primary face IMFMediaStream2, second face IKsControl.
//
// Locking. Three small per-stream locks, never nested, never held while pacing, waiting for
// a picture or waiting for an event:
//  - stateMutex guards shutDown/active/streamState transitions and the two references
//    (descriptor, queue). Requests copy counted references under it at entry, so a
//    concurrent Shutdown never pulls an object from under them, and they queue their sample
//    under it after re-checking the flags: no sample follows MEStreamStopped or Shutdown.
//  - pacingMutex guards nextDueNs and pacingEpoch. A pacing wait sleeps on pacingWake with
//    it released; Stop and Shutdown raise the epoch and wake it.
//  - requestMutex guards the per-stream counters, the sample pool reference and the
//    ownership of the two pixel buffers. A request checks the buffers out for the duration of its pixel work and hands
//    them back; a request that overlaps it works in buffers of its own, so no buffer or
//    counter is ever used by two threads at once and no request waits for another.
// The store's mutex is only ever taken with none of these held.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/sdk_additions.h"
#include "library/stream/sample_pool.h"

class VelmoraMediaSource;

// Bytes left uninitialised when a vector grows: the pixel buffers are always written before
// they are read, and filling 14 MB of fresh memory costs far more than a picture's work.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
};
using PixelBytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

class VelmoraMediaStream final : public IMFMediaStream2, public IKsControl {
public:
    // Counts the descriptor; adds one to ObjectCount. `name` is a static string
    // ("Preview", "Capture" or "Photo").
    VelmoraMediaStream(VelmoraMediaSource* source, IMFStreamDescriptor* streamDescriptor,
                       const wchar_t* name) noexcept;

    VelmoraMediaStream(const VelmoraMediaStream&) = delete;
    VelmoraMediaStream& operator=(const VelmoraMediaStream&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // IMFMediaEventGenerator
    STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) noexcept override;
    STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) noexcept override;
    STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) noexcept override;
    STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                            const PROPVARIANT* value) noexcept override;

    // IMFMediaStream
    STDMETHODIMP GetMediaSource(IMFMediaSource** mediaSource) noexcept override;
    STDMETHODIMP GetStreamDescriptor(IMFStreamDescriptor** streamDescriptor) noexcept override;
    STDMETHODIMP RequestSample(IUnknown* token) noexcept override;

    // IMFMediaStream2
    STDMETHODIMP SetStreamState(MF_STREAM_STATE value) noexcept override;
    STDMETHODIMP GetStreamState(MF_STREAM_STATE* value) noexcept override;

    // IKsControl
    STDMETHODIMP KsProperty(PKSPROPERTY property, ULONG propertyLength, void* data, ULONG dataLength,
                            ULONG* bytesReturned) noexcept override;
    STDMETHODIMP KsMethod(PKSMETHOD method, ULONG methodLength, void* data, ULONG dataLength,
                          ULONG* bytesReturned) noexcept override;
    STDMETHODIMP KsEvent(PKSEVENT event, ULONG eventLength, void* data, ULONG dataLength,
                         ULONG* bytesReturned) noexcept override;

    // Plain operations used by the source.
    HRESULT CreateEventQueue() noexcept;
    HRESULT Start() noexcept;
    HRESULT Stop() noexcept;
    void Shutdown() noexcept;

    // The pool of the memory path's buffers (null before the stream's first memory sample
    // and after Shutdown), for its counters.
    Microsoft::WRL::ComPtr<SamplePool> MemorySamplePool() noexcept;

    // The largest NV12 picture that a request can copy: 4096 x 2304.
    static constexpr std::uint32_t kSourceFrameBufferSize = 4096u * 2304u * 3u / 2u;

private:
    // What the current media type asks for (defaults where it cannot be read).
    struct RequestedFormat {
        GUID subtype;
        std::uint32_t width;
        std::uint32_t height;
        std::uint64_t frameDuration;  // 100-ns units
    };

    // Holds the stream's pixel buffers for one request (see requestMutex).
    class BufferCheckout;

    ~VelmoraMediaStream();

    // sample_production.cpp
    HRESULT ProduceSample(IUnknown* token);
    static RequestedFormat ReadCurrentMediaType(IMFStreamDescriptor* descriptor) noexcept;
    bool PaceRequest(std::uint64_t frameDuration) noexcept;  // false: Stop or Shutdown ended the wait
    HRESULT TryGpuSample(const RequestedFormat& format, IMFSample* sample, IUnknown* token, bool& produced);
    HRESULT ProduceCpuSample(const RequestedFormat& format, bool yuy2, DWORD sampleSize, IMFSample* sample,
                             IUnknown* token);
    HRESULT CreateMemoryBuffer(DWORD size, IMFMediaBuffer** buffer) noexcept;
    void WakePacing() noexcept;
    std::uint64_t ReadLastSequence() noexcept;
    void StoreLastSequence(std::uint64_t sequence) noexcept;
    double StatisticsFps(std::int64_t now) noexcept;  // requestMutex held
    HRESULT QueueSample(IMFSample* sample) noexcept;

    // Members in the order of the stream's data model; the three locks and the buffer
    // checkout flag are additions of this implementation.
    std::atomic<ULONG> refCount{1};
    VelmoraMediaSource* const source;  // holds no reference: the source owns the stream
    Microsoft::WRL::ComPtr<IMFMediaEventQueue> eventQueue;            // stateMutex
    Microsoft::WRL::ComPtr<IMFStreamDescriptor> streamDescriptor;     // stateMutex
    const wchar_t* const name;
    std::atomic<bool> shutDown{false};  // written under stateMutex, read anywhere
    std::atomic<bool> active{false};    // written under stateMutex, read anywhere
    std::atomic<std::uint32_t> streamState{MF_STREAM_STATE_STOPPED};  // written under stateMutex

    // Sample production state, guarded by requestMutex.
    std::uint64_t sampleCount = 0;
    std::uint64_t lastSequence = 0;
    std::mutex pacingMutex;
    std::int64_t nextDueNs = 0;  // pacingMutex
    std::uint64_t pacingEpoch = 0;  // pacingMutex
    std::condition_variable pacingWake;
    std::int64_t lastStatsLogNs = 0;
    PixelBytes sourceFrameBuffer;  // checked out while a request uses it
    PixelBytes nv12Scratch;        // checked out while a request uses it
    std::int64_t sampleMicros = 0;
    std::int64_t waitMicros = 0;
    std::int64_t transformMicros = 0;
    std::uint64_t scaledCount = 0;

    std::mutex stateMutex;
    std::mutex requestMutex;
    bool buffersCheckedOut = false;  // requestMutex
    Microsoft::WRL::ComPtr<SamplePool> samplePool;  // requestMutex
};
