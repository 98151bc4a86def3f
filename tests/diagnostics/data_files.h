// Preparing and reading the real files of C:\ProgramData\Velmora (private to the test
// tree's Wine prefix).
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/velmora_names.h"
#include "library/diagnostics/data_file.h"

namespace testfiles {

// The folder that holds the data directory.
inline constexpr wchar_t kProgramDataFolder[] = L"C:\\ProgramData";

inline std::wstring DataPath(const wchar_t* name) { return std::wstring(velmora::kDataDirectory) + L"\\" + name; }

// Empty when the file is missing.
inline std::string ReadAll(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary | std::ios::ate);
    std::string bytes(file ? static_cast<std::size_t>(file.tellg()) : 0, '\0');
    file.seekg(0).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline bool WriteAll(const std::wstring& path, const std::string& bytes) {
    CreateDirectoryW(velmora::kDataDirectory, nullptr);
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), std::streamsize(bytes.size())).flush());
}

inline void Remove(const std::wstring& path) { DeleteFileW(path.c_str()); }

// Runs `command` with the Linux shell in the Linux folder of C:\ProgramData: links made
// there are real, which Wine's own link functions are not. Only single quotes inside.
// True when it ran and exited with 0.
inline bool LinuxShell(const std::string& command) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* folder = unixName != nullptr ? unixName(kProgramDataFolder) : nullptr;
    if (folder == nullptr) {
        return false;
    }
    const std::string line =
        "/bin/sh -c \"cd '" + std::string(folder) + "' && { " + command + "; }; echo $? >velmora-shell-status\"";
    HeapFree(GetProcessHeap(), 0, folder);
    const std::wstring status = std::wstring(kProgramDataFolder) + L"\\velmora-shell-status";
    Remove(status);
    std::wstring wide(line.begin(), line.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
        return false;
    }
    // Wine returns no process handle for a Linux program and leaves the thread field
    // undefined; the status file tells the end.
    const velmora::UniqueFileHandle process(started.hProcess);
    const velmora::UniqueFileHandle thread(started.hProcess != nullptr ? started.hThread : nullptr);
    std::string text;
    for (int i = 0; i < 500 && text.empty(); ++i) {
        Sleep(10);
        text = ReadAll(status);
    }
    Remove(status);
    return text == "0\n";
}

}  // namespace testfiles
