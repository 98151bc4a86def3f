// The interfaces that common/sdk_additions.h declares must put every method into the vtable
// slot where the Windows SDK has it: the slot order is the ABI between the library, the
// registrar and Windows. Each method is called through the raw vtable by slot index, with
// the SDK's signature for that slot, and the method that ran names itself: the stand-in
// mfsensorgroup.dll records its calls, and the interfaces the library implements are
// implemented here by recording objects. The expected tables below are written from the
// SDK's interface definitions, not from the header. The header's identifiers are checked
// against their documented values as well.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

using Microsoft::WRL::ComPtr;
using velmora::standin::StandInModule;
using velmora::standin::TemporaryCallLog;

namespace {

// Calls vtable slot `slot` of `object` as a method R(Args...).
template <typename R, typename... Args>
R CallSlot(void* object, int slot, Args... args)
{
    using Method = R(STDMETHODCALLTYPE*)(void*, Args...);
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<Method>(table[slot])(object, args...);
}

std::string Text(const GUID& value)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(value.Data1), value.Data2, value.Data3, value.Data4[0], value.Data4[1],
                  value.Data4[2], value.Data4[3], value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]);
    return text;
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

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

void EnterSlot(int slot, const std::string& method)
{
    SetUnhandledExceptionFilter(ReportSlotOnCrash);
    std::snprintf(currentSlot, sizeof currentSlot, "slot %d, expecting %s", slot, method.c_str());
}

// One call of one slot: the SDK's method name for the slot, and a call of that slot with
// the SDK's signature (which may check what came back).
struct SlotCall {
    int slot;
    std::string method;
    std::function<void(void* object, int slot)> call;
};

// Runs the calls in order; after each, the last recorded call must be `prefix + method`.
void RunRecordedSlots(const TemporaryCallLog& log, const std::string& prefix, void* object,
                      const std::vector<SlotCall>& calls)
{
    for (const auto& call : calls) {
        SCOPED_TRACE("slot " + std::to_string(call.slot) + " (" + call.method + ")");
        EnterSlot(call.slot, prefix + call.method);
        call.call(object, call.slot);
        EXPECT_EQ(prefix + call.method, log.LastName());
    }
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

constexpr GUID kKey1{0x8A1C0001, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
constexpr GUID kKey2{0x8A1C0002, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02}};
constexpr GUID kKey3{0x8A1C0003, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03}};
constexpr GUID kKey4{0x8A1C0004, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x04}};
constexpr GUID kKey5{0x8A1C0005, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x05}};
constexpr GUID kKey6{0x8A1C0006, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x06}};
constexpr GUID kKey7{0x8A1C0007, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x07}};
constexpr GUID kKey8{0x8A1C0008, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x08}};
constexpr GUID kValueGuid{0x0BADF00D, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77}};

// ---- Identifiers -------------------------------------------------------------------------

TEST(SdkIdentifiers, InterfaceIdentifiersAreTheSdkOnes)
{
    EXPECT_EQ("{22F765D1-8DAB-4107-846D-56BAF72215E7}", Text(__uuidof(IMFSensorProfile)));
    EXPECT_EQ("{C95EA55B-0187-48BE-9353-8D2507662351}", Text(__uuidof(IMFSensorProfileCollection)));
    EXPECT_EQ("{C5BC37D6-75C7-46A1-A132-81B5F723C20F}", Text(__uuidof(IMFMediaStream2)));
    EXPECT_EQ("{DA62B958-3A38-4A97-BD27-149C640C0771}", Text(__uuidof(IMFSampleAllocatorControl)));
    EXPECT_EQ("{1C08A864-EF6C-4C75-AF59-5F2D68DA9563}", Text(__uuidof(IMFVirtualCamera)));
    EXPECT_EQ("{6338B23A-3042-49D2-A3EA-EC0FED815407}", Text(__uuidof(IMFCameraSyncObject)));
}

TEST(SdkIdentifiers, AttributeAndProfileGuidsHaveTheirDocumentedValues)
{
    struct Expected {
        const char* name;
        GUID value;
        const char* text;
    };
    const Expected table[] = {
        {"MF_DEVICESTREAM_STREAM_CATEGORY", MF_DEVICESTREAM_STREAM_CATEGORY, "{2939E7B8-A62E-4579-B674-D4073DFABBBA}"},
        {"MF_DEVICESTREAM_STREAM_ID", MF_DEVICESTREAM_STREAM_ID, "{11BD5120-D124-446B-88E6-17060257FFF9}"},
        {"MF_DEVICESTREAM_FRAMESERVER_SHARED", MF_DEVICESTREAM_FRAMESERVER_SHARED,
         "{1CB378E9-B279-41D4-AF97-34A243E68320}"},
        {"MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES", MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES,
         "{17145FD1-1B2B-423C-8001-2B6833ED3588}"},
        {"MF_DEVICEMFT_SENSORPROFILE_COLLECTION", MF_DEVICEMFT_SENSORPROFILE_COLLECTION,
         "{36EBDC44-B12C-441B-89F4-08B2F41A9CFC}"},
        {"PINNAME_VIDEO_CAPTURE", VelmoraPinNameVideoCapture, "{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
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
    // The header's plain copy of the pin name equals mingw's own declaration.
    EXPECT_EQ(Text(PINNAME_VIDEO_CAPTURE), Text(VelmoraPinNameVideoCapture));
}

TEST(SdkIdentifiers, VirtualCameraPropertyKeysShareOneSetWithIdentifiersFourToSeven)
{
    struct Expected {
        const char* name;
        DEVPROPKEY key;
        unsigned long pid;
    };
    const Expected table[] = {
        {"SourceId", DEVPKEY_DeviceInterface_VCamCreate_SourceId, 4},
        {"FriendlyName", DEVPKEY_DeviceInterface_VCamCreate_FriendlyName, 5},
        {"Lifetime", DEVPKEY_DeviceInterface_VCamCreate_Lifetime, 6},
        {"Access", DEVPKEY_DeviceInterface_VCamCreate_Access, 7},
    };
    for (const auto& entry : table) {
        EXPECT_EQ("{6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1}", Text(entry.key.fmtid)) << entry.name;
        EXPECT_EQ(entry.pid, entry.key.pid) << entry.name;
    }
    EXPECT_EQ(0x12u, static_cast<unsigned>(DEVPROP_TYPE_STRING));
    EXPECT_EQ(6u, static_cast<unsigned>(DEVPROP_TYPE_INT32));
}

TEST(SdkIdentifiers, EnumerationValuesAndProfileIdLayout)
{
    EXPECT_EQ(0, MFVirtualCameraType_SoftwareCameraSource);
    EXPECT_EQ(0, MFVirtualCameraLifetime_Session);
    EXPECT_EQ(1, MFVirtualCameraLifetime_System);
    EXPECT_EQ(0, MFVirtualCameraAccess_CurrentUser);
    EXPECT_EQ(1, MFVirtualCameraAccess_AllUsers);
    EXPECT_EQ(0, MFSampleAllocatorUsage_UsesProvidedAllocator);
    EXPECT_EQ(1, MFSampleAllocatorUsage_UsesCustomAllocator);
    EXPECT_EQ(2, MFSampleAllocatorUsage_DoesNotAllocate);
    EXPECT_EQ(1, MFFrameSourceTypes_Color);
    EXPECT_EQ(4, sizeof(MFVirtualCameraType));
    // SENSORPROFILEID { GUID Type; UINT32 Index; UINT32 Unused; }
    EXPECT_EQ(24u, sizeof(SENSORPROFILEID));
    EXPECT_EQ(0u, offsetof(SENSORPROFILEID, Type));
    EXPECT_EQ(16u, offsetof(SENSORPROFILEID, Index));
    EXPECT_EQ(20u, offsetof(SENSORPROFILEID, Unused));
}

// ---- Interfaces of the stand-in ------------------------------------------------------------

using CreateSensorProfile = HRESULT(WINAPI*)(REFGUID, UINT32, LPCWSTR, IMFSensorProfile**);
using CreateSensorProfileCollection = HRESULT(WINAPI*)(IMFSensorProfileCollection**);

TEST(SlotOrder, SensorProfile)
{
    StandInModule module;
    auto create = reinterpret_cast<CreateSensorProfile>(module.Export("MFCreateSensorProfile"));
    ASSERT_NE(nullptr, create);
    TemporaryCallLog log;
    const GUID type = KSCAMERAPROFILE_VideoRecording;
    IMFSensorProfile* profile = nullptr;
    ASSERT_EQ(S_OK, create(type, 3, nullptr, &profile));
    ComPtr<IMFMediaType> mediaType;
    ASSERT_EQ(S_OK, MFCreateMediaType(&mediaType));

    const std::vector<SlotCall> calls = {
        {0, "QueryInterface",
         [](void* object, int slot) {
             void* same = nullptr;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, const IID&, void**>(object, slot, __uuidof(IMFSensorProfile), &same)));
             EXPECT_EQ(object, same);
         }},
        {1, "AddRef", [](void* object, int slot) { EXPECT_EQ(3u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(2u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(1u, CallSlot<ULONG>(object, slot)); }},
        {3, "GetProfileId",
         [&](void* object, int slot) {
             SENSORPROFILEID id{};
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, SENSORPROFILEID*>(object, slot, &id)));
             EXPECT_EQ(Text(type), Text(id.Type));
             EXPECT_EQ(3u, id.Index);
         }},
        {4, "AddProfileFilter",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, UINT32, LPCWSTR>(object, slot, 2u, L"((RES==;FRT<=30,1;SUT==))")));
             auto line = log.Lines().back();
             EXPECT_EQ("2", line.Field("stream"));
             EXPECT_EQ("((RES==;FRT<=30,1;SUT==))", line.Field("filter"));
         }},
        {5, "IsMediaTypeSupported",
         [&](void* object, int slot) {
             BOOL supported = FALSE;
             EXPECT_EQ(S_OK,
                       (CallSlot<HRESULT, UINT32, IMFMediaType*, BOOL*>(object, slot, 2u, mediaType.Get(), &supported)));
             EXPECT_TRUE(supported);
             EXPECT_EQ(S_OK,
                       (CallSlot<HRESULT, UINT32, IMFMediaType*, BOOL*>(object, slot, 1u, mediaType.Get(), &supported)));
             EXPECT_FALSE(supported);
         }},
        {6, "AddBlockedControl",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, LPCWSTR>(object, slot, L"zoom")));
             EXPECT_EQ("zoom", log.Lines().back().Field("control"));
         }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(0u, CallSlot<ULONG>(object, slot)); }},
    };
    RunRecordedSlots(log, "IMFSensorProfile::", profile, calls);
}

TEST(SlotOrder, SensorProfileCollection)
{
    StandInModule module;
    auto createProfile = reinterpret_cast<CreateSensorProfile>(module.Export("MFCreateSensorProfile"));
    auto createCollection =
        reinterpret_cast<CreateSensorProfileCollection>(module.Export("MFCreateSensorProfileCollection"));
    ASSERT_NE(nullptr, createProfile);
    ASSERT_NE(nullptr, createCollection);
    TemporaryCallLog log;
    ComPtr<IMFSensorProfile> first;
    ComPtr<IMFSensorProfile> second;
    ASSERT_EQ(S_OK, createProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &first));
    ASSERT_EQ(S_OK, createProfile(KSCAMERAPROFILE_VideoConferencing, 0, nullptr, &second));
    SENSORPROFILEID firstId{KSCAMERAPROFILE_Legacy, 0, 0};
    SENSORPROFILEID secondId{KSCAMERAPROFILE_VideoConferencing, 0, 0};
    IMFSensorProfileCollection* collection = nullptr;
    ASSERT_EQ(S_OK, createCollection(&collection));
    ComPtr<IMFSensorProfile> byIndex;
    ComPtr<IMFSensorProfile> byId;

    const std::vector<SlotCall> calls = {
        {0, "QueryInterface",
         [](void* object, int slot) {
             void* same = nullptr;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, const IID&, void**>(object, slot,
                                                                    __uuidof(IMFSensorProfileCollection), &same)));
             EXPECT_EQ(object, same);
         }},
        {1, "AddRef", [](void* object, int slot) { EXPECT_EQ(3u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(2u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(1u, CallSlot<ULONG>(object, slot)); }},
        {5, "AddProfile",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, IMFSensorProfile*>(object, slot, first.Get())));
         }},
        {5, "AddProfile",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, IMFSensorProfile*>(object, slot, second.Get())));
         }},
        {3, "GetProfileCount", [](void* object, int slot) { EXPECT_EQ(2u, CallSlot<DWORD>(object, slot)); }},
        {4, "GetProfile",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK,
                       (CallSlot<HRESULT, DWORD, IMFSensorProfile**>(object, slot, 1u, byIndex.GetAddressOf())));
             EXPECT_EQ(second.Get(), byIndex.Get());
         }},
        {6, "FindProfile",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, SENSORPROFILEID*, IMFSensorProfile**>(object, slot, &firstId,
                                                                                     byId.GetAddressOf())));
             EXPECT_EQ(first.Get(), byId.Get());
         }},
        {7, "RemoveProfileByIndex",
         [](void* object, int slot) {
             CallSlot<void, DWORD>(object, slot, 0u);
         }},
        {8, "RemoveProfile",
         [&](void* object, int slot) {
             CallSlot<void, SENSORPROFILEID*>(object, slot, &secondId);
         }},
        {3, "GetProfileCount", [](void* object, int slot) { EXPECT_EQ(0u, CallSlot<DWORD>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(0u, CallSlot<ULONG>(object, slot)); }},
    };
    RunRecordedSlots(log, "IMFSensorProfileCollection::", collection, calls);
}

TEST(SlotOrder, VirtualCameraWithItsThirtyAttributeSlots)
{
    StandInModule module;
    auto create = module.CreateVirtualCamera();
    ASSERT_NE(nullptr, create);
    TemporaryCallLog log;
    IMFVirtualCamera* camera = nullptr;
    ASSERT_EQ(S_OK, create(MFVirtualCameraType_SoftwareCameraSource, MFVirtualCameraLifetime_Session,
                           MFVirtualCameraAccess_CurrentUser, L"Nivra", L"{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}",
                           nullptr, 0, &camera));
    ComPtr<IMFAttributes> unknownValue;  // stored under kKey7
    ComPtr<IMFAttributes> theirs;
    ComPtr<IMFAttributes> copy;
    ASSERT_EQ(S_OK, MFCreateAttributes(&unknownValue, 1));
    ASSERT_EQ(S_OK, MFCreateAttributes(&theirs, 1));
    ASSERT_EQ(S_OK, MFCreateAttributes(&copy, 8));
    ASSERT_EQ(S_OK, theirs->SetUINT32(kKey1, 7));
    const UINT8 blob[3] = {0xA1, 0xB2, 0xC3};
    OwnedHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle semaphore{CreateSemaphoreW(nullptr, 0, 4, nullptr)};
    ASSERT_NE(nullptr, event.value);
    ASSERT_NE(nullptr, semaphore.value);
    ComPtr<IMFCameraSyncObject> eventSync;
    ComPtr<IMFCameraSyncObject> semaphoreSync;

    using Key = const GUID&;
    const std::vector<SlotCall> calls = {
        {0, "QueryInterface",
         [](void* object, int slot) {
             void* same = nullptr;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, const IID&, void**>(object, slot, __uuidof(IMFAttributes), &same)));
             EXPECT_EQ(object, same);
         }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(1u, CallSlot<ULONG>(object, slot)); }},
        {1, "AddRef", [](void* object, int slot) { EXPECT_EQ(2u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(1u, CallSlot<ULONG>(object, slot)); }},
        // Setters first, so the getters have something to read back.
        {21, "SetUINT32",
         [](void* object, int slot) { EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT32>(object, slot, kKey1, 7u))); }},
        {22, "SetUINT64",
         [](void* object, int slot) { EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT64>(object, slot, kKey2, 9ull))); }},
        {23, "SetDouble",
         [](void* object, int slot) { EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, double>(object, slot, kKey3, 1.5))); }},
        {24, "SetGUID",
         [](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, const GUID&>(object, slot, kKey4, kValueGuid)));
         }},
        {25, "SetString",
         [](void* object, int slot) { EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, LPCWSTR>(object, slot, kKey5, L"abc"))); }},
        {26, "SetBlob",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, const UINT8*, UINT32>(object, slot, kKey6, blob, 3u)));
         }},
        {27, "SetUnknown",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, IUnknown*>(object, slot, kKey7, unknownValue.Get())));
         }},
        {18, "SetItem",
         [](void* object, int slot) {
             PROPVARIANT value;
             PropVariantInit(&value);
             value.vt = VT_UI4;
             value.ulVal = 3;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, const PROPVARIANT&>(object, slot, kKey8, value)));
         }},
        {3, "GetItem",
         [](void* object, int slot) {
             PROPVARIANT value;
             PropVariantInit(&value);
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, PROPVARIANT*>(object, slot, kKey1, &value)));
             EXPECT_EQ(VT_UI4, value.vt);
             EXPECT_EQ(7u, value.ulVal);
             PropVariantClear(&value);
         }},
        {4, "GetItemType",
         [](void* object, int slot) {
             MF_ATTRIBUTE_TYPE type = MF_ATTRIBUTE_UINT32;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, MF_ATTRIBUTE_TYPE*>(object, slot, kKey2, &type)));
             EXPECT_EQ(MF_ATTRIBUTE_UINT64, type);
         }},
        {5, "CompareItem",
         [](void* object, int slot) {
             PROPVARIANT value;
             PropVariantInit(&value);
             value.vt = VT_UI4;
             value.ulVal = 7;
             BOOL same = FALSE;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, const PROPVARIANT&, BOOL*>(object, slot, kKey1, value, &same)));
             EXPECT_TRUE(same);
         }},
        {6, "Compare",
         [&](void* object, int slot) {
             BOOL same = FALSE;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, IMFAttributes*, MF_ATTRIBUTES_MATCH_TYPE, BOOL*>(
                                 object, slot, theirs.Get(), MF_ATTRIBUTES_MATCH_THEIR_ITEMS, &same)));
             EXPECT_TRUE(same);
         }},
        {7, "GetUINT32",
         [](void* object, int slot) {
             UINT32 value = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT32*>(object, slot, kKey1, &value)));
             EXPECT_EQ(7u, value);
         }},
        {8, "GetUINT64",
         [](void* object, int slot) {
             UINT64 value = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT64*>(object, slot, kKey2, &value)));
             EXPECT_EQ(9u, value);
         }},
        {9, "GetDouble",
         [](void* object, int slot) {
             double value = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, double*>(object, slot, kKey3, &value)));
             EXPECT_EQ(1.5, value);
         }},
        {10, "GetGUID",
         [](void* object, int slot) {
             GUID value{};
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, GUID*>(object, slot, kKey4, &value)));
             EXPECT_EQ(Text(kValueGuid), Text(value));
         }},
        {11, "GetStringLength",
         [](void* object, int slot) {
             UINT32 length = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT32*>(object, slot, kKey5, &length)));
             EXPECT_EQ(3u, length);
         }},
        {12, "GetString",
         [](void* object, int slot) {
             wchar_t buffer[16] = {};
             UINT32 length = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, LPWSTR, UINT32, UINT32*>(object, slot, kKey5, buffer, 16u,
                                                                              &length)));
             EXPECT_EQ(std::wstring(L"abc"), buffer);
         }},
        {13, "GetAllocatedString",
         [](void* object, int slot) {
             LPWSTR value = nullptr;
             UINT32 length = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, LPWSTR*, UINT32*>(object, slot, kKey5, &value, &length)));
             ASSERT_NE(nullptr, value);
             EXPECT_EQ(std::wstring(L"abc"), value);
             CoTaskMemFree(value);
         }},
        {14, "GetBlobSize",
         [](void* object, int slot) {
             UINT32 size = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT32*>(object, slot, kKey6, &size)));
             EXPECT_EQ(3u, size);
         }},
        {15, "GetBlob",
         [](void* object, int slot) {
             UINT8 buffer[8] = {};
             UINT32 size = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT8*, UINT32, UINT32*>(object, slot, kKey6, buffer, 8u, &size)));
             EXPECT_EQ(3u, size);
             EXPECT_EQ(0xB2, buffer[1]);
         }},
        {16, "GetAllocatedBlob",
         [](void* object, int slot) {
             UINT8* buffer = nullptr;
             UINT32 size = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, UINT8**, UINT32*>(object, slot, kKey6, &buffer, &size)));
             ASSERT_NE(nullptr, buffer);
             EXPECT_EQ(0xC3, buffer[2]);
             CoTaskMemFree(buffer);
         }},
        {17, "GetUnknown",
         [&](void* object, int slot) {
             IMFAttributes* value = nullptr;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key, const IID&, void**>(object, slot, kKey7, __uuidof(IMFAttributes),
                                                                        reinterpret_cast<void**>(&value))));
             EXPECT_EQ(unknownValue.Get(), value);
             if (value != nullptr) {
                 value->Release();
             }
         }},
        {30, "GetCount",
         [](void* object, int slot) {
             UINT32 count = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, UINT32*>(object, slot, &count)));
             EXPECT_EQ(8u, count);
         }},
        {31, "GetItemByIndex",
         [](void* object, int slot) {
             GUID key{};
             PROPVARIANT value;
             PropVariantInit(&value);
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, UINT32, GUID*, PROPVARIANT*>(object, slot, 0u, &key, &value)));
             EXPECT_NE(VT_EMPTY, value.vt);
             PropVariantClear(&value);
         }},
        {19, "DeleteItem",
         [](void* object, int slot) { EXPECT_EQ(S_OK, (CallSlot<HRESULT, Key>(object, slot, kKey8))); }},
        {30, "GetCount",
         [](void* object, int slot) {
             UINT32 count = 0;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, UINT32*>(object, slot, &count)));
             EXPECT_EQ(7u, count);
         }},
        {28, "LockStore", [](void* object, int slot) { EXPECT_EQ(S_OK, CallSlot<HRESULT>(object, slot)); }},
        {29, "UnlockStore", [](void* object, int slot) { EXPECT_EQ(S_OK, CallSlot<HRESULT>(object, slot)); }},
        {32, "CopyAllItems",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, IMFAttributes*>(object, slot, copy.Get())));
             UINT32 count = 0;
             copy->GetCount(&count);
             EXPECT_EQ(7u, count);
         }},
        {20, "DeleteAllItems",
         [](void* object, int slot) { EXPECT_EQ(S_OK, CallSlot<HRESULT>(object, slot)); }},
        {30, "GetCount",
         [](void* object, int slot) {
             UINT32 count = 1;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, UINT32*>(object, slot, &count)));
             EXPECT_EQ(0u, count);
         }},
        // The camera's own slots.
        {33, "AddDeviceSourceInfo",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, LPCWSTR>(object, slot, L"source-info")));
             EXPECT_EQ("source-info", log.Lines().back().Field("info"));
         }},
        {34, "AddProperty",
         [&](void* object, int slot) {
             const INT32 lifetime = MFVirtualCameraLifetime_System;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, const DEVPROPKEY*, DEVPROPTYPE, const BYTE*, ULONG>(
                                 object, slot, &DEVPKEY_DeviceInterface_VCamCreate_Lifetime, DEVPROP_TYPE_INT32,
                                 reinterpret_cast<const BYTE*>(&lifetime), 4ul)));
             auto line = log.Lines().back();
             EXPECT_EQ("{6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1},6", line.Field("key"));
             EXPECT_EQ("6", line.Field("type"));
             EXPECT_EQ("4", line.Field("size"));
             EXPECT_EQ("01000000", line.Field("data"));
         }},
        {35, "AddRegistryEntry",
         [&](void* object, int slot) {
             const DWORD value = 0x01020304;
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, LPCWSTR, LPCWSTR, DWORD, const BYTE*, ULONG>(
                                 object, slot, L"Entry", L"Sub", static_cast<DWORD>(REG_DWORD),
                                 reinterpret_cast<const BYTE*>(&value), 4ul)));
             auto line = log.Lines().back();
             EXPECT_EQ("Entry", line.Field("entry"));
             EXPECT_EQ("Sub", line.Field("subkey"));
             EXPECT_EQ("4", line.Field("regtype"));
             EXPECT_EQ("04030201", line.Field("data"));
         }},
        {36, "Start",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, IMFAsyncCallback*>(object, slot, nullptr)));
             EXPECT_EQ("null", log.Lines().back().Field("callback"));
         }},
        {37, "Stop", [](void* object, int slot) { EXPECT_EQ(S_OK, CallSlot<HRESULT>(object, slot)); }},
        {38, "Remove", [](void* object, int slot) { EXPECT_EQ(S_OK, CallSlot<HRESULT>(object, slot)); }},
        {39, "GetMediaSource",
         [](void* object, int slot) {
             IMFMediaSource* source = reinterpret_cast<IMFMediaSource*>(&source);
             EXPECT_EQ(E_NOTIMPL, (CallSlot<HRESULT, IMFMediaSource**>(object, slot, &source)));
             EXPECT_EQ(nullptr, source);
         }},
        {40, "SendCameraProperty",
         [&](void* object, int slot) {
             BYTE payload[2] = {0x0A, 0x0B};
             BYTE data[8] = {};
             ULONG written = 99;
             EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED),
                       (CallSlot<HRESULT, const GUID&, ULONG, ULONG, void*, ULONG, void*, ULONG, ULONG*>(
                           object, slot, kValueGuid, 5ul, 6ul, payload, 2ul, data, 8ul, &written)));
             EXPECT_EQ(0u, written);
             auto line = log.Lines().back();
             EXPECT_EQ(Text(kValueGuid), line.Field("set"));
             EXPECT_EQ("5", line.Field("id"));
             EXPECT_EQ("6", line.Field("flags"));
             EXPECT_EQ("0a0b", line.Field("payload"));
             EXPECT_EQ("8", line.Field("datasize"));
         }},
        {41, "CreateSyncEvent",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, const GUID&, ULONG, ULONG, HANDLE, IMFCameraSyncObject**>(
                                 object, slot, kValueGuid, 1ul, 2ul, event.value, eventSync.GetAddressOf())));
             EXPECT_NE(nullptr, eventSync.Get());
             EXPECT_EQ("2", log.Lines().back().Field("flags"));
         }},
        {42, "CreateSyncSemaphore",
         [&](void* object, int slot) {
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, const GUID&, ULONG, ULONG, HANDLE, LONG, IMFCameraSyncObject**>(
                                 object, slot, kValueGuid, 3ul, 4ul, semaphore.value, -2l,
                                 semaphoreSync.GetAddressOf())));
             EXPECT_NE(nullptr, semaphoreSync.Get());
             EXPECT_EQ("-2", log.Lines().back().Field("adjustment"));
         }},
        {43, "Shutdown", [](void* object, int slot) { EXPECT_EQ(S_OK, CallSlot<HRESULT>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(0u, CallSlot<ULONG>(object, slot)); }},
    };
    RunRecordedSlots(log, "IMFVirtualCamera::", camera, calls);
    ASSERT_NE(nullptr, eventSync.Get());
    ASSERT_NE(nullptr, semaphoreSync.Get());

    // IMFCameraSyncObject, through the event that CreateSyncEvent wrapped.
    const std::vector<SlotCall> syncCalls = {
        {0, "QueryInterface",
         [](void* object, int slot) {
             void* same = nullptr;
             EXPECT_EQ(S_OK,
                       (CallSlot<HRESULT, const IID&, void**>(object, slot, __uuidof(IMFCameraSyncObject), &same)));
             EXPECT_EQ(object, same);
         }},
        {1, "AddRef", [](void* object, int slot) { EXPECT_EQ(3u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(2u, CallSlot<ULONG>(object, slot)); }},
        {2, "Release", [](void* object, int slot) { EXPECT_EQ(1u, CallSlot<ULONG>(object, slot)); }},
        {3, "WaitOnSignal",
         [](void* object, int slot) {
             EXPECT_EQ(HRESULT_FROM_WIN32(WAIT_TIMEOUT), (CallSlot<HRESULT, DWORD>(object, slot, 0ul)));
         }},
        {3, "WaitOnSignal",
         [&](void* object, int slot) {
             SetEvent(event.value);
             EXPECT_EQ(S_OK, (CallSlot<HRESULT, DWORD>(object, slot, 1000ul)));
             EXPECT_EQ("1000", log.Lines().back().Field("timeout"));
         }},
        {4, "Shutdown", [](void* object, int slot) { CallSlot<void>(object, slot); }},
        {3, "WaitOnSignal",
         [](void* object, int slot) { EXPECT_EQ(MF_E_SHUTDOWN, (CallSlot<HRESULT, DWORD>(object, slot, 0ul))); }},
    };
    RunRecordedSlots(log, "IMFCameraSyncObject::", eventSync.Get(), syncCalls);
}

// ---- Interfaces the library implements -----------------------------------------------------

// Implements IMFMediaStream2 through the header and notes which method ran, with the
// arguments that tell whether they arrived in the right places.
class RecordingStream final : public IMFMediaStream2 {
public:
    std::vector<std::string> calls;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        Note("QueryInterface " + Text(iid));
        *object = static_cast<IMFMediaStream2*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        Note("AddRef");
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        Note("Release");
        return 1;
    }
    HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override
    {
        Note("GetEvent " + std::to_string(flags) + Null(event));
        return MF_E_NO_EVENTS_AVAILABLE;
    }
    HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override
    {
        Note("BeginGetEvent" + Null(callback) + Null(state));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override
    {
        Note("EndGetEvent" + Null(result) + Null(event));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                         const PROPVARIANT* value) override
    {
        Note("QueueEvent " + std::to_string(type) + " " + Text(extendedType) + " " + Hex(status) + Null(value));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** source) override
    {
        Note("GetMediaSource" + Null(source));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStreamDescriptor(IMFStreamDescriptor** descriptor) override
    {
        Note("GetStreamDescriptor" + Null(descriptor));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RequestSample(IUnknown* token) override
    {
        Note("RequestSample" + Null(token));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE state) override
    {
        Note("SetStreamState " + std::to_string(state));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* state) override
    {
        Note("GetStreamState" + Null(state));
        *state = MF_STREAM_STATE_RUNNING;
        return S_OK;
    }

private:
    static std::string Null(const void* pointer) { return pointer ? " ptr" : " null"; }
    void Note(const std::string& text) { calls.push_back(text); }
};

class RecordingAllocatorControl final : public IMFSampleAllocatorControl {
public:
    std::vector<std::string> calls;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        calls.push_back("QueryInterface " + Text(iid));
        *object = static_cast<IMFSampleAllocatorControl*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        calls.push_back("AddRef");
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        calls.push_back("Release");
        return 1;
    }
    HRESULT STDMETHODCALLTYPE SetDefaultAllocator(DWORD outputStreamId, IUnknown* allocator) override
    {
        calls.push_back("SetDefaultAllocator " + std::to_string(outputStreamId) + (allocator ? " ptr" : " null"));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAllocatorUsage(DWORD outputStreamId, DWORD* inputStreamId,
                                                MFSampleAllocatorUsage* usage) override
    {
        calls.push_back("GetAllocatorUsage " + std::to_string(outputStreamId));
        *inputStreamId = 0;
        *usage = MFSampleAllocatorUsage_DoesNotAllocate;
        return S_OK;
    }
};

// Runs each call; afterwards the object's last note must be the expected one.
template <typename Recorder>
void RunNotedSlots(Recorder& recorder, void* object,
                   const std::vector<std::pair<int, std::string>>& expected,
                   const std::function<void(void*, int)>& call)
{
    for (const auto& [slot, note] : expected) {
        SCOPED_TRACE("slot " + std::to_string(slot));
        std::size_t before = recorder.calls.size();
        EnterSlot(slot, note);
        call(object, slot);
        ASSERT_EQ(before + 1, recorder.calls.size());
        EXPECT_EQ(note, recorder.calls.back());
    }
}

TEST(SlotOrder, MediaStream2WithItsMediaStreamAndEventGeneratorSlots)
{
    RecordingStream stream;
    void* object = static_cast<IMFMediaStream2*>(&stream);
    IUnknown* token = &stream;  // any non-null IUnknown
    PROPVARIANT value;
    PropVariantInit(&value);
    IMFMediaEvent* event = nullptr;
    IMFMediaSource* source = nullptr;
    IMFStreamDescriptor* descriptor = nullptr;
    MF_STREAM_STATE state = MF_STREAM_STATE_STOPPED;
    void* queried = nullptr;

    const std::vector<std::pair<int, std::string>> expected = {
        {0, "QueryInterface " + Text(__uuidof(IMFMediaStream2))},
        {1, "AddRef"},
        {2, "Release"},
        {3, "GetEvent 1 ptr"},
        {4, "BeginGetEvent null ptr"},
        {5, "EndGetEvent null ptr"},
        {6, "QueueEvent " + std::to_string(MEMediaSample) + " " + Text(kValueGuid) + " 0x80004005 ptr"},
        {7, "GetMediaSource ptr"},
        {8, "GetStreamDescriptor ptr"},
        {9, "RequestSample ptr"},
        {10, "SetStreamState 2"},
        {11, "GetStreamState ptr"},
    };
    RunNotedSlots(stream, object, expected, [&](void* target, int slot) {
        switch (slot) {
        case 0: CallSlot<HRESULT, const IID&, void**>(target, slot, __uuidof(IMFMediaStream2), &queried); break;
        case 1:
        case 2: CallSlot<ULONG>(target, slot); break;
        case 3: CallSlot<HRESULT, DWORD, IMFMediaEvent**>(target, slot, static_cast<DWORD>(MF_EVENT_FLAG_NO_WAIT), &event); break;
        case 4: CallSlot<HRESULT, IMFAsyncCallback*, IUnknown*>(target, slot, nullptr, token); break;
        case 5: CallSlot<HRESULT, IMFAsyncResult*, IMFMediaEvent**>(target, slot, nullptr, &event); break;
        case 6:
            CallSlot<HRESULT, MediaEventType, const GUID&, HRESULT, const PROPVARIANT*>(
                target, slot, static_cast<MediaEventType>(MEMediaSample), kValueGuid, E_FAIL, &value);
            break;
        case 7: CallSlot<HRESULT, IMFMediaSource**>(target, slot, &source); break;
        case 8: CallSlot<HRESULT, IMFStreamDescriptor**>(target, slot, &descriptor); break;
        case 9: CallSlot<HRESULT, IUnknown*>(target, slot, token); break;
        case 10: CallSlot<HRESULT, MF_STREAM_STATE>(target, slot, MF_STREAM_STATE_RUNNING); break;
        case 11: CallSlot<HRESULT, MF_STREAM_STATE*>(target, slot, &state); break;
        default: FAIL() << "no call for slot " << slot;
        }
    });
    EXPECT_EQ(MF_STREAM_STATE_RUNNING, state);
}

TEST(SlotOrder, SampleAllocatorControl)
{
    RecordingAllocatorControl control;
    void* object = static_cast<IMFSampleAllocatorControl*>(&control);
    DWORD inputStreamId = 77;
    MFSampleAllocatorUsage usage = MFSampleAllocatorUsage_UsesProvidedAllocator;
    void* queried = nullptr;

    const std::vector<std::pair<int, std::string>> expected = {
        {0, "QueryInterface " + Text(__uuidof(IMFSampleAllocatorControl))},
        {1, "AddRef"},
        {2, "Release"},
        {3, "SetDefaultAllocator 2 ptr"},
        {4, "GetAllocatorUsage 1"},
    };
    RunNotedSlots(control, object, expected, [&](void* target, int slot) {
        switch (slot) {
        case 0:
            CallSlot<HRESULT, const IID&, void**>(target, slot, __uuidof(IMFSampleAllocatorControl), &queried);
            break;
        case 1:
        case 2: CallSlot<ULONG>(target, slot); break;
        case 3: CallSlot<HRESULT, DWORD, IUnknown*>(target, slot, 2ul, static_cast<IUnknown*>(&control)); break;
        case 4:
            CallSlot<HRESULT, DWORD, DWORD*, MFSampleAllocatorUsage*>(target, slot, 1ul, &inputStreamId, &usage);
            break;
        default: FAIL() << "no call for slot " << slot;
        }
    });
    EXPECT_EQ(0u, inputStreamId);
    EXPECT_EQ(MFSampleAllocatorUsage_DoesNotAllocate, usage);
}

}  // namespace
