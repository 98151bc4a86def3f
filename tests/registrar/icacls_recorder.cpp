// Test stand-in for icacls.exe: appends its own command line (UTF-8, one line) to the file
// named by VELMORA_ICACLS_LOG, so tests see exactly what the registrar ran.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t logPath[MAX_PATH * 4] = {};
    const DWORD length = GetEnvironmentVariableW(L"VELMORA_ICACLS_LOG", logPath, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) {
        return 0;
    }
    const wchar_t* commandLine = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    std::string line(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) {
        WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, line.data(), size, nullptr, nullptr);
    }
    line += '\n';
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
