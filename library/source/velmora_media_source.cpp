#include "library/source/velmora_media_source.h"

#include <mfapi.h>
#include <mferror.h>

#include <new>

#include "library/com/object_count.h"
#include "library/diagnostics/log.h"
#include "library/source/unsupported_ks_control.h"
#include "library/stream/velmora_media_stream.h"

using Microsoft::WRL::ComPtr;

VelmoraMediaSource::VelmoraMediaSource() noexcept {
    ++ObjectCount;
}

VelmoraMediaSource::~VelmoraMediaSource() {
    Shutdown();
    --ObjectCount;
}

// ---- Catalogue build -------------------------------------------------------------------

HRESULT VelmoraMediaSource::Initialize() noexcept {
    std::array<ComPtr<IMFMediaType>, kCatalogueSize> types;
    HRESULT hr = CreateCatalogueMediaTypes(types);
    if (FAILED(hr)) {
        return hr;
    }

    hr = CreateProfiledSourceAttributes(&sourceAttributes);
    if (FAILED(hr)) {
        return hr;
    }
    {
        ComPtr<IKsControl> control;
        *control.ReleaseAndGetAddressOf() = new (std::nothrow) UnsupportedKsControl();
        if (!control) {
            return E_OUTOFMEMORY;
        }
        hr = sourceAttributes->SetUnknown(SourceKsControlAttribute, control.Get());
        if (FAILED(hr)) {
            return hr;
        }
    }

    for (std::uint32_t id = 0; id < kStreamCount; ++id) {
        streamAttributes[id].Reset();
        hr = MFCreateAttributes(&streamAttributes[id], 4);
        if (FAILED(hr)) {
            return hr;
        }
        hr = SetCaptureStreamAttributes(streamAttributes[id].Get(), id);
        if (FAILED(hr)) {
            return hr;
        }
    }

    IMFMediaType* typeArray[kCatalogueSize];
    for (std::uint32_t index = 0; index < kCatalogueSize; ++index) {
        typeArray[index] = types[index].Get();
    }
    std::array<ComPtr<IMFStreamDescriptor>, kStreamCount> descriptors;
    for (std::uint32_t id = 0; id < kStreamCount; ++id) {
        hr = MFCreateStreamDescriptor(id, kCatalogueSize, typeArray, &descriptors[id]);
        if (FAILED(hr)) {
            return hr;
        }
        hr = SetCaptureStreamAttributes(descriptors[id].Get(), id);
        if (FAILED(hr)) {
            return hr;
        }
        ComPtr<IMFMediaTypeHandler> handler;
        hr = descriptors[id]->GetMediaTypeHandler(&handler);
        if (FAILED(hr)) {
            return hr;
        }
        hr = handler->SetCurrentMediaType(types[0].Get());
        if (FAILED(hr)) {
            return hr;
        }
    }

    IMFStreamDescriptor* descriptorArray[kStreamCount] = {descriptors[0].Get(), descriptors[1].Get(),
                                                          descriptors[2].Get()};
    hr = MFCreatePresentationDescriptor(kStreamCount, descriptorArray, &presentationDescriptor);
    if (SUCCEEDED(hr)) hr = presentationDescriptor->SelectStream(0);
    if (SUCCEEDED(hr)) hr = presentationDescriptor->DeselectStream(1);
    if (SUCCEEDED(hr)) hr = presentationDescriptor->DeselectStream(2);
    if (FAILED(hr)) {
        return hr;
    }

    for (std::uint32_t id = 0; id < kStreamCount; ++id) {
        *streams[id].ReleaseAndGetAddressOf() =
            new (std::nothrow) VelmoraMediaStream(this, descriptors[id].Get(), kStreamNames[id]);
        if (!streams[id]) {
            return E_OUTOFMEMORY;
        }
        hr = streams[id]->CreateEventQueue();
        if (FAILED(hr)) {
            return hr;
        }
        ComPtr<IKsControl> control;
        *control.ReleaseAndGetAddressOf() = new (std::nothrow) UnsupportedKsControl();
        if (!control) {
            return E_OUTOFMEMORY;
        }
        hr = descriptors[id]->SetUnknown(StreamKsControlAttribute, control.Get());
        if (FAILED(hr)) {
            return hr;
        }
    }

    hr = MFCreateEventQueue(&eventQueue);
    if (FAILED(hr)) {
        return hr;
    }
    state = SourceState::Stopped;
    return S_OK;
}

// ---- IUnknown --------------------------------------------------------------------------

STDMETHODIMP VelmoraMediaSource::QueryInterface(REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFMediaEventGenerator) || iid == __uuidof(IMFMediaSource) ||
        iid == __uuidof(IMFMediaSourceEx)) {
        *object = static_cast<IMFMediaSourceEx*>(this);
    } else if (iid == __uuidof(IMFGetService)) {
        *object = static_cast<IMFGetService*>(this);
    } else if (iid == __uuidof(IMFSampleAllocatorControl)) {
        *object = static_cast<IMFSampleAllocatorControl*>(this);
    } else if (iid == __uuidof(IKsControl)) {
        *object = static_cast<IKsControl*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) VelmoraMediaSource::AddRef() noexcept {
    return ++refCount;
}

STDMETHODIMP_(ULONG) VelmoraMediaSource::Release() noexcept {
    const ULONG count = --refCount;
    if (count == 0) {
        if (lastReleaseSeam != nullptr) {
            lastReleaseSeam(this);
        }
        delete this;
    }
    return count;
}

IMFMediaSource* VelmoraMediaSource::TryReference() noexcept {
    ULONG count = refCount.load();
    while (count != 0) {
        if (refCount.compare_exchange_weak(count, count + 1)) {
            return static_cast<IMFMediaSourceEx*>(this);
        }
    }
    return nullptr;
}

// ---- IMFMediaEventGenerator ------------------------------------------------------------

ComPtr<IMFMediaEventQueue> VelmoraMediaSource::CurrentEventQueue() noexcept {
    std::lock_guard lock(mutex);
    return eventQueue;
}

STDMETHODIMP VelmoraMediaSource::GetEvent(DWORD flags, IMFMediaEvent** event) noexcept {
    // The queue is copied out so a blocking wait holds no lock; Shutdown wakes it.
    const ComPtr<IMFMediaEventQueue> queue = CurrentEventQueue();
    return queue ? queue->GetEvent(flags, event) : MF_E_SHUTDOWN;
}

STDMETHODIMP VelmoraMediaSource::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* callerState) noexcept {
    const ComPtr<IMFMediaEventQueue> queue = CurrentEventQueue();
    return queue ? queue->BeginGetEvent(callback, callerState) : MF_E_SHUTDOWN;
}

STDMETHODIMP VelmoraMediaSource::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) noexcept {
    const ComPtr<IMFMediaEventQueue> queue = CurrentEventQueue();
    return queue ? queue->EndGetEvent(result, event) : MF_E_SHUTDOWN;
}

STDMETHODIMP VelmoraMediaSource::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                            const PROPVARIANT* value) noexcept {
    const ComPtr<IMFMediaEventQueue> queue = CurrentEventQueue();
    return queue ? queue->QueueEventParamVar(type, extendedType, status, value) : MF_E_SHUTDOWN;
}

// ---- IMFMediaSource --------------------------------------------------------------------

STDMETHODIMP VelmoraMediaSource::GetCharacteristics(DWORD* characteristics) noexcept {
    if (!characteristics) {
        return E_POINTER;
    }
    std::lock_guard lock(mutex);
    if (state == SourceState::ShutDown) {
        return MF_E_SHUTDOWN;
    }
    *characteristics = MFMEDIASOURCE_IS_LIVE;
    return S_OK;
}

STDMETHODIMP VelmoraMediaSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) noexcept {
    if (!descriptor) {
        return E_POINTER;
    }
    *descriptor = nullptr;
    ComPtr<IMFPresentationDescriptor> own;
    {
        std::lock_guard lock(mutex);
        if (state == SourceState::ShutDown) {
            return MF_E_SHUTDOWN;
        }
        own = presentationDescriptor;
    }
    if (!own) {
        return MF_E_NOT_INITIALIZED;
    }
    LogMessage(L"CreatePresentationDescriptor called.");
    return own->Clone(descriptor);
}

STDMETHODIMP VelmoraMediaSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                                       const PROPVARIANT*) noexcept {
    LogMessage(L"Media source Start called.");
    std::lock_guard lock(mutex);
    return StartLocked(descriptor, timeFormat);
}

HRESULT VelmoraMediaSource::StartLocked(IMFPresentationDescriptor* descriptor, const GUID* timeFormat) noexcept {
    if (state == SourceState::ShutDown) {
        return MF_E_SHUTDOWN;
    }
    if (timeFormat && *timeFormat != GUID_NULL) {
        return MF_E_UNSUPPORTED_TIME_FORMAT;
    }
    for (const auto& stream : streams) {
        if (!stream) {
            return MF_E_NOT_INITIALIZED;
        }
    }
    if (!descriptor) {
        LogMessage(L"Media source Start failed: presentation descriptor is null.");
        return E_INVALIDARG;
    }

    const MediaEventType announcement = state == SourceState::Stopped ? MENewStream : MEUpdatedStream;
    state = SourceState::Started;

    PROPVARIANT startTime;
    PropVariantInit(&startTime);
    startTime.vt = VT_I8;
    startTime.hVal.QuadPart = MFGetSystemTime();
    HRESULT hr = eventQueue ? eventQueue->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &startTime)
                            : MF_E_SHUTDOWN;
    PropVariantClear(&startTime);
    if (FAILED(hr)) {
        return hr;
    }

    DWORD count = 0;
    hr = descriptor->GetStreamDescriptorCount(&count);
    if (FAILED(hr)) {
        return hr;
    }
    LogFormatted(128, L"Media source Start stream count: %lu", count);

    bool startedAny = false;
    for (DWORD index = 0; index < count; ++index) {
        BOOL selected = FALSE;
        ComPtr<IMFStreamDescriptor> streamDescriptor;
        hr = descriptor->GetStreamDescriptorByIndex(index, &selected, &streamDescriptor);
        if (FAILED(hr)) {
            return hr;
        }
        if (!selected) {
            continue;
        }
        DWORD id = 0;
        hr = streamDescriptor->GetStreamIdentifier(&id);
        if (FAILED(hr)) {
            return hr;
        }
        LogFormatted(160, L"Media source Start stream index=%lu selected=%lu id=%lu", index, 1ul, id);
        if (id >= kStreamCount) {
            return MF_E_INVALIDSTREAMNUMBER;
        }
        hr = StartStream(id, announcement);
        if (FAILED(hr)) {
            return hr;
        }
        startedAny = true;
    }
    if (startedAny) {
        return S_OK;
    }
    // A live camera always delivers: with nothing selected, the first stream runs.
    return StartStream(0, announcement);
}

HRESULT VelmoraMediaSource::StartStream(std::uint32_t streamId, MediaEventType announcement) noexcept {
    VelmoraMediaStream* stream = streams[streamId].Get();
    if (!eventQueue) {
        return MF_E_SHUTDOWN;
    }
    const HRESULT hr =
        eventQueue->QueueEventParamUnk(announcement, GUID_NULL, S_OK, static_cast<IMFMediaStream2*>(stream));
    if (FAILED(hr)) {
        return hr;
    }
    return stream->Start();
}

STDMETHODIMP VelmoraMediaSource::Stop() noexcept {
    std::lock_guard lock(mutex);
    if (state == SourceState::ShutDown) {
        return MF_E_SHUTDOWN;
    }
    for (const auto& stream : streams) {
        if (stream) {
            const HRESULT hr = stream->Stop();
            if (FAILED(hr)) {
                return hr;
            }
        }
    }
    state = SourceState::Stopped;
    if (!eventQueue) {
        return MF_E_SHUTDOWN;
    }
    return eventQueue->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
}

STDMETHODIMP VelmoraMediaSource::Pause() noexcept {
    // A live camera cannot hold a picture.
    return MF_E_INVALID_STATE_TRANSITION;
}

STDMETHODIMP VelmoraMediaSource::Shutdown() noexcept {
    std::lock_guard lock(mutex);
    if (state == SourceState::ShutDown) {
        return S_OK;
    }
    state = SourceState::ShutDown;
    for (auto& stream : streams) {
        if (stream) {
            stream->Shutdown();
            stream.Reset();
        }
    }
    presentationDescriptor.Reset();
    sourceAttributes.Reset();
    for (auto& attributes : streamAttributes) {
        attributes.Reset();
    }
    if (eventQueue) {
        eventQueue->Shutdown();
        eventQueue.Reset();
    }
    return S_OK;
}

// ---- IMFMediaSourceEx ------------------------------------------------------------------

STDMETHODIMP VelmoraMediaSource::GetSourceAttributes(IMFAttributes** attributes) noexcept {
    if (!attributes) {
        return E_POINTER;
    }
    *attributes = nullptr;
    std::lock_guard lock(mutex);
    if (!sourceAttributes) {
        return MF_E_NOT_INITIALIZED;
    }
    *attributes = sourceAttributes.Get();
    (*attributes)->AddRef();
    return S_OK;
}

STDMETHODIMP VelmoraMediaSource::GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) noexcept {
    if (!attributes) {
        return E_POINTER;
    }
    *attributes = nullptr;
    if (streamId >= kStreamCount) {
        return MF_E_INVALIDSTREAMNUMBER;
    }
    std::lock_guard lock(mutex);
    if (!streamAttributes[streamId]) {
        return MF_E_NOT_INITIALIZED;
    }
    *attributes = streamAttributes[streamId].Get();
    (*attributes)->AddRef();
    return S_OK;
}

STDMETHODIMP VelmoraMediaSource::SetD3DManager(IUnknown*) noexcept {
    return S_OK;
}

// ---- IMFGetService ---------------------------------------------------------------------

STDMETHODIMP VelmoraMediaSource::GetService(REFGUID, REFIID, LPVOID* object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    return MF_E_UNSUPPORTED_SERVICE;
}

// ---- IMFSampleAllocatorControl ---------------------------------------------------------

STDMETHODIMP VelmoraMediaSource::SetDefaultAllocator(DWORD, IUnknown*) noexcept {
    return S_OK;
}

STDMETHODIMP VelmoraMediaSource::GetAllocatorUsage(DWORD outputStreamId, DWORD* inputStreamId,
                                                   MFSampleAllocatorUsage* usage) noexcept {
    if (!inputStreamId || !usage) {
        return E_POINTER;
    }
    if (outputStreamId >= kStreamCount) {
        return MF_E_INVALIDSTREAMNUMBER;
    }
    *inputStreamId = outputStreamId;
    *usage = MFSampleAllocatorUsage_DoesNotAllocate;
    return S_OK;
}

// ---- IKsControl ------------------------------------------------------------------------

STDMETHODIMP VelmoraMediaSource::KsProperty(PKSPROPERTY, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

STDMETHODIMP VelmoraMediaSource::KsMethod(PKSMETHOD, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

STDMETHODIMP VelmoraMediaSource::KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}
