// The virtual-camera half of the stand-in mfsensorgroup.dll: MFIsVirtualCameraTypeSupported,
// MFCreateVirtualCamera and a camera object that records every call. The camera's
// IMFAttributes slots forward to a real attribute store; registration itself is only
// recorded (there is no camera service to register with).
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <new>
#include <string>

#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "recorder.h"

using Microsoft::WRL::ComPtr;
using standin::CallRecord;
using standin::Perform;

namespace {

// Forwards one IMFAttributes method to the store.
#define STANDIN_FORWARD(Method, Parameters, Arguments, Fields) \
    STANDIN_METHOD(Method, Parameters, Fields, return attributes->Method Arguments;)
#define STANDIN_FORWARD_KEYED(Method, Parameters, Arguments) \
    STANDIN_FORWARD(Method, Parameters, Arguments, .Guid("key", &key))

class CameraSyncObject final : public standin::Recorded<CameraSyncObject, IMFCameraSyncObject, IUnknown> {
public:
    static constexpr const char* kName = "IMFCameraSyncObject";
    explicit CameraSyncObject(HANDLE ownedHandle) : handle(ownedHandle) {}
    ~CameraSyncObject() { CloseHandle(handle); }

    STANDIN_METHOD(WaitOnSignal, (DWORD timeout), .Unsigned("timeout", timeout),
                   if (shutDown.load()) return MF_E_SHUTDOWN;
                   DWORD wait = WaitForSingleObject(handle, timeout);
                   return wait == WAIT_OBJECT_0 ? S_OK
                                                : HRESULT_FROM_WIN32(wait == WAIT_TIMEOUT ? WAIT_TIMEOUT : GetLastError());)

    void STDMETHODCALLTYPE Shutdown() override
    {
        CallRecord(kName, "Shutdown").Finish();
        shutDown.store(true);
    }

private:
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

class VirtualCamera final : public standin::Recorded<VirtualCamera, IMFVirtualCamera, IMFAttributes> {
public:
    static constexpr const char* kName = "IMFVirtualCamera";
    explicit VirtualCamera(ComPtr<IMFAttributes> store) : attributes(std::move(store)) {}

    // IMFAttributes (slots 3-32; the vtable order comes from the interface, not from here)
    STANDIN_FORWARD_KEYED(GetItem, (REFGUID key, PROPVARIANT* value), (key, value))
    STANDIN_FORWARD_KEYED(GetItemType, (REFGUID key, MF_ATTRIBUTE_TYPE* type), (key, type))
    STANDIN_FORWARD_KEYED(CompareItem, (REFGUID key, REFPROPVARIANT value, BOOL* result), (key, value, result))
    STANDIN_FORWARD(Compare, (IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result),
                    (theirs, matchType, result), .Pointer("theirs", theirs).Signed("match", matchType))
    STANDIN_FORWARD_KEYED(GetUINT32, (REFGUID key, UINT32* value), (key, value))
    STANDIN_FORWARD_KEYED(GetUINT64, (REFGUID key, UINT64* value), (key, value))
    STANDIN_FORWARD_KEYED(GetDouble, (REFGUID key, double* value), (key, value))
    STANDIN_FORWARD_KEYED(GetGUID, (REFGUID key, GUID* value), (key, value))
    STANDIN_FORWARD_KEYED(GetStringLength, (REFGUID key, UINT32* length), (key, length))
    STANDIN_FORWARD(GetString, (REFGUID key, LPWSTR buffer, UINT32 capacity, UINT32* length),
                    (key, buffer, capacity, length), .Guid("key", &key).Unsigned("capacity", capacity))
    STANDIN_FORWARD_KEYED(GetAllocatedString, (REFGUID key, LPWSTR* value, UINT32* length), (key, value, length))
    STANDIN_FORWARD_KEYED(GetBlobSize, (REFGUID key, UINT32* size), (key, size))
    STANDIN_FORWARD(GetBlob, (REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size), (key, buffer, capacity, size),
                    .Guid("key", &key).Unsigned("capacity", capacity))
    STANDIN_FORWARD_KEYED(GetAllocatedBlob, (REFGUID key, UINT8** buffer, UINT32* size), (key, buffer, size))
    STANDIN_FORWARD(GetUnknown, (REFGUID key, REFIID iid, LPVOID* object), (key, iid, object),
                    .Guid("key", &key).Guid("iid", &iid))
    STANDIN_FORWARD(SetItem, (REFGUID key, REFPROPVARIANT value), (key, value),
                    .Guid("key", &key).Unsigned("vt", value.vt))
    STANDIN_FORWARD_KEYED(DeleteItem, (REFGUID key), (key))
    STANDIN_FORWARD(DeleteAllItems, (), (), )
    STANDIN_FORWARD(SetUINT32, (REFGUID key, UINT32 value), (key, value), .Guid("key", &key).Unsigned("value", value))
    STANDIN_FORWARD(SetUINT64, (REFGUID key, UINT64 value), (key, value), .Guid("key", &key).Unsigned("value", value))
    STANDIN_FORWARD(SetDouble, (REFGUID key, double value), (key, value), .Guid("key", &key).Double("value", value))
    STANDIN_FORWARD(SetGUID, (REFGUID key, REFGUID value), (key, value), .Guid("key", &key).Guid("value", &value))
    STANDIN_FORWARD(SetString, (REFGUID key, LPCWSTR value), (key, value), .Guid("key", &key).Text("value", value))
    STANDIN_FORWARD(SetBlob, (REFGUID key, const UINT8* buffer, UINT32 size), (key, buffer, size),
                    .Guid("key", &key).Unsigned("size", size).Bytes("data", buffer, buffer ? size : 0))
    STANDIN_FORWARD(SetUnknown, (REFGUID key, IUnknown* value), (key, value),
                    .Guid("key", &key).Pointer("value", value))
    STANDIN_FORWARD(LockStore, (), (), )
    STANDIN_FORWARD(UnlockStore, (), (), )
    STANDIN_FORWARD(GetCount, (UINT32* count), (count), )
    STANDIN_FORWARD(GetItemByIndex, (UINT32 index, GUID* key, PROPVARIANT* value), (index, key, value),
                    .Unsigned("index", index))
    STANDIN_FORWARD(CopyAllItems, (IMFAttributes* destination), (destination),
                    .Pointer("destination", destination))

    // IMFVirtualCamera (slots 33-43)
    STANDIN_METHOD(AddDeviceSourceInfo, (LPCWSTR info), .Text("info", info), return info ? S_OK : E_INVALIDARG;)

    HRESULT STDMETHODCALLTYPE AddProperty(const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data,
                                          ULONG size) override
    {
        CallRecord call(kName, "AddProperty");
        std::string id;
        try {
            id = key ? standin::FormatGuid(key->fmtid) + "," + std::to_string(key->pid) : std::string();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        call.Text("key", key ? id.c_str() : nullptr);
        call.Unsigned("type", type).Unsigned("size", size).Bytes("data", data, data ? size : 0);
        return Perform(call, [&] { return key == nullptr || (data == nullptr && size != 0) ? E_INVALIDARG : S_OK; });
    }

    STANDIN_METHOD(AddRegistryEntry, (LPCWSTR entry, LPCWSTR subkey, DWORD regType, const BYTE* data, ULONG size),
                   .Text("entry", entry).Text("subkey", subkey).Unsigned("regtype", regType).Unsigned("size", size)
                        .Bytes("data", data, data ? size : 0),
                   return entry == nullptr || (data == nullptr && size != 0) ? E_INVALIDARG : S_OK;)
    // The completion callback is not invoked: nothing registers asynchronously here.
    STANDIN_METHOD(Start, (IMFAsyncCallback* callback), .Pointer("callback", callback), return S_OK;)
    STANDIN_METHOD(Stop, (), , return S_OK;)
    STANDIN_METHOD(Remove, (), , return S_OK;)
    // There is no camera service to build the source: no media source to hand out.
    STANDIN_METHOD(GetMediaSource, (IMFMediaSource** source), , if (source == nullptr) return E_POINTER;
                   *source = nullptr; return E_NOTIMPL;)
    STANDIN_METHOD(SendCameraProperty,
                   (REFGUID set, ULONG id, ULONG flags, void* payload, ULONG payloadLength, void* data,
                    ULONG dataLength, ULONG* dataWritten),
                   .Guid("set", &set).Unsigned("id", id).Unsigned("flags", flags)
                        .Unsigned("payloadsize", payloadLength).Bytes("payload", payload, payload ? payloadLength : 0)
                        .Unsigned("datasize", dataLength),
                   if (dataWritten == nullptr) return E_POINTER;
                   *dataWritten = 0; return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);)
    STANDIN_METHOD(CreateSyncEvent,
                   (REFGUID set, ULONG id, ULONG flags, HANDLE handle, IMFCameraSyncObject** syncObject),
                   .Guid("set", &set).Unsigned("id", id).Unsigned("flags", flags).Pointer("handle", handle),
                   return CreateSyncObject(handle, syncObject);)
    STANDIN_METHOD(CreateSyncSemaphore,
                   (REFGUID set, ULONG id, ULONG flags, HANDLE handle, LONG adjustment,
                    IMFCameraSyncObject** syncObject),
                   .Guid("set", &set).Unsigned("id", id).Unsigned("flags", flags).Pointer("handle", handle)
                        .Signed("adjustment", adjustment),
                   return CreateSyncObject(handle, syncObject);)
    STANDIN_METHOD(Shutdown, (), , return S_OK;)

private:
    ComPtr<IMFAttributes> attributes;
};
#undef STANDIN_FORWARD_KEYED
#undef STANDIN_FORWARD

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
