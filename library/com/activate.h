// The activation object the class factory hands out. The camera stack may store
// attributes on it and calls ActivateObject whenever it needs a media source; every call
// builds a new, fully initialised source.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>

class VelmoraActivate final : public IMFActivate {
public:
    using AttributeStoreFactory = HRESULT(WINAPI*)(IMFAttributes** attributes, UINT32 initialSize);

    // Count 1; adds one to ObjectCount; creates the inner attribute store (size 8) with
    // `createStore`. Without a store every attribute operation answers
    // MF_E_NOT_INITIALIZED; ActivateObject works regardless, as it never uses the store.
    explicit VelmoraActivate(AttributeStoreFactory createStore = &MFCreateAttributes) noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // IMFAttributes, forwarded unchanged to the inner store
    STDMETHODIMP GetItem(REFGUID key, PROPVARIANT* value) noexcept override;
    STDMETHODIMP GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) noexcept override;
    STDMETHODIMP CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) noexcept override;
    STDMETHODIMP Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) noexcept override;
    STDMETHODIMP GetUINT32(REFGUID key, UINT32* value) noexcept override;
    STDMETHODIMP GetUINT64(REFGUID key, UINT64* value) noexcept override;
    STDMETHODIMP GetDouble(REFGUID key, double* value) noexcept override;
    STDMETHODIMP GetGUID(REFGUID key, GUID* value) noexcept override;
    STDMETHODIMP GetStringLength(REFGUID key, UINT32* length) noexcept override;
    STDMETHODIMP GetString(REFGUID key, LPWSTR value, UINT32 bufferSize, UINT32* length) noexcept override;
    STDMETHODIMP GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) noexcept override;
    STDMETHODIMP GetBlobSize(REFGUID key, UINT32* size) noexcept override;
    STDMETHODIMP GetBlob(REFGUID key, UINT8* buffer, UINT32 bufferSize, UINT32* size) noexcept override;
    STDMETHODIMP GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) noexcept override;
    STDMETHODIMP GetUnknown(REFGUID key, REFIID iid, LPVOID* object) noexcept override;
    STDMETHODIMP SetItem(REFGUID key, REFPROPVARIANT value) noexcept override;
    STDMETHODIMP DeleteItem(REFGUID key) noexcept override;
    STDMETHODIMP DeleteAllItems() noexcept override;
    STDMETHODIMP SetUINT32(REFGUID key, UINT32 value) noexcept override;
    STDMETHODIMP SetUINT64(REFGUID key, UINT64 value) noexcept override;
    STDMETHODIMP SetDouble(REFGUID key, double value) noexcept override;
    STDMETHODIMP SetGUID(REFGUID key, REFGUID value) noexcept override;
    STDMETHODIMP SetString(REFGUID key, LPCWSTR value) noexcept override;
    STDMETHODIMP SetBlob(REFGUID key, const UINT8* buffer, UINT32 bufferSize) noexcept override;
    STDMETHODIMP SetUnknown(REFGUID key, IUnknown* object) noexcept override;
    STDMETHODIMP LockStore() noexcept override;
    STDMETHODIMP UnlockStore() noexcept override;
    STDMETHODIMP GetCount(UINT32* count) noexcept override;
    STDMETHODIMP GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) noexcept override;
    STDMETHODIMP CopyAllItems(IMFAttributes* destination) noexcept override;

    // IMFActivate
    STDMETHODIMP ActivateObject(REFIID iid, void** object) noexcept override;
    STDMETHODIMP ShutdownObject() noexcept override;
    STDMETHODIMP DetachObject() noexcept override;

private:
    ~VelmoraActivate();

    std::atomic<ULONG> refCount{1};
    Microsoft::WRL::ComPtr<IMFAttributes> attributes;
};
