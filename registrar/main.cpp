// VelmoraRegistrar: installs the source library and creates or removes the "Nivra"
// virtual camera. One verb per run; exit code 0 on success, 1 on failure, 2 when
// "status" finds software virtual cameras unsupported.
#include <mfapi.h>
#include <objbase.h>

#include <string_view>

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
    if (InstallSource() != 0) {
        return 1;
    }
    RemoveAllVirtualCameras();
    return RegisterVirtualCamera(MFVirtualCameraLifetime_System, access);
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
    static_assert(MF_VERSION == 0x00020070);
    if (ReportFailure(MFStartup(MF_VERSION, MFSTARTUP_FULL), L"MFStartup")) {
        CoUninitialize();
        return 1;
    }
    const int exitCode = RunVerb(verb);
    MFShutdown();
    CoUninitialize();
    return exitCode;
}

}  // namespace
}  // namespace velmora

int wmain(int argc, wchar_t** argv) {
    return velmora::RunRegistrar(argc, argv);
}
