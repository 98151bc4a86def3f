// The COM server as a client meets it: VelmoraSource.dll loaded from bin/, its four
// exports, the class factory, the activation object, self-registration (directly and
// through regsvr32), and many activate/start/stream/stop/shutdown cycles without a leak.
#include "tests/source/source_test_support.h"

#include "common/sdk_additions.h"
#include "library/com/object_count.h"
#include "tests/com/com_test_support.h"

namespace {

using namespace velmora::test;

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
    ASSERT_TRUE(Library().Complete());
    HMODULE again = LoadLibraryW(Library().path.c_str());
    EXPECT_EQ(again, Library().module);
    FreeLibrary(again);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"VelmoraSource.dll loaded."});
    EXPECT_EQ(Library().canUnloadNow(), S_OK);
}

TEST(ClassObject, FactoryAndActivationObjectInterfaces) {
    const SourceLibrary& library = Library();
    const auto getClassObject = [&](REFCLSID id, REFIID iid) {
        return [&, iid](void** object) { return library.getClassObject(id, iid, object); };
    };
    ExpectRefused(CLASS_E_CLASSNOTAVAILABLE, getClassObject(CLSID_NULL, __uuidof(IClassFactory)));
    ExpectRefused(E_NOINTERFACE, getClassObject(velmora::kSourceClassId, __uuidof(IMFActivate)));
    EXPECT_EQ(library.getClassObject(velmora::kSourceClassId, __uuidof(IClassFactory), nullptr), E_POINTER);
    EXPECT_EQ(library.canUnloadNow(), S_OK);  // the refused factory is gone

    ComPtr<IUnknown> asUnknown;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&asUnknown)), S_OK);
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_NE(static_cast<IUnknown*>(factory.Get()), asUnknown.Get());  // a new factory per call
    ExpectRefused(E_NOINTERFACE, [&](void** object) { return factory->QueryInterface(__uuidof(IMFActivate), object); });
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);

    ExpectRefused(CLASS_E_NOAGGREGATION,
                  [&](void** object) { return factory->CreateInstance(asUnknown.Get(), __uuidof(IMFActivate), object); });
    ExpectRefused(E_NOINTERFACE,
                  [&](void** object) { return factory->CreateInstance(nullptr, __uuidof(IMFMediaSource), object); });
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IMFActivate), nullptr), E_POINTER);
    const IID iids[3] = {__uuidof(IUnknown), __uuidof(IMFAttributes), __uuidof(IMFActivate)};
    for (int i = 0; i < 3; ++i) {  // one face answers all three
        ComPtr<IUnknown> face, same;
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
    UINT32 value = 0, count = 99;
    EXPECT_EQ(activate->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 42), S_OK);
    EXPECT_EQ(activate->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &value), S_OK);
    EXPECT_EQ(activate->GetCount(&count), S_OK);
    EXPECT_TRUE(value == 42 && count == 1);
    EXPECT_EQ(activate->GetUINT32(MF_MT_SAMPLE_SIZE, &value), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(activate->ActivateObject(__uuidof(IMFMediaSourceEx), nullptr), E_POINTER);
    ComPtr<IMFMediaSourceEx> first, second;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&second)), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    first.Reset(), second.Reset();
    // A refused interface: no source is handed out, and the one built is gone at once.
    ExpectRefused(E_NOINTERFACE, [&](void** object) { return activate->ActivateObject(__uuidof(IMFActivate), object); });
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
        first.Reset(), activate.Reset();
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
    wchar_t name[256], data[1024];
    for (DWORD i = 0, length = 256, size = sizeof data, type = 0;
         std::fill(std::begin(data), std::end(data), L'\0'),
               RegEnumValueW(key, i, name, &length, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == 0;
         ++i, length = 256, size = sizeof data) {
        text += std::wstring(name, length) + L"=" + std::to_wstring(type) + L":" + data + L"(" + std::to_wstring(size) + L")|";
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
        CloseHandle(process.hThread), CloseHandle(process.hProcess);
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

// One camera run as the camera service drives it; returns the delivered samples' sizes.
std::vector<DWORD> RunCamera(DWORD streamIndex, DWORD typeIndex, int samples) {
    std::vector<DWORD> sizes;
    ComPtr<IMFMediaSourceEx> source;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaType> type;
    ComPtr<IMFMediaStream2> stream;
    BOOL selected = FALSE;
    EXPECT_EQ(Library().Activate()->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {streamIndex});
    EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(streamIndex, &selected, &streamDescriptor), S_OK);
    EXPECT_EQ(streamDescriptor->GetMediaTypeHandler(&handler), S_OK);
    EXPECT_EQ(handler->GetMediaTypeByIndex(typeIndex, &type), S_OK);
    EXPECT_EQ(handler->SetCurrentMediaType(type.Get()), S_OK);
    EXPECT_EQ(source->Start(descriptor.Get(), &GUID_NULL, nullptr), S_OK);
    for (const auto& event : DrainEvents(source.Get())) {
        if (event.type == MENewStream) {
            event.object.As(&stream);
        }
    }
    EXPECT_TRUE(stream);
    if (stream) {
        EXPECT_EQ(stream->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
        for (int i = 0; i < samples; ++i) {
            EXPECT_EQ(stream->RequestSample(nullptr), S_OK);
        }
        for (const auto& event : DrainEvents(stream.Get())) {
            ComPtr<IMFSample> sample;
            DWORD length = 0;
            if (event.type == MEMediaSample && SUCCEEDED(event.object.As(&sample)) &&
                SUCCEEDED(sample->GetTotalLength(&length))) {
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
    const DWORD types[3] = {0, 3, 10};  // NV12 640x360 30, YUY2 640x480 30, NV12 640x360 60
    const DWORD sizes[3] = {345600, 614400, 345600};
    for (int cycle = 0; cycle < 24; ++cycle) {
        EXPECT_EQ(RunCamera(cycle % 3, types[cycle % 3], 2), std::vector<DWORD>(2, sizes[cycle % 3]))
            << "cycle " << cycle;
    }
    EXPECT_EQ(Library().CanUnloadSoon(), S_OK);  // the DLL's own object count is back to 0, no lock
}

}  // namespace
