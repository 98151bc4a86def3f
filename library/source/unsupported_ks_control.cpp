#include "library/source/unsupported_ks_control.h"

#include "library/com/object_count.h"

UnsupportedKsControl::UnsupportedKsControl() noexcept {
    ++ObjectCount;
}

UnsupportedKsControl::~UnsupportedKsControl() {
    --ObjectCount;
}

STDMETHODIMP UnsupportedKsControl::QueryInterface(REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IKsControl)) {
        *object = static_cast<IKsControl*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) UnsupportedKsControl::AddRef() noexcept {
    return ++refCount;
}

STDMETHODIMP_(ULONG) UnsupportedKsControl::Release() noexcept {
    const ULONG count = --refCount;
    if (count == 0) {
        delete this;
    }
    return count;
}

STDMETHODIMP UnsupportedKsControl::KsProperty(PKSPROPERTY, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

STDMETHODIMP UnsupportedKsControl::KsMethod(PKSMETHOD, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}

STDMETHODIMP UnsupportedKsControl::KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG* bytesReturned) noexcept {
    return RefuseKsRequest(bytesReturned);
}
