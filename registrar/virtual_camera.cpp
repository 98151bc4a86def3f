// Creating and removing the "Nivra" camera registration through Media Foundation's
// virtual-camera interface.
#include <wrl/client.h>

#include <cwchar>
#include <memory>
#include <type_traits>

#include "common/velmora_names.h"
#include "registrar/registrar.h"

namespace velmora {
namespace {

using Microsoft::WRL::ComPtr;

// mfsensorgroup.dll, loaded at first use and kept for the rest of the run. The two
// functions exist only from Windows 11 on (and no import library of the toolchain has
// them), so they are looked up by name; without them the program still runs.
class VirtualCameraLibrary {
public:
    static VirtualCameraLibrary& Instance() {
        static VirtualCameraLibrary library;
        return library;
    }

    MFCreateVirtualCameraFunction create = nullptr;
    MFIsVirtualCameraTypeSupportedFunction isSupported = nullptr;
    // What a call to the missing MFCreateVirtualCamera reports.
    HRESULT missingResult = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);

private:
    struct ModuleFree {
        void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
    };

    VirtualCameraLibrary() {
        // From System32 only: a file of that name beside the program or in its current
        // directory must never run with its rights.
        module.reset(LoadLibraryExW(L"mfsensorgroup.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (!module) {
            const DWORD error = GetLastError();
            missingResult = HRESULT_FROM_WIN32(error != 0 ? error : ERROR_MOD_NOT_FOUND);
            return;
        }
        create = reinterpret_cast<MFCreateVirtualCameraFunction>(
            reinterpret_cast<void*>(GetProcAddress(module.get(), "MFCreateVirtualCamera")));
        isSupported = reinterpret_cast<MFIsVirtualCameraTypeSupportedFunction>(
            reinterpret_cast<void*>(GetProcAddress(module.get(), "MFIsVirtualCameraTypeSupported")));
    }

    std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree> module;
};

HRESULT CreateVirtualCamera(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access, const wchar_t* name,
                            ComPtr<IMFVirtualCamera>& camera) {
    const VirtualCameraLibrary& library = VirtualCameraLibrary::Instance();
    if (library.create == nullptr) {
        return library.missingResult;
    }
    const HRESULT result = library.create(MFVirtualCameraType_SoftwareCameraSource, lifetime, access, name,
                                          kSourceClassIdString, nullptr, 0, camera.ReleaseAndGetAddressOf());
    // A success without an object would leave nothing to call.
    return SUCCEEDED(result) && !camera ? E_POINTER : result;
}

ULONG StringPropertySize(const wchar_t* text) {
    return static_cast<ULONG>((std::wcslen(text) + 1) * sizeof(wchar_t));
}

}  // namespace

MFIsVirtualCameraTypeSupportedFunction VirtualCameraSupportQuery() {
    return VirtualCameraLibrary::Instance().isSupported;
}

int RegisterVirtualCamera(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access) {
    ComPtr<IMFVirtualCamera> camera;
    if (ReportFailure(CreateVirtualCamera(lifetime, access, kCameraName, camera), L"MFCreateVirtualCamera")) {
        return 1;
    }
    // The platform takes these as DEVPROP_TYPE_INT32, not as unsigned values.
    const INT32 lifetimeValue = lifetime;
    const INT32 accessValue = access;
    const struct {
        const DEVPROPKEY* key;
        DEVPROPTYPE type;
        const void* data;
        ULONG size;
        const wchar_t* callName;
    } properties[] = {
        {&DEVPKEY_DeviceInterface_VCamCreate_SourceId, DEVPROP_TYPE_STRING, kSourceClassIdString,
         StringPropertySize(kSourceClassIdString), L"IMFVirtualCamera::AddProperty(SourceId)"},
        {&DEVPKEY_DeviceInterface_VCamCreate_FriendlyName, DEVPROP_TYPE_STRING, kCameraName,
         StringPropertySize(kCameraName), L"IMFVirtualCamera::AddProperty(FriendlyName)"},
        {&DEVPKEY_DeviceInterface_VCamCreate_Lifetime, DEVPROP_TYPE_INT32, &lifetimeValue, sizeof(lifetimeValue),
         L"IMFVirtualCamera::AddProperty(Lifetime)"},
        {&DEVPKEY_DeviceInterface_VCamCreate_Access, DEVPROP_TYPE_INT32, &accessValue, sizeof(accessValue),
         L"IMFVirtualCamera::AddProperty(Access)"},
    };
    for (const auto& property : properties) {
        const HRESULT result = camera->AddProperty(property.key, property.type,
                                                   static_cast<const BYTE*>(property.data), property.size);
        if (ReportFailure(result, property.callName)) {
            return 1;
        }
    }
    if (ReportFailure(camera->Start(nullptr), L"IMFVirtualCamera::Start")) {
        WriteText(ConsoleStream::Error,
                  "0x80070005라면 관리자 권한과 Windows 카메라 개인정보 설정을 확인하세요.\n"
                  "관리자 PowerShell이라면 register-system을 먼저 사용하세요. 모든 사용자용은 더 엄격하게 막힐 수 "
                  "있습니다.\n"
                  "COM 활성화 오류라면 VelmoraSource.dll 등록 상태를 확인하세요.\n");
        return 1;
    }
    WriteText(ConsoleStream::Output,
              "가상 카메라를 등록했습니다.\n"
              "Windows 카메라 목록에서 Nivra을 확인하세요.\n");
    return 0;
}

int RemoveVirtualCamera(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access) {
    ComPtr<IMFVirtualCamera> camera;
    if (ReportFailure(CreateVirtualCamera(lifetime, access, kCameraName, camera), L"MFCreateVirtualCamera")) {
        return 1;
    }
    if (ReportFailure(camera->Remove(), L"IMFVirtualCamera::Remove")) {
        return 1;
    }
    WriteText(ConsoleStream::Output, "가상 카메라를 제거했습니다.\n");
    return 0;
}

void RemoveCamerasQuietly(MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access) {
    for (const wchar_t* name : {kCameraName, kLegacyCameraName}) {
        ComPtr<IMFVirtualCamera> camera;
        if (SUCCEEDED(CreateVirtualCamera(lifetime, access, name, camera))) {
            camera->Remove();
        }
    }
}

void RemoveAllVirtualCameras() {
    RemoveCamerasQuietly(MFVirtualCameraLifetime_Session, MFVirtualCameraAccess_CurrentUser);
    RemoveCamerasQuietly(MFVirtualCameraLifetime_Session, MFVirtualCameraAccess_AllUsers);
    RemoveCamerasQuietly(MFVirtualCameraLifetime_System, MFVirtualCameraAccess_CurrentUser);
    RemoveCamerasQuietly(MFVirtualCameraLifetime_System, MFVirtualCameraAccess_AllUsers);
    WriteText(ConsoleStream::Output, "Nivra/Vel Mora 가상 카메라 등록을 모두 제거했습니다.\n");
}

}  // namespace velmora
