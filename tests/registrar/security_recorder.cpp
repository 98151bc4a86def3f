// ApplySecurity of the registrar that the tests run (Wine does not keep access lists, so
// they are checked as applied): each call appends a line to the file named by
// VELMORA_SECURITY_LOG, the handle's final path, the SECURITY_INFORMATION flags and the
// SDDL, tab-separated, UTF-8, then applies it; VELMORA_SECURITY_FAIL=N makes the N-th
// call fail with ERROR_ACCESS_DENIED instead.
#include <cstdio>
#include <string>

#include "registrar/registrar.h"
#include "tests/registrar/security_sddl.h"

namespace velmora {

DWORD ApplySecurity(HANDLE handle, SECURITY_INFORMATION information, PSID owner, PACL dacl) {
    static int calls = 0;
    ++calls;
    wchar_t path[2048] = {};
    const DWORD length = GetFinalPathNameByHandleW(handle, path, 2048, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    wchar_t flags[16];
    std::swprintf(flags, 16, L"0x%08lX", static_cast<unsigned long>(information));
    const std::wstring line = std::wstring(path, length < 2048 ? length : 0) + L"\t" + flags + L"\t" +
                              test::SecuritySddl(information, owner, dacl) + L"\n";
    std::string utf8(line.size() * 3, '\0');
    utf8.resize(WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr));
    wchar_t log[1024] = {};
    const DWORD logLength = GetEnvironmentVariableW(L"VELMORA_SECURITY_LOG", log, 1024);
    if (logLength > 0 && logLength < 1024) {
        HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    wchar_t fail[16] = {};
    if (GetEnvironmentVariableW(L"VELMORA_SECURITY_FAIL", fail, 16) > 0 && std::wcstol(fail, nullptr, 10) == calls) {
        return ERROR_ACCESS_DENIED;
    }
    return SetSecurityThroughHandle(handle, information, owner, dacl);
}

}  // namespace velmora
