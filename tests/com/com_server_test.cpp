// The camera source as its clients meet it: VelmoraSource.dll from the program's own folder
// (class factory, activation object, self-registration, log lines), and the library's media
// source: its faces, the events of Start, Stop, Pause and Shutdown, the media types, stores and
// sensor profiles (read back through the stand-in mfsensorgroup.dll) that the camera service reads.
#include "tests/common/windows_test.h"  // first: the platform headers below need windows.h
#include <ks.h>
#include <olectl.h>

#include "common/sdk_additions.h"
#include "common/velmora_names.h"
#include "library/com/activate.h"
#include "library/com/object_count.h"
#include "library/source/velmora_media_source.h"
#include "tests/standins/mfsensorgroup/standin_sensor_profile.h"

namespace {

using Texts = std::vector<std::string>;
using velmora::test::RegistryText;
void* const kJunk = reinterpret_cast<void*>(0x1234);  // an out pointer a refusal must clear

// The DLL as a client loads it (the program's folder is searched first), on first use: the log
// test deletes the log before. Its exports are called by name.
HMODULE Library() {
    static const HMODULE module = LoadLibraryW(L"VelmoraSource.dll");
    return module;
}
#define EXPORTED(name) reinterpret_cast<decltype(&name)>(reinterpret_cast<void*>(GetProcAddress(Library(), #name)))

HRESULT GetClassObject(REFIID iid, void** object, REFCLSID classId = velmora::kSourceClassId) {
    return EXPORTED(DllGetClassObject)(classId, iid, object);
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

// The queued events, read without waiting; "!" marks a failure status. The first announcement of
// each stream lands in `streams` (a stream replaced later shows in that stream's own events).
Texts Events(IMFMediaEventGenerator* generator, ComPtr<IMFMediaStream>* streams = nullptr) {
    Texts texts;
    for (ComPtr<IMFMediaEvent> event; SUCCEEDED(generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event)); event.Reset()) {
        MediaEventType type = MEUnknown;
        HRESULT status = E_FAIL;
        PROPVARIANT value{};
        ComPtr<IMFMediaStream> stream;
        ComPtr<IMFStreamDescriptor> descriptor;
        DWORD id = 99;
        event->GetType(&type);
        event->GetStatus(&status);
        if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN &&
            SUCCEEDED(value.punkVal->QueryInterface(IID_PPV_ARGS(&stream))) &&
            SUCCEEDED(stream->GetStreamDescriptor(&descriptor)) && SUCCEEDED(descriptor->GetStreamIdentifier(&id)) &&
            streams != nullptr && id < 3 && !streams[id]) {
            streams[id] = stream;
        }
        texts.push_back(E(type, id) + (status == S_OK ? "" : "!"));
        PropVariantClear(&value);
    }
    return texts;
}

// Every kernel-streaming call is refused with ERROR_NOT_SUPPORTED and nothing returned.
void ExpectKsRefusal(IKsControl* control) {
    KSPROPERTY property{};
    ULONG returned[3] = {7, 7, 7};
    for (HRESULT hr : {control->KsProperty(&property, sizeof property, nullptr, 0, nullptr),
                       control->KsProperty(&property, sizeof property, nullptr, 0, &returned[0]),
                       control->KsMethod(nullptr, 0, nullptr, 0, &returned[1]),
                       control->KsEvent(nullptr, 0, nullptr, 0, &returned[2])}) {
        EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    }
    EXPECT_EQ(returned[0] + returned[1] + returned[2], 0u);
}

// First in the program, before a stream start brings up the receiver thread that also logs.
TEST(Log, LoadActivationDescriptorAndStartLines) {
    DeleteFileW(velmora::test::LogPath().c_str());
    ASSERT_NE(Library(), nullptr) << "cannot load VelmoraSource.dll beside the test";
    ComPtr<IClassFactory> factory;
    ComPtr<IMFActivate> activate;
    ComPtr<IMFMediaSource> source;
    ASSERT_EQ(GetClassObject(IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(source->Start(Selecting(source.Get(), {2}).Get(), nullptr, nullptr), S_OK);
    const Texts expected = {"VelmoraSource.dll loaded.", "ActivateObject called.", "Media source Start called.",
                            "Media source Start failed: presentation descriptor is null.",
                            "CreatePresentationDescriptor called.", "Media source Start called.",
                            "Media source Start stream count: 3", "Media source Start stream index=2 selected=1 id=2"};
    Texts messages;
    for (int attempt = 0; attempt < 200 && (messages = velmora::test::LogLines(0, "")).empty(); ++attempt) {
        Sleep(5);  // the library may hold the file this moment
    }
    messages.resize(std::min(messages.size(), expected.size()));  // the receiver thread may have begun
    EXPECT_EQ(messages, expected);
    source->Shutdown();
}

// A new factory per call; one activation object face for IUnknown, IMFAttributes and
// IMFActivate, with its attributes in the inner store and a new source per activation; refusals
// clear the out pointer. DllCanUnloadNow counts these objects and LockServer, whose unbalanced
// unlock does not wrap around.
TEST(ClassFactory, ActivationObjectRefusalsAndTheLibraryCount) {
    const auto canUnloadNow = EXPORTED(DllCanUnloadNow);
    ComPtr<IUnknown> outer;
    ComPtr<IClassFactory> factory;
    ComPtr<IMFAttributes> attributes;
    ComPtr<IMFActivate> activate;
    ASSERT_EQ(GetClassObject(IID_PPV_ARGS(&outer)), S_OK);
    ASSERT_EQ(GetClassObject(IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_NE(static_cast<IUnknown*>(factory.Get()), outer.Get());
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&attributes)), S_OK);
    ASSERT_EQ(attributes.As(&activate), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(activate.Get()), static_cast<IUnknown*>(attributes.Get()));
    void* out[5] = {kJunk, kJunk, kJunk, kJunk, kJunk};
    const std::vector<HRESULT> refusals = {
        GetClassObject(__uuidof(IClassFactory), &out[0], CLSID_NULL),
        GetClassObject(__uuidof(IMFActivate), &out[1]),
        factory->CreateInstance(outer.Get(), __uuidof(IMFActivate), &out[2]),
        factory->CreateInstance(nullptr, __uuidof(IMFMediaSource), &out[3]),
        activate->ActivateObject(__uuidof(IMFActivate), &out[4]),  // the source it built is gone at once
        GetClassObject(__uuidof(IClassFactory), nullptr),
        activate->ActivateObject(__uuidof(IMFMediaSourceEx), nullptr)};
    EXPECT_EQ(refusals, std::vector<HRESULT>({CLASS_E_CLASSNOTAVAILABLE, E_NOINTERFACE, CLASS_E_NOAGGREGATION,
                                              E_NOINTERFACE, E_NOINTERFACE, E_POINTER, E_POINTER}));
    EXPECT_EQ(std::count(out, out + 5, nullptr), 5);
    outer.Reset();
    factory.Reset();
    attributes.Reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);  // the activation object is alive
    ComPtr<IMFMediaSourceEx> first, second;
    EXPECT_TRUE(activate->ShutdownObject() == S_OK && activate->DetachObject() == S_OK);
    EXPECT_EQ(activate->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 42), S_OK);
    EXPECT_EQ(MFGetAttributeUINT32(activate.Get(), MF_DEVICESTREAM_STREAM_ID, 0), 42u);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(activate->ActivateObject(IID_PPV_ARGS(&second)), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    first = second = nullptr;
    activate.Reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
    for (BOOL lock : {TRUE, FALSE, FALSE}) {  // each on a factory of its own, gone before the count is read
        ASSERT_EQ(GetClassObject(IID_PPV_ARGS(&factory)), S_OK);
        EXPECT_EQ(factory->LockServer(lock), S_OK);
        factory.Reset();
        EXPECT_EQ(canUnloadNow(), lock ? S_FALSE : S_OK);
    }
}

// Registering twice rewrites the same three values, unregistering twice is no error either.
// (camera_host_end_to_end activates the registered class through COM.)
TEST(SelfRegistration, WritesAndRemovesTheClassValues) {
    const std::wstring inproc = std::wstring(velmora::kClassKeyPath) + L"\\InprocServer32";
    wchar_t path[MAX_PATH] = {};
    const std::wstring loaded(path, GetModuleFileNameW(Library(), path, MAX_PATH));
    ASSERT_TRUE(EXPORTED(DllRegisterServer)() == S_OK && EXPORTED(DllRegisterServer)() == S_OK);
    EXPECT_EQ(RegistryText(velmora::kClassKeyPath, nullptr), std::wstring(L"Nivra Media Source", 19));
    EXPECT_EQ(RegistryText(inproc, nullptr), loaded + L'\0');
    EXPECT_EQ(RegistryText(inproc, L"ThreadingModel"), std::wstring(L"Both", 5));
    EXPECT_TRUE(EXPORTED(DllUnregisterServer)() == S_OK && EXPORTED(DllUnregisterServer)() == S_OK);
    EXPECT_EQ(RegistryText(velmora::kClassKeyPath, nullptr), L"");
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
        EXPECT_TRUE(back.Get() == primary && (faces[i].Get() == primary) == (i < 4)) << i;
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
    const auto allocator = static_cast<IMFSampleAllocatorControl*>(faces[5].Get());
    EXPECT_TRUE(source->GetCharacteristics(&characteristics) == S_OK && characteristics == MFMEDIASOURCE_IS_LIVE);
    EXPECT_EQ(allocator->GetAllocatorUsage(2, &input, &usage), S_OK);
    EXPECT_TRUE(input == 2 && usage == MFSampleAllocatorUsage_DoesNotAllocate);
    EXPECT_EQ(allocator->GetAllocatorUsage(3, &input, &usage), MF_E_INVALIDSTREAMNUMBER);
    source->Shutdown();
}

// From Stopped, Start announces new streams (nothing selected: stream 0, for preview), from
// Started updated ones, the same objects; Stop reaches every stream, started or not; refusals
// and Pause change nothing. Shutdown wakes a waiting caller, then the source and the streams
// it held answer so, and every object is gone with the last reference.
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
    ASSERT_EQ(source->Start(Selecting(source.Get(), {}).Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Events(source.Get(), streams), Texts({E(MESourceStarted), E(MENewStream, 0)}));
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
    ASSERT_TRUE(source->Stop() == S_OK && source->Stop() == S_OK);  // accepted again, same events again
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
    EXPECT_TRUE(source->Shutdown() == S_OK && source->Shutdown() == S_OK);
    waiter.join();
    EXPECT_EQ(blocked.load(), MF_E_SHUTDOWN);
    DWORD characteristics = 0;
    auto cleared = static_cast<IMFPresentationDescriptor*>(kJunk);
    ComPtr<IMFMediaEvent> event;
    for (HRESULT hr : {source->GetCharacteristics(&characteristics), source->CreatePresentationDescriptor(&cleared),
                       source->Start(descriptor.Get(), nullptr, nullptr), source->Stop(),
                       source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), source->BeginGetEvent(nullptr, nullptr),
                       source->QueueEvent(MEError, GUID_NULL, S_OK, nullptr),
                       streams[2]->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event)}) {
        EXPECT_EQ(hr, MF_E_SHUTDOWN);
    }
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(cleared, nullptr);
    EXPECT_EQ(source->GetSourceAttributes(&attributes), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(source->GetStreamAttributes(2, &attributes), MF_E_NOT_INITIALIZED);
    source.Reset();
    descriptor.Reset();  // its stream descriptors hold control objects
    streams[0] = streams[1] = streams[2] = nullptr;
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

// Three streams on a fresh descriptor (a caller's selection stays on its own clone), only the
// first selected, each with its attributes and control object, and the source's own store. The
// twenty types run through the sizes at 30 fps, then at 60, NV12 before YUY2, the first current;
// one object per type behind all streams, with its eleven attributes.
TEST(Catalogue, StreamsWithTheirStoresControlObjectsAndTypes) {
    ComPtr<IMFMediaSourceEx> source = NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {2}), fresh;
    ComPtr<IMFMediaTypeHandler> handlers[3];
    DWORD streamCount = 0;
    ASSERT_EQ(source->CreatePresentationDescriptor(&fresh), S_OK);
    EXPECT_TRUE(fresh->GetStreamDescriptorCount(&streamCount) == S_OK && streamCount == 3);
    for (UINT32 id = 0; id < 3; ++id) {
        SCOPED_TRACE("stream " + std::to_string(id));
        BOOL selected = FALSE;
        DWORD identifier = 99, count = 0, flags = 0;
        ComPtr<IMFStreamDescriptor> stream;
        ComPtr<IMFMediaType> current, first;
        ComPtr<IKsControl> control;
        ComPtr<IMFAttributes> store, again;
        ASSERT_EQ(fresh->GetStreamDescriptorByIndex(id, &selected, &stream), S_OK);
        EXPECT_TRUE(stream->GetStreamIdentifier(&identifier) == S_OK && identifier == id);
        EXPECT_EQ(selected != FALSE, id == 0);
        ExpectCaptureAttributes(stream.Get(), id, 1);  // and the control object
        EXPECT_EQ(stream->GetUnknown(StreamKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
        ASSERT_TRUE(source->GetStreamAttributes(id, &store) == S_OK && source->GetStreamAttributes(id, &again) == S_OK);
        EXPECT_EQ(store.Get(), again.Get());  // the source's own store, not a copy
        ExpectCaptureAttributes(store.Get(), id, 0);
        ASSERT_EQ(stream->GetMediaTypeHandler(&handlers[id]), S_OK);
        EXPECT_TRUE(handlers[id]->GetMediaTypeCount(&count) == S_OK && count == 20);
        ASSERT_TRUE(handlers[id]->GetCurrentMediaType(&current) == S_OK &&
                    handlers[id]->GetMediaTypeByIndex(0, &first) == S_OK);
        EXPECT_EQ(first->IsEqual(current.Get(), &flags), S_OK);
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
        EXPECT_TRUE(expected->Compare(types[0].Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same) == S_OK && same) << index;
    }
}

// Source attributes: the control object and five profiles of three filters, one per stream.
// A failing step of building them fails the activation with its own result, and the
// half-built source is gone at once.
TEST(Catalogue, SourceStoreWithControlObjectAndSensorProfiles) {
    ComPtr<IMFMediaSourceEx> source = NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFAttributes> attributes;
    ComPtr<IKsControl> control;
    ComPtr<IMFSensorProfileCollection> collection;
    UINT32 items = 0;
    ASSERT_EQ(source->GetSourceAttributes(&attributes), S_OK);
    EXPECT_TRUE(attributes->GetCount(&items) == S_OK && items == 2);
    ASSERT_EQ(attributes->GetUnknown(SourceKsControlAttribute, IID_PPV_ARGS(&control)), S_OK);
    ExpectKsRefusal(control.Get());  // the class of the streams' control objects too
    ASSERT_EQ(attributes->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&collection)), S_OK);
    ASSERT_EQ(collection->GetProfileCount(), 5u);
    const GUID types[5] = {KSCAMERAPROFILE_Legacy, KSCAMERAPROFILE_VideoConferencing, KSCAMERAPROFILE_VideoRecording,
                           KSCAMERAPROFILE_BalancedVideoAndPhoto, KSCAMERAPROFILE_HighQualityPhoto};
    for (DWORD index = 0; index < 5; ++index) {
        ComPtr<IMFSensorProfile> profile;
        ComPtr<IStandInSensorProfile> recorded;
        SENSORPROFILEID id{};
        UINT32 streamId = 99;
        std::wstring filters;
        ASSERT_TRUE(collection->GetProfile(index, &profile) == S_OK && profile->GetProfileId(&id) == S_OK);
        EXPECT_TRUE(id.Type == types[index] && id.Index == 0) << index;
        ASSERT_EQ(profile.As(&recorded), S_OK);
        for (UINT32 at = 0; const wchar_t* filter = recorded->GetFilter(at, &streamId); ++at) {
            filters += std::to_wstring(streamId) + L":" + filter + L" ";
        }
        EXPECT_EQ(filters, L"0:((RES==;FRT<=30,1;SUT==)) 1:((RES==;FRT<=30,1;SUT==)) 2:((RES==;FRT<=30,1;SUT==)) ");
    }
    const std::uint32_t before = ObjectCount.load();
    const auto resetCallCounts = reinterpret_cast<void(WINAPI*)()>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"mfsensorgroup.dll"), "VelmoraStandInResetCallCounts")));
    ASSERT_NE(resetCallCounts, nullptr);
    for (const wchar_t* failure :
         {L"MFCreateSensorProfile#3=0x80004005", L"IMFSensorProfile::AddProfileFilter#8=0x80004005",
          L"IMFSensorProfileCollection::AddProfile=0x80004005", L"MFCreateSensorProfileCollection=0x80004005"}) {
        resetCallCounts();  // "#N" counts from here
        SetEnvironmentVariableW(L"VELMORA_STANDIN_FAIL", failure);
        EXPECT_FALSE(NewSource(E_FAIL));
        EXPECT_EQ(ObjectCount.load(), before);
    }
    SetEnvironmentVariableW(L"VELMORA_STANDIN_FAIL", nullptr);
}

}  // namespace
