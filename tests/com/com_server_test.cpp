// The COM server as a client meets it: VelmoraSource.dll loaded from bin/, its four
// exports, the class factory, the activation object, self-registration (directly and
// through regsvr32), and many activate/start/stream/stop/shutdown cycles without a leak.
#include "tests/source/source_test_support.h"

#include <string>
#include <vector>

#include "common/sdk_additions.h"
#include "common/velmora_names.h"
#include "library/com/activate.h"
#include "library/com/object_count.h"

namespace {

using namespace velmora::test;

template <class Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

using DllCanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();
using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using DllRegisterFunction = HRESULT(STDAPICALLTYPE*)();

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// The deliverable, loaded once for the whole program.
struct Library {
    HMODULE module = nullptr;
    std::wstring path;
    DllCanUnloadNowFunction canUnloadNow = nullptr;
    DllGetClassObjectFunction getClassObject = nullptr;
    DllRegisterFunction registerServer = nullptr;
    DllRegisterFunction unregisterServer = nullptr;

    static Library& Get() {
        static Library library = Load();
        return library;
    }

    static Library Load() {
        Library library;
        library.path = ProgramFolder() + L"\\VelmoraSource.dll";
        library.module = LoadLibraryW(library.path.c_str());
        if (library.module) {
            library.canUnloadNow =
                Export<DllCanUnloadNowFunction>(library.module, "DllCanUnloadNow");
            library.getClassObject =
                Export<DllGetClassObjectFunction>(library.module, "DllGetClassObject");
            library.registerServer =
                Export<DllRegisterFunction>(library.module, "DllRegisterServer");
            library.unregisterServer =
                Export<DllRegisterFunction>(library.module, "DllUnregisterServer");
        }
        return library;
    }

    ComPtr<IClassFactory> Factory() const {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)), S_OK);
        return factory;
    }

    ComPtr<IMFActivate> Activate() const {
        ComPtr<IMFActivate> activate;
        ComPtr<IClassFactory> factory = Factory();
        if (factory) {
            EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)), S_OK);
        }
        return activate;
    }
};

// First in the program: nothing else writes the log yet.
TEST(LibraryEntry, LoadingLogsOnceAndExportsTheFourFunctions) {
    LogTail log;
    Library& library = Library::Get();
    ASSERT_NE(library.module, nullptr) << "cannot load VelmoraSource.dll beside the test";
    HMODULE again = LoadLibraryW(library.path.c_str());
    EXPECT_EQ(again, library.module);
    FreeLibrary(again);
    EXPECT_EQ(log.Count("VelmoraSource.dll loaded."), 1u);

    ASSERT_TRUE(library.canUnloadNow && library.getClassObject && library.registerServer && library.unregisterServer);
    EXPECT_EQ(library.canUnloadNow(), S_OK);
}

TEST(ClassObject, OnlyTheSourceClassAndOnlyTheFactoryInterfaces) {
    Library& library = Library::Get();
    ASSERT_TRUE(library.getClassObject);
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(library.getClassObject(CLSID_NULL, __uuidof(IClassFactory), &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library.getClassObject(velmora::kSourceClassId, __uuidof(IClassFactory), nullptr), E_POINTER);
    object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(library.getClassObject(velmora::kSourceClassId, __uuidof(IMFActivate), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library.canUnloadNow(), S_OK);  // the refused factory is gone

    ComPtr<IUnknown> asUnknown;
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&asUnknown)), S_OK);
    ComPtr<IClassFactory> factory = library.Factory();
    ASSERT_TRUE(factory);
    EXPECT_NE(static_cast<IUnknown*>(factory.Get()), asUnknown.Get());  // a new factory per call
    ComPtr<IUnknown> factoryUnknown;
    EXPECT_EQ(factory.As(&factoryUnknown), S_OK);
    EXPECT_EQ(factoryUnknown.Get(), static_cast<IUnknown*>(factory.Get()));
    object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->QueryInterface(__uuidof(IMFActivate), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);

    // CreateInstance: no aggregation, the activation object's interfaces only.
    object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(asUnknown.Get(), __uuidof(IMFActivate), &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IMFActivate), nullptr), E_POINTER);
    object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IMFMediaSource), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    for (const IID& iid : {__uuidof(IUnknown), __uuidof(IMFAttributes), __uuidof(IMFActivate)}) {
        ComPtr<IUnknown> instance;
        EXPECT_EQ(factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(instance.GetAddressOf())), S_OK);
        EXPECT_TRUE(instance);
    }

    ComPtr<IMFActivate> activate;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)), S_OK);
    asUnknown.Reset();
    factoryUnknown.Reset();
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);  // the activation object is alive
    activate.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_OK);
}

TEST(ClassObject, LockServerHoldsTheLibrary) {
    Library& library = Library::Get();
    ComPtr<IClassFactory> factory = library.Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);
    factory = library.Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_OK);

    // An unbalanced unlock does not wrap the count around.
    factory = library.Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_OK);
}

TEST(ActivationObject, AttributesLiveInTheInnerStore) {
    Library& library = Library::Get();
    ComPtr<IMFActivate> activate = library.Activate();
    ASSERT_TRUE(activate);
    EXPECT_EQ(activate->ShutdownObject(), S_OK);  // before any activation
    EXPECT_EQ(activate->DetachObject(), S_OK);

    ComPtr<IUnknown> unknown;
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(activate.As(&unknown), S_OK);
    ASSERT_EQ(activate.As(&attributes), S_OK);
    EXPECT_EQ(unknown.Get(), static_cast<IUnknown*>(activate.Get()));
    EXPECT_EQ(attributes.Get(), static_cast<IMFAttributes*>(activate.Get()));
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(activate->QueryInterface(__uuidof(IMFMediaSource), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(activate->QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);

    UINT32 count = 99;
    EXPECT_EQ(activate->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    const GUID key = MF_DEVICESTREAM_STREAM_ID;
    EXPECT_EQ(activate->SetUINT32(key, 42), S_OK);
    UINT32 value = 0;
    EXPECT_EQ(activate->GetUINT32(key, &value), S_OK);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(activate->SetString(MF_MT_SUBTYPE, L"text"), S_OK);
    wchar_t text[8] = {};
    EXPECT_EQ(activate->GetString(MF_MT_SUBTYPE, text, 8, nullptr), S_OK);
    EXPECT_STREQ(text, L"text");
    EXPECT_EQ(activate->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    GUID first{};
    EXPECT_EQ(activate->GetItemByIndex(0, &first, nullptr), S_OK);
    EXPECT_EQ(first, key);
    ComPtr<IMFAttributes> copy;
    ASSERT_EQ(MFCreateAttributes(&copy, 2), S_OK);
    EXPECT_EQ(activate->CopyAllItems(copy.Get()), S_OK);
    BOOL same = FALSE;
    EXPECT_EQ(activate->Compare(copy.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same), S_OK);
    EXPECT_TRUE(same);
    EXPECT_EQ(activate->GetUINT32(MF_MT_SAMPLE_SIZE, &value), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(activate->DeleteAllItems(), S_OK);
    EXPECT_EQ(activate->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST(ActivationObject, EveryActivationBuildsItsOwnSource) {
    Library& library = Library::Get();
    ComPtr<IMFActivate> activate = library.Activate();
    ASSERT_TRUE(activate);
    EXPECT_EQ(activate->ActivateObject(__uuidof(IMFMediaSourceEx), nullptr), E_POINTER);

    ComPtr<IMFMediaSourceEx> first;
    ComPtr<IMFMediaSourceEx> second;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&second)), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    ComPtr<IMFPresentationDescriptor> descriptor;
    ASSERT_EQ(first->CreatePresentationDescriptor(&descriptor), S_OK);
    DWORD count = 0;
    EXPECT_EQ(descriptor->GetStreamDescriptorCount(&count), S_OK);
    EXPECT_EQ(count, 3u);
    descriptor.Reset();
    first.Reset();
    second.Reset();

    // A refused interface: no source is handed out, and the one built is gone at once.
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(activate->ActivateObject(__uuidof(IMFActivate), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(activate->ShutdownObject(), S_OK);
    activate.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_OK);
}

HRESULT WINAPI FailingStore(IMFAttributes** attributes, UINT32) {
    *attributes = nullptr;
    return E_OUTOFMEMORY;
}

HRESULT WINAPI EmptySuccessStore(IMFAttributes** attributes, UINT32) {
    *attributes = nullptr;
    return S_OK;
}

TEST(ActivationObject, WithoutAnInnerStoreAttributeCallsAreRefused) {
    for (auto factory : {&FailingStore, &EmptySuccessStore}) {
        const std::uint32_t before = ObjectCount.load();
        {
            ComPtr<IMFActivate> activate;
            *activate.ReleaseAndGetAddressOf() = new VelmoraActivate(factory);
            UINT32 value = 7;
            EXPECT_EQ(activate->GetCount(&value), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->SetUINT32(MF_MT_SAMPLE_SIZE, 1), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->GetUINT32(MF_MT_SAMPLE_SIZE, &value), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->LockStore(), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->UnlockStore(), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->DeleteAllItems(), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->CopyAllItems(nullptr), MF_E_NOT_INITIALIZED);
            EXPECT_EQ(activate->GetItemByIndex(0, nullptr, nullptr), MF_E_NOT_INITIALIZED);
            // Sources never depend on the store.
            ComPtr<IMFMediaSource> source;
            EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
            EXPECT_TRUE(source);
        }
        EXPECT_EQ(ObjectCount.load(), before);
    }
}

// ---- Self-registration ------------------------------------------------------------------

const std::wstring kClassKey = velmora::kClassKeyPath;
const std::wstring kInprocKey = kClassKey + L"\\InprocServer32";

struct RegistryValue {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
    std::wstring Text() const {
        return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    }
};

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Every value and subkey name of one key.
struct KeyContents {
    std::vector<RegistryValue> values;
    std::vector<std::wstring> subkeys;
};

KeyContents ReadKey(const std::wstring& path) {
    KeyContents contents;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return contents;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[2048];
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            break;
        }
        contents.values.push_back({std::wstring(name, nameLength), type, std::vector<BYTE>(data, data + size)});
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        contents.subkeys.emplace_back(name, nameLength);
    }
    RegCloseKey(key);
    return contents;
}

std::wstring WithTerminator(const std::wstring& text) {
    return text + L'\0';
}

void ExpectExactlyTheThreeValues(const std::wstring& libraryPath) {
    const KeyContents classKey = ReadKey(kClassKey);
    ASSERT_EQ(classKey.values.size(), 1u);
    EXPECT_EQ(classKey.values[0].name, L"");
    EXPECT_EQ(classKey.values[0].type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(classKey.values[0].data.size(), 38u);
    EXPECT_EQ(classKey.values[0].Text(), WithTerminator(L"Nivra Media Source"));
    EXPECT_EQ(classKey.subkeys, std::vector<std::wstring>{L"InprocServer32"});

    const KeyContents inproc = ReadKey(kInprocKey);
    EXPECT_TRUE(inproc.subkeys.empty());
    ASSERT_EQ(inproc.values.size(), 2u);
    for (const auto& value : inproc.values) {
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
        if (value.name.empty()) {
            EXPECT_EQ(value.Text(), WithTerminator(libraryPath));
            EXPECT_EQ(value.data.size(), (libraryPath.size() + 1) * 2);
        } else {
            EXPECT_EQ(value.name, L"ThreadingModel");
            EXPECT_EQ(value.Text(), WithTerminator(L"Both"));
            EXPECT_EQ(value.data.size(), 10u);
        }
    }
}

std::wstring LoadedPath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

DWORD RunAndWait(std::wstring commandLine, const std::wstring& folder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

TEST(SelfRegistration, ExportsWriteAndRemoveExactlyTheClassLayout) {
    Library& library = Library::Get();
    ASSERT_TRUE(library.registerServer && library.unregisterServer);
    EXPECT_EQ(library.unregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(kClassKey));
    EXPECT_EQ(library.unregisterServer(), S_OK);  // nothing to remove is no error

    ASSERT_EQ(library.registerServer(), S_OK);
    ExpectExactlyTheThreeValues(LoadedPath(library.module));
    ASSERT_EQ(library.registerServer(), S_OK);  // rewrites the same three values
    ExpectExactlyTheThreeValues(LoadedPath(library.module));

    // COM now finds the class through the registration.
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(CoGetClassObject(velmora::kSourceClassId, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)), S_OK);
    ComPtr<IMFActivate> activate;
    EXPECT_EQ(CoCreateInstance(velmora::kSourceClassId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&activate)), S_OK);
    factory.Reset();
    activate.Reset();

    EXPECT_EQ(library.unregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(kClassKey));
}

TEST(SelfRegistration, Regsvr32RegistersTheFileItLoaded) {
    Library& library = Library::Get();
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring regsvr32 = std::wstring(system) + L"\\regsvr32.exe";
    const std::wstring folder = ProgramFolder();

    ASSERT_EQ(RunAndWait(L"\"" + regsvr32 + L"\" /s \"" + library.path + L"\"", folder), 0u);
    ExpectExactlyTheThreeValues(LoadedPath(library.module));
    ASSERT_EQ(RunAndWait(L"\"" + regsvr32 + L"\" /u /s \"" + library.path + L"\"", folder), 0u);
    EXPECT_FALSE(KeyExists(kClassKey));
}

// ---- Many camera runs in one process ------------------------------------------------------

// One camera run as the camera service drives it; returns the samples' buffer sizes.
std::vector<DWORD> RunCamera(const Library& library, DWORD streamIndex, DWORD typeIndex, int samples) {
    std::vector<DWORD> sizes;
    ComPtr<IMFActivate> activate = library.Activate();
    ComPtr<IMFMediaSourceEx> source;
    EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    if (!source) {
        return sizes;
    }
    ComPtr<IMFPresentationDescriptor> descriptor;
    EXPECT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    for (DWORD index = 0; index < 3; ++index) {
        if (index == streamIndex) {
            descriptor->SelectStream(index);
        } else {
            descriptor->DeselectStream(index);
        }
    }
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(streamIndex, &selected, &streamDescriptor), S_OK);
    EXPECT_EQ(streamDescriptor->GetMediaTypeHandler(&handler), S_OK);
    EXPECT_EQ(handler->GetMediaTypeByIndex(typeIndex, &type), S_OK);
    EXPECT_EQ(handler->SetCurrentMediaType(type.Get()), S_OK);

    EXPECT_EQ(source->Start(descriptor.Get(), &GUID_NULL, nullptr), S_OK);
    ComPtr<IMFMediaStream2> stream;
    for (const auto& event : DrainEvents(source.Get()).events) {
        if (event.type == MENewStream && event.valueUnknown) {
            event.valueUnknown.As(&stream);
        }
    }
    EXPECT_TRUE(stream);
    if (stream) {
        EXPECT_EQ(stream->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
        for (int i = 0; i < samples; ++i) {
            EXPECT_EQ(stream->RequestSample(nullptr), S_OK);
        }
        for (const auto& event : DrainEvents(stream.Get()).events) {
            ComPtr<IMFSample> sample;
            ComPtr<IMFMediaBuffer> buffer;
            DWORD length = 0;
            if (event.type == MEMediaSample && event.valueUnknown && SUCCEEDED(event.valueUnknown.As(&sample)) &&
                SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer->GetCurrentLength(&length))) {
                sizes.push_back(length);
            }
        }
    }
    EXPECT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(source->Shutdown(), S_OK);
    return sizes;
}

// Last: it brings up the library's receiver thread.
TEST(CameraRuns, ManyCyclesLeaveNothingBehind) {
    Library& library = Library::Get();
    const DWORD types[3] = {0, 3, 10};  // NV12 640x360 30, YUY2 640x480 30, NV12 640x360 60
    const DWORD expectedSizes[3] = {345600, 614400, 345600};
    for (int cycle = 0; cycle < 24; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const std::vector<DWORD> sizes = RunCamera(library, cycle % 3, types[cycle % 3], 2);
        EXPECT_EQ(sizes, std::vector<DWORD>(2, expectedSizes[cycle % 3]));
    }
    EXPECT_EQ(library.canUnloadNow(), S_OK);
}

}  // namespace
