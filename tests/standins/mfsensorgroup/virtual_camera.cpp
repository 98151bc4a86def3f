// The virtual-camera half of the stand-in mfsensorgroup.dll: MFIsVirtualCameraTypeSupported,
// MFCreateVirtualCamera and a camera object that records every call. The camera's
// IMFAttributes slots forward to a real attribute store; registration itself is only
// recorded (there is no camera service to register with).
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <cstdio>
#include <new>

#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "recorder.h"

using Microsoft::WRL::ComPtr;
using standin::CallRecord;

namespace {

// Runs the call's work unless a failure was injected; records the outcome.
template <typename Work>
HRESULT Perform(CallRecord& call, Work&& work) noexcept
{
    if (HRESULT hr = call.Injected(); FAILED(hr)) {
        return call.Finish(hr);
    }
    return call.Finish(work());
}

class CameraSyncObject final : public IMFCameraSyncObject {
public:
    explicit CameraSyncObject(HANDLE ownedHandle) : handle(ownedHandle) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        CallRecord call("IMFCameraSyncObject::QueryInterface");
        call.Guid("iid", &iid);
        return Perform(call, [&]() -> HRESULT {
            if (object == nullptr) {
                return E_POINTER;
            }
            *object = nullptr;
            if (iid != __uuidof(IUnknown) && iid != __uuidof(IMFCameraSyncObject)) {
                return E_NOINTERFACE;
            }
            *object = static_cast<IMFCameraSyncObject*>(this);
            refCount.fetch_add(1);
            return S_OK;
        });
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ULONG count = refCount.fetch_add(1) + 1;
        CallRecord("IMFCameraSyncObject::AddRef").Unsigned("count", count).Finish();
        return count;
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = refCount.fetch_sub(1) - 1;
        CallRecord("IMFCameraSyncObject::Release").Unsigned("count", count).Finish();
        if (count == 0) {
            delete this;
        }
        return count;
    }

    HRESULT STDMETHODCALLTYPE WaitOnSignal(DWORD timeOutInMs) override
    {
        CallRecord call("IMFCameraSyncObject::WaitOnSignal");
        call.Unsigned("timeout", timeOutInMs);
        return Perform(call, [&]() -> HRESULT {
            if (shutDown.load()) {
                return MF_E_SHUTDOWN;
            }
            switch (WaitForSingleObject(handle, timeOutInMs)) {
            case WAIT_OBJECT_0: return S_OK;
            case WAIT_TIMEOUT: return HRESULT_FROM_WIN32(WAIT_TIMEOUT);
            default: return HRESULT_FROM_WIN32(GetLastError());
            }
        });
    }

    void STDMETHODCALLTYPE Shutdown() override
    {
        CallRecord("IMFCameraSyncObject::Shutdown").Finish();
        shutDown.store(true);
    }

private:
    ~CameraSyncObject() { CloseHandle(handle); }

    std::atomic<ULONG> refCount{1};
    std::atomic<bool> shutDown{false};
    HANDLE handle;  // a duplicate owned by this object
};

// A sync object over a duplicate of the caller's handle (the caller keeps its own).
HRESULT CreateSyncObject(HANDLE handle, IMFCameraSyncObject** result)
{
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return E_INVALIDARG;
    }
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    auto object = new (std::nothrow) CameraSyncObject(duplicate);
    if (object == nullptr) {
        CloseHandle(duplicate);
        return E_OUTOFMEMORY;
    }
    *result = object;
    return S_OK;
}

class VirtualCamera final : public IMFVirtualCamera {
public:
    explicit VirtualCamera(ComPtr<IMFAttributes> store) : attributes(std::move(store)) {}

    // IUnknown (slots 0-2)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        CallRecord call("IMFVirtualCamera::QueryInterface");
        call.Guid("iid", &iid);
        return Perform(call, [&]() -> HRESULT {
            if (object == nullptr) {
                return E_POINTER;
            }
            *object = nullptr;
            if (iid != __uuidof(IUnknown) && iid != __uuidof(IMFAttributes) && iid != __uuidof(IMFVirtualCamera)) {
                return E_NOINTERFACE;
            }
            *object = static_cast<IMFVirtualCamera*>(this);
            refCount.fetch_add(1);
            return S_OK;
        });
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ULONG count = refCount.fetch_add(1) + 1;
        CallRecord("IMFVirtualCamera::AddRef").Unsigned("count", count).Finish();
        return count;
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = refCount.fetch_sub(1) - 1;
        CallRecord("IMFVirtualCamera::Release").Unsigned("count", count).Finish();
        if (count == 0) {
            delete this;
        }
        return count;
    }

    // IMFAttributes (slots 3-32), forwarded to the store
    HRESULT STDMETHODCALLTYPE GetItem(REFGUID key, PROPVARIANT* value) override
    {
        CallRecord call("IMFVirtualCamera::GetItem");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetItem(key, value); });
    }
    HRESULT STDMETHODCALLTYPE GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override
    {
        CallRecord call("IMFVirtualCamera::GetItemType");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetItemType(key, type); });
    }
    HRESULT STDMETHODCALLTYPE CompareItem(REFGUID key, REFPROPVARIANT value, BOOL* result) override
    {
        CallRecord call("IMFVirtualCamera::CompareItem");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->CompareItem(key, value, result); });
    }
    HRESULT STDMETHODCALLTYPE Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType,
                                      BOOL* result) override
    {
        CallRecord call("IMFVirtualCamera::Compare");
        call.Pointer("theirs", theirs).Signed("match", matchType);
        return Perform(call, [&] { return attributes->Compare(theirs, matchType, result); });
    }
    HRESULT STDMETHODCALLTYPE GetUINT32(REFGUID key, UINT32* value) override
    {
        CallRecord call("IMFVirtualCamera::GetUINT32");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetUINT32(key, value); });
    }
    HRESULT STDMETHODCALLTYPE GetUINT64(REFGUID key, UINT64* value) override
    {
        CallRecord call("IMFVirtualCamera::GetUINT64");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetUINT64(key, value); });
    }
    HRESULT STDMETHODCALLTYPE GetDouble(REFGUID key, double* value) override
    {
        CallRecord call("IMFVirtualCamera::GetDouble");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetDouble(key, value); });
    }
    HRESULT STDMETHODCALLTYPE GetGUID(REFGUID key, GUID* value) override
    {
        CallRecord call("IMFVirtualCamera::GetGUID");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetGUID(key, value); });
    }
    HRESULT STDMETHODCALLTYPE GetStringLength(REFGUID key, UINT32* length) override
    {
        CallRecord call("IMFVirtualCamera::GetStringLength");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetStringLength(key, length); });
    }
    HRESULT STDMETHODCALLTYPE GetString(REFGUID key, LPWSTR buffer, UINT32 capacity, UINT32* length) override
    {
        CallRecord call("IMFVirtualCamera::GetString");
        call.Guid("key", &key).Unsigned("capacity", capacity);
        return Perform(call, [&] { return attributes->GetString(key, buffer, capacity, length); });
    }
    HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override
    {
        CallRecord call("IMFVirtualCamera::GetAllocatedString");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetAllocatedString(key, value, length); });
    }
    HRESULT STDMETHODCALLTYPE GetBlobSize(REFGUID key, UINT32* size) override
    {
        CallRecord call("IMFVirtualCamera::GetBlobSize");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetBlobSize(key, size); });
    }
    HRESULT STDMETHODCALLTYPE GetBlob(REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size) override
    {
        CallRecord call("IMFVirtualCamera::GetBlob");
        call.Guid("key", &key).Unsigned("capacity", capacity);
        return Perform(call, [&] { return attributes->GetBlob(key, buffer, capacity, size); });
    }
    HRESULT STDMETHODCALLTYPE GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override
    {
        CallRecord call("IMFVirtualCamera::GetAllocatedBlob");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->GetAllocatedBlob(key, buffer, size); });
    }
    HRESULT STDMETHODCALLTYPE GetUnknown(REFGUID key, REFIID iid, LPVOID* object) override
    {
        CallRecord call("IMFVirtualCamera::GetUnknown");
        call.Guid("key", &key).Guid("iid", &iid);
        return Perform(call, [&] { return attributes->GetUnknown(key, iid, object); });
    }
    HRESULT STDMETHODCALLTYPE SetItem(REFGUID key, REFPROPVARIANT value) override
    {
        CallRecord call("IMFVirtualCamera::SetItem");
        call.Guid("key", &key).Unsigned("vt", value.vt);
        return Perform(call, [&] { return attributes->SetItem(key, value); });
    }
    HRESULT STDMETHODCALLTYPE DeleteItem(REFGUID key) override
    {
        CallRecord call("IMFVirtualCamera::DeleteItem");
        call.Guid("key", &key);
        return Perform(call, [&] { return attributes->DeleteItem(key); });
    }
    HRESULT STDMETHODCALLTYPE DeleteAllItems() override
    {
        CallRecord call("IMFVirtualCamera::DeleteAllItems");
        return Perform(call, [&] { return attributes->DeleteAllItems(); });
    }
    HRESULT STDMETHODCALLTYPE SetUINT32(REFGUID key, UINT32 value) override
    {
        CallRecord call("IMFVirtualCamera::SetUINT32");
        call.Guid("key", &key).Unsigned("value", value);
        return Perform(call, [&] { return attributes->SetUINT32(key, value); });
    }
    HRESULT STDMETHODCALLTYPE SetUINT64(REFGUID key, UINT64 value) override
    {
        CallRecord call("IMFVirtualCamera::SetUINT64");
        call.Guid("key", &key).Unsigned("value", value);
        return Perform(call, [&] { return attributes->SetUINT64(key, value); });
    }
    HRESULT STDMETHODCALLTYPE SetDouble(REFGUID key, double value) override
    {
        CallRecord call("IMFVirtualCamera::SetDouble");
        call.Guid("key", &key).Double("value", value);
        return Perform(call, [&] { return attributes->SetDouble(key, value); });
    }
    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID key, REFGUID value) override
    {
        CallRecord call("IMFVirtualCamera::SetGUID");
        call.Guid("key", &key).Guid("value", &value);
        return Perform(call, [&] { return attributes->SetGUID(key, value); });
    }
    HRESULT STDMETHODCALLTYPE SetString(REFGUID key, LPCWSTR value) override
    {
        CallRecord call("IMFVirtualCamera::SetString");
        call.Guid("key", &key).Text("value", value);
        return Perform(call, [&] { return attributes->SetString(key, value); });
    }
    HRESULT STDMETHODCALLTYPE SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override
    {
        CallRecord call("IMFVirtualCamera::SetBlob");
        call.Guid("key", &key).Unsigned("size", size).Bytes("data", buffer, buffer ? size : 0);
        return Perform(call, [&] { return attributes->SetBlob(key, buffer, size); });
    }
    HRESULT STDMETHODCALLTYPE SetUnknown(REFGUID key, IUnknown* value) override
    {
        CallRecord call("IMFVirtualCamera::SetUnknown");
        call.Guid("key", &key).Pointer("value", value);
        return Perform(call, [&] { return attributes->SetUnknown(key, value); });
    }
    HRESULT STDMETHODCALLTYPE LockStore() override
    {
        CallRecord call("IMFVirtualCamera::LockStore");
        return Perform(call, [&] { return attributes->LockStore(); });
    }
    HRESULT STDMETHODCALLTYPE UnlockStore() override
    {
        CallRecord call("IMFVirtualCamera::UnlockStore");
        return Perform(call, [&] { return attributes->UnlockStore(); });
    }
    HRESULT STDMETHODCALLTYPE GetCount(UINT32* count) override
    {
        CallRecord call("IMFVirtualCamera::GetCount");
        return Perform(call, [&] { return attributes->GetCount(count); });
    }
    HRESULT STDMETHODCALLTYPE GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override
    {
        CallRecord call("IMFVirtualCamera::GetItemByIndex");
        call.Unsigned("index", index);
        return Perform(call, [&] { return attributes->GetItemByIndex(index, key, value); });
    }
    HRESULT STDMETHODCALLTYPE CopyAllItems(IMFAttributes* destination) override
    {
        CallRecord call("IMFVirtualCamera::CopyAllItems");
        call.Pointer("destination", destination);
        return Perform(call, [&] { return attributes->CopyAllItems(destination); });
    }

    // IMFVirtualCamera (slots 33-43)
    HRESULT STDMETHODCALLTYPE AddDeviceSourceInfo(LPCWSTR deviceSourceInfo) override
    {
        CallRecord call("IMFVirtualCamera::AddDeviceSourceInfo");
        call.Text("info", deviceSourceInfo);
        return Perform(call, [&] { return deviceSourceInfo ? S_OK : E_INVALIDARG; });
    }

    HRESULT STDMETHODCALLTYPE AddProperty(const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data,
                                          ULONG size) override
    {
        CallRecord call("IMFVirtualCamera::AddProperty");
        if (key == nullptr) {
            call.Text("key", static_cast<const char*>(nullptr));
        } else {
            try {
                char pid[16];
                std::snprintf(pid, sizeof pid, ",%lu", static_cast<unsigned long>(key->pid));
                call.Text("key", (standin::FormatGuid(key->fmtid) + pid).c_str());
            } catch (...) {
                return E_OUTOFMEMORY;
            }
        }
        call.Unsigned("type", type).Unsigned("size", size).Bytes("data", data, data ? size : 0);
        return Perform(call, [&] { return key == nullptr || (data == nullptr && size != 0) ? E_INVALIDARG : S_OK; });
    }

    HRESULT STDMETHODCALLTYPE AddRegistryEntry(LPCWSTR entryName, LPCWSTR subkeyPath, DWORD regType,
                                               const BYTE* data, ULONG size) override
    {
        CallRecord call("IMFVirtualCamera::AddRegistryEntry");
        call.Text("entry", entryName).Text("subkey", subkeyPath).Unsigned("regtype", regType);
        call.Unsigned("size", size).Bytes("data", data, data ? size : 0);
        return Perform(call, [&] {
            return entryName == nullptr || (data == nullptr && size != 0) ? E_INVALIDARG : S_OK;
        });
    }

    // The completion callback is not invoked: nothing registers asynchronously here.
    HRESULT STDMETHODCALLTYPE Start(IMFAsyncCallback* callback) override
    {
        CallRecord call("IMFVirtualCamera::Start");
        call.Pointer("callback", callback);
        return Perform(call, [] { return S_OK; });
    }

    HRESULT STDMETHODCALLTYPE Stop() override
    {
        CallRecord call("IMFVirtualCamera::Stop");
        return Perform(call, [] { return S_OK; });
    }

    HRESULT STDMETHODCALLTYPE Remove() override
    {
        CallRecord call("IMFVirtualCamera::Remove");
        return Perform(call, [] { return S_OK; });
    }

    // There is no camera service to build the source: no media source to hand out.
    HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** mediaSource) override
    {
        CallRecord call("IMFVirtualCamera::GetMediaSource");
        return Perform(call, [&]() -> HRESULT {
            if (mediaSource == nullptr) {
                return E_POINTER;
            }
            *mediaSource = nullptr;
            return E_NOTIMPL;
        });
    }

    HRESULT STDMETHODCALLTYPE SendCameraProperty(REFGUID propertySet, ULONG propertyId, ULONG propertyFlags,
                                                 void* payload, ULONG payloadLength, void* data, ULONG dataLength,
                                                 ULONG* dataWritten) override
    {
        CallRecord call("IMFVirtualCamera::SendCameraProperty");
        call.Guid("set", &propertySet).Unsigned("id", propertyId).Unsigned("flags", propertyFlags);
        call.Unsigned("payloadsize", payloadLength).Bytes("payload", payload, payload ? payloadLength : 0);
        call.Unsigned("datasize", dataLength);
        return Perform(call, [&]() -> HRESULT {
            if (dataWritten == nullptr) {
                return E_POINTER;
            }
            *dataWritten = 0;
            return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
        });
    }

    HRESULT STDMETHODCALLTYPE CreateSyncEvent(REFGUID eventSet, ULONG eventId, ULONG eventFlags, HANDLE eventHandle,
                                              IMFCameraSyncObject** syncObject) override
    {
        CallRecord call("IMFVirtualCamera::CreateSyncEvent");
        call.Guid("set", &eventSet).Unsigned("id", eventId).Unsigned("flags", eventFlags);
        call.Pointer("handle", eventHandle);
        return Perform(call, [&] { return CreateSyncObject(eventHandle, syncObject); });
    }

    HRESULT STDMETHODCALLTYPE CreateSyncSemaphore(REFGUID eventSet, ULONG eventId, ULONG eventFlags,
                                                  HANDLE semaphoreHandle, LONG semaphoreAdjustment,
                                                  IMFCameraSyncObject** syncObject) override
    {
        CallRecord call("IMFVirtualCamera::CreateSyncSemaphore");
        call.Guid("set", &eventSet).Unsigned("id", eventId).Unsigned("flags", eventFlags);
        call.Pointer("handle", semaphoreHandle).Signed("adjustment", semaphoreAdjustment);
        return Perform(call, [&] { return CreateSyncObject(semaphoreHandle, syncObject); });
    }

    HRESULT STDMETHODCALLTYPE Shutdown() override
    {
        CallRecord call("IMFVirtualCamera::Shutdown");
        return Perform(call, [] { return S_OK; });
    }

private:
    ~VirtualCamera() = default;

    std::atomic<ULONG> refCount{1};
    ComPtr<IMFAttributes> attributes;
};

bool SupportSwitchedOff()
{
    wchar_t value[8] = {};
    DWORD length = GetEnvironmentVariableW(L"VELMORA_STANDIN_SUPPORTED", value, 8);
    return length == 1 && value[0] == L'0';
}

}  // namespace

extern "C" HRESULT WINAPI MFIsVirtualCameraTypeSupported(MFVirtualCameraType type, BOOL* supported)
{
    CallRecord call("MFIsVirtualCameraTypeSupported");
    call.Signed("type", type);
    return Perform(call, [&]() -> HRESULT {
        if (supported == nullptr) {
            return E_POINTER;
        }
        *supported = type == MFVirtualCameraType_SoftwareCameraSource && !SupportSwitchedOff() ? TRUE : FALSE;
        return S_OK;
    });
}

extern "C" HRESULT WINAPI MFCreateVirtualCamera(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime,
                                                MFVirtualCameraAccess access, LPCWSTR friendlyName, LPCWSTR sourceId,
                                                const GUID* categories, ULONG categoryCount,
                                                IMFVirtualCamera** virtualCamera)
{
    CallRecord call("MFCreateVirtualCamera");
    call.Signed("type", type).Signed("lifetime", lifetime).Signed("access", access);
    call.Text("name", friendlyName).Text("source", sourceId).Pointer("categories", categories);
    call.Unsigned("count", categoryCount);
    if (virtualCamera != nullptr) {
        *virtualCamera = nullptr;
    }
    return Perform(call, [&]() -> HRESULT {
        if (virtualCamera == nullptr) {
            return E_POINTER;
        }
        if (friendlyName == nullptr || sourceId == nullptr || (categories == nullptr && categoryCount != 0)) {
            return E_INVALIDARG;
        }
        ComPtr<IMFAttributes> store;
        if (HRESULT hr = MFCreateAttributes(&store, 4); FAILED(hr)) {
            return hr;
        }
        IMFVirtualCamera* camera = nullptr;
        try {
            camera = new VirtualCamera(std::move(store));
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        *virtualCamera = camera;
        return S_OK;
    });
}

// Test-only: restarts the per-name call numbering that "Name#N=" failure items count.
extern "C" void WINAPI VelmoraStandInResetCallCounts()
{
    standin::ResetCallCounts();
}
