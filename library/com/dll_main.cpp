// The library's entry point and its four COM exports.
#include <windows.h>

#include "common/velmora_names.h"
#include "library/com/class_factory.h"
#include "library/com/module.h"
#include "library/com/object_count.h"
#include "library/diagnostics/log.h"

namespace {

HMODULE moduleHandle = nullptr;

// Registry results: 0 goes on, a positive Win32 code becomes an HRESULT, a negative
// value already is one.
HRESULT RegistryResult(LONG result) noexcept {
    if (result > 0) {
        return static_cast<HRESULT>(0x80070000u | (static_cast<ULONG>(result) & 0xFFFFu));
    }
    return static_cast<HRESULT>(result);
}

class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (key) {
            RegCloseKey(key);
        }
    }
    HKEY* Receive() noexcept { return &key; }
    HKEY Get() const noexcept { return key; }

private:
    HKEY key = nullptr;
};

// Creates or opens `path` under HKEY_LOCAL_MACHINE and writes one REG_SZ value.
HRESULT WriteStringValue(const wchar_t* path, const wchar_t* name, const wchar_t* data) noexcept {
    RegistryKey key;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                  nullptr, key.Receive(), nullptr);
    if (result != ERROR_SUCCESS) {
        return RegistryResult(result);
    }
    const DWORD size = static_cast<DWORD>((lstrlenW(data) + 1) * sizeof(wchar_t));
    result = RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), size);
    return RegistryResult(result);
}

constexpr wchar_t kInprocServerKeyPath[] =
    L"Software\\Classes\\CLSID\\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\\InprocServer32";

}  // namespace

HMODULE LibraryModuleHandle() noexcept {
    return moduleHandle;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        moduleHandle = module;
        DisableThreadLibraryCalls(module);
        LogMessage(L"VelmoraSource.dll loaded.");
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() {
    return ObjectCount.load() != 0 || LockCount.load() != 0 ? S_FALSE : S_OK;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID iid, LPVOID* object) {
    return GetSourceClassObject(classId, iid, object);
}

STDAPI DllRegisterServer() {
    // One unit more than the call may fill: a cut path (which older systems leave
    // unterminated) still ends in a terminator.
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(moduleHandle, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD error = GetLastError();
        if (static_cast<LONG>(error) > 0) {
            return RegistryResult(static_cast<LONG>(error));
        }
        if (error != 0) {
            return static_cast<HRESULT>(error);
        }
    }
    HRESULT hr = WriteStringValue(velmora::kClassKeyPath, nullptr, velmora::kSourceClassName);
    if (FAILED(hr)) {
        return hr;
    }
    hr = WriteStringValue(kInprocServerKeyPath, nullptr, path);
    if (FAILED(hr)) {
        return hr;
    }
    hr = WriteStringValue(kInprocServerKeyPath, L"ThreadingModel", L"Both");
    if (FAILED(hr)) {
        return hr;
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    const LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, velmora::kClassKeyPath);
    if (result == ERROR_FILE_NOT_FOUND) {
        return S_OK;
    }
    return RegistryResult(result);
}
