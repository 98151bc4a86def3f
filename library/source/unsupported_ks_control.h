// The kernel-streaming control object that refuses every request. The source and the
// streams attach one each to their attribute stores, and answer their own IKsControl
// faces with the same refusal.
#pragma once

#include <windows.h>

#include <atomic>

#include "common/sdk_additions.h"

// ERROR_NOT_SUPPORTED as an HRESULT: the answer to every kernel-streaming request.
inline constexpr HRESULT KsRequestNotSupported = static_cast<HRESULT>(0x80070032);

// Stores 0 into `bytesReturned` when given and refuses.
inline HRESULT RefuseKsRequest(ULONG* bytesReturned) noexcept {
    if (bytesReturned) {
        *bytesReturned = 0;
    }
    return KsRequestNotSupported;
}

class UnsupportedKsControl final : public IKsControl {
public:
    // Count 1; adds one to ObjectCount.
    UnsupportedKsControl() noexcept;

    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    STDMETHODIMP KsProperty(PKSPROPERTY property, ULONG propertyLength, void* data, ULONG dataLength,
                            ULONG* bytesReturned) noexcept override;
    STDMETHODIMP KsMethod(PKSMETHOD method, ULONG methodLength, void* data, ULONG dataLength,
                          ULONG* bytesReturned) noexcept override;
    STDMETHODIMP KsEvent(PKSEVENT event, ULONG eventLength, void* data, ULONG dataLength,
                         ULONG* bytesReturned) noexcept override;

private:
    ~UnsupportedKsControl();

    std::atomic<ULONG> refCount{1};
};
