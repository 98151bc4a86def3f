// The media source's COM class registration under HKEY_LOCAL_MACHINE, pointing at the
// installed copy of the library.
#include <cwchar>
#include <string>

#include "common/velmora_names.h"
#include "registrar/registrar.h"

namespace velmora {
namespace {

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }

    // Creates or opens the key; returns the Win32 result.
    LSTATUS Create(HKEY parent, const wchar_t* subKey) {
        return RegCreateKeyExW(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | KEY_WOW64_64KEY,
                               nullptr, &key, nullptr);
    }
    HKEY get() const { return key; }

private:
    HKEY key = nullptr;
};

void PrintRegistryError(const char* message, LSTATUS status) {
    WriteText(ConsoleStream::Error, std::string(message) + std::to_string(static_cast<long>(status)) + "\n");
}

// Writes a REG_SZ value with its terminating zero; reports a failure and returns false.
bool WriteStringValue(HKEY key, const wchar_t* name, const wchar_t* data) {
    const DWORD size = static_cast<DWORD>((std::wcslen(data) + 1) * sizeof(wchar_t));
    const LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS) {
        PrintRegistryError("Registry write failed: ", status);
        return false;
    }
    return true;
}

}  // namespace

int RegisterComServer(const std::wstring& libraryPath) {
    static_assert(sizeof(kClassKeyPath) / sizeof(wchar_t) == 61 + 1);
    RegistryKey classKey;
    LSTATUS status = classKey.Create(HKEY_LOCAL_MACHINE, kClassKeyPath);
    if (status != ERROR_SUCCESS) {
        PrintRegistryError("COM CLSID registry key creation failed: ", status);
        return 1;
    }
    bool allWritten = WriteStringValue(classKey.get(), nullptr, kSourceClassName);

    RegistryKey serverKey;
    status = serverKey.Create(classKey.get(), L"InprocServer32");
    if (status != ERROR_SUCCESS) {
        PrintRegistryError("COM InprocServer32 registry key creation failed: ", status);
        return 1;
    }
    allWritten = WriteStringValue(serverKey.get(), nullptr, libraryPath.c_str()) && allWritten;
    allWritten = WriteStringValue(serverKey.get(), L"ThreadingModel", L"Both") && allWritten;
    return allWritten ? 0 : 1;
}

void UnregisterComServer() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kClassKeyPath);
}

}  // namespace velmora
