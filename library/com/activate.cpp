#include "library/com/activate.h"

#include <mfapi.h>
#include <mferror.h>

#include <new>

#include "library/com/object_count.h"
#include "library/diagnostics/log.h"
#include "library/source/velmora_media_source.h"

VelmoraActivate::VelmoraActivate(AttributeStoreFactory createStore) noexcept {
    ++ObjectCount;
    // A failed creation leaves `attributes` empty; the attribute operations then refuse.
    if (FAILED(createStore(&attributes, 8))) {
        attributes.Reset();
    }
}

VelmoraActivate::~VelmoraActivate() {
    --ObjectCount;
}

STDMETHODIMP VelmoraActivate::QueryInterface(REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFAttributes) || iid == __uuidof(IMFActivate)) {
        *object = static_cast<IMFActivate*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) VelmoraActivate::AddRef() noexcept {
    return ++refCount;
}

STDMETHODIMP_(ULONG) VelmoraActivate::Release() noexcept {
    const ULONG count = --refCount;
    if (count == 0) {
        delete this;
    }
    return count;
}

#define VELMORA_FORWARD(call) return attributes ? attributes->call : MF_E_NOT_INITIALIZED

STDMETHODIMP VelmoraActivate::GetItem(REFGUID key, PROPVARIANT* value) noexcept {
    VELMORA_FORWARD(GetItem(key, value));
}
STDMETHODIMP VelmoraActivate::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) noexcept {
    VELMORA_FORWARD(GetItemType(key, type));
}
STDMETHODIMP VelmoraActivate::CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) noexcept {
    VELMORA_FORWARD(CompareItem(key, value, result));
}
STDMETHODIMP VelmoraActivate::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType,
                                      BOOL* result) noexcept {
    VELMORA_FORWARD(Compare(theirs, matchType, result));
}
STDMETHODIMP VelmoraActivate::GetUINT32(REFGUID key, UINT32* value) noexcept {
    VELMORA_FORWARD(GetUINT32(key, value));
}
STDMETHODIMP VelmoraActivate::GetUINT64(REFGUID key, UINT64* value) noexcept {
    VELMORA_FORWARD(GetUINT64(key, value));
}
STDMETHODIMP VelmoraActivate::GetDouble(REFGUID key, double* value) noexcept {
    VELMORA_FORWARD(GetDouble(key, value));
}
STDMETHODIMP VelmoraActivate::GetGUID(REFGUID key, GUID* value) noexcept {
    VELMORA_FORWARD(GetGUID(key, value));
}
STDMETHODIMP VelmoraActivate::GetStringLength(REFGUID key, UINT32* length) noexcept {
    VELMORA_FORWARD(GetStringLength(key, length));
}
STDMETHODIMP VelmoraActivate::GetString(REFGUID key, LPWSTR value, UINT32 bufferSize, UINT32* length) noexcept {
    VELMORA_FORWARD(GetString(key, value, bufferSize, length));
}
STDMETHODIMP VelmoraActivate::GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) noexcept {
    VELMORA_FORWARD(GetAllocatedString(key, value, length));
}
STDMETHODIMP VelmoraActivate::GetBlobSize(REFGUID key, UINT32* size) noexcept {
    VELMORA_FORWARD(GetBlobSize(key, size));
}
STDMETHODIMP VelmoraActivate::GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) noexcept {
    VELMORA_FORWARD(GetBlob(key, buffer, bufferSize, size));
}
STDMETHODIMP VelmoraActivate::GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) noexcept {
    VELMORA_FORWARD(GetAllocatedBlob(key, buffer, size));
}
STDMETHODIMP VelmoraActivate::GetUnknown(REFGUID key, REFIID iid, LPVOID* object) noexcept {
    VELMORA_FORWARD(GetUnknown(key, iid, object));
}
STDMETHODIMP VelmoraActivate::SetItem(REFGUID key, REFPROPVARIANT value) noexcept {
    VELMORA_FORWARD(SetItem(key, value));
}
STDMETHODIMP VelmoraActivate::DeleteItem(REFGUID key) noexcept {
    VELMORA_FORWARD(DeleteItem(key));
}
STDMETHODIMP VelmoraActivate::DeleteAllItems() noexcept {
    VELMORA_FORWARD(DeleteAllItems());
}
STDMETHODIMP VelmoraActivate::SetUINT32(REFGUID key, UINT32 value) noexcept {
    VELMORA_FORWARD(SetUINT32(key, value));
}
STDMETHODIMP VelmoraActivate::SetUINT64(REFGUID key, UINT64 value) noexcept {
    VELMORA_FORWARD(SetUINT64(key, value));
}
STDMETHODIMP VelmoraActivate::SetDouble(REFGUID key, double value) noexcept {
    VELMORA_FORWARD(SetDouble(key, value));
}
STDMETHODIMP VelmoraActivate::SetGUID(REFGUID key, REFGUID value) noexcept {
    VELMORA_FORWARD(SetGUID(key, value));
}
STDMETHODIMP VelmoraActivate::SetString(REFGUID key, LPCWSTR value) noexcept {
    VELMORA_FORWARD(SetString(key, value));
}
STDMETHODIMP VelmoraActivate::SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) noexcept {
    VELMORA_FORWARD(SetBlob(key, buffer, bufferSize));
}
STDMETHODIMP VelmoraActivate::SetUnknown(REFGUID key, IUnknown* object) noexcept {
    VELMORA_FORWARD(SetUnknown(key, object));
}
STDMETHODIMP VelmoraActivate::LockStore() noexcept {
    VELMORA_FORWARD(LockStore());
}
STDMETHODIMP VelmoraActivate::UnlockStore() noexcept {
    VELMORA_FORWARD(UnlockStore());
}
STDMETHODIMP VelmoraActivate::GetCount(UINT32* count) noexcept {
    VELMORA_FORWARD(GetCount(count));
}
STDMETHODIMP VelmoraActivate::GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) noexcept {
    VELMORA_FORWARD(GetItemByIndex(index, key, value));
}
STDMETHODIMP VelmoraActivate::CopyAllItems(IMFAttributes* destination) noexcept {
    VELMORA_FORWARD(CopyAllItems(destination));
}

#undef VELMORA_FORWARD

STDMETHODIMP VelmoraActivate::ActivateObject(REFIID iid, void** object) noexcept {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    LogMessage(L"ActivateObject called.");

    auto* source = new (std::nothrow) VelmoraMediaSource();
    if (!source) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = source->Initialize();
    if (SUCCEEDED(hr)) {
        hr = source->QueryInterface(iid, object);
    }
    // The construction reference; when Initialize or the query failed it is the last one.
    source->Release();
    return hr;
}

STDMETHODIMP VelmoraActivate::ShutdownObject() noexcept {
    return S_OK;
}

STDMETHODIMP VelmoraActivate::DetachObject() noexcept {
    return S_OK;
}
