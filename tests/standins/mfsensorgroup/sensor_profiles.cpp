// Sensor profiles and profile collections of the stand-in mfsensorgroup.dll: plain
// containers that remember every call, so tests can read back what a caller built.
#include <windows.h>
#include <mferror.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/sdk_additions.h"
#include "recorder.h"
#include "standin_sensor_profile.h"

using standin::CallRecord;
using standin::Perform;

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

class SensorProfile final
    : public standin::Recorded<SensorProfile, IMFSensorProfile, IUnknown, IStandInSensorProfile> {
public:
    static constexpr const char* kName = "IMFSensorProfile";

    SensorProfile(const GUID& type, UINT32 index, const wchar_t* constraintText)
        : id{type, index, 0}, hasConstraints(constraintText != nullptr), constraints(constraintText ? constraintText : L"")
    {
    }

    const SENSORPROFILEID& Id() const { return id; }

    STANDIN_METHOD(GetProfileId, (SENSORPROFILEID* result), , return result ? (*result = id, S_OK) : E_POINTER;)
    STANDIN_METHOD(AddProfileFilter, (UINT32 stream, LPCWSTR filter),
                   .Unsigned("stream", stream).Text("filter", filter),
                   return Remember(filter, [&] { filters.emplace_back(stream, filter); });)
    STANDIN_METHOD(AddBlockedControl, (LPCWSTR control), .Text("control", control),
                   return Remember(control, [&] { blockedControls.emplace_back(control); });)

    // No filter grammar here: a stream is supported when it carries at least one filter.
    STANDIN_METHOD(IsMediaTypeSupported, (UINT32 stream, IMFMediaType* type, BOOL* supported),
                   .Unsigned("stream", stream).Pointer("type", type),
                   if (type == nullptr || supported == nullptr) return E_POINTER;
                   std::lock_guard<std::mutex> lock(mutex);
                   *supported = std::any_of(filters.begin(), filters.end(), [&](auto& f) { return f.first == stream; });
                   return S_OK;)

    // IStandInSensorProfile: the inspection face, not recorded.
    HRESULT STDMETHODCALLTYPE GetFilterCount(UINT32* count) override { return Count(filters, count); }
    HRESULT STDMETHODCALLTYPE GetBlockedControlCount(UINT32* count) override { return Count(blockedControls, count); }

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
        if (length == nullptr || hasConstraints) {
            return CopyOut(constraints, buffer, capacity, length);
        }
        *length = 0;
        if (buffer != nullptr && capacity > 0) {
            buffer[0] = L'\0';
        }
        return S_FALSE;
    }

private:
    // Stores an accepted argument under the lock; a null one is refused.
    template <typename Store>
    HRESULT Remember(LPCWSTR text, Store&& store)
    {
        if (text == nullptr) {
            return E_INVALIDARG;
        }
        try {
            std::lock_guard<std::mutex> lock(mutex);
            store();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    template <typename List>
    HRESULT Count(const List& list, UINT32* count)
    {
        if (count == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(mutex);
        *count = static_cast<UINT32>(list.size());
        return S_OK;
    }

    const SENSORPROFILEID id;
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

// Takes (acquire) or drops a collection's reference to a profile. One of this library's
// own is held without recorded AddRef/Release calls; a foreign one through its IUnknown.
void Hold(IMFSensorProfile* profile, bool acquire)
{
    if (auto own = dynamic_cast<SensorProfile*>(profile)) {
        acquire ? own->SilentAddRef() : own->SilentRelease();
    } else {
        acquire ? (void)profile->AddRef() : (void)profile->Release();
    }
}

struct Unhold {
    void operator()(IMFSensorProfile* profile) const { Hold(profile, false); }
};

struct Entry {
    std::unique_ptr<IMFSensorProfile, Unhold> profile;
    SENSORPROFILEID id{};

    // A new reference for the caller.
    IMFSensorProfile* Share() const
    {
        Hold(profile.get(), true);
        return profile.get();
    }
};

class SensorProfileCollection final
    : public standin::Recorded<SensorProfileCollection, IMFSensorProfileCollection, IUnknown> {
public:
    static constexpr const char* kName = "IMFSensorProfileCollection";

    DWORD STDMETHODCALLTYPE GetProfileCount() override
    {
        CallRecord(kName, "GetProfileCount").Finish();
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<DWORD>(profiles.size());
    }

    STANDIN_METHOD(GetProfile, (DWORD index, IMFSensorProfile** profile), .Unsigned("index", index),
                   if (profile == nullptr) return E_POINTER;
                   std::lock_guard<std::mutex> lock(mutex);
                   *profile = index < profiles.size() ? profiles[index].Share() : nullptr;
                   return *profile ? S_OK : MF_E_INVALIDINDEX;)

    HRESULT STDMETHODCALLTYPE AddProfile(IMFSensorProfile* profile) override
    {
        CallRecord call(kName, "AddProfile");
        return Perform(call, [&]() -> HRESULT {
            if (profile == nullptr) {
                return E_POINTER;
            }
            Hold(profile, true);
            Entry entry;
            entry.profile.reset(profile);
            // The identifier is read once; a foreign profile is asked through GetProfileId.
            auto own = dynamic_cast<SensorProfile*>(profile);
            if (HRESULT hr = own ? (entry.id = own->Id(), S_OK) : profile->GetProfileId(&entry.id); FAILED(hr)) {
                return hr;
            }
            try {
                std::lock_guard<std::mutex> lock(mutex);
                profiles.push_back(std::move(entry));
            } catch (...) {
                return E_OUTOFMEMORY;
            }
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE FindProfile(SENSORPROFILEID* id, IMFSensorProfile** profile) override
    {
        CallRecord call(kName, "FindProfile");
        RecordId(call, id);
        return Perform(call, [&]() -> HRESULT {
            if (id == nullptr || profile == nullptr) {
                return E_POINTER;
            }
            std::lock_guard<std::mutex> lock(mutex);
            auto found = std::find_if(profiles.begin(), profiles.end(), [&](auto& e) { return SameId(e.id, *id); });
            *profile = found != profiles.end() ? found->Share() : nullptr;
            return *profile ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        });
    }

    void STDMETHODCALLTYPE RemoveProfileByIndex(DWORD index) override
    {
        CallRecord(kName, "RemoveProfileByIndex").Unsigned("index", index).Finish();
        Entry removed;  // released after the lock
        std::lock_guard<std::mutex> lock(mutex);
        if (index < profiles.size()) {
            removed = std::move(profiles[index]);
            profiles.erase(profiles.begin() + index);
        }
    }

    void STDMETHODCALLTYPE RemoveProfile(SENSORPROFILEID* id) override
    {
        CallRecord call(kName, "RemoveProfile");
        RecordId(call, id);
        call.Finish();
        if (id == nullptr) {
            return;
        }
        std::vector<Entry> removed;  // released after the lock
        std::lock_guard<std::mutex> lock(mutex);
        try {
            removed.reserve(profiles.size());  // nothing below allocates
        } catch (...) {
            return;
        }
        auto gone = std::stable_partition(profiles.begin(), profiles.end(),
                                          [&](auto& e) { return !SameId(e.id, *id); });
        removed.assign(std::make_move_iterator(gone), std::make_move_iterator(profiles.end()));
        profiles.erase(gone, profiles.end());
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

    std::mutex mutex;
    std::vector<Entry> profiles;
};

}  // namespace

extern "C" HRESULT WINAPI MFCreateSensorProfile(REFGUID profileType, UINT32 profileIndex, LPCWSTR constraints,
                                                IMFSensorProfile** profile)
{
    CallRecord call("MFCreateSensorProfile");
    call.Guid("type", &profileType).Unsigned("index", profileIndex).Text("constraints", constraints);
    if (profile != nullptr) {
        *profile = nullptr;
    }
    return Perform(call, [&]() -> HRESULT {
        if (profile == nullptr) {
            return E_POINTER;
        }
        try {
            *profile = new SensorProfile(profileType, profileIndex, constraints);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    });
}

extern "C" HRESULT WINAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** collection)
{
    CallRecord call("MFCreateSensorProfileCollection");
    if (collection != nullptr) {
        *collection = nullptr;
    }
    return Perform(call, [&]() -> HRESULT {
        if (collection == nullptr) {
            return E_POINTER;
        }
        *collection = new (std::nothrow) SensorProfileCollection();
        return *collection ? S_OK : E_OUTOFMEMORY;
    });
}
