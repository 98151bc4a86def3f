// What the Windows test programs share: the platform's and Media Foundation's headers, COM
// pointers, Google Test, the library's files as tests read and set them, and registry values.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/library_log.h"

using Microsoft::WRL::ComPtr;

namespace velmora::test {

// A text value under HKLM as stored, terminators included; empty when absent.
inline std::wstring RegistryText(const std::wstring& subKey, const wchar_t* name, DWORD type = RRF_RT_REG_SZ) {
    wchar_t data[2048] = {};
    DWORD bytes = sizeof(data);
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name, type, nullptr, data, &bytes);
    return status == ERROR_SUCCESS ? std::wstring(data, bytes / sizeof(wchar_t)) : L"";
}

}  // namespace velmora::test
