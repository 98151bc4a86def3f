// VelmoraSource.dll as a client loads it: from the test program's own folder, with its
// exports resolved by name.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <string>

#include "common/velmora_names.h"

namespace velmora::test {

inline std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

struct SourceLibrary {
    using Function = HRESULT(STDAPICALLTYPE*)();
    std::wstring path = ProgramFolder() + L"\\VelmoraSource.dll";
    HMODULE module = LoadLibraryW(path.c_str());  // kept for the whole program
    Function canUnloadNow = Export<Function>("DllCanUnloadNow");
    HRESULT(STDAPICALLTYPE* getClassObject)(REFCLSID, REFIID, LPVOID*) = Export<decltype(getClassObject)>("DllGetClassObject");
    Function registerServer = Export<Function>("DllRegisterServer");
    Function unregisterServer = Export<Function>("DllUnregisterServer");

    template <class F>
    F Export(const char* name) const {
        return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }
    bool Complete() const { return canUnloadNow && getClassObject && registerServer && unregisterServer; }

    Microsoft::WRL::ComPtr<IMFActivate> Activate() const {
        Microsoft::WRL::ComPtr<IClassFactory> factory;
        Microsoft::WRL::ComPtr<IMFActivate> activate;
        if (SUCCEEDED(getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)))) {
            factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate));
        }
        return activate;
    }

    // Waits (bounded) for the library to become unloadable: clients such as the source
    // reader let go of their last references on their own threads.
    HRESULT CanUnloadSoon() const {
        HRESULT hr = canUnloadNow();
        for (int wait = 0; wait < 200 && hr != S_OK; ++wait, Sleep(10), hr = canUnloadNow()) {
        }
        return hr;
    }
};

}  // namespace velmora::test
