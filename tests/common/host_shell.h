// The Linux shell for Windows tests: its links are real (Wine's are not), so tests can plant what an attacker would.
#pragma once

#include <windows.h>

#include <string>

#include "library/diagnostics/data_file.h"
#include "tests/common/library_log.h"

namespace velmora::test {

// The Linux name of a Windows path; empty outside Wine.
inline std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(const wchar_t*);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    const std::string name = unix != nullptr ? unix : "";
    HeapFree(GetProcessHeap(), 0, unix);
    return name;
}

// Runs `command` (single quotes only) with /bin/sh; true once it exited with 0.
inline bool HostShell(const std::string& command) {
    const std::wstring status = L"C:\\ProgramData\\velmora-shell-status";
    const std::string statusName = UnixPath(status);
    DeleteFileW(status.c_str());
    std::string line = "/bin/sh -c \"{ " + command + "; }; echo $? >'" + statusName + "'\"";
    std::wstring wide(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (statusName.empty() ||
        !CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return false;
    }
    // Wine gives a Linux program no process handle (and an undefined thread field), so wait for the status file.
    const UniqueFileHandle process(started.hProcess);
    const UniqueFileHandle thread(started.hProcess != nullptr ? started.hThread : nullptr);
    std::string text;
    for (int i = 0; i < 500 && text.empty(); ++i) {
        Sleep(10);
        text = ReadFileBytes(status);
    }
    DeleteFileW(status.c_str());
    return text == "0\n";
}

}  // namespace velmora::test
