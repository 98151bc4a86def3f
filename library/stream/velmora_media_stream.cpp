// The media stream object: COM faces, events, stream states and the source's life-cycle
// operations. Sample production (RequestSample) lives in sample_production.cpp.
#include "library/stream/velmora_media_stream.h"

#include <mfapi.h>
#include <mferror.h>

#include "library/com/object_count.h"
#include "library/diagnostics/log.h"
#include "library/receiver/h264_receiver.h"
#include "library/source/unsupported_ks_control.h"
#include "library/source/velmora_media_source.h"

using Microsoft::WRL::ComPtr;

VelmoraMediaStream::VelmoraMediaStream(VelmoraMediaSource* source, IMFStreamDescriptor* streamDescriptor,
                                       const wchar_t* name) noexcept
    : source(source), streamDescriptor(streamDescriptor), name(name ? name : L"") {
    ++ObjectCount;
}

VelmoraMediaStream::~VelmoraMediaStream() {
    Shutdown();
    --ObjectCount;
    // The pixel buffers go with the members.
}

// ---- IUnknown ----------------------------------------------------------------------

STDMETHODIMP VelmoraMediaStream::QueryInterface(REFIID iid, void** object) noexcept {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFMediaEventGenerator) || iid == __uuidof(IMFMediaStream) ||
        iid == __uuidof(IMFMediaStream2)) {
        *object = static_cast<IMFMediaStream2*>(this);
    } else if (iid == __uuidof(IKsControl)) {
        *object = static_cast<IKsControl*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) VelmoraMediaStream::AddRef() noexcept {
    return refCount.fetch_add(1) + 1;
}

STDMETHODIMP_(ULONG) VelmoraMediaStream::Release() noexcept {
    const ULONG count = refCount.fetch_sub(1) - 1;
    if (count == 0) {
        delete this;
    }
    return count;
}

// ---- IMFMediaEventGenerator: forwarded to the queue, never under a lock (GetEvent may block)

STDMETHODIMP VelmoraMediaStream::GetEvent(DWORD flags, IMFMediaEvent** event) noexcept {
    ComPtr<IMFMediaEventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        queue = eventQueue;
    }
    return queue ? queue->GetEvent(flags, event) : MF_E_SHUTDOWN;
}

STDMETHODIMP VelmoraMediaStream::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) noexcept {
    ComPtr<IMFMediaEventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        queue = eventQueue;
    }
    return queue ? queue->BeginGetEvent(callback, state) : MF_E_SHUTDOWN;
}

STDMETHODIMP VelmoraMediaStream::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) noexcept {
    ComPtr<IMFMediaEventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        queue = eventQueue;
    }
    return queue ? queue->EndGetEvent(result, event) : MF_E_SHUTDOWN;
}

STDMETHODIMP VelmoraMediaStream::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                            const PROPVARIANT* value) noexcept {
    ComPtr<IMFMediaEventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        queue = eventQueue;
    }
    return queue ? queue->QueueEventParamVar(type, extendedType, status, value) : MF_E_SHUTDOWN;
}

// ---- IMFMediaStream / IMFMediaStream2 ------------------------------------------------

STDMETHODIMP VelmoraMediaStream::GetMediaSource(IMFMediaSource** mediaSource) noexcept {
    if (mediaSource == nullptr) {
        return E_POINTER;
    }
    *mediaSource = nullptr;
    // Under the state lock, so that a source shutting its streams down (which takes this
    // lock) is either seen as shut down here or finishes after the reference is taken.
    std::lock_guard<std::mutex> lock(stateMutex);
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    if (source == nullptr) {
        return MF_E_NOT_INITIALIZED;
    }
    // The source may be in its last Release, between its count reaching zero and shutting
    // this stream down: it is referenced only while its count is above zero.
    IMFMediaSource* face = source->TryReference();
    if (face == nullptr) {
        return MF_E_SHUTDOWN;
    }
    *mediaSource = face;
    return S_OK;
}

STDMETHODIMP VelmoraMediaStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) noexcept {
    if (descriptor == nullptr) {
        return E_POINTER;
    }
    *descriptor = nullptr;
    std::lock_guard<std::mutex> lock(stateMutex);
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    if (!streamDescriptor) {
        return MF_E_NOT_INITIALIZED;
    }
    return streamDescriptor.CopyTo(descriptor);
}

STDMETHODIMP VelmoraMediaStream::SetStreamState(MF_STREAM_STATE value) noexcept {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    streamState = static_cast<std::uint32_t>(value);
    active = value == MF_STREAM_STATE_RUNNING;
    return S_OK;
}

STDMETHODIMP VelmoraMediaStream::GetStreamState(MF_STREAM_STATE* value) noexcept {
    if (value == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    *value = static_cast<MF_STREAM_STATE>(streamState.load());
    return S_OK;
}

// ---- IKsControl: every request is refused ---------------------------------------------

STDMETHODIMP VelmoraMediaStream::KsProperty(PKSPROPERTY, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

STDMETHODIMP VelmoraMediaStream::KsMethod(PKSMETHOD, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

STDMETHODIMP VelmoraMediaStream::KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

// ---- Plain operations -------------------------------------------------------------------

HRESULT VelmoraMediaStream::CreateEventQueue() noexcept {
    ComPtr<IMFMediaEventQueue> previous;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        previous.Swap(eventQueue);
    }
    previous.Reset();
    ComPtr<IMFMediaEventQueue> created;
    const HRESULT hr = MFCreateEventQueue(&created);
    if (FAILED(hr)) {
        return hr;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    eventQueue.Swap(created);
    return hr;
}

HRESULT VelmoraMediaStream::Start() noexcept {
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        sampleCount = 0;
        lastSequence = 0;
        lastStatsLogNs = 0;
    }
    {
        std::lock_guard<std::mutex> lock(pacingMutex);
        nextDueNs = 0;  // the next sample goes out at once and restarts the schedule
    }
    H264Receiver::Instance().EnsureStarted();
    LogFormatted(96, L"%s media stream started.", name);

    // The state change and its announcement are one step, so that no request can queue a
    // sample ahead of MEStreamStarted and a racing Stop cannot be announced out of order.
    std::lock_guard<std::mutex> lock(stateMutex);
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    active = true;
    streamState = MF_STREAM_STATE_RUNNING;
    if (!eventQueue) {
        return MF_E_SHUTDOWN;
    }
    const HRESULT hr = eventQueue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT VelmoraMediaStream::Stop() noexcept {
    HRESULT hr = MF_E_SHUTDOWN;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (shutDown) {
            return MF_E_SHUTDOWN;
        }
        active = false;
        streamState = MF_STREAM_STATE_STOPPED;
        if (eventQueue) {
            hr = eventQueue->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
        }
    }
    WakePacing();
    return hr;
}

void VelmoraMediaStream::Shutdown() noexcept {
    ComPtr<IMFStreamDescriptor> descriptor;
    ComPtr<IMFMediaEventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        shutDown = true;
        active = false;
        streamState = MF_STREAM_STATE_STOPPED;
        descriptor.Swap(streamDescriptor);
        queue.Swap(eventQueue);
    }
    WakePacing();
    ComPtr<SamplePool> pool;
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        pool.Swap(samplePool);
    }
    if (pool) {
        pool->Close();  // samples still held free their buffers when released
    }
    descriptor.Reset();
    if (queue) {
        queue->Shutdown();
        queue.Reset();
    }
}
