#include "library/com/class_factory.h"

#include <cstdint>
#include <new>

#include "common/velmora_names.h"
#include "library/com/activate.h"
#include "library/com/object_count.h"

ClassFactory::ClassFactory() noexcept {
    ++ObjectCount;
}

ClassFactory::~ClassFactory() {
    --ObjectCount;
}

STDMETHODIMP ClassFactory::QueryInterface(REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ClassFactory::AddRef() noexcept {
    return ++refCount;
}

STDMETHODIMP_(ULONG) ClassFactory::Release() noexcept {
    const ULONG count = --refCount;
    if (count == 0) {
        delete this;
    }
    return count;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer) {
        return CLASS_E_NOAGGREGATION;
    }
    auto* activate = new (std::nothrow) VelmoraActivate();
    if (!activate) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = activate->QueryInterface(iid, object);
    activate->Release();
    return hr;
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) noexcept {
    if (lock) {
        ++LockCount;
        return S_OK;
    }
    // An unbalanced unlock must not wrap the count and pin the library forever.
    std::uint32_t count = LockCount.load();
    while (count != 0 && !LockCount.compare_exchange_weak(count, count - 1)) {
    }
    return S_OK;
}

HRESULT GetSourceClassObject(REFCLSID classId, REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (classId != velmora::kSourceClassId) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new (std::nothrow) ClassFactory();
    if (!factory) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}
