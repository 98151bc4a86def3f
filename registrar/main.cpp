// VelmoraRegistrar: installs the source library and creates or removes the "Nivra"
// virtual camera. One verb per run; exit code 0 on success, 1 on failure, 2 when
// "status" finds software virtual cameras unsupported.
#include <mfapi.h>
#include <objbase.h>

#include <memory>
#include <string_view>
#include <type_traits>

#include "registrar/registrar.h"

namespace velmora {
namespace {

int RunStatus() {
    BOOL supported = FALSE;
    // Without the function (before Windows 11) the answer is simply "not supported".
    if (MFIsVirtualCameraTypeSupportedFunction query = VirtualCameraSupportQuery()) {
        if (ReportFailure(query(MFVirtualCameraType_SoftwareCameraSource, &supported),
                          L"MFIsVirtualCameraTypeSupported")) {
            return 1;
        }
    }
    WriteText(ConsoleStream::Output, supported ? "Media Foundation 소프트웨어 가상 카메라 지원: 예\n"
                                               : "Media Foundation 소프트웨어 가상 카메라 지원: 아니요\n");
    WriteText(ConsoleStream::Output,
              "가상 카메라 표시 이름: Nivra\n"
              "Media Source CLSID: {5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\n");
    return supported ? 0 : 2;
}

int InstallAndRegister(MFVirtualCameraAccess access) {
    const int installed = InstallSource();
    if (installed == 1) {
        return 1;
    }
    RemoveAllVirtualCameras();
    const int registered = RegisterVirtualCamera(MFVirtualCameraLifetime_System, access);
    return installed != 0 ? 1 : registered;
}

struct Verb {
    std::wstring_view name;
    int (*run)();
};

constexpr Verb kVerbs[] = {
    {L"status", RunStatus},
    {L"install-system", [] { return InstallAndRegister(MFVirtualCameraAccess_CurrentUser); }},
    {L"install-all-users", [] { return InstallAndRegister(MFVirtualCameraAccess_AllUsers); }},
    {L"uninstall-system",
     [] {
         RemoveAllVirtualCameras();
         UnregisterComServer();
         RemoveSourceCopies();
         return 0;
     }},
    {L"register-user",
     [] { return RegisterVirtualCamera(MFVirtualCameraLifetime_Session, MFVirtualCameraAccess_CurrentUser); }},
    {L"register-system",
     [] { return RegisterVirtualCamera(MFVirtualCameraLifetime_System, MFVirtualCameraAccess_CurrentUser); }},
    {L"register-all-users",
     [] { return RegisterVirtualCamera(MFVirtualCameraLifetime_System, MFVirtualCameraAccess_AllUsers); }},
    {L"remove-user",
     [] { return RemoveVirtualCamera(MFVirtualCameraLifetime_Session, MFVirtualCameraAccess_CurrentUser); }},
    {L"remove-system",
     [] { return RemoveVirtualCamera(MFVirtualCameraLifetime_System, MFVirtualCameraAccess_CurrentUser); }},
    {L"remove-all-users",
     [] { return RemoveVirtualCamera(MFVirtualCameraLifetime_System, MFVirtualCameraAccess_AllUsers); }},
    {L"remove-all",
     [] {
         RemoveAllVirtualCameras();
         return 0;
     }},
};

int RunVerb(std::wstring_view verb) {
    for (const Verb& candidate : kVerbs) {
        if (candidate.name == verb) {  // exact: no case folding, no trimming
            return candidate.run();
        }
    }
    PrintUsage();
    return 1;
}

// Media Foundation's start and shutdown, taken from System32 at run time: a static import
// would be resolved from the program's own folder first, before any code here runs.
class MediaFoundation {
public:
    HRESULT Start() {
        module.reset(LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (module) {
            startup = reinterpret_cast<Startup>(reinterpret_cast<void*>(GetProcAddress(module.get(), "MFStartup")));
            shutdown = reinterpret_cast<Shutdown>(reinterpret_cast<void*>(GetProcAddress(module.get(), "MFShutdown")));
        }
        if (startup == nullptr || shutdown == nullptr) {
            const DWORD error = GetLastError();
            return HRESULT_FROM_WIN32(error != 0 ? error : ERROR_PROC_NOT_FOUND);
        }
        static_assert(MF_VERSION == 0x00020070);
        return startup(MF_VERSION, MFSTARTUP_FULL);
    }
    void Stop() { shutdown(); }

private:
    using Startup = HRESULT(WINAPI*)(ULONG, DWORD);
    using Shutdown = HRESULT(WINAPI*)();
    struct ModuleFree {
        void operator()(HMODULE library) const noexcept { FreeLibrary(library); }
    };
    std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFree> module;
    Startup startup = nullptr;
    Shutdown shutdown = nullptr;
};

int RunRegistrar(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    if (argc != 2) {
        PrintUsage();
        return 1;
    }
    const std::wstring verb = argv[1];
    if (ReportFailure(CoInitializeEx(nullptr, COINIT_MULTITHREADED), L"CoInitializeEx")) {
        return 1;
    }
    MediaFoundation mediaFoundation;
    if (ReportFailure(mediaFoundation.Start(), L"MFStartup")) {
        CoUninitialize();
        return 1;
    }
    const int exitCode = RunVerb(verb);
    mediaFoundation.Stop();
    CoUninitialize();
    return exitCode;
}

}  // namespace
}  // namespace velmora

int wmain(int argc, wchar_t** argv) {
    // Before anything else: no DLL is ever loaded from the program's folder or the current
    // directory, where anyone may have put one beside a downloaded program.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return velmora::RunRegistrar(argc, argv);
}
