// Sensor profiles and profile collections of the stand-in mfsensorgroup.dll: plain
// containers that remember every call, so tests can read back what a caller built.
#include <windows.h>
#include <mferror.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/sdk_additions.h"
#include "recorder.h"
#include "standin_sensor_profile.h"

using standin::CallRecord;

namespace {

HRESULT CopyOut(const std::wstring& text, LPWSTR buffer, UINT32 capacity, UINT32* length)
{
    if (length == nullptr) {
        return E_POINTER;
    }
    *length = static_cast<UINT32>(text.size());
    if (buffer == nullptr || capacity < text.size() + 1) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return S_OK;
}

class SensorProfile final : public IMFSensorProfile, public IStandInSensorProfile {
public:
    SensorProfile(const GUID& type, UINT32 index, const wchar_t* constraintText)
        : hasConstraints(constraintText != nullptr), constraints(constraintText ? constraintText : L"")
    {
        id.Type = type;
        id.Index = index;
        id.Unused = 0;
    }

    // References and identifier for the collection's own bookkeeping: not recorded, so the
    // log shows only the calls that the caller made.
    const SENSORPROFILEID& Id() const { return id; }
    void SilentAddRef() { refCount.fetch_add(1); }
    void SilentRelease()
    {
        if (refCount.fetch_sub(1) == 1) {
            delete this;
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        CallRecord call("IMFSensorProfile::QueryInterface");
        call.Guid("iid", &iid);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (object == nullptr) {
            return call.Finish(E_POINTER);
        }
        *object = nullptr;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFSensorProfile)) {
            *object = static_cast<IMFSensorProfile*>(this);
        } else if (iid == __uuidof(IStandInSensorProfile)) {
            *object = static_cast<IStandInSensorProfile*>(this);
        } else {
            return call.Finish(E_NOINTERFACE);
        }
        refCount.fetch_add(1);
        return call.Finish(S_OK);
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ULONG count = refCount.fetch_add(1) + 1;
        CallRecord("IMFSensorProfile::AddRef").Unsigned("count", count).Finish();
        return count;
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = refCount.fetch_sub(1) - 1;
        CallRecord("IMFSensorProfile::Release").Unsigned("count", count).Finish();
        if (count == 0) {
            delete this;
        }
        return count;
    }

    HRESULT STDMETHODCALLTYPE GetProfileId(SENSORPROFILEID* result) override
    {
        CallRecord call("IMFSensorProfile::GetProfileId");
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (result == nullptr) {
            return call.Finish(E_POINTER);
        }
        *result = id;
        return call.Finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE AddProfileFilter(UINT32 streamId, LPCWSTR filter) override
    {
        CallRecord call("IMFSensorProfile::AddProfileFilter");
        call.Unsigned("stream", streamId).Text("filter", filter);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (filter == nullptr) {
            return call.Finish(E_INVALIDARG);
        }
        try {
            std::lock_guard<std::mutex> lock(mutex);
            filters.emplace_back(streamId, filter);
        } catch (...) {
            return call.Finish(E_OUTOFMEMORY);
        }
        return call.Finish(S_OK);
    }

    // No filter grammar here: a stream is supported when it carries at least one filter.
    HRESULT STDMETHODCALLTYPE IsMediaTypeSupported(UINT32 streamId, IMFMediaType* mediaType,
                                                   BOOL* supported) override
    {
        CallRecord call("IMFSensorProfile::IsMediaTypeSupported");
        call.Unsigned("stream", streamId).Pointer("type", mediaType);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (mediaType == nullptr || supported == nullptr) {
            return call.Finish(E_POINTER);
        }
        std::lock_guard<std::mutex> lock(mutex);
        *supported = FALSE;
        for (const auto& filter : filters) {
            if (filter.first == streamId) {
                *supported = TRUE;
            }
        }
        return call.Finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE AddBlockedControl(LPCWSTR control) override
    {
        CallRecord call("IMFSensorProfile::AddBlockedControl");
        call.Text("control", control);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (control == nullptr) {
            return call.Finish(E_INVALIDARG);
        }
        try {
            std::lock_guard<std::mutex> lock(mutex);
            blockedControls.emplace_back(control);
        } catch (...) {
            return call.Finish(E_OUTOFMEMORY);
        }
        return call.Finish(S_OK);
    }

    // IStandInSensorProfile: the inspection face, not recorded.
    HRESULT STDMETHODCALLTYPE GetFilterCount(UINT32* count) override
    {
        if (count == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(mutex);
        *count = static_cast<UINT32>(filters.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetFilter(UINT32 index, UINT32* streamId, LPWSTR buffer, UINT32 capacity,
                                        UINT32* length) override
    {
        if (streamId == nullptr || length == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (index >= filters.size()) {
            return MF_E_INVALIDINDEX;
        }
        *streamId = filters[index].first;
        return CopyOut(filters[index].second, buffer, capacity, length);
    }

    HRESULT STDMETHODCALLTYPE GetConstraints(LPWSTR buffer, UINT32 capacity, UINT32* length) override
    {
        if (length == nullptr) {
            return E_POINTER;
        }
        if (!hasConstraints) {
            *length = 0;
            if (buffer != nullptr && capacity > 0) {
                buffer[0] = L'\0';
            }
            return S_FALSE;
        }
        return CopyOut(constraints, buffer, capacity, length);
    }

    HRESULT STDMETHODCALLTYPE GetBlockedControlCount(UINT32* count) override
    {
        if (count == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(mutex);
        *count = static_cast<UINT32>(blockedControls.size());
        return S_OK;
    }

private:
    ~SensorProfile() = default;

    std::atomic<ULONG> refCount{1};
    SENSORPROFILEID id{};
    const bool hasConstraints;
    const std::wstring constraints;
    std::mutex mutex;
    std::vector<std::pair<UINT32, std::wstring>> filters;
    std::vector<std::wstring> blockedControls;
};

bool SameId(const SENSORPROFILEID& a, const SENSORPROFILEID& b)
{
    return a.Type == b.Type && a.Index == b.Index;
}

// The collection's reference to one profile. A profile of this library is held without
// recorded AddRef/Release calls; a foreign one through its own IUnknown.
class ProfileHold {
public:
    explicit ProfileHold(IMFSensorProfile* held) : profile(held), own(dynamic_cast<SensorProfile*>(held))
    {
        Acquire();
    }
    ProfileHold(ProfileHold&& other) noexcept
        : profile(std::exchange(other.profile, nullptr)), own(std::exchange(other.own, nullptr)), id(other.id)
    {
    }
    ProfileHold& operator=(ProfileHold&& other) noexcept
    {
        if (this != &other) {
            Drop();
            profile = std::exchange(other.profile, nullptr);
            own = std::exchange(other.own, nullptr);
            id = other.id;
        }
        return *this;
    }
    ProfileHold(const ProfileHold&) = delete;
    ProfileHold& operator=(const ProfileHold&) = delete;
    ~ProfileHold() { Drop(); }

    // Reads the identifier once; a foreign profile is asked through GetProfileId.
    HRESULT LoadId()
    {
        if (own != nullptr) {
            id = own->Id();
            return S_OK;
        }
        return profile->GetProfileId(&id);
    }
    const SENSORPROFILEID& Id() const { return id; }
    // A new reference for the caller.
    IMFSensorProfile* Share() const
    {
        Acquire();
        return profile;
    }

private:
    void Acquire() const
    {
        if (own != nullptr) {
            own->SilentAddRef();
        } else if (profile != nullptr) {
            profile->AddRef();
        }
    }
    void Drop()
    {
        if (own != nullptr) {
            own->SilentRelease();
        } else if (profile != nullptr) {
            profile->Release();
        }
        profile = nullptr;
        own = nullptr;
    }

    IMFSensorProfile* profile;
    SensorProfile* own;
    SENSORPROFILEID id{};
};

class SensorProfileCollection final : public IMFSensorProfileCollection {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        CallRecord call("IMFSensorProfileCollection::QueryInterface");
        call.Guid("iid", &iid);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (object == nullptr) {
            return call.Finish(E_POINTER);
        }
        *object = nullptr;
        if (iid != __uuidof(IUnknown) && iid != __uuidof(IMFSensorProfileCollection)) {
            return call.Finish(E_NOINTERFACE);
        }
        *object = static_cast<IMFSensorProfileCollection*>(this);
        refCount.fetch_add(1);
        return call.Finish(S_OK);
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ULONG count = refCount.fetch_add(1) + 1;
        CallRecord("IMFSensorProfileCollection::AddRef").Unsigned("count", count).Finish();
        return count;
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = refCount.fetch_sub(1) - 1;
        CallRecord("IMFSensorProfileCollection::Release").Unsigned("count", count).Finish();
        if (count == 0) {
            delete this;
        }
        return count;
    }

    DWORD STDMETHODCALLTYPE GetProfileCount() override
    {
        CallRecord call("IMFSensorProfileCollection::GetProfileCount");
        call.Finish();
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<DWORD>(profiles.size());
    }

    HRESULT STDMETHODCALLTYPE GetProfile(DWORD index, IMFSensorProfile** profile) override
    {
        CallRecord call("IMFSensorProfileCollection::GetProfile");
        call.Unsigned("index", index);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (profile == nullptr) {
            return call.Finish(E_POINTER);
        }
        *profile = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (index >= profiles.size()) {
                return call.Finish(MF_E_INVALIDINDEX);
            }
            *profile = profiles[index].Share();
        }
        return call.Finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE AddProfile(IMFSensorProfile* profile) override
    {
        CallRecord call("IMFSensorProfileCollection::AddProfile");
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (profile == nullptr) {
            return call.Finish(E_POINTER);
        }
        ProfileHold hold(profile);
        if (HRESULT hr = hold.LoadId(); FAILED(hr)) {
            return call.Finish(hr);
        }
        try {
            std::lock_guard<std::mutex> lock(mutex);
            profiles.push_back(std::move(hold));
        } catch (...) {
            return call.Finish(E_OUTOFMEMORY);
        }
        return call.Finish(S_OK);
    }

    HRESULT STDMETHODCALLTYPE FindProfile(SENSORPROFILEID* id, IMFSensorProfile** profile) override
    {
        CallRecord call("IMFSensorProfileCollection::FindProfile");
        RecordId(call, id);
        if (HRESULT hr = call.Injected(); FAILED(hr)) {
            return call.Finish(hr);
        }
        if (id == nullptr || profile == nullptr) {
            return call.Finish(E_POINTER);
        }
        *profile = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (const auto& entry : profiles) {
                if (SameId(entry.Id(), *id)) {
                    *profile = entry.Share();
                    break;
                }
            }
        }
        return call.Finish(*profile ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    }

    void STDMETHODCALLTYPE RemoveProfileByIndex(DWORD index) override
    {
        CallRecord("IMFSensorProfileCollection::RemoveProfileByIndex").Unsigned("index", index).Finish();
        std::vector<ProfileHold> removed;  // released after the lock
        std::lock_guard<std::mutex> lock(mutex);
        if (index < profiles.size()) {
            try {
                removed.reserve(1);
            } catch (...) {
                return;
            }
            removed.push_back(std::move(profiles[index]));
            profiles.erase(profiles.begin() + index);
        }
    }

    void STDMETHODCALLTYPE RemoveProfile(SENSORPROFILEID* id) override
    {
        CallRecord call("IMFSensorProfileCollection::RemoveProfile");
        RecordId(call, id);
        call.Finish();
        if (id == nullptr) {
            return;
        }
        std::vector<ProfileHold> removed;  // released after the lock
        std::lock_guard<std::mutex> lock(mutex);
        try {
            removed.reserve(profiles.size());
        } catch (...) {
            return;
        }
        for (auto it = profiles.begin(); it != profiles.end();) {
            if (SameId(it->Id(), *id)) {
                removed.push_back(std::move(*it));
                it = profiles.erase(it);
            } else {
                ++it;
            }
        }
    }

private:
    static void RecordId(CallRecord& call, const SENSORPROFILEID* id)
    {
        if (id == nullptr) {
            call.Text("id", static_cast<const char*>(nullptr));
        } else {
            call.Guid("type", &id->Type).Unsigned("index", id->Index);
        }
    }

    ~SensorProfileCollection() = default;

    std::atomic<ULONG> refCount{1};
    std::mutex mutex;
    std::vector<ProfileHold> profiles;
};

}  // namespace

extern "C" HRESULT WINAPI MFCreateSensorProfile(REFGUID profileType, UINT32 profileIndex, LPCWSTR constraints,
                                                IMFSensorProfile** profile)
{
    CallRecord call("MFCreateSensorProfile");
    call.Guid("type", &profileType).Unsigned("index", profileIndex).Text("constraints", constraints);
    if (HRESULT hr = call.Injected(); FAILED(hr)) {
        if (profile != nullptr) {
            *profile = nullptr;
        }
        return call.Finish(hr);
    }
    if (profile == nullptr) {
        return call.Finish(E_POINTER);
    }
    try {
        *profile = new SensorProfile(profileType, profileIndex, constraints);
    } catch (...) {
        *profile = nullptr;
        return call.Finish(E_OUTOFMEMORY);
    }
    return call.Finish(S_OK);
}

extern "C" HRESULT WINAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection)
{
    CallRecord call("MFCreateSensorProfileCollection");
    if (HRESULT hr = call.Injected(); FAILED(hr)) {
        if (collection != nullptr) {
            *collection = nullptr;
        }
        return call.Finish(hr);
    }
    if (collection == nullptr) {
        return call.Finish(E_POINTER);
    }
    *collection = new (std::nothrow) SensorProfileCollection();
    return call.Finish(*collection ? S_OK : E_OUTOFMEMORY);
}
