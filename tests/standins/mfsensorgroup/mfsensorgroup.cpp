// Stand-in mfsensorgroup.dll (see README.md): sensor profiles, profile collections and
// virtual cameras that record every call in the log named by VELMORA_STANDIN_LOG and
// return the results that VELMORA_STANDIN_FAIL orders. The environment is read at every
// call, so a test may change it between calls.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

using Microsoft::WRL::ComPtr;
using velmora::standin::GuidText;

namespace {

std::mutex countMutex;
std::map<std::string, std::uint32_t> callCounts;

// The variable's value; empty when it is unset.
std::wstring Environment(const wchar_t* name)
{
    std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
    DWORD length = value.empty() ? 0 : GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

std::string Utf8(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

// One recorded argument: TAB key=value, with \, TAB, LF and CR escaped so a call stays one line.
std::string Field(const char* key, const std::string& value)
{
    std::string field = std::string("\t") + key + "=";
    for (char c : value) {
        const char* escaped = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
        field += escaped ? std::string(escaped) : std::string(1, c);
    }
    return field;
}
std::string Field(const char* key, const wchar_t* text)
{
    return Field(key, text ? Utf8(text) : std::string("null"));
}
std::string Field(const char* key, const GUID* value)
{
    return Field(key, value ? GuidText(*value) : std::string("null"));
}
std::string Field(const char* key, const void* pointer)
{
    return Field(key, std::string(pointer ? "nonnull" : "null"));
}
template <typename Number>
    requires std::is_integral_v<Number> || std::is_enum_v<Number>
std::string Field(const char* key, Number value)
{
    if constexpr (std::is_enum_v<Number>) {
        return Field(key, std::to_string(static_cast<long long>(value)));
    } else {
        return Field(key, std::to_string(value));
    }
}
// Byte data as lower-case hex.
std::string Field(const char* key, const void* data, std::size_t size)
{
    std::string hex;
    for (auto bytes = static_cast<const unsigned char*>(data); bytes && size > 0; --size, ++bytes) {
        hex += "0123456789abcdef"[*bytes >> 4];
        hex += "0123456789abcdef"[*bytes & 0x0F];
    }
    return Field(key, data ? hex : std::string("null"));
}

// VELMORA_STANDIN_FAIL: comma-separated "Name=0xHHHHHHHH" (every call of Name) or
// "Name#N=0xHHHHHHHH" (its N-th call). The first matching item decides; malformed ones are skipped.
HRESULT Ordered(const std::string& name, std::uint32_t number)
{
    std::istringstream items(Utf8(Environment(L"VELMORA_STANDIN_FAIL")));
    for (std::string item; std::getline(items, item, ',');) {
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos || equals + 1 == item.size()) {
            continue;
        }
        const std::size_t hash = std::min(item.rfind('#', equals), equals);
        char* end = nullptr;
        const unsigned long long nth = hash < equals ? std::strtoull(item.c_str() + hash + 1, &end, 10) : 0;
        if (hash < equals && (end != item.c_str() + equals || nth == 0)) {
            continue;
        }
        const unsigned long long code = std::strtoull(item.c_str() + equals + 1, &end, 0);
        if (*end == '\0' && code <= 0xFFFFFFFFull && item.compare(0, hash, name) == 0 && hash == name.size() &&
            (nth == 0 || nth == number)) {
            return static_cast<HRESULT>(static_cast<std::uint32_t>(code));
        }
    }
    return S_OK;
}

// One open-append-close per line; writers of several processes serialise on a lock of a
// byte far beyond any content, so readers are never blocked.
void AppendLine(const std::string& line)
{
    const std::wstring path = Environment(L"VELMORA_STANDIN_LOG");
    HANDLE file = path.empty() ? INVALID_HANDLE_VALUE
                               : CreateFileW(path.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    std::unique_ptr<void, decltype(&CloseHandle)> closer(file, &CloseHandle);
    OVERLAPPED region{};
    region.Offset = 0xFFFFFFF0u;
    region.OffsetHigh = 0x7FFFFFFFu;
    const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region) != FALSE;
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_END);
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    if (locked) {
        UnlockFileEx(file, 0, 1, 0, &region);
    }
}

// One call: counted per name and process for "Name#N", recorded by Finish or Run.
class Call {
public:
    Call(const char* object, const char* method, const std::string& fields)
        : name(method ? std::string(object) + "::" + method : std::string(object)), line(name + fields)
    {
        std::lock_guard<std::mutex> lock(countMutex);
        number = ++callCounts[name];
    }

    // A call that returns no HRESULT: never failed.
    void Finish() { AppendLine(line + "\n"); }

    // The work runs unless a failure is ordered; an ordered success code replaces S_OK.
    template <typename Work>
    HRESULT Run(Work&& work)
    {
        const HRESULT ordered = Ordered(name, number);
        HRESULT hr = FAILED(ordered) ? ordered : work();
        hr = hr == S_OK ? ordered : hr;
        if (hr != S_OK) {
            char result[24];
            std::snprintf(result, sizeof result, "\tresult=0x%08lX", static_cast<unsigned long>(hr));
            line += result;
        }
        Finish();
        return hr;
    }

private:
    std::string name;
    std::string line;
    std::uint32_t number = 0;
};

// A recorded method of a class with kName: Fields are the recorded arguments, the rest is the work.
#define STANDIN_METHOD(Method, Parameters, Fields, ...)                              \
    HRESULT STDMETHODCALLTYPE Method Parameters override                             \
    try {                                                                            \
        return Call(kName, #Method, Fields).Run([&]() -> HRESULT { __VA_ARGS__ }); \
    } catch (...) {                                                                  \
        return E_OUTOFMEMORY;                                                        \
    }

// Recorded IUnknown: QueryInterface answers IUnknown, Main, Parent (a base of Main) and the
// further Faces; Self is deleted at the last Release.
template <typename Self, typename Main, typename Parent, typename... Faces>
class Recorded : public Main, public Faces... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    try {
        return Call(Self::kName, "QueryInterface", Field("iid", &iid)).Run([&]() -> HRESULT {
            if (object == nullptr) {
                return E_POINTER;
            }
            *object = nullptr;
            if (iid == __uuidof(IUnknown) || iid == __uuidof(Main) || iid == __uuidof(Parent)) {
                *object = static_cast<Main*>(this);
            }
            ((*object == nullptr && iid == __uuidof(Faces) && (*object = static_cast<Faces*>(this))), ...);
            if (*object == nullptr) {
                return E_NOINTERFACE;
            }
            SilentAddRef();
            return S_OK;
        });
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return Note("AddRef", ++references); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = Note("Release", --references);
        if (count == 0) {
            delete static_cast<Self*>(this);
        }
        return count;
    }

    // References of the stand-in's own bookkeeping: not recorded, so the log shows only the
    // caller's calls.
    void SilentAddRef() { ++references; }
    void SilentRelease()
    {
        if (--references == 0) {
            delete static_cast<Self*>(this);
        }
    }

private:
    ULONG Note(const char* method, ULONG count) noexcept
    {
        try {
            Call(Self::kName, method, Field("count", count)).Finish();
        } catch (...) {
        }
        return count;
    }

    std::atomic<ULONG> references{1};
};

HRESULT CopyOut(const std::wstring& text, LPWSTR buffer, UINT32 capacity, UINT32* length)
{
    *length = static_cast<UINT32>(text.size());
    if (buffer == nullptr || capacity < text.size() + 1) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    std::copy(text.c_str(), text.c_str() + text.size() + 1, buffer);
    return S_OK;
}

class SensorProfile final : public Recorded<SensorProfile, IMFSensorProfile, IUnknown, IStandInSensorProfile> {
public:
    static constexpr const char* kName = "IMFSensorProfile";

    SensorProfile(const GUID& type, UINT32 index, const wchar_t* constraintText)
        : id{type, index, 0}, hasConstraints(constraintText != nullptr),
          constraints(constraintText ? constraintText : L"")
    {
    }

    const SENSORPROFILEID id;

    STANDIN_METHOD(GetProfileId, (SENSORPROFILEID* result), "",
                   if (result == nullptr) {
                       return E_POINTER;
                   }
                   *result = id;
                   return S_OK;)
    STANDIN_METHOD(AddProfileFilter, (UINT32 stream, LPCWSTR filter), Field("stream", stream) + Field("filter", filter),
                   if (filter == nullptr) {
                       return E_INVALIDARG;
                   }
                   filters.emplace_back(stream, filter);
                   return S_OK;)
    // No filter grammar here.
    STANDIN_METHOD(IsMediaTypeSupported, (UINT32 stream, IMFMediaType* type, BOOL* supported),
                   Field("stream", stream) + Field("type", static_cast<const void*>(type)), return E_NOTIMPL;)
    STANDIN_METHOD(AddBlockedControl, (LPCWSTR control), Field("control", control),
                   return control ? S_OK : E_INVALIDARG;)

    // IStandInSensorProfile: the inspection face, not recorded.
    HRESULT STDMETHODCALLTYPE GetFilterCount(UINT32* count) override
    {
        return count ? (*count = static_cast<UINT32>(filters.size()), S_OK) : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetFilter(UINT32 index, UINT32* streamId, LPWSTR buffer, UINT32 capacity,
                                        UINT32* length) override
    try {
        if (streamId == nullptr || length == nullptr) {
            return E_POINTER;
        }
        if (index >= filters.size()) {
            return MF_E_INVALIDINDEX;
        }
        *streamId = filters[index].first;
        return CopyOut(filters[index].second, buffer, capacity, length);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetConstraints(LPWSTR buffer, UINT32 capacity, UINT32* length) override
    {
        if (length == nullptr) {
            return E_POINTER;
        }
        if (hasConstraints) {
            return CopyOut(constraints, buffer, capacity, length);
        }
        *length = 0;
        if (buffer != nullptr && capacity > 0) {
            buffer[0] = L'\0';
        }
        return S_FALSE;
    }

private:
    const bool hasConstraints;
    const std::wstring constraints;
    std::vector<std::pair<UINT32, std::wstring>> filters;
};

struct Unhold {
    void operator()(SensorProfile* profile) const { profile->SilentRelease(); }
};

// A new reference for the caller, not recorded.
IMFSensorProfile* Share(SensorProfile* profile)
{
    profile->SilentAddRef();
    return profile;
}

std::string IdFields(const SENSORPROFILEID* id)
{
    return id ? Field("type", &id->Type) + Field("index", id->Index) : Field("id", std::string("null"));
}

// An ordered list that holds profiles of this DLL only; duplicates are accepted.
class SensorProfileCollection final
    : public Recorded<SensorProfileCollection, IMFSensorProfileCollection, IUnknown> {
public:
    static constexpr const char* kName = "IMFSensorProfileCollection";

    DWORD STDMETHODCALLTYPE GetProfileCount() override
    try {
        Call(kName, "GetProfileCount", "").Finish();
        return static_cast<DWORD>(profiles.size());
    } catch (...) {
        return static_cast<DWORD>(profiles.size());
    }
    STANDIN_METHOD(GetProfile, (DWORD index, IMFSensorProfile** profile), Field("index", index),
                   if (profile == nullptr) {
                       return E_POINTER;
                   }
                   *profile = index < profiles.size() ? Share(profiles[index].get()) : nullptr;
                   return *profile ? S_OK : MF_E_INVALIDINDEX;)
    STANDIN_METHOD(AddProfile, (IMFSensorProfile* profile), "",
                   auto own = dynamic_cast<SensorProfile*>(profile);
                   if (own == nullptr) {
                       return profile ? E_NOINTERFACE : E_POINTER;
                   }
                   own->SilentAddRef();
                   std::unique_ptr<SensorProfile, Unhold> held(own);
                   profiles.push_back(std::move(held));
                   return S_OK;)
    // Nothing calls these but the slot-order check: recorded, without effect.
    STANDIN_METHOD(FindProfile, (SENSORPROFILEID* id, IMFSensorProfile** profile), IdFields(id),
                   return profile ? (*profile = nullptr, E_NOTIMPL) : E_POINTER;)
    void STDMETHODCALLTYPE RemoveProfileByIndex(DWORD index) override
    try {
        Call(kName, "RemoveProfileByIndex", Field("index", index)).Finish();
    } catch (...) {
    }
    void STDMETHODCALLTYPE RemoveProfile(SENSORPROFILEID* id) override
    try {
        Call(kName, "RemoveProfile", IdFields(id)).Finish();
    } catch (...) {
    }

private:
    std::vector<std::unique_ptr<SensorProfile, Unhold>> profiles;
};

// Forwards one IMFAttributes method to the real store, recorded by name only.
#define STANDIN_FORWARD(Method, Parameters, Arguments) \
    STANDIN_METHOD(Method, Parameters, "", return attributes->Method Arguments;)

// The camera's IMFAttributes slots forward to a real attribute store; registration itself is
// only recorded (there is no camera service to register with).
class VirtualCamera final : public Recorded<VirtualCamera, IMFVirtualCamera, IMFAttributes> {
public:
    static constexpr const char* kName = "IMFVirtualCamera";
    explicit VirtualCamera(ComPtr<IMFAttributes> store) : attributes(std::move(store)) {}

    STANDIN_FORWARD(GetItem, (REFGUID key, PROPVARIANT* value), (key, value))
    STANDIN_FORWARD(GetItemType, (REFGUID key, MF_ATTRIBUTE_TYPE* type), (key, type))
    STANDIN_FORWARD(CompareItem, (REFGUID key, REFPROPVARIANT value, BOOL* result), (key, value, result))
    STANDIN_FORWARD(Compare, (IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result),
                    (theirs, type, result))
    STANDIN_FORWARD(GetUINT32, (REFGUID key, UINT32* value), (key, value))
    STANDIN_FORWARD(GetUINT64, (REFGUID key, UINT64* value), (key, value))
    STANDIN_FORWARD(GetDouble, (REFGUID key, double* value), (key, value))
    STANDIN_FORWARD(GetGUID, (REFGUID key, GUID* value), (key, value))
    STANDIN_FORWARD(GetStringLength, (REFGUID key, UINT32* length), (key, length))
    STANDIN_FORWARD(GetString, (REFGUID key, LPWSTR buffer, UINT32 capacity, UINT32* length),
                    (key, buffer, capacity, length))
    STANDIN_FORWARD(GetAllocatedString, (REFGUID key, LPWSTR* value, UINT32* length), (key, value, length))
    STANDIN_FORWARD(GetBlobSize, (REFGUID key, UINT32* size), (key, size))
    STANDIN_FORWARD(GetBlob, (REFGUID key, UINT8* buffer, UINT32 capacity, UINT32* size), (key, buffer, capacity, size))
    STANDIN_FORWARD(GetAllocatedBlob, (REFGUID key, UINT8** buffer, UINT32* size), (key, buffer, size))
    STANDIN_FORWARD(GetUnknown, (REFGUID key, REFIID iid, LPVOID* object), (key, iid, object))
    STANDIN_FORWARD(SetItem, (REFGUID key, REFPROPVARIANT value), (key, value))
    STANDIN_FORWARD(DeleteItem, (REFGUID key), (key))
    STANDIN_FORWARD(DeleteAllItems, (), ())
    STANDIN_FORWARD(SetUINT32, (REFGUID key, UINT32 value), (key, value))
    STANDIN_FORWARD(SetUINT64, (REFGUID key, UINT64 value), (key, value))
    STANDIN_FORWARD(SetDouble, (REFGUID key, double value), (key, value))
    STANDIN_FORWARD(SetGUID, (REFGUID key, REFGUID value), (key, value))
    STANDIN_FORWARD(SetString, (REFGUID key, LPCWSTR value), (key, value))
    STANDIN_FORWARD(SetBlob, (REFGUID key, const UINT8* buffer, UINT32 size), (key, buffer, size))
    STANDIN_FORWARD(SetUnknown, (REFGUID key, IUnknown* value), (key, value))
    STANDIN_FORWARD(LockStore, (), ())
    STANDIN_FORWARD(UnlockStore, (), ())
    STANDIN_FORWARD(GetCount, (UINT32* count), (count))
    STANDIN_FORWARD(GetItemByIndex, (UINT32 index, GUID* key, PROPVARIANT* value), (index, key, value))
    STANDIN_FORWARD(CopyAllItems, (IMFAttributes* destination), (destination))

    // The registrar's calls record their arguments; the rest only their names.
    STANDIN_METHOD(AddDeviceSourceInfo, (LPCWSTR info), "", return info ? S_OK : E_INVALIDARG;)
    STANDIN_METHOD(AddProperty, (const DEVPROPKEY* key, DEVPROPTYPE type, const BYTE* data, ULONG size),
                   Field("key", key ? GuidText(key->fmtid) + "," + std::to_string(key->pid) : std::string("null")) +
                       Field("type", type) + Field("size", size) + Field("data", data, data ? size : 0),
                   return key == nullptr || (data == nullptr && size != 0) ? E_INVALIDARG : S_OK;)
    STANDIN_METHOD(AddRegistryEntry, (LPCWSTR entry, LPCWSTR, DWORD, const BYTE* data, ULONG size), "",
                   return entry == nullptr || (data == nullptr && size != 0) ? E_INVALIDARG : S_OK;)
    // The completion callback is not invoked: nothing registers asynchronously here.
    STANDIN_METHOD(Start, (IMFAsyncCallback* callback), Field("callback", static_cast<const void*>(callback)),
                   return S_OK;)
    STANDIN_METHOD(Stop, (), "", return S_OK;)
    STANDIN_METHOD(Remove, (), "", return S_OK;)
    // Without a camera service there is no media source, no property channel and no events.
    STANDIN_METHOD(GetMediaSource, (IMFMediaSource** source), "",
                   return source ? (*source = nullptr, E_NOTIMPL) : E_POINTER;)
    STANDIN_METHOD(SendCameraProperty, (REFGUID, ULONG, ULONG, void*, ULONG, void*, ULONG, ULONG* dataWritten), "",
                   return dataWritten ? (*dataWritten = 0, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)) : E_POINTER;)
    STANDIN_METHOD(CreateSyncEvent, (REFGUID, ULONG, ULONG, HANDLE, IMFCameraSyncObject** sync), "",
                   return sync ? (*sync = nullptr, E_NOTIMPL) : E_POINTER;)
    STANDIN_METHOD(CreateSyncSemaphore, (REFGUID, ULONG, ULONG, HANDLE, LONG, IMFCameraSyncObject** sync), "",
                   return sync ? (*sync = nullptr, E_NOTIMPL) : E_POINTER;)
    STANDIN_METHOD(Shutdown, (), "", return S_OK;)

private:
    ComPtr<IMFAttributes> attributes;
};

// An export's call; an object it hands out is null unless the call succeeds.
template <typename Out, typename Fields, typename Work>
HRESULT Export(const char* name, Out* out, Fields&& fields, Work&& work) noexcept
try {
    if constexpr (std::is_pointer_v<Out>) {
        if (out != nullptr) {
            *out = nullptr;
        }
    }
    return Call(name, nullptr, fields()).Run([&]() -> HRESULT { return out == nullptr ? E_POINTER : work(); });
} catch (...) {
    return E_OUTOFMEMORY;
}

}  // namespace

extern "C" HRESULT WINAPI MFCreateSensorProfile(REFGUID type, UINT32 index, LPCWSTR constraints,
                                                IMFSensorProfile** profile)
{
    return Export(
        "MFCreateSensorProfile", profile,
        [&] { return Field("type", &type) + Field("index", index) + Field("constraints", constraints); },
        [&] {
            *profile = new SensorProfile(type, index, constraints);
            return S_OK;
        });
}

extern "C" HRESULT WINAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection)
{
    return Export("MFCreateSensorProfileCollection", collection, [] { return std::string(); }, [&] {
        *collection = new SensorProfileCollection();
        return S_OK;
    });
}

// TRUE for type 0 unless VELMORA_STANDIN_SUPPORTED is "0".
extern "C" HRESULT WINAPI MFIsVirtualCameraTypeSupported(MFVirtualCameraType type, BOOL* supported)
{
    return Export("MFIsVirtualCameraTypeSupported", supported, [&] { return Field("type", type); }, [&] {
        const bool switchedOff = Environment(L"VELMORA_STANDIN_SUPPORTED") == L"0";
        *supported = type == MFVirtualCameraType_SoftwareCameraSource && !switchedOff;
        return S_OK;
    });
}

extern "C" HRESULT WINAPI MFCreateVirtualCamera(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime,
                                                MFVirtualCameraAccess access, LPCWSTR friendlyName, LPCWSTR sourceId,
                                                const GUID* categories, ULONG categoryCount, IMFVirtualCamera** camera)
{
    const auto fields = [&] {
        return Field("type", type) + Field("lifetime", lifetime) + Field("access", access) +
               Field("name", friendlyName) + Field("source", sourceId) +
               Field("categories", static_cast<const void*>(categories)) + Field("count", categoryCount);
    };
    return Export("MFCreateVirtualCamera", camera, fields, [&]() -> HRESULT {
        if (friendlyName == nullptr || sourceId == nullptr || (categories == nullptr && categoryCount != 0)) {
            return E_INVALIDARG;
        }
        ComPtr<IMFAttributes> store;
        if (HRESULT hr = MFCreateAttributes(&store, 4); FAILED(hr)) {
            return hr;
        }
        *camera = new VirtualCamera(std::move(store));
        return S_OK;
    });
}

// Test-only: restarts the per-name call numbering that "Name#N=" items count.
extern "C" void WINAPI VelmoraStandInResetCallCounts()
{
    std::lock_guard<std::mutex> lock(countMutex);
    callCounts.clear();
}
