// The COM server as clients meet it: VelmoraSource.dll loaded from the test program's own
// folder, its four exports, the class factory, the activation object, self-registration
// (directly and through regsvr32), and the platform's source reader as an independent client
// that streams several formats and leaves nothing behind.
#include "tests/source/source_test_support.h"

#include <mfreadwrite.h>

#include "common/sdk_additions.h"
#include "common/velmora_names.h"
#include "library/com/object_count.h"

namespace {

using namespace velmora::test;

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// The library as a client loads it, with its exports resolved by name; kept for the program.
struct SourceLibrary {
    using Function = HRESULT(STDAPICALLTYPE*)();
    std::wstring path = ProgramFolder() + L"\\VelmoraSource.dll";
    HMODULE module = LoadLibraryW(path.c_str());
    Function canUnloadNow = Export<Function>("DllCanUnloadNow");
    HRESULT(STDAPICALLTYPE* getClassObject)(REFCLSID, REFIID, LPVOID*) =
        Export<decltype(getClassObject)>("DllGetClassObject");
    Function registerServer = Export<Function>("DllRegisterServer");
    Function unregisterServer = Export<Function>("DllUnregisterServer");

    template <class F>
    F Export(const char* name) const {
        return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }

    ComPtr<IMFActivate> Activate() const {
        ComPtr<IClassFactory> factory;
        ComPtr<IMFActivate> activate;
        if (SUCCEEDED(getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)))) {
            factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate));
        }
        return activate;
    }

    // Waits (bounded) for the library to become unloadable: clients such as the source reader
    // let go of their last references on their own threads.
    HRESULT CanUnloadSoon() const {
        HRESULT hr = canUnloadNow();
        for (int wait = 0; wait < 200 && hr != S_OK; ++wait) {
            Sleep(10);
            hr = canUnloadNow();
        }
        return hr;
    }
};

const SourceLibrary& Library() {
    static const SourceLibrary library;
    return library;
}

// Expects `call` to fail with `expected` and to leave the out pointer null.
template <class Call>
void ExpectRefused(HRESULT expected, Call call) {
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(call(&object), expected);
    EXPECT_EQ(object, nullptr);
}

// First in the program: nothing else writes the log yet.
TEST(LibraryEntry, LoadingLogsOnce) {
    LogTail log;
    ASSERT_NE(Library().module, nullptr) << "cannot load VelmoraSource.dll beside the test";
    ASSERT_TRUE(Library().canUnloadNow && Library().getClassObject && Library().registerServer &&
                Library().unregisterServer);
    HMODULE again = LoadLibraryW(Library().path.c_str());
    EXPECT_EQ(again, Library().module);
    FreeLibrary(again);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"VelmoraSource.dll loaded."});
    EXPECT_EQ(Library().canUnloadNow(), S_OK);
}

TEST(ClassObject, FactoryAndActivationObjectInterfaces) {
    const SourceLibrary& library = Library();
    ExpectRefused(CLASS_E_CLASSNOTAVAILABLE,
                  [&](void** object) { return library.getClassObject(CLSID_NULL, __uuidof(IClassFactory), object); });
    ExpectRefused(E_NOINTERFACE, [&](void** object) {
        return library.getClassObject(velmora::kSourceClassId, __uuidof(IMFActivate), object);
    });
    EXPECT_EQ(library.getClassObject(velmora::kSourceClassId, __uuidof(IClassFactory), nullptr), E_POINTER);
    EXPECT_EQ(library.canUnloadNow(), S_OK);  // the refused factory is gone

    ComPtr<IUnknown> asUnknown;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&asUnknown)), S_OK);
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_NE(static_cast<IUnknown*>(factory.Get()), asUnknown.Get());  // a new factory per call
    ExpectRefused(E_NOINTERFACE, [&](void** object) { return factory->QueryInterface(__uuidof(IMFActivate), object); });
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);
    ExpectRefused(CLASS_E_NOAGGREGATION, [&](void** object) {
        return factory->CreateInstance(asUnknown.Get(), __uuidof(IMFActivate), object);
    });
    ExpectRefused(E_NOINTERFACE,
                  [&](void** object) { return factory->CreateInstance(nullptr, __uuidof(IMFMediaSource), object); });
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IMFActivate), nullptr), E_POINTER);
    const IID iids[3] = {__uuidof(IUnknown), __uuidof(IMFAttributes), __uuidof(IMFActivate)};
    for (int i = 0; i < 3; ++i) {  // one face answers all three
        ComPtr<IUnknown> face;
        ComPtr<IUnknown> same;
        EXPECT_EQ(factory->CreateInstance(nullptr, iids[i], reinterpret_cast<void**>(face.GetAddressOf())), S_OK);
        EXPECT_EQ(face->QueryInterface(iids[(i + 1) % 3], reinterpret_cast<void**>(same.GetAddressOf())), S_OK);
        EXPECT_EQ(same.Get(), face.Get());
    }
    ComPtr<IMFActivate> activate;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)), S_OK);
    asUnknown.Reset();
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);  // the activation object is alive
    activate.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_OK);

    // LockServer holds the library; an unbalanced unlock does not wrap the count around.
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(library.canUnloadNow(), S_OK);
}

TEST(ActivationObject, AttributesLiveInTheInnerStoreAndEachActivationBuildsASource) {
    ComPtr<IMFActivate> activate = Library().Activate();
    ASSERT_TRUE(activate);
    EXPECT_EQ(activate->ShutdownObject(), S_OK);  // before any activation
    EXPECT_EQ(activate->DetachObject(), S_OK);
    UINT32 value = 0;
    UINT32 count = 99;
    EXPECT_EQ(activate->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 42), S_OK);
    EXPECT_EQ(activate->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &value), S_OK);
    EXPECT_EQ(activate->GetCount(&count), S_OK);
    EXPECT_TRUE(value == 42 && count == 1);
    EXPECT_EQ(activate->GetUINT32(MF_MT_SAMPLE_SIZE, &value), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(activate->ActivateObject(__uuidof(IMFMediaSourceEx), nullptr), E_POINTER);
    ComPtr<IMFMediaSourceEx> first;
    ComPtr<IMFMediaSourceEx> second;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&second)), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    first.Reset();
    second.Reset();
    // A refused interface: no source is handed out, and the one built is gone at once.
    ExpectRefused(E_NOINTERFACE,
                  [&](void** object) { return activate->ActivateObject(__uuidof(IMFActivate), object); });
    activate.Reset();
    EXPECT_EQ(Library().canUnloadNow(), S_OK);

    // Without an inner store every attribute call is refused; activation still works.
    for (auto store : {+[](IMFAttributes** a, UINT32) { return *a = nullptr, E_OUTOFMEMORY; },
                       +[](IMFAttributes** a, UINT32) { return *a = nullptr, S_OK; }}) {
        const std::uint32_t before = ObjectCount.load();
        *activate.ReleaseAndGetAddressOf() = new VelmoraActivate(store);
        for (HRESULT hr : {activate->GetCount(&value), activate->SetUINT32(MF_MT_SAMPLE_SIZE, 1),
                           activate->GetUINT32(MF_MT_SAMPLE_SIZE, &value), activate->LockStore(),
                           activate->CopyAllItems(nullptr), activate->GetItemByIndex(0, nullptr, nullptr)}) {
            EXPECT_EQ(hr, MF_E_NOT_INITIALIZED);
        }
        EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
        first.Reset();
        activate.Reset();
        EXPECT_EQ(ObjectCount.load(), before);
    }
}

// Every value of a key as "name=type:text(size)|", then "/subkey" for every subkey; "none"
// when the key does not exist.
std::wstring DescribeKey(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L"none";
    }
    std::wstring text;
    wchar_t name[256];
    wchar_t data[1024];
    for (DWORD i = 0, length = 256, size = sizeof data, type = 0;
         std::fill(std::begin(data), std::end(data), L'\0'),
               RegEnumValueW(key, i, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == 0;
         ++i, length = 256, size = sizeof data) {
        text += std::wstring(name, length) + L"=" + std::to_wstring(type) + L":" + data + L"(" + std::to_wstring(size) +
                L")|";
    }
    for (DWORD i = 0, length = 256; RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, length = 256) {
        text += L"/" + std::wstring(name, length);
    }
    RegCloseKey(key);
    return text;
}

void ExpectExactlyTheThreeValues() {
    wchar_t path[MAX_PATH] = {};
    const std::wstring loaded(path, GetModuleFileNameW(Library().module, path, MAX_PATH));
    const std::wstring inproc = DescribeKey(std::wstring(velmora::kClassKeyPath) + L"\\InprocServer32");
    const std::wstring pathValue = L"=1:" + loaded + L"(" + std::to_wstring((loaded.size() + 1) * 2) + L")|";
    const std::wstring threading = L"ThreadingModel=1:Both(10)|";
    EXPECT_EQ(DescribeKey(velmora::kClassKeyPath), L"=1:Nivra Media Source(38)|/InprocServer32");
    EXPECT_TRUE(inproc == pathValue + threading || inproc == threading + pathValue);
}

DWORD RunAndWait(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD exitCode = 0xFFFFFFFF;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, ProgramFolder().c_str(),
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return exitCode;
}

TEST(SelfRegistration, ExportsAndRegsvr32WriteAndRemoveExactlyTheClassLayout) {
    const SourceLibrary& library = Library();
    EXPECT_EQ(library.unregisterServer(), S_OK);
    EXPECT_EQ(library.unregisterServer(), S_OK);  // nothing to remove is no error
    EXPECT_EQ(DescribeKey(velmora::kClassKeyPath), L"none");
    ASSERT_EQ(library.registerServer(), S_OK);
    ASSERT_EQ(library.registerServer(), S_OK);  // rewrites the same three values
    ExpectExactlyTheThreeValues();
    ComPtr<IMFActivate> activate;  // COM now finds the class through the registration
    EXPECT_EQ(CoCreateInstance(velmora::kSourceClassId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&activate)), S_OK);
    activate.Reset();
    EXPECT_EQ(library.unregisterServer(), S_OK);
    EXPECT_EQ(DescribeKey(velmora::kClassKeyPath), L"none");

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring regsvr32 = L"\"" + std::wstring(system) + L"\\regsvr32.exe\" /s ";
    ASSERT_EQ(RunAndWait(regsvr32 + L"\"" + library.path + L"\""), 0u);
    ExpectExactlyTheThreeValues();
    ASSERT_EQ(RunAndWait(regsvr32 + L"/u \"" + library.path + L"\""), 0u);
    EXPECT_EQ(DescribeKey(velmora::kClassKeyPath), L"none");
}

// Last: it brings up the library's receiver thread.
TEST(SourceReader, ReadsSamplesInSeveralCatalogueFormatsAndLeavesNothingBehind) {
    const struct {
        DWORD catalogueIndex;
        GUID subtype;
        UINT64 size;
        DWORD sampleSize;
    } formats[] = {{0, MFVideoFormat_NV12, (640ull << 32) | 360, 345600},
                   {3, MFVideoFormat_YUY2, (640ull << 32) | 480, 614400},
                   {16, MFVideoFormat_NV12, (1280ull << 32) | 720, 1382400}};
    for (const auto& format : formats) {
        SCOPED_TRACE("catalogue index " + std::to_string(format.catalogueIndex));
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        ComPtr<IMFMediaType> native;
        ASSERT_EQ(Library().Activate()->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
        ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);
        ASSERT_EQ(reader->SetStreamSelection(MF_SOURCE_READER_ALL_STREAMS, FALSE), S_OK);
        ASSERT_EQ(reader->SetStreamSelection(0, TRUE), S_OK);
        ASSERT_EQ(reader->GetNativeMediaType(0, format.catalogueIndex, &native), S_OK);
        GUID subtype{};
        UINT64 size = 0;
        native->GetGUID(MF_MT_SUBTYPE, &subtype);
        native->GetUINT64(MF_MT_FRAME_SIZE, &size);
        EXPECT_TRUE(subtype == format.subtype && size == format.size);
        ASSERT_EQ(reader->SetCurrentMediaType(0, nullptr, native.Get()), S_OK);
        LONGLONG previousTime = -1;
        int delivered = 0;
        for (int attempt = 0; attempt < 20 && delivered < 5; ++attempt) {
            DWORD streamIndex = 99;
            DWORD flags = 0;
            LONGLONG time = 0;
            ComPtr<IMFSample> sample;
            ComPtr<IMFMediaBuffer> buffer;
            const HRESULT hr = reader->ReadSample(0, 0, &streamIndex, &flags, &time, &sample);
            ASSERT_EQ(hr, S_OK) << HrText(hr);
            ASSERT_EQ(flags & (MF_SOURCE_READERF_ERROR | MF_SOURCE_READERF_ENDOFSTREAM), 0u);
            DWORD length = 0;
            if (sample) {  // else a notification without data
                ASSERT_EQ(sample->ConvertToContiguousBuffer(&buffer), S_OK);
                buffer->GetCurrentLength(&length);
                EXPECT_TRUE(streamIndex == 0 && length == format.sampleSize && time > previousTime) << length;
                previousTime = time;
                ++delivered;
            }
        }
        EXPECT_EQ(delivered, 5);
        reader.Reset();  // the reader shuts the source down
        DWORD characteristics = 0;
        EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
    }
    EXPECT_EQ(Library().CanUnloadSoon(), S_OK);  // the DLL's own object count is back to 0, no lock
}

}  // namespace
