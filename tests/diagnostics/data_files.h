// Preparing and reading the real files of C:\ProgramData\Velmora (private to the test
// tree's Wine prefix).
#pragma once

#include <windows.h>

#include <string>

#include "common/velmora_names.h"

namespace testfiles {

inline std::wstring DataPath(const wchar_t* name) {
    return std::wstring(velmora::kDataDirectory) + L"\\" + name;
}

inline std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

inline bool WriteAll(const std::wstring& path, const std::string& bytes) {
    CreateDirectoryW(velmora::kDataDirectory, nullptr);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

inline void Remove(const std::wstring& path) {
    DeleteFileW(path.c_str());
}

}  // namespace testfiles
