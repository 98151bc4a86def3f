// Stand-in mfsensorgroup.dll (see README.md). Its variables are read at every call, so a test may change them between.
#include <windows.h>
#include <mferror.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

using velmora::standin::GuidText;
using velmora::standin::Hex;

namespace {

std::mutex countLock;
std::map<std::string, unsigned long> callCounts;

// Values are written as they are: nothing recorded holds a TAB or a line end.
std::string Field(const char* key, const std::string& value)
{
    return std::string("\t") + key + "=" + value;
}
std::string Field(const char* key, unsigned long long number)
{
    return Field(key, std::to_string(number));
}

std::string Text(const wchar_t* text)
{
    char utf8[1024] = "null";
    if (text != nullptr && WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr) == 0) {
        return "(too long)";
    }
    return utf8;
}

// A handle that only appends writes each line whole at the end, even with several writing processes.
void Append(const std::string& line)
{
    HANDLE file = CreateFileW(velmora::standin::Variable(L"VELMORA_STANDIN_LOG").c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
}

// VELMORA_STANDIN_FAIL items: "Name=0xHHHHHHHH" (all calls) or "Name#N=0xHHHHHHHH" (N-th in this process); first wins.
HRESULT Ordered(const std::string& name)
{
    std::unique_lock lock(countLock);
    const std::string numbered = name + "#" + std::to_string(++callCounts[name]);
    lock.unlock();
    const std::wstring order = velmora::standin::Variable(L"VELMORA_STANDIN_FAIL");
    std::istringstream items(std::string(order.begin(), order.end()));
    for (std::string item; std::getline(items, item, ',');) {
        const std::string key = item.substr(0, item.find('='));
        if (key.size() < item.size() && (key == name || key == numbered)) {
            return static_cast<HRESULT>(std::strtoul(item.c_str() + key.size() + 1, nullptr, 16));
        }
    }
    return S_OK;
}

// Work runs unless a failure is ordered; an ordered success replaces S_OK; any result but S_OK ends the logged line.
template <typename Work>
HRESULT Record(const std::string& name, const std::string& fields, Work work) noexcept
try {
    const HRESULT ordered = Ordered(name);
    HRESULT result = FAILED(ordered) ? ordered : work();
    result = result == S_OK ? ordered : result;
    char text[24] = "";
    if (result != S_OK) {
        std::snprintf(text, sizeof text, "\tresult=0x%08lX", static_cast<unsigned long>(result));
    }
    Append(name + fields + text + "\n");
    return result;
} catch (...) {
    return E_OUTOFMEMORY;
}

// A recorded method: Fields are its recorded arguments, the rest is its work.
#define RECORDED(Method, Parameters, Fields, ...)                                          \
    HRESULT STDMETHODCALLTYPE Method Parameters override                                   \
    {                                                                                      \
        return Record(Name(#Method), Fields, [&]() -> HRESULT { __VA_ARGS__ });            \
    }
#define UNUSED(Method, Parameters) RECORDED(Method, Parameters, "", return E_NOTIMPL;)

// QueryInterface answers IUnknown, Interface and the Bases it derives from; AddRef and Release record the new count.
template <typename Self, typename Interface, typename... Bases>
class Object : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        const bool known = iid == __uuidof(IUnknown) || iid == __uuidof(Interface) || (... || (iid == __uuidof(Bases)));
        *object = known ? static_cast<Interface*>(this) : nullptr;
        references += known ? 1 : 0;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Counted("AddRef", ++references); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = Counted("Release", --references);
        if (count == 0) {
            delete static_cast<Self*>(this);
        }
        return count;
    }

protected:
    static std::string Name(const char* method) { return std::string(Self::kName) + "::" + method; }

private:
    static ULONG Counted(const char* method, ULONG count)
    {
        Append(Name(method) + Field("count", count) + "\n");
        return count;
    }

    std::atomic<ULONG> references{1};
};

// Keeps what the caller put into it, for the tests to read back.
class SensorProfile final : public Object<SensorProfile, IStandInSensorProfile, IMFSensorProfile> {
public:
    static constexpr const char* kName = "IMFSensorProfile";

    SensorProfile(const GUID& type, UINT32 index) : id{type, index, 0} {}

    RECORDED(GetProfileId, (SENSORPROFILEID* result), "",
             *result = id;
             return S_OK;)
    RECORDED(AddProfileFilter, (UINT32 stream, LPCWSTR filter), Field("stream", stream) + Field("filter", Text(filter)),
             filters.emplace_back(stream, filter);
             return S_OK;)
    UNUSED(IsMediaTypeSupported, (UINT32, IMFMediaType*, BOOL*))
    UNUSED(AddBlockedControl, (LPCWSTR))

    const wchar_t* STDMETHODCALLTYPE GetFilter(UINT32 index, UINT32* stream) override
    {
        if (index >= filters.size()) {
            return nullptr;
        }
        *stream = filters[index].first;
        return filters[index].second.c_str();
    }

private:
    const SENSORPROFILEID id;
    std::vector<std::pair<UINT32, std::wstring>> filters;
};

class SensorProfileCollection final : public Object<SensorProfileCollection, IMFSensorProfileCollection> {
public:
    static constexpr const char* kName = "IMFSensorProfileCollection";

    DWORD STDMETHODCALLTYPE GetProfileCount() override { return static_cast<DWORD>(profiles.size()); }
    RECORDED(GetProfile, (DWORD index, IMFSensorProfile** profile), Field("index", index),
             *profile = nullptr;
             return index < profiles.size() ? profiles[index].CopyTo(profile) : MF_E_INVALIDINDEX;)
    RECORDED(AddProfile, (IMFSensorProfile* profile), "",
             profiles.emplace_back(profile);
             return S_OK;)
    UNUSED(FindProfile, (SENSORPROFILEID*, IMFSensorProfile**))
    void STDMETHODCALLTYPE RemoveProfileByIndex(DWORD) override {}
    void STDMETHODCALLTYPE RemoveProfile(SENSORPROFILEID*) override {}

private:
    std::vector<Microsoft::WRL::ComPtr<IMFSensorProfile>> profiles;
};

// Registration is only recorded: there is no camera service here (Start never calls back).
class VirtualCamera final : public Object<VirtualCamera, IMFVirtualCamera, IMFAttributes> {
public:
    static constexpr const char* kName = "IMFVirtualCamera";

    UNUSED(GetItem, (REFGUID, PROPVARIANT*))
    UNUSED(GetItemType, (REFGUID, MF_ATTRIBUTE_TYPE*))
    UNUSED(CompareItem, (REFGUID, REFPROPVARIANT, BOOL*))
    UNUSED(Compare, (IMFAttributes*, MF_ATTRIBUTES_MATCH_TYPE, BOOL*))
    UNUSED(GetUINT32, (REFGUID, UINT32*))
    UNUSED(GetUINT64, (REFGUID, UINT64*))
    UNUSED(GetDouble, (REFGUID, double*))
    UNUSED(GetGUID, (REFGUID, GUID*))
    UNUSED(GetStringLength, (REFGUID, UINT32*))
    UNUSED(GetString, (REFGUID, LPWSTR, UINT32, UINT32*))
    UNUSED(GetAllocatedString, (REFGUID, LPWSTR*, UINT32*))
    UNUSED(GetBlobSize, (REFGUID, UINT32*))
    UNUSED(GetBlob, (REFGUID, UINT8*, UINT32, UINT32*))
    UNUSED(GetAllocatedBlob, (REFGUID, UINT8**, UINT32*))
    UNUSED(GetUnknown, (REFGUID, REFIID, LPVOID*))
    UNUSED(SetItem, (REFGUID, REFPROPVARIANT))
    UNUSED(DeleteItem, (REFGUID))
    UNUSED(DeleteAllItems, ())
    UNUSED(SetUINT32, (REFGUID, UINT32))
    UNUSED(SetUINT64, (REFGUID, UINT64))
    UNUSED(SetDouble, (REFGUID, double))
    UNUSED(SetGUID, (REFGUID, REFGUID))
    UNUSED(SetString, (REFGUID, LPCWSTR))
    UNUSED(SetBlob, (REFGUID, const UINT8*, UINT32))
    UNUSED(SetUnknown, (REFGUID, IUnknown*))
    UNUSED(LockStore, ())
    UNUSED(UnlockStore, ())
    UNUSED(GetCount, (UINT32*))
    UNUSED(GetItemByIndex, (UINT32, GUID*, PROPVARIANT*))
    UNUSED(CopyAllItems, (IMFAttributes*))
    UNUSED(AddDeviceSourceInfo, (LPCWSTR))
    RECORDED(AddProperty, (const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data, ULONG size),
             Field("key", GuidText(key->fmtid) + "," + std::to_string(key->pid)) + Field("type", type) +
                 Field("size", size) + Field("data", Hex(data, size)),
             return S_OK;)
    UNUSED(AddRegistryEntry, (LPCWSTR, LPCWSTR, DWORD, const BYTE*, ULONG))
    RECORDED(Start, (IMFAsyncCallback* callback), Field("callback", callback ? "nonnull" : "null"), return S_OK;)
    UNUSED(Stop, ())
    RECORDED(Remove, (), "", return S_OK;)
    UNUSED(GetMediaSource, (IMFMediaSource**))
    UNUSED(SendCameraProperty, (REFGUID, ULONG, ULONG, void*, ULONG, void*, ULONG, ULONG*))
    UNUSED(CreateSyncEvent, (REFGUID, ULONG, ULONG, HANDLE, IMFCameraSyncObject**))
    UNUSED(CreateSyncSemaphore, (REFGUID, ULONG, ULONG, HANDLE, LONG, IMFCameraSyncObject**))
    UNUSED(Shutdown, ())
};

template <typename Interface, typename Make>
HRESULT Create(const char* name, const std::string& fields, Interface** out, Make make)
{
    *out = nullptr;
    return Record(name, fields, [&]() -> HRESULT {
        *out = make();
        return S_OK;
    });
}

}  // namespace

extern "C" HRESULT WINAPI MFCreateSensorProfile(REFGUID type, UINT32 index, LPCWSTR constraints,
                                                IMFSensorProfile** profile)
{
    return Create("MFCreateSensorProfile",
                  Field("type", GuidText(type)) + Field("index", index) + Field("constraints", Text(constraints)),
                  profile, [&] { return new SensorProfile(type, index); });
}

extern "C" HRESULT WINAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection)
{
    return Create("MFCreateSensorProfileCollection", "", collection, [] { return new SensorProfileCollection(); });
}

extern "C" HRESULT WINAPI MFIsVirtualCameraTypeSupported(MFVirtualCameraType type, BOOL* supported)
{
    *supported = FALSE;
    return Record("MFIsVirtualCameraTypeSupported", Field("type", type), [&]() -> HRESULT {
        *supported = type == MFVirtualCameraType_SoftwareCameraSource &&
                     velmora::standin::Variable(L"VELMORA_STANDIN_SUPPORTED") != L"0";
        return S_OK;
    });
}

extern "C" HRESULT WINAPI MFCreateVirtualCamera(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime,
                                                MFVirtualCameraAccess access, LPCWSTR friendlyName, LPCWSTR sourceId,
                                                const GUID* categories, ULONG categoryCount, IMFVirtualCamera** camera)
{
    return Create("MFCreateVirtualCamera",
                  Field("type", type) + Field("lifetime", lifetime) + Field("access", access) +
                      Field("name", Text(friendlyName)) + Field("source", Text(sourceId)) +
                      Field("categories", categories ? "nonnull" : "null") + Field("count", categoryCount),
                  camera, [] { return new VirtualCamera(); });
}

// Test-only: restarts the numbering that "Name#N=" items count.
extern "C" void WINAPI VelmoraStandInResetCallCounts()
{
    std::lock_guard lock(countLock);
    callCounts.clear();
}
