// common/sdk_additions.h against the Windows SDK; the slot order is the ABI between library, registrar and Windows.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/sdk_additions.h"
#include "tests/common/windows_test.h"
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

// A virtual method's vtable slot: in GCC's (Itanium) ABI its member pointer holds 1 + its byte offset in the vtable.
template <typename Method>
std::size_t Slot(Method method)
{
    struct {
        std::uintptr_t offset;
        std::ptrdiff_t adjustment;
    } raw;
    static_assert(sizeof raw == sizeof method);
    std::memcpy(&raw, &method, sizeof raw);
    return raw.offset % sizeof(void*) == 1 ? raw.offset / sizeof(void*) : SIZE_MAX;
}

// The SDK's slot and signature of a method; another signature does not compile.
#define AT(slot, Interface, Type, Method, Parameters)          \
    {#Interface "::" #Method, slot,                           \
     Slot(static_cast<Type (STDMETHODCALLTYPE Interface::*) Parameters>(&Interface::Method))}

TEST(SdkSlots, EachMethodHasTheSdksSlotAndSignature)
{
    // Slots 0-2 are IUnknown's, 3-32 IMFAttributes', 3-9 IMFMediaStream's (both mingw-w64's own).
    const struct {
        const char* method;
        std::size_t sdk;
        std::size_t slot;
    } table[] = {
        AT(3, IMFSensorProfile, HRESULT, GetProfileId, (SENSORPROFILEID*)),
        AT(4, IMFSensorProfile, HRESULT, AddProfileFilter, (UINT32, LPCWSTR)),
        AT(5, IMFSensorProfile, HRESULT, IsMediaTypeSupported, (UINT32, IMFMediaType*, BOOL*)),
        AT(6, IMFSensorProfile, HRESULT, AddBlockedControl, (LPCWSTR)),
        AT(3, IMFSensorProfileCollection, DWORD, GetProfileCount, ()),
        AT(4, IMFSensorProfileCollection, HRESULT, GetProfile, (DWORD, IMFSensorProfile**)),
        AT(5, IMFSensorProfileCollection, HRESULT, AddProfile, (IMFSensorProfile*)),
        AT(6, IMFSensorProfileCollection, HRESULT, FindProfile, (SENSORPROFILEID*, IMFSensorProfile**)),
        AT(7, IMFSensorProfileCollection, void, RemoveProfileByIndex, (DWORD)),
        AT(8, IMFSensorProfileCollection, void, RemoveProfile, (SENSORPROFILEID*)),
        AT(10, IMFMediaStream2, HRESULT, SetStreamState, (MF_STREAM_STATE)),
        AT(11, IMFMediaStream2, HRESULT, GetStreamState, (MF_STREAM_STATE*)),
        AT(3, IMFSampleAllocatorControl, HRESULT, SetDefaultAllocator, (DWORD, IUnknown*)),
        AT(4, IMFSampleAllocatorControl, HRESULT, GetAllocatorUsage, (DWORD, DWORD*, MFSampleAllocatorUsage*)),
        AT(3, IMFCameraSyncObject, HRESULT, WaitOnSignal, (DWORD)),
        AT(4, IMFCameraSyncObject, void, Shutdown, ()),
        AT(33, IMFVirtualCamera, HRESULT, AddDeviceSourceInfo, (LPCWSTR)),
        AT(34, IMFVirtualCamera, HRESULT, AddProperty, (const DEVPROPKEY*, DEVPROPTYPE, const BYTE*, ULONG)),
        AT(35, IMFVirtualCamera, HRESULT, AddRegistryEntry, (LPCWSTR, LPCWSTR, DWORD, const BYTE*, ULONG)),
        AT(36, IMFVirtualCamera, HRESULT, Start, (IMFAsyncCallback*)),
        AT(37, IMFVirtualCamera, HRESULT, Stop, ()),
        AT(38, IMFVirtualCamera, HRESULT, Remove, ()),
        AT(39, IMFVirtualCamera, HRESULT, GetMediaSource, (IMFMediaSource**)),
        AT(40, IMFVirtualCamera, HRESULT, SendCameraProperty,
           (REFGUID, ULONG, ULONG, void*, ULONG, void*, ULONG, ULONG*)),
        AT(41, IMFVirtualCamera, HRESULT, CreateSyncEvent, (REFGUID, ULONG, ULONG, HANDLE, IMFCameraSyncObject**)),
        AT(42, IMFVirtualCamera, HRESULT, CreateSyncSemaphore,
           (REFGUID, ULONG, ULONG, HANDLE, LONG, IMFCameraSyncObject**)),
        AT(43, IMFVirtualCamera, HRESULT, Shutdown, ()),
    };
    for (const auto& [method, sdk, slot] : table) {
        EXPECT_EQ(slot, sdk) << method;
    }
}

}  // namespace
