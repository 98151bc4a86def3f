#include <windows.h>

#include "library/com/module.h"
#include "library/diagnostics/log.h"

namespace {
HMODULE moduleHandle = nullptr;
}

HMODULE LibraryModuleHandle() noexcept {
    return moduleHandle;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        moduleHandle = module;
        DisableThreadLibraryCalls(module);
        LogMessage(L"VelmoraSource.dll loaded.");
    }
    return TRUE;
}
