// The declarations of common/sdk_additions.h against the Windows SDK: identifier values,
// enumeration values, layouts, and every method in the vtable slot where the SDK has it (the
// slot order is the ABI between the library, the registrar and Windows). Every slot is called
// through the raw vtable by index and the recording method that ran names itself.
// Expected tables follow the SDK, not the header.
#include <windows.h>
#include <mfapi.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/sdk_additions.h"
#include "tests/standins/mfsensorgroup/standin_control.h"

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

// A call through a slot that holds another method than expected may crash: name the slot
// before the process goes down.
char currentSlot[160] = "";

LONG WINAPI ReportSlotOnCrash(EXCEPTION_POINTERS* exception)
{
    std::fprintf(stderr, "Crash (0x%08lX) while calling %s: the method in that slot is not the one the SDK has there\n",
                 static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode), currentSlot);
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Calls slots 0, 1, ... without arguments (recording methods ignore theirs; every return type
// here comes back in the same register): each must record exactly its own name.
void CheckSlots(void* object, std::vector<std::string>& names, const std::vector<std::string>& expected)
{
    SetUnhandledExceptionFilter(ReportSlotOnCrash);
    for (std::size_t slot = 0; slot < expected.size(); ++slot) {
        std::snprintf(currentSlot, sizeof currentSlot, "slot %zu, expecting %s", slot, expected[slot].c_str());
        SCOPED_TRACE(currentSlot);
        names.clear();
        using Method = HRESULT(STDMETHODCALLTYPE*)(void*);
        reinterpret_cast<Method>((*static_cast<void***>(object))[slot])(object);
        EXPECT_EQ(names, std::vector<std::string>{expected[slot]});
    }
}

// Each list is one interface's slots in the SDK's order, with the SDK's parameter types. The
// recording object's own method order does not matter (the interface declaration lays out the
// vtable), so the list serves both to implement it and as the expected table; parameter types
// that differ from the header's do not compile.
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
// IMFAttributes is mingw-w64's own declaration; it is listed because the camera derives from it.
#define ATTRIBUTES_SLOTS(X)                                                                                        \
    UNKNOWN_SLOTS(X)                                                                                               \
    X(HRESULT, GetItem, (REFGUID, PROPVARIANT*)) X(HRESULT, GetItemType, (REFGUID, MF_ATTRIBUTE_TYPE*))           \
    X(HRESULT, CompareItem, (REFGUID, REFPROPVARIANT, BOOL*))                                                     \
    X(HRESULT, Compare, (IMFAttributes*, MF_ATTRIBUTES_MATCH_TYPE, BOOL*)) X(HRESULT, GetUINT32, (REFGUID, UINT32*)) \
    X(HRESULT, GetUINT64, (REFGUID, UINT64*)) X(HRESULT, GetDouble, (REFGUID, double*))                           \
    X(HRESULT, GetGUID, (REFGUID, GUID*)) X(HRESULT, GetStringLength, (REFGUID, UINT32*))                        \
    X(HRESULT, GetString, (REFGUID, LPWSTR, UINT32, UINT32*))                                                     \
    X(HRESULT, GetAllocatedString, (REFGUID, LPWSTR*, UINT32*)) X(HRESULT, GetBlobSize, (REFGUID, UINT32*))       \
    X(HRESULT, GetBlob, (REFGUID, UINT8*, UINT32, UINT32*)) X(HRESULT, GetAllocatedBlob, (REFGUID, UINT8**, UINT32*)) \
    X(HRESULT, GetUnknown, (REFGUID, REFIID, LPVOID*)) X(HRESULT, SetItem, (REFGUID, REFPROPVARIANT))              \
    X(HRESULT, DeleteItem, (REFGUID)) X(HRESULT, DeleteAllItems, ()) X(HRESULT, SetUINT32, (REFGUID, UINT32))     \
    X(HRESULT, SetUINT64, (REFGUID, UINT64)) X(HRESULT, SetDouble, (REFGUID, double))                             \
    X(HRESULT, SetGUID, (REFGUID, REFGUID)) X(HRESULT, SetString, (REFGUID, LPCWSTR))                             \
    X(HRESULT, SetBlob, (REFGUID, const UINT8*, UINT32)) X(HRESULT, SetUnknown, (REFGUID, IUnknown*))             \
    X(HRESULT, LockStore, ()) X(HRESULT, UnlockStore, ()) X(HRESULT, GetCount, (UINT32*))                         \
    X(HRESULT, GetItemByIndex, (UINT32, GUID*, PROPVARIANT*)) X(HRESULT, CopyAllItems, (IMFAttributes*))
#define VIRTUAL_CAMERA_SLOTS(X)                                                                                    \
    ATTRIBUTES_SLOTS(X)                                                                                            \
    X(HRESULT, AddDeviceSourceInfo, (LPCWSTR))                                                                    \
    X(HRESULT, AddProperty, (const DEVPROPKEY*, DEVPROPTYPE, const BYTE*, ULONG))                                 \
    X(HRESULT, AddRegistryEntry, (LPCWSTR, LPCWSTR, DWORD, const BYTE*, ULONG))                                   \
    X(HRESULT, Start, (IMFAsyncCallback*)) X(HRESULT, Stop, ()) X(HRESULT, Remove, ())                            \
    X(HRESULT, GetMediaSource, (IMFMediaSource**))                                                                \
    X(HRESULT, SendCameraProperty, (REFGUID, ULONG, ULONG, void*, ULONG, void*, ULONG, ULONG*))                   \
    X(HRESULT, CreateSyncEvent, (REFGUID, ULONG, ULONG, HANDLE, IMFCameraSyncObject**))                           \
    X(HRESULT, CreateSyncSemaphore, (REFGUID, ULONG, ULONG, HANDLE, LONG, IMFCameraSyncObject**))                 \
    X(HRESULT, Shutdown, ())

#define RECORDED(type, method, parameters)            \
    type STDMETHODCALLTYPE method parameters override \
    {                                                 \
        names.push_back(#method);                     \
        return type();                                \
    }
#define SLOT_NAME(type, method, parameters) #method,

#define RECORDING_TEST(Interface, SLOTS)                                                   \
    TEST(RecordingSlots, Interface)                                                        \
    {                                                                                      \
        struct Recording final : Interface {                                               \
            std::vector<std::string> names;                                                \
            SLOTS(RECORDED)                                                                \
        } object;                                                                          \
        CheckSlots(static_cast<Interface*>(&object), object.names, {SLOTS(SLOT_NAME)}); \
    }

RECORDING_TEST(IMFMediaStream2, MEDIA_STREAM2_SLOTS)
RECORDING_TEST(IMFSampleAllocatorControl, ALLOCATOR_CONTROL_SLOTS)
RECORDING_TEST(IMFCameraSyncObject, CAMERA_SYNC_SLOTS)
RECORDING_TEST(IMFSensorProfile, SENSOR_PROFILE_SLOTS)
RECORDING_TEST(IMFSensorProfileCollection, PROFILE_COLLECTION_SLOTS)
RECORDING_TEST(IMFVirtualCamera, VIRTUAL_CAMERA_SLOTS)

}  // namespace
