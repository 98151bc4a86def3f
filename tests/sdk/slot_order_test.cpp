// The interfaces that common/sdk_additions.h declares must put every method into the vtable
// slot where the Windows SDK has it: the slot order is the ABI between the library, the
// registrar and Windows. Every slot is called through the raw vtable by index and the method
// that ran names itself: the stand-in mfsensorgroup.dll records its calls, and the
// interfaces the library implements are implemented here by recording objects. The
// expected tables are written from the SDK's interface definitions, not from the header.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"

using Microsoft::WRL::ComPtr;
using velmora::standin::CallLine;
using velmora::standin::ParseCallLine;
using velmora::standin::StandInModule;
using velmora::standin::TemporaryCallLog;

namespace {

std::string Text(const GUID& value)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(value.Data1), value.Data2, value.Data3, value.Data4[0], value.Data4[1],
                  value.Data4[2], value.Data4[3], value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]);
    return text;
}

// ---- Identifiers -------------------------------------------------------------------------

TEST(SdkIdentifiers, InterfaceIdsAndGuidsHaveTheirDocumentedValues)
{
    struct Expected {
        const char* name;
        GUID value;
        const char* text;
    };
    const Expected table[] = {
        {"IMFSensorProfile", __uuidof(IMFSensorProfile), "{22F765D1-8DAB-4107-846D-56BAF72215E7}"},
        {"IMFSensorProfileCollection", __uuidof(IMFSensorProfileCollection), "{C95EA55B-0187-48BE-9353-8D2507662351}"},
        {"IMFMediaStream2", __uuidof(IMFMediaStream2), "{C5BC37D6-75C7-46A1-A132-81B5F723C20F}"},
        {"IMFSampleAllocatorControl", __uuidof(IMFSampleAllocatorControl), "{DA62B958-3A38-4A97-BD27-149C640C0771}"},
        {"IMFVirtualCamera", __uuidof(IMFVirtualCamera), "{1C08A864-EF6C-4C75-AF59-5F2D68DA9563}"},
        {"IMFCameraSyncObject", __uuidof(IMFCameraSyncObject), "{6338B23A-3042-49D2-A3EA-EC0FED815407}"},
        {"MF_DEVICESTREAM_STREAM_CATEGORY", MF_DEVICESTREAM_STREAM_CATEGORY, "{2939E7B8-A62E-4579-B674-D4073DFABBBA}"},
        {"MF_DEVICESTREAM_STREAM_ID", MF_DEVICESTREAM_STREAM_ID, "{11BD5120-D124-446B-88E6-17060257FFF9}"},
        {"MF_DEVICESTREAM_FRAMESERVER_SHARED", MF_DEVICESTREAM_FRAMESERVER_SHARED,
         "{1CB378E9-B279-41D4-AF97-34A243E68320}"},
        {"MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES", MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES,
         "{17145FD1-1B2B-423C-8001-2B6833ED3588}"},
        {"MF_DEVICEMFT_SENSORPROFILE_COLLECTION", MF_DEVICEMFT_SENSORPROFILE_COLLECTION,
         "{36EBDC44-B12C-441B-89F4-08B2F41A9CFC}"},
        {"PINNAME_VIDEO_CAPTURE", VelmoraPinNameVideoCapture, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
        {"PINNAME_VIDEO_CAPTURE (mingw)", PINNAME_VIDEO_CAPTURE, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
        {"KSCAMERAPROFILE_Legacy", KSCAMERAPROFILE_Legacy, "{B4894D81-62B7-4EEC-8740-80658C4A9D3E}"},
        {"KSCAMERAPROFILE_VideoConferencing", KSCAMERAPROFILE_VideoConferencing,
         "{C5444A88-E1BF-4597-B2DD-9E1EAD864BB8}"},
        {"KSCAMERAPROFILE_VideoRecording", KSCAMERAPROFILE_VideoRecording, "{A0E517E8-8F8C-4F6F-9A57-46FC2F647EC0}"},
        {"KSCAMERAPROFILE_BalancedVideoAndPhoto", KSCAMERAPROFILE_BalancedVideoAndPhoto,
         "{6B52B017-42C7-4A21-BFE3-23F009149887}"},
        {"KSCAMERAPROFILE_HighQualityPhoto", KSCAMERAPROFILE_HighQualityPhoto,
         "{32440725-961B-4CA3-B5B2-854E719D9E1B}"},
        {"SourceKsControlAttribute", SourceKsControlAttribute, "{46783CCA-3DF5-4923-A9EF-36B7223EDDE0}"},
        {"StreamKsControlAttribute", StreamKsControlAttribute, "{EF3EF9A7-87F2-48CA-BE02-674878918E98}"},
    };
    for (const auto& entry : table) {
        EXPECT_EQ(entry.text, Text(entry.value)) << entry.name;
    }
    // The virtual-camera creation keys: one property set, identifiers 4 to 7.
    const DEVPROPKEY keys[] = {DEVPKEY_DeviceInterface_VCamCreate_SourceId,
                               DEVPKEY_DeviceInterface_VCamCreate_FriendlyName,
                               DEVPKEY_DeviceInterface_VCamCreate_Lifetime, DEVPKEY_DeviceInterface_VCamCreate_Access};
    for (unsigned long pid = 4; pid <= 7; ++pid) {
        EXPECT_EQ("{6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1}", Text(keys[pid - 4].fmtid)) << pid;
        EXPECT_EQ(pid, keys[pid - 4].pid);
    }
}

// Values and layouts that cross to Windows as numbers.
static_assert(MFVirtualCameraType_SoftwareCameraSource == 0 && sizeof(MFVirtualCameraType) == 4);
static_assert(MFVirtualCameraLifetime_Session == 0 && MFVirtualCameraLifetime_System == 1);
static_assert(MFVirtualCameraAccess_CurrentUser == 0 && MFVirtualCameraAccess_AllUsers == 1);
static_assert(MFSampleAllocatorUsage_UsesProvidedAllocator == 0 && MFSampleAllocatorUsage_UsesCustomAllocator == 1 &&
              MFSampleAllocatorUsage_DoesNotAllocate == 2);
static_assert(MFFrameSourceTypes_Color == 1 && DEVPROP_TYPE_STRING == 0x12 && DEVPROP_TYPE_INT32 == 6);
static_assert(sizeof(SENSORPROFILEID) == 24 && offsetof(SENSORPROFILEID, Index) == 16 &&
              offsetof(SENSORPROFILEID, Unused) == 20);

// ---- Calling slots ---------------------------------------------------------------------------

// A call through a slot that holds another method than expected may crash, since that
// method reads other arguments: name the slot before the process goes down.
char currentSlot[160] = "";

LONG WINAPI ReportSlotOnCrash(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "Crash (0x%08lX) while calling %s: the method in that slot is not the one the SDK has there\n",
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode), currentSlot);
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

// One vtable slot, indexed by its position in the table: the SDK's method there, a call with
// the SDK's parameters for it (none for recording objects, which ignore them), and
// "key=value ..." fields its record must carry, showing the arguments arrived in place.
using SlotCall = std::function<void(void* object, int slot)>;
struct Slot {
    const char* method;
    SlotCall call = {};
    std::string fields = {};
};

// Calls the slot with `args` (a reference parameter is passed as its address). Every return
// type here comes back in the same register, so the result is read as an HRESULT and dropped.
template <typename... Args>
SlotCall With(Args... args)
{
    return [=](void* object, int slot) {
        using Method = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
        reinterpret_cast<Method>((*static_cast<void***>(object))[slot])(object, args...);
    };
}

std::vector<Slot> Join(std::initializer_list<std::vector<Slot>> parts)
{
    std::vector<Slot> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The three IUnknown slots; QueryInterface hands its reference to `queried`.
std::vector<Slot> UnknownSlots(const IID& iid, IUnknown** queried)
{
    return {{"QueryInterface", With(&iid, reinterpret_cast<void**>(queried))}, {"AddRef", With()}, {"Release", With()}};
}

// Calls every slot in table order; each call must record exactly one call, of the method
// the table names for that slot, with the table's fields. `Log` has Clear() and Lines().
template <typename Log>
void CheckSlots(Log& log, const std::string& prefix, void* object, const std::vector<Slot>& table)
{
    SetUnhandledExceptionFilter(ReportSlotOnCrash);
    for (int slot = 0; slot < static_cast<int>(table.size()); ++slot) {
        const Slot& expected = table[slot];
        std::snprintf(currentSlot, sizeof currentSlot, "slot %d, expecting %s%s", slot, prefix.c_str(),
                      expected.method);
        SCOPED_TRACE(currentSlot);
        log.Clear();
        (expected.call ? expected.call : With())(object, slot);
        std::vector<CallLine> lines = log.Lines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(prefix + expected.method, lines[0].name);
        std::istringstream fields(expected.fields);
        for (std::string field; fields >> field;) {
            std::size_t equals = field.find('=');
            EXPECT_EQ(field.substr(equals + 1), lines[0].Field(field.substr(0, equals))) << field;
        }
    }
}

// ---- Interfaces of the stand-in --------------------------------------------------------------

class StandInSlots : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nullptr, module.Handle()); }

    StandInModule module;  // first in, last out: outlives every object below
    TemporaryCallLog log;
    ComPtr<IUnknown> queried;
};

TEST_F(StandInSlots, SensorProfileAndCollection)
{
    using CreateProfile = HRESULT(WINAPI*)(REFGUID, UINT32, LPCWSTR, IMFSensorProfile**);
    using CreateCollection = HRESULT(WINAPI*)(IMFSensorProfileCollection**);
    auto createProfile = reinterpret_cast<CreateProfile>(module.Export("MFCreateSensorProfile"));
    auto createCollection = reinterpret_cast<CreateCollection>(module.Export("MFCreateSensorProfileCollection"));
    ASSERT_NE(nullptr, createProfile);
    ASSERT_NE(nullptr, createCollection);
    ComPtr<IMFSensorProfile> profile;
    ComPtr<IMFSensorProfileCollection> collection;
    ComPtr<IMFMediaType> mediaType;
    ASSERT_EQ(S_OK, createProfile(KSCAMERAPROFILE_VideoRecording, 3, nullptr, &profile));
    ASSERT_EQ(S_OK, createCollection(&collection));
    ASSERT_EQ(S_OK, MFCreateMediaType(&mediaType));
    SENSORPROFILEID id{};
    BOOL supported = FALSE;
    CheckSlots(log, "IMFSensorProfile::", profile.Get(),
               Join({UnknownSlots(__uuidof(IMFSensorProfile), queried.ReleaseAndGetAddressOf()),
                     {{"GetProfileId", With(&id)},
                      {"AddProfileFilter", With(2u, L"((RES==;FRT<=30,1;SUT==))"),
                       "stream=2 filter=((RES==;FRT<=30,1;SUT==))"},
                      {"IsMediaTypeSupported", With(2u, mediaType.Get(), &supported), "stream=2"},
                      {"AddBlockedControl", With(L"zoom"), "control=zoom"}}}));
    EXPECT_TRUE(id.Type == KSCAMERAPROFILE_VideoRecording && id.Index == 3);
    EXPECT_TRUE(supported);

    const std::string recording = Text(KSCAMERAPROFILE_VideoRecording);
    SENSORPROFILEID recordingId{KSCAMERAPROFILE_VideoRecording, 3, 0};
    ComPtr<IMFSensorProfile> byIndex;
    ComPtr<IMFSensorProfile> found;
    CheckSlots(log, "IMFSensorProfileCollection::", collection.Get(),
               Join({UnknownSlots(__uuidof(IMFSensorProfileCollection), queried.ReleaseAndGetAddressOf()),
                     {{"GetProfileCount"},
                      {"GetProfile", With(7ul, byIndex.GetAddressOf()), "index=7"},
                      {"AddProfile", With(profile.Get())},
                      {"FindProfile", With(&recordingId, found.GetAddressOf()),
                       "type=" + recording + " index=3"},
                      {"RemoveProfileByIndex", With(5ul), "index=5"},
                      {"RemoveProfile", With(&recordingId), "type=" + recording + " index=3"}}}));
    EXPECT_EQ(profile.Get(), found.Get());
    EXPECT_EQ(0u, collection->GetProfileCount());
}

struct OwnedHandle {
    HANDLE value;
    ~OwnedHandle()
    {
        if (value != nullptr) {
            CloseHandle(value);
        }
    }
};

TEST_F(StandInSlots, VirtualCameraWithItsThirtyAttributeSlotsAndItsSyncObject)
{
    auto create = module.CreateVirtualCamera();
    ASSERT_NE(nullptr, create);
    ComPtr<IMFVirtualCamera> camera;
    ASSERT_EQ(S_OK, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                           MFVirtualCameraAccess_CurrentUser, L"Nivra", L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}",
                           nullptr, 0, &camera));
    ComPtr<IMFAttributes> theirs;  // Compare's other store and SetUnknown's value
    ComPtr<IMFAttributes> copy;
    ASSERT_EQ(S_OK, MFCreateAttributes(&theirs, 1));
    ASSERT_EQ(S_OK, MFCreateAttributes(&copy, 8));
    OwnedHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle semaphore{CreateSemaphoreW(nullptr, 0, 4, nullptr)};
    ASSERT_NE(nullptr, event.value);
    ASSERT_NE(nullptr, semaphore.value);

    // Arguments: the getters run before the setters and find nothing, which is fine here.
    const GUID key{0x8A1C0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
    const std::string set = Text(key);
    PROPVARIANT out{};
    PROPVARIANT number{};
    number.vt = VT_UI4;
    number.ulVal = 3;
    BOOL same = FALSE;
    UINT32 u32 = 0;
    UINT64 u64 = 0;
    double real = 0;
    GUID guid{};
    wchar_t text[16] = {};
    LPWSTR allocatedText = nullptr;
    UINT8 blob[8] = {0xA1, 0xB2, 0xC3};
    UINT8* allocatedBlob = nullptr;
    void* unknown = nullptr;
    MF_ATTRIBUTE_TYPE type{};
    const INT32 lifetime = MFVirtualCameraLifetime_System;
    const DWORD registryValue = 0x01020304;
    IMFMediaSource* source = nullptr;
    BYTE payload[2] = {0x0A, 0x0B};
    BYTE data[8] = {};
    ULONG written = 0;
    ComPtr<IMFCameraSyncObject> eventSync;
    ComPtr<IMFCameraSyncObject> semaphoreSync;

    CheckSlots(log, "IMFVirtualCamera::", camera.Get(),
               Join({UnknownSlots(__uuidof(IMFVirtualCamera), queried.ReleaseAndGetAddressOf()),
                     {{"GetItem", With(&key, &out), "key=" + set},
                      {"GetItemType", With(&key, &type)},
                      {"CompareItem", With(&key, &number, &same)},
                      {"Compare", With(theirs.Get(), MF_ATTRIBUTES_MATCH_OUR_ITEMS, &same), "theirs=nonnull match=0"},
                      {"GetUINT32", With(&key, &u32)},
                      {"GetUINT64", With(&key, &u64)},
                      {"GetDouble", With(&key, &real)},
                      {"GetGUID", With(&key, &guid)},
                      {"GetStringLength", With(&key, &u32)},
                      {"GetString", With(&key, static_cast<LPWSTR>(text), 16u, &u32), "capacity=16"},
                      {"GetAllocatedString", With(&key, &allocatedText, &u32)},
                      {"GetBlobSize", With(&key, &u32)},
                      {"GetBlob", With(&key, static_cast<UINT8*>(blob), 8u, &u32), "capacity=8"},
                      {"GetAllocatedBlob", With(&key, &allocatedBlob, &u32)},
                      {"GetUnknown", With(&key, &IID_IUnknown, &unknown)},
                      {"SetItem", With(&key, &number)},
                      {"DeleteItem", With(&key)},
                      {"DeleteAllItems"},
                      {"SetUINT32", With(&key, 7u)},
                      {"SetUINT64", With(&key, 9ull)},
                      {"SetDouble", With(&key, 1.5)},
                      {"SetGUID", With(&key, &key)},
                      {"SetString", With(&key, L"abc")},
                      {"SetBlob", With(&key, static_cast<const UINT8*>(blob), 3u)},
                      {"SetUnknown", With(&key, static_cast<IUnknown*>(theirs.Get()))},
                      {"LockStore"},
                      {"UnlockStore"},
                      {"GetCount", With(&u32)},
                      {"GetItemByIndex", With(99u, &guid, &out)},
                      {"CopyAllItems", With(copy.Get()), "destination=nonnull"},
                      // The camera's own slots.
                      {"AddDeviceSourceInfo", With(L"source-info"), "info=source-info"},
                      {"AddProperty",
                       With(&DEVPKEY_DeviceInterface_VCamCreate_Lifetime, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_INT32),
                            reinterpret_cast<const BYTE*>(&lifetime), 4ul),
                       "key={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},6 type=6 size=4 data=01000000"},
                      {"AddRegistryEntry",
                       With(L"Entry", L"Sub", static_cast<DWORD>(REG_DWORD),
                            reinterpret_cast<const BYTE*>(&registryValue), 4ul),
                       "entry=Entry subkey=Sub regtype=4 size=4 data=04030201"},
                      {"Start", With(static_cast<IMFAsyncCallback*>(nullptr)), "callback=null"},
                      {"Stop"},
                      {"Remove"},
                      {"GetMediaSource", With(&source)},
                      {"SendCameraProperty",
                       With(&key, 5ul, 6ul, static_cast<void*>(payload), 2ul, static_cast<void*>(data), 8ul, &written),
                       "set=" + set + " id=5 flags=6 payloadsize=2 payload=0a0b datasize=8"},
                      {"CreateSyncEvent", With(&key, 1ul, 2ul, event.value, eventSync.GetAddressOf()),
                       "id=1 flags=2 handle=nonnull"},
                      {"CreateSyncSemaphore", With(&key, 3ul, 4ul, semaphore.value, -2l, semaphoreSync.GetAddressOf()),
                       "id=3 flags=4 handle=nonnull adjustment=-2"},
                      {"Shutdown"}}}));
    EXPECT_NE(nullptr, semaphoreSync.Get());
    ASSERT_NE(nullptr, eventSync.Get());

    CheckSlots(log, "IMFCameraSyncObject::", eventSync.Get(),
               Join({UnknownSlots(__uuidof(IMFCameraSyncObject), queried.ReleaseAndGetAddressOf()),
                     {{"WaitOnSignal", With(7ul), "timeout=7"}, {"Shutdown"}}}));
}

// ---- Interfaces the library implements -------------------------------------------------------

// Notes the name of each method that runs; every method returns 0 (S_OK, or a count).
struct Recording {
    std::vector<std::string> names;
    void Clear() { names.clear(); }
    std::vector<CallLine> Lines() const
    {
        std::vector<CallLine> lines;
        for (const auto& name : names) {
            lines.push_back(ParseCallLine(name));
        }
        return lines;
    }
};

#define RECORDED(type, method, parameters)           \
    type STDMETHODCALLTYPE method parameters override \
    {                                                 \
        names.push_back(#method);                     \
        return 0;                                     \
    }

#define RECORDED_IUNKNOWN                               \
    RECORDED(HRESULT, QueryInterface, (REFIID, void**)) \
    RECORDED(ULONG, AddRef, ())                         \
    RECORDED(ULONG, Release, ())

struct RecordingStream final : IMFMediaStream2, Recording {
    RECORDED_IUNKNOWN
    RECORDED(HRESULT, GetEvent, (DWORD, IMFMediaEvent**))
    RECORDED(HRESULT, BeginGetEvent, (IMFAsyncCallback*, IUnknown*))
    RECORDED(HRESULT, EndGetEvent, (IMFAsyncResult*, IMFMediaEvent**))
    RECORDED(HRESULT, QueueEvent, (MediaEventType, REFGUID, HRESULT, const PROPVARIANT*))
    RECORDED(HRESULT, GetMediaSource, (IMFMediaSource**))
    RECORDED(HRESULT, GetStreamDescriptor, (IMFStreamDescriptor**))
    RECORDED(HRESULT, RequestSample, (IUnknown*))
    RECORDED(HRESULT, SetStreamState, (MF_STREAM_STATE))
    RECORDED(HRESULT, GetStreamState, (MF_STREAM_STATE*))
};

struct RecordingAllocatorControl final : IMFSampleAllocatorControl, Recording {
    RECORDED_IUNKNOWN
    RECORDED(HRESULT, SetDefaultAllocator, (DWORD, IUnknown*))
    RECORDED(HRESULT, GetAllocatorUsage, (DWORD, DWORD*, MFSampleAllocatorUsage*))
};

TEST(RecordingSlots, MediaStream2WithItsMediaStreamAndEventGeneratorSlots)
{
    RecordingStream stream;
    CheckSlots(stream, "", static_cast<IMFMediaStream2*>(&stream),
               {{"QueryInterface"}, {"AddRef"}, {"Release"}, {"GetEvent"}, {"BeginGetEvent"}, {"EndGetEvent"},
                {"QueueEvent"}, {"GetMediaSource"}, {"GetStreamDescriptor"}, {"RequestSample"}, {"SetStreamState"},
                {"GetStreamState"}});
}

TEST(RecordingSlots, SampleAllocatorControl)
{
    RecordingAllocatorControl control;
    CheckSlots(control, "", static_cast<IMFSampleAllocatorControl*>(&control),
               {{"QueryInterface"}, {"AddRef"}, {"Release"}, {"SetDefaultAllocator"}, {"GetAllocatorUsage"}});
}

}  // namespace
