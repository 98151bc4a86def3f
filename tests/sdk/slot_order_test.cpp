// The declarations of common/sdk_additions.h against the Windows SDK: identifier values,
// enumeration values, layouts, and every method in the vtable slot where the SDK has it (the
// slot order is the ABI between the library, the registrar and Windows). Every slot is called
// through the raw vtable by index and the method that ran names itself: recording objects
// here, and the stand-in mfsensorgroup.dll's virtual camera (which records its calls).
// Expected tables follow the SDK, not the header.
#include <windows.h>
#include <mfapi.h>

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
using velmora::standin::GuidText;

namespace {

TEST(SdkIdentifiers, InterfaceIdsAndGuidsHaveTheirDocumentedValues)
{
    const std::pair<GUID, const char*> table[] = {
        {__uuidof(IMFSensorProfile), "{22F765D1-8DAB-4107-846D-56BAF72215E7}"},
        {__uuidof(IMFSensorProfileCollection), "{C95EA55B-0187-48BE-9353-8D2507662351}"},
        {__uuidof(IMFMediaStream2), "{C5BC37D6-75C7-46A1-A132-81B5F723C20F}"},
        {__uuidof(IMFSampleAllocatorControl), "{DA62B958-3A38-4A97-BD27-149C640C0771}"},
        {__uuidof(IMFVirtualCamera), "{1C08A864-EF6C-4C75-AF59-5F2D68DA9563}"},
        {__uuidof(IMFCameraSyncObject), "{6338B23A-3042-49D2-A3EA-EC0FED815407}"},
        {MF_DEVICESTREAM_STREAM_CATEGORY, "{2939E7B8-A62E-4579-B674-D4073DFABBBA}"},
        {MF_DEVICESTREAM_STREAM_ID, "{11BD5120-D124-446B-88E6-17060257FFF9}"},
        {MF_DEVICESTREAM_FRAMESERVER_SHARED, "{1CB378E9-B279-41D4-AF97-34A243E68320}"},
        {MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, "{17145FD1-1B2B-423C-8001-2B6833ED3588}"},
        {MF_DEVICEMFT_SENSORPROFILE_COLLECTION, "{36EBDC44-B12C-441B-89F4-08B2F41A9CFC}"},
        {VelmoraPinNameVideoCapture, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
        {PINNAME_VIDEO_CAPTURE, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
        {KSCAMERAPROFILE_Legacy, "{B4894D81-62B7-4EEC-8740-80658C4A9D3E}"},
        {KSCAMERAPROFILE_VideoConferencing, "{C5444A88-E1BF-4597-B2DD-9E1EAD864BB8}"},
        {KSCAMERAPROFILE_VideoRecording, "{A0E517E8-8F8C-4F6F-9A57-46FC2F647EC0}"},
        {KSCAMERAPROFILE_BalancedVideoAndPhoto, "{6B52B017-42C7-4A21-BFE3-23F009149887}"},
        {KSCAMERAPROFILE_HighQualityPhoto, "{32440725-961B-4CA3-B5B2-854E719D9E1B}"},
        {SourceKsControlAttribute, "{46783CCA-3DF5-4923-A9EF-36B7223EDDE0}"},
        {StreamKsControlAttribute, "{EF3EF9A7-87F2-48CA-BE02-674878918E98}"},
    };
    for (const auto& [value, text] : table) {
        EXPECT_EQ(text, GuidText(value));
    }
    // The virtual-camera creation keys: one property set, identifiers 4 to 7.
    const DEVPROPKEY keys[] = {DEVPKEY_DeviceInterface_VCamCreate_SourceId,
                               DEVPKEY_DeviceInterface_VCamCreate_FriendlyName,
                               DEVPKEY_DeviceInterface_VCamCreate_Lifetime, DEVPKEY_DeviceInterface_VCamCreate_Access};
    for (unsigned long pid = 4; pid <= 7; ++pid) {
        EXPECT_EQ("{6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1}", GuidText(keys[pid - 4].fmtid)) << pid;
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

// One vtable slot: the SDK's method there, a call with the SDK's parameters for it (none for
// recording objects, which ignore them), and "key=value ..." fields its record must carry,
// showing the arguments arrived in place.
using SlotCall = std::function<void(void* object, int slot)>;
struct Slot {
    const char* method;
    SlotCall call = {};
    std::string fields = {};
};

// Calls the slot with `args`. Every return type here comes back in the same register, so the
// result is read as an HRESULT and dropped.
template <typename... Args>
SlotCall With(Args... args)
{
    return [=](void* object, int slot) {
        using Method = HRESULT(STDMETHODCALLTYPE*)(void*, Args...);
        reinterpret_cast<Method>((*static_cast<void***>(object))[slot])(object, args...);
    };
}

// Calls slots first, first + 1, ... in table order. `take` hands over (and forgets) the calls
// recorded so far: each slot must record exactly one, of its method, with its fields.
void CheckSlots(const std::function<std::vector<CallLine>()>& take, const std::string& prefix, void* object,
                int first, const std::vector<Slot>& table)
{
    SetUnhandledExceptionFilter(ReportSlotOnCrash);
    for (int slot = first; slot < first + static_cast<int>(table.size()); ++slot) {
        const Slot& expected = table[slot - first];
        std::snprintf(currentSlot, sizeof currentSlot, "slot %d, expecting %s%s", slot, prefix.c_str(),
                      expected.method);
        SCOPED_TRACE(currentSlot);
        take();
        (expected.call ? expected.call : With())(object, slot);
        const std::vector<CallLine> lines = take();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(prefix + expected.method, lines[0].name);
        std::istringstream fields(expected.fields);
        for (std::string field; fields >> field;) {
            const std::size_t equals = field.find('=');
            EXPECT_EQ(field.substr(equals + 1), lines[0].Field(field.substr(0, equals))) << field;
        }
    }
}

// ---- The virtual camera of the stand-in ------------------------------------------------------

// Slots 3-32 are IMFAttributes (mingw's own declaration): its first and last slot show the
// base; the camera's own slots 33-43 follow.
TEST(StandInSlots, VirtualCamera)
{
    velmora::standin::StandInModule module;  // first in, last out: outlives every object below
    velmora::standin::TemporaryCallLog log;
    const auto take = [&] {
        std::vector<CallLine> lines = log.Lines();
        log.Clear();
        return lines;
    };
    auto create = module.CreateVirtualCamera();
    ASSERT_NE(nullptr, create);
    ComPtr<IMFVirtualCamera> camera;
    ComPtr<IMFAttributes> copy;
    ASSERT_EQ(S_OK, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                           MFVirtualCameraAccess_CurrentUser, L"Nivra", L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}",
                           nullptr, 0, &camera));
    ASSERT_EQ(S_OK, MFCreateAttributes(&copy, 8));
    const GUID key{0x8A1C0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
    const std::string set = "set=" + GuidText(key);
    PROPVARIANT out{};
    const INT32 lifetime = MFVirtualCameraLifetime_System;
    const DWORD registryValue = 0x01020304;
    IMFMediaSource* source = nullptr;
    BYTE payloadBytes[2] = {0x0A, 0x0B};
    BYTE dataBytes[8] = {};
    void* payload = payloadBytes;
    void* data = dataBytes;
    ULONG written = 0;
    IMFCameraSyncObject* sync = nullptr;
    const HANDLE handle = GetCurrentProcess();
    const auto lifetimeBytes = reinterpret_cast<const BYTE*>(&lifetime);
    const auto registryBytes = reinterpret_cast<const BYTE*>(&registryValue);
    ComPtr<IUnknown> queried;
    CheckSlots(take, "IMFVirtualCamera::", camera.Get(), 0,
               {{"QueryInterface", With(&IID_IUnknown, reinterpret_cast<void**>(queried.GetAddressOf()))},
                {"AddRef"},
                {"Release"},
                {"GetItem", With(&key, &out), "key=" + GuidText(key)}});
    CheckSlots(take, "IMFVirtualCamera::", camera.Get(), 32,
               {{"CopyAllItems", With(copy.Get()), "destination=nonnull"},
                {"AddDeviceSourceInfo", With(L"source-info"), "info=source-info"},
                {"AddProperty", With(&DEVPKEY_DeviceInterface_VCamCreate_Lifetime, ULONG{6}, lifetimeBytes, 4ul),
                 "key={6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},6 type=6 size=4 data=01000000"},
                {"AddRegistryEntry", With(L"Entry", L"Sub", DWORD{REG_DWORD}, registryBytes, 4ul),
                 "entry=Entry subkey=Sub regtype=4 size=4 data=04030201"},
                {"Start", With(static_cast<IMFAsyncCallback*>(nullptr)), "callback=null"},
                {"Stop"},
                {"Remove"},
                {"GetMediaSource", With(&source)},
                {"SendCameraProperty", With(&key, 5ul, 6ul, payload, 2ul, data, 8ul, &written),
                 set + " id=5 flags=6 payloadsize=2 payload=0a0b datasize=8"},
                {"CreateSyncEvent", With(&key, 1ul, 2ul, handle, &sync), set + " id=1 flags=2 handle=nonnull"},
                {"CreateSyncSemaphore", With(&key, 3ul, 4ul, handle, -2l, &sync), "id=3 flags=4 adjustment=-2"},
                {"Shutdown"}});
}

// ---- Recording objects ----------------------------------------------------------------------

// Each list is one interface's slots in the SDK's order. The recording object's own method
// order does not matter (the interface declaration lays out the vtable), so the list serves
// both to implement it and as the expected table; parameter types that differ from the
// header's do not compile.
#define UNKNOWN_SLOTS(X) X(HRESULT, QueryInterface, (REFIID, void**)) X(ULONG, AddRef, ()) X(ULONG, Release, ())
#define MEDIA_STREAM2_SLOTS(X)                                                                                 \
    UNKNOWN_SLOTS(X)                                                                                           \
    X(HRESULT, GetEvent, (DWORD, IMFMediaEvent**)) X(HRESULT, BeginGetEvent, (IMFAsyncCallback*, IUnknown*)) \
    X(HRESULT, EndGetEvent, (IMFAsyncResult*, IMFMediaEvent**))                                              \
    X(HRESULT, QueueEvent, (MediaEventType, REFGUID, HRESULT, const PROPVARIANT*))                           \
    X(HRESULT, GetMediaSource, (IMFMediaSource**)) X(HRESULT, GetStreamDescriptor, (IMFStreamDescriptor**))  \
    X(HRESULT, RequestSample, (IUnknown*)) X(HRESULT, SetStreamState, (MF_STREAM_STATE))                     \
    X(HRESULT, GetStreamState, (MF_STREAM_STATE*))
#define ALLOCATOR_CONTROL_SLOTS(X)                                  \
    UNKNOWN_SLOTS(X) X(HRESULT, SetDefaultAllocator, (DWORD, IUnknown*)) \
    X(HRESULT, GetAllocatorUsage, (DWORD, DWORD*, MFSampleAllocatorUsage*))
#define CAMERA_SYNC_SLOTS(X) UNKNOWN_SLOTS(X) X(HRESULT, WaitOnSignal, (DWORD)) X(void, Shutdown, ())
#define SENSOR_PROFILE_SLOTS(X)                                                                            \
    UNKNOWN_SLOTS(X) X(HRESULT, GetProfileId, (SENSORPROFILEID*)) X(HRESULT, AddProfileFilter, (UINT32, LPCWSTR)) \
    X(HRESULT, IsMediaTypeSupported, (UINT32, IMFMediaType*, BOOL*)) X(HRESULT, AddBlockedControl, (LPCWSTR))
#define PROFILE_COLLECTION_SLOTS(X)                                                                             \
    UNKNOWN_SLOTS(X) X(DWORD, GetProfileCount, ()) X(HRESULT, GetProfile, (DWORD, IMFSensorProfile**))          \
    X(HRESULT, AddProfile, (IMFSensorProfile*)) X(HRESULT, FindProfile, (SENSORPROFILEID*, IMFSensorProfile**)) \
    X(void, RemoveProfileByIndex, (DWORD)) X(void, RemoveProfile, (SENSORPROFILEID*))

#define RECORDED(type, method, parameters)            \
    type STDMETHODCALLTYPE method parameters override \
    {                                                 \
        names.push_back(#method);                     \
        return type();                                \
    }
#define SLOT_NAME(type, method, parameters) {#method},

#define RECORDING_TEST(Interface, SLOTS)                                                                  \
    TEST(RecordingSlots, Interface)                                                                       \
    {                                                                                                     \
        struct Recording final : Interface {                                                              \
            std::vector<std::string> names;                                                               \
            SLOTS(RECORDED)                                                                               \
        } object;                                                                                         \
        const auto take = [&] {                                                                           \
            std::vector<CallLine> lines;                                                                  \
            for (const auto& name : object.names) {                                                       \
                lines.push_back(velmora::standin::ParseCallLine(name));                                   \
            }                                                                                             \
            object.names.clear();                                                                         \
            return lines;                                                                                 \
        };                                                                                                \
        CheckSlots(take, "", static_cast<Interface*>(&object), 0, {SLOTS(SLOT_NAME)});                 \
    }

RECORDING_TEST(IMFMediaStream2, MEDIA_STREAM2_SLOTS)
RECORDING_TEST(IMFSampleAllocatorControl, ALLOCATOR_CONTROL_SLOTS)
RECORDING_TEST(IMFCameraSyncObject, CAMERA_SYNC_SLOTS)
RECORDING_TEST(IMFSensorProfile, SENSOR_PROFILE_SLOTS)
RECORDING_TEST(IMFSensorProfileCollection, PROFILE_COLLECTION_SLOTS)

}  // namespace
