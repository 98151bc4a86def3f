// Preparing and reading the real files of C:\ProgramData\Velmora (private to the test
// tree's Wine prefix).
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/velmora_names.h"

namespace testfiles {

inline std::wstring DataPath(const wchar_t* name) { return std::wstring(velmora::kDataDirectory) + L"\\" + name; }

// Empty when the file is missing.
inline std::string ReadAll(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline bool WriteAll(const std::wstring& path, const std::string& bytes) {
    CreateDirectoryW(velmora::kDataDirectory, nullptr);
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), std::streamsize(bytes.size())).flush());
}

inline void Remove(const std::wstring& path) { DeleteFileW(path.c_str()); }

}  // namespace testfiles
