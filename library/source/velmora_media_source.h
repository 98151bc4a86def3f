// The media source the camera service drives: three video streams over the fixed
// catalogue, a live source with a Stopped / Started / ShutDown life cycle that announces
// its starts and stops through Media Foundation events.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/sdk_additions.h"
#include "library/source/media_type_catalogue.h"

class VelmoraMediaStream;

enum class SourceState : std::uint32_t { Stopped = 0, Started = 1, ShutDown = 2 };

class VelmoraMediaSource final : public IMFMediaSourceEx,
                                 public IMFGetService,
                                 public IMFSampleAllocatorControl,
                                 public IKsControl {
public:
    // Count 1, state Stopped, members empty; adds one to ObjectCount.
    VelmoraMediaSource() noexcept;

    // Builds the catalogue, attribute stores, descriptors, streams and event queue. Runs
    // once, before the source is visible to anyone else; on failure the caller destroys
    // the source.
    HRESULT Initialize() noexcept;

    // IUnknown (one implementation behind all four faces)
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // IMFMediaEventGenerator
    STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) noexcept override;
    STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) noexcept override;
    STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) noexcept override;
    STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                            const PROPVARIANT* value) noexcept override;

    // IMFMediaSource
    STDMETHODIMP GetCharacteristics(DWORD* characteristics) noexcept override;
    STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) noexcept override;
    STDMETHODIMP Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                       const PROPVARIANT* startPosition) noexcept override;
    STDMETHODIMP Stop() noexcept override;
    STDMETHODIMP Pause() noexcept override;
    STDMETHODIMP Shutdown() noexcept override;

    // IMFMediaSourceEx
    STDMETHODIMP GetSourceAttributes(IMFAttributes** attributes) noexcept override;
    STDMETHODIMP GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) noexcept override;
    STDMETHODIMP SetD3DManager(IUnknown* manager) noexcept override;

    // IMFGetService
    STDMETHODIMP GetService(REFGUID service, REFIID iid, LPVOID* object) noexcept override;

    // IMFSampleAllocatorControl
    STDMETHODIMP SetDefaultAllocator(DWORD outputStreamId, IUnknown* allocator) noexcept override;
    STDMETHODIMP GetAllocatorUsage(DWORD outputStreamId, DWORD* inputStreamId,
                                   MFSampleAllocatorUsage* usage) noexcept override;

    // IKsControl
    STDMETHODIMP KsProperty(PKSPROPERTY property, ULONG propertyLength, void* data, ULONG dataLength,
                            ULONG* bytesReturned) noexcept override;
    STDMETHODIMP KsMethod(PKSMETHOD method, ULONG methodLength, void* data, ULONG dataLength,
                          ULONG* bytesReturned) noexcept override;
    STDMETHODIMP KsEvent(PKSEVENT event, ULONG eventLength, void* data, ULONG dataLength,
                         ULONG* bytesReturned) noexcept override;

    // A new reference to the primary face (IMFMediaSource) while the count is above zero;
    // null once the last Release has begun.
    IMFMediaSource* TryReference() noexcept;

    // Called, when set, by the last Release before the source shuts its streams down, so
    // that tests can act inside that window.
    static inline void (*lastReleaseSeam)(VelmoraMediaSource* source) = nullptr;

private:
    // Runs Shutdown, then takes one off ObjectCount; the members left go in reverse order.
    ~VelmoraMediaSource();

    HRESULT StartLocked(IMFPresentationDescriptor* descriptor, const GUID* timeFormat) noexcept;
    HRESULT StartStream(std::uint32_t streamId, MediaEventType announcement) noexcept;
    Microsoft::WRL::ComPtr<IMFMediaEventQueue> CurrentEventQueue() noexcept;

    std::atomic<ULONG> refCount{1};
    SourceState state = SourceState::Stopped;
    Microsoft::WRL::ComPtr<IMFMediaEventQueue> eventQueue;
    Microsoft::WRL::ComPtr<IMFPresentationDescriptor> presentationDescriptor;
    Microsoft::WRL::ComPtr<IMFAttributes> sourceAttributes;
    std::array<Microsoft::WRL::ComPtr<IMFAttributes>, kStreamCount> streamAttributes;
    std::array<Microsoft::WRL::ComPtr<VelmoraMediaStream>, kStreamCount> streams;

    // Serialises the life-cycle operations and guards the members above against a
    // concurrent Shutdown. Never held while a caller waits for an event.
    std::mutex mutex;
};
