// Shared by tests and the stand-in mfsensorgroup.dll: call-log GUID text and reading, control variables. See README.md.
#pragma once

#include <windows.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/library_log.h"

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

// Lower-case hex, as the call log writes binary data.
inline std::string Hex(const void* data, std::size_t size)
{
    std::string hex = data ? "" : "null";
    for (std::size_t at = 0; data && at < size; ++at) {
        hex += "0123456789abcdef"[static_cast<const unsigned char*>(data)[at] >> 4];
        hex += "0123456789abcdef"[static_cast<const unsigned char*>(data)[at] & 0x0F];
    }
    return hex;
}

// The process's current value (the C runtime's copy misses SetEnvironmentVariableW); empty when unset.
inline std::wstring Variable(const wchar_t* name)
{
    wchar_t value[4096];
    const DWORD length = GetEnvironmentVariableW(name, value, 4096);
    return length < 4096 ? std::wstring(value, length) : std::wstring();
}

// Every line of the log without its line end; a torn last line shows as it is.
inline std::vector<std::string> ReadCallLog(const std::wstring& path)
{
    std::vector<std::string> lines;
    std::istringstream log(velmora::test::ReadFileBytes(path));
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace velmora::standin
