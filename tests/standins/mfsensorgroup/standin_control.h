// Test-side utilities for the stand-in mfsensorgroup.dll: point its call log at a private
// file, set and restore its control variables, parse the recorded lines. See README.md.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/sdk_additions.h"

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

// One recorded call: the name, then key=value fields in recorded order (values unescaped).
struct CallLine {
    std::string raw;  // the line as written, without its line end
    std::string name;
    std::vector<std::pair<std::string, std::string>> fields;

    // The field's value, or "<missing>".
    std::string Field(const std::string& key) const
    {
        auto found = std::find_if(fields.begin(), fields.end(), [&](const auto& field) { return field.first == key; });
        return found != fields.end() ? found->second : "<missing>";
    }
};

inline CallLine ParseCallLine(const std::string& raw)
{
    CallLine line{raw, raw.substr(0, raw.find('\t')), {}};
    for (std::size_t tab = raw.find('\t'); tab != std::string::npos;) {
        const std::size_t next = raw.find('\t', tab + 1);
        const std::string part = raw.substr(tab + 1, next == std::string::npos ? std::string::npos : next - tab - 1);
        const std::size_t equals = std::min(part.find('='), part.size());
        std::string value;
        for (std::size_t i = equals + 1; i < part.size(); ++i) {
            char c = part[i];
            if (c == '\\' && i + 1 < part.size()) {
                c = part[++i];
                c = c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
            }
            value += c;
        }
        line.fields.emplace_back(part.substr(0, equals), value);
        tab = next;
    }
    return line;
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

// Every line of the log; a torn last line (no line end) shows as such.
inline std::vector<CallLine> ReadCallLog(const std::wstring& path)
{
    std::vector<CallLine> lines;
    const std::string bytes = ReadFileBytes(path);
    for (std::size_t start = 0, end = 0; start < bytes.size(); start = end + 1) {
        end = std::min(bytes.find('\n', start), bytes.size());
        lines.push_back(ParseCallLine(bytes.substr(start, end - start)));
    }
    return lines;
}

// Sets (or, with nullptr, removes) a variable for the lifetime of the object.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const wchar_t* variableName, const wchar_t* value) : name(variableName)
    {
        previous.resize(GetEnvironmentVariableW(name.c_str(), nullptr, 0));
        const DWORD length = GetEnvironmentVariableW(name.c_str(), previous.data(), static_cast<DWORD>(previous.size()));
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

// A fresh call log in the temporary folder, named in VELMORA_STANDIN_LOG while the object
// lives; the file is deleted at the end.
class TemporaryCallLog {
public:
    TemporaryCallLog() : path(MakePath()), variable(L"VELMORA_STANDIN_LOG", path.c_str()) {}
    ~TemporaryCallLog() { DeleteFileW(path.c_str()); }
    TemporaryCallLog(const TemporaryCallLog&) = delete;
    TemporaryCallLog& operator=(const TemporaryCallLog&) = delete;

    const std::wstring& Path() const { return path; }
    std::vector<CallLine> Lines() const { return ReadCallLog(path); }
    std::string Bytes() const { return ReadFileBytes(path); }
    void Clear() const { DeleteFileW(path.c_str()); }

private:
    static std::wstring MakePath()
    {
        wchar_t folder[MAX_PATH + 1] = {};
        wchar_t file[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"vsg", 0, file);  // creates the empty file
        return file;
    }

    std::wstring path;
    ScopedEnvironmentVariable variable;
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

    HMODULE Handle() const { return module; }
    void* Export(const char* name) const
    {
        return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
    }
    MFCreateVirtualCameraFunction CreateVirtualCamera() const
    {
        return reinterpret_cast<MFCreateVirtualCameraFunction>(Export("MFCreateVirtualCamera"));
    }
    MFIsVirtualCameraTypeSupportedFunction IsVirtualCameraTypeSupported() const
    {
        return reinterpret_cast<MFIsVirtualCameraTypeSupportedFunction>(Export("MFIsVirtualCameraTypeSupported"));
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
