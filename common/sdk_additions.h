// Windows SDK declarations that mingw-w64 10 lacks: the virtual-camera interface,
// sensor profiles, IMFMediaStream2, IMFSampleAllocatorControl and the device-stream
// attribute GUIDs. With a Windows SDK that ships mfvirtualcamera.h, the SDK's own
// headers are used instead. Method order is ABI: it follows the SDK exactly.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfobjects.h>
#include <devpropdef.h>
#include <ks.h>
#include <ksmedia.h>

#if __has_include(<mfvirtualcamera.h>) && !defined(VELMORA_FORCE_OWN_SDK_DECLARATIONS)

#include <mfvirtualcamera.h>
#include <devicetopology.h>
#define VELMORA_SDK_DECLARATIONS_FROM_SDK 1

#else

#include <devicetopology.h>  // IKsControl lives here in mingw-w64

#define VELMORA_SDK_DECLARATIONS_FROM_SDK 0

// ---- Sensor profiles -------------------------------------------------------------

typedef struct _SENSORPROFILEID {
    GUID Type;
    UINT32 Index;
    UINT32 Unused;
} SENSORPROFILEID;

MIDL_INTERFACE("22F765D1-8DAB-4107-846D-56BAF72215E7")
IMFSensorProfile : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetProfileId(SENSORPROFILEID* pId) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddProfileFilter(UINT32 StreamId, LPCWSTR wzFilterSetString) = 0;
    virtual HRESULT STDMETHODCALLTYPE IsMediaTypeSupported(UINT32 StreamId, IMFMediaType* pMediaType,
                                                           BOOL* pfSupported) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddBlockedControl(LPCWSTR wzBlockedControl) = 0;
};
__CRT_UUID_DECL(IMFSensorProfile, 0x22F765D1, 0x8DAB, 0x4107, 0x84, 0x6D, 0x56, 0xBA, 0xF7, 0x22, 0x15, 0xE7)

MIDL_INTERFACE("C95EA55B-0187-48BE-9353-8D2507662351")
IMFSensorProfileCollection : public IUnknown {
public:
    virtual DWORD STDMETHODCALLTYPE GetProfileCount() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProfile(DWORD Index, IMFSensorProfile** ppProfile) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddProfile(IMFSensorProfile* pProfile) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindProfile(SENSORPROFILEID* ProfileId, IMFSensorProfile** ppProfile) = 0;
    virtual void STDMETHODCALLTYPE RemoveProfileByIndex(DWORD Index) = 0;
    virtual void STDMETHODCALLTYPE RemoveProfile(SENSORPROFILEID* ProfileId) = 0;
};
__CRT_UUID_DECL(IMFSensorProfileCollection, 0xC95EA55B, 0x0187, 0x48BE, 0x93, 0x53, 0x8D, 0x25, 0x07, 0x66, 0x23,
                0x51)

extern "C" HRESULT WINAPI MFCreateSensorProfile(REFGUID ProfileType, UINT32 ProfileIndex, LPCWSTR Constraints,
                                                IMFSensorProfile** ppProfile);
extern "C" HRESULT WINAPI MFCreateSensorProfileCollection(IMFSensorProfileCollection** ppSensorProfile);

// ---- Media stream and allocator control ------------------------------------------

MIDL_INTERFACE("C5BC37D6-75C7-46A1-A132-81B5F723C20F")
IMFMediaStream2 : public IMFMediaStream {
public:
    virtual HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) = 0;
};
__CRT_UUID_DECL(IMFMediaStream2, 0xC5BC37D6, 0x75C7, 0x46A1, 0xA1, 0x32, 0x81, 0xB5, 0xF7, 0x23, 0xC2, 0x0F)

typedef enum MFSampleAllocatorUsage {
    MFSampleAllocatorUsage_UsesProvidedAllocator = 0,
    MFSampleAllocatorUsage_UsesCustomAllocator = 1,
    MFSampleAllocatorUsage_DoesNotAllocate = 2
} MFSampleAllocatorUsage;

MIDL_INTERFACE("DA62B958-3A38-4A97-BD27-149C640C0771")
IMFSampleAllocatorControl : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE SetDefaultAllocator(DWORD dwOutputStreamID, IUnknown* pAllocator) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAllocatorUsage(DWORD dwOutputStreamID, DWORD* pdwInputStreamID,
                                                        MFSampleAllocatorUsage* peUsage) = 0;
};
__CRT_UUID_DECL(IMFSampleAllocatorControl, 0xDA62B958, 0x3A38, 0x4A97, 0xBD, 0x27, 0x14, 0x9C, 0x64, 0x0C, 0x07,
                0x71)

// ---- Virtual camera --------------------------------------------------------------

typedef enum __MFVirtualCameraType { MFVirtualCameraType_SoftwareCameraSource = 0 } MFVirtualCameraType;
typedef enum __MFVirtualCameraLifetime {
    MFVirtualCameraLifetime_Session = 0,
    MFVirtualCameraLifetime_System = 1
} MFVirtualCameraLifetime;
typedef enum __MFVirtualCameraAccess {
    MFVirtualCameraAccess_CurrentUser = 0,
    MFVirtualCameraAccess_AllUsers = 1
} MFVirtualCameraAccess;

MIDL_INTERFACE("6338B23A-3042-49D2-A3EA-EC0FED815407")
IMFCameraSyncObject : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE WaitOnSignal(DWORD timeOutInMs) = 0;
    virtual void STDMETHODCALLTYPE Shutdown() = 0;
};
__CRT_UUID_DECL(IMFCameraSyncObject, 0x6338B23A, 0x3042, 0x49D2, 0xA3, 0xEA, 0xEC, 0x0F, 0xED, 0x81, 0x54, 0x07)

MIDL_INTERFACE("1C08A864-EF6C-4C75-AF59-5F2D68DA9563")
IMFVirtualCamera : public IMFAttributes {
public:
    virtual HRESULT STDMETHODCALLTYPE AddDeviceSourceInfo(LPCWSTR DeviceSourceInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddProperty(const DEVPROPKEY* pKey, DEVPROPTYPE Type, const BYTE* pbData,
                                                  ULONG cbData) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddRegistryEntry(LPCWSTR EntryName, LPCWSTR SubkeyPath, DWORD dwRegType,
                                                       const BYTE* pbData, ULONG cbData) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start(IMFAsyncCallback* pCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Remove() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** ppMediaSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendCameraProperty(REFGUID propertySet, ULONG propertyId, ULONG propertyFlags,
                                                         void* propertyPayload, ULONG propertyPayloadLength,
                                                         void* data, ULONG dataLength, ULONG* dataWritten) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateSyncEvent(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags,
                                                      HANDLE eventHandle,
                                                      IMFCameraSyncObject** cameraSyncObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateSyncSemaphore(REFGUID kseventSet, ULONG kseventId, ULONG kseventFlags,
                                                          HANDLE semaphoreHandle, LONG semaphoreAdjustment,
                                                          IMFCameraSyncObject** cameraSyncObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
};
__CRT_UUID_DECL(IMFVirtualCamera, 0x1C08A864, 0xEF6C, 0x4C75, 0xAF, 0x59, 0x5F, 0x2D, 0x68, 0xDA, 0x95, 0x63)

// ---- GUIDs -----------------------------------------------------------------------

inline constexpr GUID MF_DEVICESTREAM_STREAM_CATEGORY{
    0x2939E7B8, 0xA62E, 0x4579, {0xB6, 0x74, 0xD4, 0x07, 0x3D, 0xFA, 0xBB, 0xBA}};
inline constexpr GUID MF_DEVICESTREAM_STREAM_ID{
    0x11BD5120, 0xD124, 0x446B, {0x88, 0xE6, 0x17, 0x06, 0x02, 0x57, 0xFF, 0xF9}};
inline constexpr GUID MF_DEVICESTREAM_FRAMESERVER_SHARED{
    0x1CB378E9, 0xB279, 0x41D4, {0xAF, 0x97, 0x34, 0xA2, 0x43, 0xE6, 0x83, 0x20}};
inline constexpr GUID MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES{
    0x17145FD1, 0x1B2B, 0x423C, {0x80, 0x01, 0x2B, 0x68, 0x33, 0xED, 0x35, 0x88}};
inline constexpr GUID MF_DEVICEMFT_SENSORPROFILE_COLLECTION{
    0x36EBDC44, 0xB12C, 0x441B, {0x89, 0xF4, 0x08, 0xB2, 0xF4, 0x1A, 0x9C, 0xFC}};

inline constexpr GUID KSCAMERAPROFILE_Legacy{
    0xB4894D81, 0x62B7, 0x4EEC, {0x87, 0x40, 0x80, 0x65, 0x8C, 0x4A, 0x9D, 0x3E}};
inline constexpr GUID KSCAMERAPROFILE_VideoConferencing{
    0xC5444A88, 0xE1BF, 0x4597, {0xB2, 0xDD, 0x9E, 0x1E, 0xAD, 0x86, 0x4B, 0xB8}};
inline constexpr GUID KSCAMERAPROFILE_VideoRecording{
    0xA0E517E8, 0x8F8C, 0x4F6F, {0x9A, 0x57, 0x46, 0xFC, 0x2F, 0x64, 0x7E, 0xC0}};
inline constexpr GUID KSCAMERAPROFILE_BalancedVideoAndPhoto{
    0x6B52B017, 0x42C7, 0x4A21, {0xBF, 0xE3, 0x23, 0xF0, 0x09, 0x14, 0x98, 0x87}};
inline constexpr GUID KSCAMERAPROFILE_HighQualityPhoto{
    0x32440725, 0x961B, 0x4CA3, {0xB5, 0xB2, 0x85, 0x4E, 0x71, 0x9D, 0x9E, 0x1B}};

typedef enum _MFFrameSourceTypes {
    MFFrameSourceTypes_Color = 0x0001,
    MFFrameSourceTypes_Infrared = 0x0002,
    MFFrameSourceTypes_Depth = 0x0004,
    MFFrameSourceTypes_Image = 0x0008,
    MFFrameSourceTypes_Custom = 0x0080
} MFFrameSourceTypes;

// Property set {6AC1FBF7-45F7-4E06-BDA7-F817EBFA04D1}, identifiers 4 to 7.
inline constexpr DEVPROPKEY DEVPKEY_DeviceInterface_VCamCreate_SourceId{
    {0x6AC1FBF7, 0x45F7, 0x4E06, {0xBD, 0xA7, 0xF8, 0x17, 0xEB, 0xFA, 0x04, 0xD1}}, 4};
inline constexpr DEVPROPKEY DEVPKEY_DeviceInterface_VCamCreate_FriendlyName{
    {0x6AC1FBF7, 0x45F7, 0x4E06, {0xBD, 0xA7, 0xF8, 0x17, 0xEB, 0xFA, 0x04, 0xD1}}, 5};
inline constexpr DEVPROPKEY DEVPKEY_DeviceInterface_VCamCreate_Lifetime{
    {0x6AC1FBF7, 0x45F7, 0x4E06, {0xBD, 0xA7, 0xF8, 0x17, 0xEB, 0xFA, 0x04, 0xD1}}, 6};
inline constexpr DEVPROPKEY DEVPKEY_DeviceInterface_VCamCreate_Access{
    {0x6AC1FBF7, 0x45F7, 0x4E06, {0xBD, 0xA7, 0xF8, 0x17, 0xEB, 0xFA, 0x04, 0xD1}}, 7};

#endif

// Not in mingw's import library (and absent from Windows 10's mfsensorgroup.dll): resolved
// at run time. Declared for both branches, since the SDK declares only the functions.
typedef HRESULT(WINAPI* MFCreateVirtualCameraFunction)(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime,
                                                       MFVirtualCameraAccess access, LPCWSTR friendlyName,
                                                       LPCWSTR sourceId, const GUID* categories,
                                                       ULONG categoryCount, IMFVirtualCamera** virtualCamera);
typedef HRESULT(WINAPI* MFIsVirtualCameraTypeSupportedFunction)(MFVirtualCameraType type, BOOL* supported);

// The library's own attribute keys for its control objects.
inline constexpr GUID SourceKsControlAttribute{
    0x46783CCA, 0x3DF5, 0x4923, {0xA9, 0xEF, 0x36, 0xB7, 0x22, 0x3E, 0xDD, 0xE0}};
inline constexpr GUID StreamKsControlAttribute{
    0xEF3EF9A7, 0x87F2, 0x48CA, {0xBE, 0x02, 0x67, 0x48, 0x78, 0x91, 0x8E, 0x98}};

// PINNAME_VIDEO_CAPTURE as a plain value (mingw declares it through DEFINE_GUIDSTRUCT).
inline constexpr GUID VelmoraPinNameVideoCapture{
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
