// The camera source as its clients meet it: VelmoraSource.dll from the program's own folder
// (exports, class factory, activation object, self-registration, the log lines of loading and
// starting it), and the library's media source: its faces, the events of Start, Stop, Pause
// and Shutdown, the media types, stores and sensor profiles (read back through the stand-in
// mfsensorgroup.dll) that the camera service reads.
#include <windows.h>
#include <ks.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/sdk_additions.h"
#include "common/velmora_names.h"
#include "library/com/activate.h"
#include "library/com/object_count.h"
#include "library/source/velmora_media_source.h"
#include "tests/common/library_log.h"
#include "tests/standins/mfsensorgroup/standin_control.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

namespace {

using Microsoft::WRL::ComPtr;
using Texts = std::vector<std::string>;
void* const kJunk = reinterpret_cast<void*>(0x1234);  // an out pointer a refusal must clear

struct MediaFoundation : testing::Environment {
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    }
    void TearDown() override {
        MFShutdown();
        CoUninitialize();
    }
};
testing::Environment* const mediaFoundation = testing::AddGlobalTestEnvironment(new MediaFoundation);

// The DLL as a client loads it (the program's folder is searched first), exports by name.
struct SourceLibrary {
    HMODULE module = LoadLibraryW(L"VelmoraSource.dll");
    template <class F>
    F Export(const char* name) const {
        return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }
    decltype(&DllCanUnloadNow) canUnloadNow = Export<decltype(&DllCanUnloadNow)>("DllCanUnloadNow");
    decltype(&DllGetClassObject) getClassObject = Export<decltype(&DllGetClassObject)>("DllGetClassObject");
    decltype(&DllRegisterServer) registerServer = Export<decltype(&DllRegisterServer)>("DllRegisterServer");
    decltype(&DllUnregisterServer) unregisterServer = Export<decltype(&DllUnregisterServer)>("DllUnregisterServer");

    ComPtr<IMFActivate> Activate() const {
        ComPtr<IClassFactory> factory;
        ComPtr<IMFActivate> activate;
        if (SUCCEEDED(getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)))) {
            factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate));
        }
        return activate;
    }
};

const SourceLibrary& Library() {
    static const SourceLibrary library;
    return library;
}

// A source from the library's own activation object, whose object count and seams this
// program sees.
ComPtr<IMFMediaSourceEx> NewSource(HRESULT expected = S_OK) {
    ComPtr<IMFActivate> activate;
    *activate.ReleaseAndGetAddressOf() = new VelmoraActivate();
    ComPtr<IMFMediaSourceEx> source;
    EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), expected);
    return source;
}

// The source's descriptor with exactly the given streams selected.
ComPtr<IMFPresentationDescriptor> Selecting(IMFMediaSource* source, std::initializer_list<DWORD> selected) {
    ComPtr<IMFPresentationDescriptor> descriptor;
    EXPECT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    for (DWORD index = 0; index < 3; ++index) {
        std::count(selected.begin(), selected.end(), index) ? descriptor->SelectStream(index)
                                                            : descriptor->DeselectStream(index);
    }
    return descriptor;
}

// An event as Events() shows it: its type, and ":id" when it carries a stream.
std::string E(MediaEventType type, DWORD id = 99) {
    return std::to_string(type) + (id < 99 ? ":" + std::to_string(id) : "");
}

// The queued events, read without waiting; "!" marks a failure status or an extended type.
// Announced streams are kept in `streams` and must keep their identity; `time` gets a time value.
Texts Events(IMFMediaEventGenerator* generator, ComPtr<IMFMediaStream>* streams = nullptr, LONGLONG* time = nullptr) {
    Texts texts;
    for (ComPtr<IMFMediaEvent> event; SUCCEEDED(generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event)); event.Reset()) {
        MediaEventType type = MEUnknown;
        HRESULT status = E_FAIL;
        GUID extended = GUID_NULL;
        PROPVARIANT value;
        PropVariantInit(&value);
        event->GetType(&type);
        event->GetStatus(&status);
        event->GetExtendedType(&extended);
        event->GetValue(&value);
        ComPtr<IMFMediaStream> stream;
        ComPtr<IMFStreamDescriptor> descriptor;
        DWORD id = 99;
        if (value.vt == VT_UNKNOWN && SUCCEEDED(value.punkVal->QueryInterface(IID_PPV_ARGS(&stream))) &&
            SUCCEEDED(stream->GetStreamDescriptor(&descriptor)) && SUCCEEDED(descriptor->GetStreamIdentifier(&id)) &&
            streams != nullptr && id < 3) {
            EXPECT_TRUE(!streams[id] || streams[id].Get() == stream.Get()) << "stream " << id << " changed identity";
            streams[id] = stream;
        }
        if (value.vt == VT_I8 && time != nullptr) {
            *time = value.hVal.QuadPart;
        }
        texts.push_back(E(type, id) + (status == S_OK && extended == GUID_NULL ? "" : "!"));
        PropVariantClear(&value);
    }
    return texts;
}

// Every kernel-streaming call is refused with ERROR_NOT_SUPPORTED and nothing returned.
void ExpectKsRefusal(IKsControl* control) {
    KSPROPERTY property{};
    ULONG returned[3] = {7, 7, 7};
    const HRESULT refused = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, nullptr), refused);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned[0]), refused);
    EXPECT_EQ(control->KsMethod(nullptr, 0, nullptr, 0, &returned[1]), refused);
    EXPECT_EQ(control->KsEvent(nullptr, 0, nullptr, 0, &returned[2]), refused);
    EXPECT_EQ(returned[0] + returned[1] + returned[2], 0u);
}

// First in the program, before a stream start brings up the receiver thread that also logs.
TEST(Log, LoadActivationDescriptorAndStartLines) {
    DeleteFileW(velmora::test::LogPath().c_str());
    ASSERT_NE(Library().module, nullptr) << "cannot load VelmoraSource.dll beside the test";
    ASSERT_TRUE(Library().canUnloadNow && Library().getClassObject && Library().registerServer &&
                Library().unregisterServer);
    const HMODULE again = LoadLibraryW(L"VelmoraSource.dll");
    EXPECT_EQ(again, Library().module);
    FreeLibrary(again);
    ComPtr<IMFActivate> activate = Library().Activate();
    ComPtr<IMFMediaSource> source;
    ASSERT_TRUE(activate);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(source->Start(Selecting(source.Get(), {2}).Get(), nullptr, nullptr), S_OK);
    const Texts expected = {"VelmoraSource.dll loaded.", "ActivateObject called.", "Media source Start called.",
                            "Media source Start failed: presentation descriptor is null.",
                            "CreatePresentationDescriptor called.", "Media source Start called.",
                            "Media source Start stream count: 3", "Media source Start stream index=2 selected=1 id=2"};
    std::string text = velmora::test::ReadLog();
    for (int attempt = 0; attempt < 200 && text.empty(); ++attempt) {  // the library may hold it this moment
        Sleep(5);
        text = velmora::test::ReadLog();
    }
    Texts messages;
    for (std::size_t at = 3, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        messages.push_back(text.substr(at + 20, end - at - 20));  // behind "YYYY-MM-DD hh:mm:ss "
    }
    messages.resize(std::min(messages.size(), expected.size()));
    EXPECT_EQ(messages, expected);
    source->Shutdown();
}

TEST(ClassFactory, AnswersAndTheLibraryCount) {
    const SourceLibrary& library = Library();
    void* object = kJunk;
    EXPECT_EQ(library.getClassObject(CLSID_NULL, __uuidof(IClassFactory), &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(library.getClassObject(velmora::kSourceClassId, __uuidof(IMFActivate), &object), E_NOINTERFACE);
    EXPECT_EQ(library.getClassObject(velmora::kSourceClassId, __uuidof(IClassFactory), nullptr), E_POINTER);
    EXPECT_EQ(library.canUnloadNow(), S_OK);  // the refused factory is gone
    ComPtr<IUnknown> outer;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&outer)), S_OK);
    ASSERT_EQ(library.getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_NE(static_cast<IUnknown*>(factory.Get()), outer.Get());  // a new factory per call
    EXPECT_EQ(library.canUnloadNow(), S_FALSE);
    object = kJunk;
    EXPECT_EQ(factory->CreateInstance(outer.Get(), __uuidof(IMFActivate), &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IMFMediaSource), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    ComPtr<IMFAttributes> attributes;
    ComPtr<IMFActivate> activate;  // one face for IUnknown, IMFAttributes and IMFActivate
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&attributes)), S_OK);
    ASSERT_EQ(attributes.As(&activate), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(activate.Get()), static_cast<IUnknown*>(attributes.Get()));
    outer.Reset();
    factory.Reset();
    attributes.Reset();
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
    EXPECT_EQ(activate->ActivateObject(__uuidof(IMFMediaSourceEx), nullptr), E_POINTER);
    ComPtr<IMFMediaSourceEx> first, second;
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&second)), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    first.Reset();
    second.Reset();
    void* object = kJunk;  // a refused interface: no source handed out, the one built gone at once
    EXPECT_EQ(activate->ActivateObject(__uuidof(IMFActivate), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    activate.Reset();
    EXPECT_EQ(Library().canUnloadNow(), S_OK);

}

// "values/subkeys" of a key, "none" when it does not exist.
std::wstring Shape(const std::wstring& path) {
    HKEY key = nullptr;
    DWORD subkeys = 0, values = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L"none";
    }
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                     nullptr);
    RegCloseKey(key);
    return std::to_wstring(values) + L"/" + std::to_wstring(subkeys);
}

// A REG_SZ value as "text(size in bytes)"; "none" when missing or of another type.
std::wstring Text(const std::wstring& path, const wchar_t* name) {
    wchar_t data[MAX_PATH] = {};
    DWORD size = sizeof data;
    return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) == ERROR_SUCCESS
               ? data + (L"(" + std::to_wstring(size) + L")")
               : L"none";
}

TEST(SelfRegistration, WritesAndRemovesExactlyTheClassLayout) {
    const SourceLibrary& library = Library();
    const std::wstring inproc = std::wstring(velmora::kClassKeyPath) + L"\\InprocServer32";
    EXPECT_EQ(library.unregisterServer(), S_OK);
    EXPECT_EQ(library.unregisterServer(), S_OK);  // nothing to remove is no error
    EXPECT_EQ(Shape(velmora::kClassKeyPath), L"none");
    ASSERT_EQ(library.registerServer(), S_OK);
    ASSERT_EQ(library.registerServer(), S_OK);  // rewrites the same three values
    wchar_t path[MAX_PATH] = {};
    const std::wstring loaded(path, GetModuleFileNameW(library.module, path, MAX_PATH));
    EXPECT_EQ(Shape(velmora::kClassKeyPath) + L" " + Shape(inproc), L"1/1 2/0");
    EXPECT_EQ(Text(velmora::kClassKeyPath, nullptr), L"Nivra Media Source(38)");
    EXPECT_EQ(Text(inproc, nullptr), loaded + L"(" + std::to_wstring((loaded.size() + 1) * 2) + L")");
    EXPECT_EQ(Text(inproc, L"ThreadingModel"), L"Both(10)");
    ComPtr<IMFActivate> activate;  // COM now finds the class through the registration
    EXPECT_EQ(CoCreateInstance(velmora::kSourceClassId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&activate)), S_OK);
    activate.Reset();
    EXPECT_EQ(library.unregisterServer(), S_OK);
    EXPECT_EQ(Shape(velmora::kClassKeyPath), L"none");
}

TEST(MediaSource, FacesShareOneCountAndAnswerAsALiveSource) {
    ComPtr<IMFMediaSourceEx> source = NewSource();
    ASSERT_TRUE(source);
    IUnknown* primary = source.Get();
    const IID all[7] = {__uuidof(IUnknown), __uuidof(IMFMediaEventGenerator), __uuidof(IMFMediaSource),
                        __uuidof(IMFMediaSourceEx), __uuidof(IMFGetService), __uuidof(IMFSampleAllocatorControl),
                        __uuidof(IKsControl)};
    ComPtr<IUnknown> faces[7];
    for (int i = 0; i < 7; ++i) {
        ComPtr<IUnknown> back;  // every face leads back to the primary one
        ASSERT_EQ(source->QueryInterface(all[i], reinterpret_cast<void**>(faces[i].GetAddressOf())), S_OK);
        EXPECT_EQ(faces[i]->QueryInterface(IID_PPV_ARGS(&back)), S_OK);
        EXPECT_EQ(back.Get(), primary);
        EXPECT_EQ(faces[i].Get() == primary, i < 4) << i;
    }
    const ULONG count = primary->AddRef();  // one count behind all faces
    EXPECT_EQ(faces[6]->Release(), count - 1);
    void* object = kJunk;
    const auto service = static_cast<IMFGetService*>(faces[4].Get());
    EXPECT_EQ(service->GetService(MF_RATE_CONTROL_SERVICE, __uuidof(IUnknown), &object), MF_E_UNSUPPORTED_SERVICE);
    EXPECT_EQ(object, nullptr);
    ExpectKsRefusal(static_cast<IKsControl*>(faces[6].Get()));
    DWORD characteristics = 0, input = 99;
    auto usage = MFSampleAllocatorUsage_UsesProvidedAllocator;
    EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, static_cast<DWORD>(MFMEDIASOURCE_IS_LIVE));
    const auto allocator = static_cast<IMFSampleAllocatorControl*>(faces[5].Get());
    EXPECT_EQ(allocator->GetAllocatorUsage(2, &input, &usage), S_OK);
    EXPECT_TRUE(input == 2 && usage == MFSampleAllocatorUsage_DoesNotAllocate);
    EXPECT_EQ(allocator->GetAllocatorUsage(3, &input, &usage), MF_E_INVALIDSTREAMNUMBER);
    source->Shutdown();
}

// From Stopped, Start announces new streams, from Started updated ones (the same objects);
// Stop reaches every stream, started or not; refusals and Pause change nothing. Shutdown
// wakes a waiting caller, and then every call on the source and its streams answers so.
TEST(MediaSource, LifeCycleEventsRefusalsAndShutdown) {
    const std::uint32_t before = ObjectCount.load();
    ComPtr<IMFMediaSourceEx> source = NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFMediaStream> streams[3];
    const auto refusals = [&] {
        const GUID otherFormat = MFVideoFormat_NV12;
        EXPECT_EQ(source->Start(Selecting(source.Get(), {0}).Get(), &otherFormat, nullptr),
                  MF_E_UNSUPPORTED_TIME_FORMAT);
        EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
        EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
        EXPECT_EQ(Events(source.Get()), Texts{});
    };
    refusals();
    // Nothing selected: stream 0 starts anyway (preview); the start time is the system time.
    LONGLONG time = -1;
    const LONGLONG start = MFGetSystemTime();
    ASSERT_EQ(source->Start(Selecting(source.Get(), {}).Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Events(source.Get(), streams, &time), Texts({E(MESourceStarted), E(MENewStream, 0)}));
    EXPECT_TRUE(time >= start && time <= MFGetSystemTime()) << time;
    refusals();
    ASSERT_EQ(source->Start(Selecting(source.Get(), {0, 2}).Get(), &GUID_NULL, nullptr), S_OK);
    EXPECT_EQ(Events(source.Get(), streams),
              Texts({E(MESourceStarted), E(MEUpdatedStream, 0), E(MEUpdatedStream, 2)}));
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(Events(source.Get(), streams), Texts{E(MESourceStopped)});
    refusals();
    ASSERT_EQ(source->Start(Selecting(source.Get(), {0, 1, 2}).Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Events(source.Get(), streams),
              Texts({E(MESourceStarted), E(MENewStream, 0), E(MENewStream, 1), E(MENewStream, 2)}));
    ASSERT_TRUE(streams[0] && streams[1] && streams[2]);
    ASSERT_EQ(source->Stop(), S_OK);
    ASSERT_EQ(source->Stop(), S_OK);  // accepted again, same events again
    EXPECT_EQ(Events(source.Get(), streams), Texts({E(MESourceStopped), E(MESourceStopped)}));
    const std::string on = E(MEStreamStarted), off = E(MEStreamStopped);
    EXPECT_EQ(Events(streams[0].Get()), Texts({on, on, off, on, off, off}));
    EXPECT_EQ(Events(streams[1].Get()), Texts({off, on, off, off}));
    EXPECT_EQ(Events(streams[2].Get()), Texts({on, off, on, off, off}));

    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0});
    std::atomic<HRESULT> blocked{S_OK};
    std::thread waiter([&] {
        ComPtr<IMFMediaEvent> event;
        blocked = source->GetEvent(0, &event);
    });
    Sleep(100);
    EXPECT_EQ(source->Shutdown(), S_OK);
    waiter.join();
    EXPECT_EQ(blocked.load(), MF_E_SHUTDOWN);
    EXPECT_EQ(source->Shutdown(), S_OK);
    DWORD characteristics = 0;
    auto cleared = static_cast<IMFPresentationDescriptor*>(kJunk);
    ComPtr<IMFMediaEvent> event;
    ComPtr<IMFAttributes> attributes;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    const HRESULT results[] = {source->GetCharacteristics(&characteristics),
                               source->CreatePresentationDescriptor(&cleared),
                               source->Start(descriptor.Get(), nullptr, nullptr),
                               source->Stop(),
                               source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event),
                               source->QueueEvent(MEError, GUID_NULL, S_OK, nullptr),
                               source->BeginGetEvent(nullptr, nullptr),
                               // the streams the caller still holds are shut down with their queues
                               streams[2]->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event),
                               streams[2]->GetStreamDescriptor(&streamDescriptor),
                               streams[2]->RequestSample(nullptr)};
    for (HRESULT hr : results) {
        EXPECT_EQ(hr, MF_E_SHUTDOWN) << &hr - results;
    }
    EXPECT_EQ(cleared, nullptr);
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
    EXPECT_EQ(source->GetSourceAttributes(&attributes), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(source->GetStreamAttributes(2, &attributes), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(source->SetD3DManager(nullptr), S_OK);  // the stateless faces answer as always
    source.Reset();
    descriptor.Reset();  // its stream descriptors hold control objects
    for (ComPtr<IMFMediaStream>& stream : streams) {
        stream.Reset();
    }
    EXPECT_EQ(ObjectCount.load(), before);
}

// A stream's source is the one that announced it; inside the source's last Release, before
// its streams are shut down, the stream refuses to hand it out.
IMFMediaStream* streamOfDyingSource = nullptr;
HRESULT dyingSourceResult = E_PENDING;

TEST(MediaSource, LastReleaseWithoutShutdownShutsTheStreamsDown) {
    const std::uint32_t before = ObjectCount.load();
    ComPtr<IMFMediaStream> streams[3];
    {
        ComPtr<IMFMediaSourceEx> source = NewSource();
        ComPtr<IMFMediaSource> owner;
        ASSERT_EQ(source->Start(Selecting(source.Get(), {1}).Get(), nullptr, nullptr), S_OK);
        Events(source.Get(), streams);
        ASSERT_TRUE(streamOfDyingSource = streams[1].Get());
        ASSERT_EQ(streams[1]->GetMediaSource(&owner), S_OK);
        EXPECT_EQ(owner.Get(), static_cast<IMFMediaSource*>(source.Get()));
        VelmoraMediaSource::lastReleaseSeam = [](VelmoraMediaSource*) {
            IMFMediaSource* dying = nullptr;  // never released: it would be gone with the source
            dyingSourceResult = streamOfDyingSource->GetMediaSource(&dying);
        };
    }
    VelmoraMediaSource::lastReleaseSeam = nullptr;
    EXPECT_EQ(dyingSourceResult, MF_E_SHUTDOWN);
    EXPECT_EQ(ObjectCount.load(), before + 1);  // only the stream held here
    ComPtr<IMFMediaEvent> event;
    EXPECT_EQ(streams[1]->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
    streams[1].Reset();
    EXPECT_EQ(ObjectCount.load(), before);
}

TEST(MediaSource, LifeCycleCallsRacingShutdownStaySafe) {
    for (int round = 0; round < 20; ++round) {
        ComPtr<IMFMediaSourceEx> source = NewSource();
        ASSERT_TRUE(source);
        ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0, 1});
        std::atomic<bool> unexpected{false};
        std::thread starter([&] {
            for (int i = 0; i < 30; ++i) {
                ComPtr<IMFAttributes> attributes;
                for (HRESULT hr : {source->Start(descriptor.Get(), nullptr, nullptr), source->Stop(),
                                   source->GetSourceAttributes(&attributes)}) {
                    unexpected = unexpected || (hr != S_OK && hr != MF_E_SHUTDOWN && hr != MF_E_NOT_INITIALIZED);
                }
            }
        });
        Sleep(round % 5);
        EXPECT_EQ(source->Shutdown(), S_OK);
        starter.join();
        EXPECT_FALSE(unexpected.load()) << "round " << round;
    }
}

// The store holds the four device-stream attributes (and `extra` more items).
void ExpectCaptureAttributes(IMFAttributes* attributes, UINT32 streamId, UINT32 extra) {
    GUID category{};
    UINT32 values[4] = {99, 0, 0, 0};
    attributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category);
    attributes->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &values[0]);
    attributes->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &values[1]);
    attributes->GetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, &values[2]);
    attributes->GetCount(&values[3]);
    EXPECT_EQ(category, VelmoraPinNameVideoCapture);
    EXPECT_EQ(std::vector<UINT32>(values, values + 4), std::vector<UINT32>({streamId, 1, 1, 4 + extra}));
}

// Three streams on a fresh descriptor (a caller's selection stays on its own clone), only
// the first selected, each with its attributes and control object. The twenty types run
// through the sizes at 30 fps, then at 60, NV12 before YUY2; one object per type behind all
// streams, with eleven attributes in a fixed order.
TEST(Catalogue, StreamsWithTheirStoresControlObjectsAndTypes) {
    ComPtr<IMFMediaSourceEx> source = NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {2}), fresh;
    ASSERT_EQ(source->CreatePresentationDescriptor(&fresh), S_OK);
    ComPtr<IMFMediaTypeHandler> handlers[3];
    DWORD streamCount = 0;
    EXPECT_EQ(fresh->GetStreamDescriptorCount(&streamCount), S_OK);
    EXPECT_EQ(streamCount, 3u);
    for (UINT32 id = 0; id < 3; ++id) {
        SCOPED_TRACE("stream " + std::to_string(id));
        BOOL selected = FALSE;
        DWORD identifier = 99, count = 0, flags = 0;
        ComPtr<IMFStreamDescriptor> stream;
        ComPtr<IMFMediaTypeHandler>& handler = handlers[id];
        ComPtr<IMFMediaType> current, first;
        ComPtr<IKsControl> control;
        ComPtr<IMFAttributes> store, again;
        ASSERT_EQ(fresh->GetStreamDescriptorByIndex(id, &selected, &stream), S_OK);
        EXPECT_EQ(stream->GetStreamIdentifier(&identifier), S_OK);
        EXPECT_TRUE(identifier == id && (selected != FALSE) == (id == 0));
        ASSERT_EQ(stream->GetMediaTypeHandler(&handler), S_OK);
        EXPECT_EQ(handler->GetMediaTypeCount(&count), S_OK);
        EXPECT_EQ(count, 20u);
        ASSERT_EQ(handler->GetCurrentMediaType(&current), S_OK);  // the first type
        ASSERT_EQ(handler->GetMediaTypeByIndex(0, &first), S_OK);
        EXPECT_EQ(first->IsEqual(current.Get(), &flags), S_OK);
        ExpectCaptureAttributes(stream.Get(), id, 1);  // and the control object
        ASSERT_EQ(stream->GetUnknown(StreamKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
        ExpectKsRefusal(control.Get());
        ASSERT_EQ(source->GetStreamAttributes(id, &store), S_OK);
        ASSERT_EQ(source->GetStreamAttributes(id, &again), S_OK);
        EXPECT_EQ(store.Get(), again.Get());  // the source's own store, not a copy
        ExpectCaptureAttributes(store.Get(), id, 0);
    }
    auto store = static_cast<IMFAttributes*>(kJunk);
    EXPECT_EQ(source->GetStreamAttributes(3, &store), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(store, nullptr);

    const UINT32 sizes[5][2] = {{640, 360}, {640, 480}, {960, 540}, {1280, 720}, {1920, 1080}};
    for (DWORD index = 0; index < 20; ++index) {
        const bool nv12 = index % 2 == 0;
        const UINT32 width = sizes[index % 10 / 2][0], height = sizes[index % 10 / 2][1], rate = index < 10 ? 30 : 60;
        const UINT32 sampleSize = nv12 ? width * height * 3 / 2 : width * height * 2;
        ComPtr<IMFMediaType> types[3], expected;
        for (int stream = 0; stream < 3; ++stream) {
            ASSERT_EQ(handlers[stream]->GetMediaTypeByIndex(index, &types[stream]), S_OK);
        }
        EXPECT_TRUE(types[0].Get() == types[1].Get() && types[0].Get() == types[2].Get()) << index;
        ASSERT_EQ(MFCreateMediaType(&expected), S_OK);
        expected->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        expected->SetGUID(MF_MT_SUBTYPE, nv12 ? MFVideoFormat_NV12 : MFVideoFormat_YUY2);
        expected->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
        expected->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
        expected->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1);
        MFSetAttributeSize(expected.Get(), MF_MT_FRAME_SIZE, width, height);
        MFSetAttributeRatio(expected.Get(), MF_MT_FRAME_RATE, rate, 1);
        MFSetAttributeRatio(expected.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
        expected->SetUINT32(MF_MT_DEFAULT_STRIDE, nv12 ? width : 2 * width);
        expected->SetUINT32(MF_MT_AVG_BITRATE, sampleSize * 8 * rate);
        expected->SetUINT32(MF_MT_SAMPLE_SIZE, sampleSize);
        BOOL same = FALSE;
        EXPECT_EQ(expected->Compare(types[0].Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same), S_OK);
        EXPECT_TRUE(same) << "type " << index;
        for (UINT32 item = 0; item < 11; ++item) {  // in this order, with these value types
            GUID keys[2] = {};
            PROPVARIANT values[2] = {};
            expected->GetItemByIndex(item, &keys[0], &values[0]);
            types[0]->GetItemByIndex(item, &keys[1], &values[1]);
            EXPECT_TRUE(keys[0] == keys[1] && values[0].vt == values[1].vt) << "type " << index << " item " << item;
            PropVariantClear(&values[0]);
            PropVariantClear(&values[1]);
        }
    }
}

// Source attributes: the control object and five profiles of three filters, one per stream.
TEST(Catalogue, SourceStoreWithControlObjectAndSensorProfiles) {
    ComPtr<IMFMediaSourceEx> source = NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFAttributes> attributes;
    ComPtr<IKsControl> control;
    ComPtr<IMFSensorProfileCollection> collection;
    UINT32 items = 0;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    EXPECT_EQ(attributes->GetCount(&items), S_OK);
    EXPECT_EQ(items, 2u);
    ASSERT_EQ(attributes->GetUnknown(SourceKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
    ExpectKsRefusal(control.Get());
    ASSERT_EQ(attributes->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&collection)), S_OK);
    ASSERT_EQ(collection->GetProfileCount(), 5u);
    const GUID types[5] = {KSCAMERAPROFILE_Legacy, KSCAMERAPROFILE_VideoConferencing, KSCAMERAPROFILE_VideoRecording,
                           KSCAMERAPROFILE_BalancedVideoAndPhoto, KSCAMERAPROFILE_HighQualityPhoto};
    for (DWORD index = 0; index < 5; ++index) {
        ComPtr<IMFSensorProfile> profile;
        ComPtr<IStandInSensorProfile> recorded;
        SENSORPROFILEID id{};
        UINT32 length = 99, filters = 0;
        ASSERT_EQ(collection->GetProfile(index, &profile), S_OK);
        ASSERT_EQ(profile->GetProfileId(&id), S_OK);
        EXPECT_TRUE(id.Type == types[index] && id.Index == 0) << index;
        ASSERT_EQ(profile.As(&recorded), S_OK);
        EXPECT_EQ(recorded->GetConstraints(nullptr, 0, &length), S_FALSE);  // no constraint string
        ASSERT_EQ(recorded->GetFilterCount(&filters), S_OK);
        ASSERT_EQ(filters, 3u);
        for (UINT32 filter = 0; filter < 3; ++filter) {
            UINT32 streamId = 99;
            std::wstring text;
            ASSERT_EQ(StandInGetFilter(recorded.Get(), filter, &streamId, &text), S_OK);
            EXPECT_TRUE(streamId == filter && text == L"((RES==;FRT<=30,1;SUT==))") << index << " " << filter;
        }
    }

    // A failing step of building the profiles fails the activation with its own result, and
    // the half-built source is gone at once.
    const std::uint32_t before = ObjectCount.load();
    for (const wchar_t* failure :
         {L"MFCreateSensorProfile#3=0x80004005", L"IMFSensorProfile::AddProfileFilter#8=0x80004005",
          L"IMFSensorProfileCollection::AddProfile=0x80004005", L"MFCreateSensorProfileCollection=0x80004005"}) {
        velmora::standin::StandInModule(L"mfsensorgroup.dll").ResetCallCounts();
        velmora::standin::ScopedEnvironmentVariable fail(L"VELMORA_STANDIN_FAIL", failure);
        EXPECT_FALSE(NewSource(E_FAIL));
        EXPECT_EQ(ObjectCount.load(), before);
    }
}

}  // namespace
