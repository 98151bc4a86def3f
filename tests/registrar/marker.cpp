// A file that must never run. Built as a DLL (planted as mfplat.dll and mfsensorgroup.dll)
// and as a program (planted as icacls.exe); loaded or started, it appends its own path to
// the file named by VELMORA_MARKER_LOG.
#include <windows.h>

namespace {

void Record(HMODULE self) {
    wchar_t log[1024] = {};
    wchar_t path[1024] = {};
    const DWORD logLength = GetEnvironmentVariableW(L"VELMORA_MARKER_LOG", log, 1024);
    const DWORD length = GetModuleFileNameW(self, path, 1023);
    if (logLength == 0 || logLength >= 1024) {
        return;
    }
    path[length] = L'\n';
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                              nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, path, (length + 1) * sizeof(wchar_t), &written, nullptr);
        CloseHandle(file);
    }
}

}  // namespace

#ifdef VELMORA_MARKER_DLL
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        Record(self);
    }
    return TRUE;
}
#else
int main() {
    Record(nullptr);
    return 0;
}
#endif
