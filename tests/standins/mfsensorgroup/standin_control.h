// Test-side utilities for the stand-in mfsensorgroup.dll: read its call log, set and restore
// its control variables, restart its call numbering. See README.md.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>


namespace velmora::standin {

// Upper-case registry form with braces, as the call log writes GUIDs.
inline std::string GuidText(const GUID& value)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(value.Data1), value.Data2, value.Data3, value.Data4[0], value.Data4[1],
                  value.Data4[2], value.Data4[3], value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]);
    return text;
}

// The whole file; empty when it does not exist.
inline std::string ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return bytes;
}

// Every line of the log, without line ends; a torn last line (no line end) shows as such.
inline std::vector<std::string> ReadCallLog(const std::wstring& path)
{
    std::vector<std::string> lines;
    const std::string bytes = ReadFileBytes(path);
    for (std::size_t start = 0, end = 0; start < bytes.size(); start = end + 1) {
        end = std::min(bytes.find('\n', start), bytes.size());
        lines.push_back(bytes.substr(start, end - start));
    }
    return lines;
}

// Sets (or, with nullptr, removes) a variable for the lifetime of the object.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const wchar_t* variableName, const wchar_t* value) : name(variableName)
    {
        previous.resize(GetEnvironmentVariableW(name.c_str(), nullptr, 0));
        const DWORD length =
            GetEnvironmentVariableW(name.c_str(), previous.data(), static_cast<DWORD>(previous.size()));
        hadPrevious = !previous.empty() && length < previous.size();
        previous.resize(hadPrevious ? length : 0);
        SetEnvironmentVariableW(name.c_str(), value);
    }
    ~ScopedEnvironmentVariable() { SetEnvironmentVariableW(name.c_str(), hadPrevious ? previous.c_str() : nullptr); }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::wstring name;
    std::wstring previous;
    bool hadPrevious = false;
};

// The stand-in's exports, resolved at run time. By name, the program's own folder comes
// first, so that is bin\mfsensorgroup.dll.
class StandInModule {
public:
    explicit StandInModule(const wchar_t* path = L"mfsensorgroup.dll") : module(LoadLibraryW(path)) {}
    ~StandInModule()
    {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
    StandInModule(const StandInModule&) = delete;
    StandInModule& operator=(const StandInModule&) = delete;

    void* Export(const char* name) const
    {
        return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
    }
    // Restarts the numbering that "Name#N=" failure items count.
    void ResetCallCounts() const
    {
        if (auto reset = reinterpret_cast<void(WINAPI*)()>(Export("VelmoraStandInResetCallCounts"))) {
            reset();
        }
    }

private:
    HMODULE module;
};

}  // namespace velmora::standin
