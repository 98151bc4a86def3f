// The media source object: its faces, Start / Stop / Pause / Shutdown with the exact event
// sequences on the source and stream queues, life after Shutdown and destruction.
#include "tests/source/source_test_support.h"

#include <atomic>
#include <thread>

#include "common/sdk_additions.h"
#include "library/com/object_count.h"
#include "library/source/velmora_media_source.h"

namespace {

using namespace velmora::test;
using Texts = std::vector<std::string>;

const std::string kStarted = std::to_string(MESourceStarted), kStopped = std::to_string(MESourceStopped);
const std::string kStreamStarted = std::to_string(MEStreamStarted), kStreamStopped = std::to_string(MEStreamStopped);
std::string New(int id) { return std::to_string(MENewStream) + ":" + std::to_string(id); }
std::string Updated(int id) { return std::to_string(MEUpdatedStream) + ":" + std::to_string(id); }

// The source's events; the stream objects they announce are kept by identifier and must
// keep their identity.
struct Announced {
    ComPtr<IMFMediaStream> streams[3];

    Texts Drain(IMFMediaSource* source) {
        Texts texts;
        for (const auto& event : DrainEvents(source)) {
            const long id = StreamIdOf(event.object.Get());
            ComPtr<IMFMediaStream> stream;
            if (id >= 0 && id < 3 && SUCCEEDED(event.object.As(&stream))) {
                EXPECT_TRUE(!streams[id] || streams[id].Get() == stream.Get())
                    << "stream " << id << " changed identity";
                streams[id] = stream;
            }
            texts.push_back(event.text);
        }
        return texts;
    }
    Texts Stream(int id) const { return EventTexts(streams[id].Get()); }
};

// First in the program, before a stream start brings up the receiver thread that also logs.
TEST(SourceLog, ActivationDescriptorAndStartLines) {
    LogTail log;
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {2});
    EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    Texts messages = log.Messages();
    const Texts expected = {"ActivateObject called.", "CreatePresentationDescriptor called.",
                            "Media source Start called.", "Media source Start failed: presentation descriptor is null.",
                            "Media source Start called.", "Media source Start stream count: 3",
                            "Media source Start stream index=2 selected=1 id=2"};
    messages.resize(std::min(messages.size(), expected.size()));
    EXPECT_EQ(messages, expected);
    source->Shutdown();
}

TEST(SourceFaces, QueryInterfaceTableSharedCountAndDistinctFaces) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    IUnknown* primary = static_cast<IMFMediaSourceEx*>(source.Get());
    const IID all[7] = {__uuidof(IUnknown), __uuidof(IMFMediaEventGenerator), __uuidof(IMFMediaSource),
                        __uuidof(IMFMediaSourceEx), __uuidof(IMFGetService), __uuidof(IMFSampleAllocatorControl),
                        __uuidof(IKsControl)};
    IUnknown* faces[7] = {};
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(source->QueryInterface(all[i], reinterpret_cast<void**>(&faces[i])), S_OK);
        ComPtr<IUnknown> back;  // every face leads back to the primary one
        EXPECT_EQ(faces[i]->QueryInterface(IID_PPV_ARGS(&back)), S_OK);
        EXPECT_EQ(back.Get(), primary);
        EXPECT_EQ(faces[i] == primary, i < 4) << i;
    }
    EXPECT_TRUE(faces[4] != faces[5] && faces[5] != faces[6] && faces[4] != faces[6]);
    const ULONG count = primary->AddRef();  // one count behind all faces
    EXPECT_EQ(faces[6]->AddRef(), count + 1);
    EXPECT_EQ(faces[5]->Release(), count);
    EXPECT_EQ(primary->Release(), count - 1);
    for (IUnknown* face : faces) {
        face->Release();
    }
    for (const IID& iid : {__uuidof(IMFActivate), __uuidof(IMFMediaStream), __uuidof(IMFAttributes)}) {
        void* object = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(source->QueryInterface(iid, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(source->QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);

    DWORD characteristics = 0, input = 99;
    EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, static_cast<DWORD>(MFMEDIASOURCE_IS_LIVE));
    ComPtr<IMFGetService> service;
    ComPtr<IMFSampleAllocatorControl> allocator;
    ASSERT_EQ(source.As(&service), S_OK);
    ASSERT_EQ(source.As(&allocator), S_OK);
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(service->GetService(MF_RATE_CONTROL_SERVICE, __uuidof(IUnknown), &object), MF_E_UNSUPPORTED_SERVICE);
    EXPECT_EQ(object, nullptr);
    MFSampleAllocatorUsage usage = MFSampleAllocatorUsage_UsesProvidedAllocator;
    EXPECT_EQ(allocator->GetAllocatorUsage(2, &input, &usage), S_OK);
    EXPECT_TRUE(input == 2 && usage == MFSampleAllocatorUsage_DoesNotAllocate);
    EXPECT_EQ(allocator->GetAllocatorUsage(3, &input, &usage), MF_E_INVALIDSTREAMNUMBER);
    source->Shutdown();
}

TEST(SourceStart, EventSequencesForEachSelectionAndState) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    // Nothing selected: stream 0 starts anyway (preview); the start time is the system time.
    const LONGLONG before = MFGetSystemTime();
    ASSERT_EQ(source->Start(Selecting(source.Get(), {}).Get(), nullptr, nullptr), S_OK);
    const LONGLONG after = MFGetSystemTime();
    Announced announced;
    const std::vector<EventRecord> events = DrainEvents(source.Get());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].text == kStarted && events[0].time >= before && events[0].time <= after);
    EXPECT_EQ(events[1].text, New(0));
    ASSERT_EQ(events[1].object.As(&announced.streams[0]), S_OK);
    ASSERT_EQ(source->Start(Selecting(source.Get(), {}).Get(), &GUID_NULL, nullptr), S_OK);  // Started: updated
    EXPECT_EQ(announced.Drain(source.Get()), Texts({kStarted, Updated(0)}));
    EXPECT_EQ(announced.Stream(0), Texts({kStreamStarted, kStreamStarted}));
    source->Shutdown();

    // Streams 0 and 2 in order, then Start twice: the same objects updated.
    source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0, 2});
    announced = {};
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(announced.Drain(source.Get()), Texts({kStarted, New(0), New(2)}));
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(announced.Drain(source.Get()), Texts({kStarted, Updated(0), Updated(2)}));
    EXPECT_EQ(announced.Stream(0), Texts({kStreamStarted, kStreamStarted}));
    EXPECT_EQ(announced.Stream(2), Texts({kStreamStarted, kStreamStarted}));

    // Stop reaches every stream, started or not; Start-Stop-Start announces new streams.
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(announced.Drain(source.Get()), Texts{kStopped});
    ASSERT_EQ(source->Start(Selecting(source.Get(), {0, 1, 2}).Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(announced.Drain(source.Get()), Texts({kStarted, New(0), New(1), New(2)}));
    for (int id = 0; id < 3; ++id) {
        EXPECT_EQ(announced.Stream(id), Texts({kStreamStopped, kStreamStarted})) << id;
    }
    ASSERT_EQ(source->Stop(), S_OK);
    ASSERT_EQ(source->Stop(), S_OK);  // accepted again, same events again
    EXPECT_EQ(announced.Drain(source.Get()), Texts({kStopped, kStopped}));
    EXPECT_EQ(announced.Stream(1), Texts({kStreamStopped, kStreamStopped}));
    source->Shutdown();
}

TEST(SourceStart, RefusalsAndPauseLeaveTheStateAsItWas) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0});
    const auto refusals = [&] {  // bad time format, null descriptor, Pause: no event, no change
        const GUID otherFormat = MFVideoFormat_NV12;
        EXPECT_EQ(source->Start(descriptor.Get(), &otherFormat, nullptr), MF_E_UNSUPPORTED_TIME_FORMAT);
        EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
        EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
        EXPECT_EQ(EventTexts(source.Get()), Texts{});
    };
    refusals();
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);  // still Stopped: new
    EXPECT_EQ(EventTexts(source.Get()), Texts({kStarted, New(0)}));
    refusals();
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);  // still Started: updated
    EXPECT_EQ(EventTexts(source.Get()), Texts({kStarted, Updated(0)}));

    // A selected stream with identifier 3 fails after the source announced its start.
    ComPtr<IMFMediaType> type;
    ComPtr<IMFStreamDescriptor> stream;
    ComPtr<IMFPresentationDescriptor> foreign;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    ASSERT_EQ(MFCreateStreamDescriptor(3, 1, type.GetAddressOf(), &stream), S_OK);
    ASSERT_EQ(MFCreatePresentationDescriptor(1, stream.GetAddressOf(), &foreign), S_OK);
    ASSERT_EQ(foreign->SelectStream(0), S_OK);
    EXPECT_EQ(source->Start(foreign.Get(), nullptr, nullptr), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(EventTexts(source.Get()), Texts{kStarted});
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);  // it is Started
    EXPECT_EQ(EventTexts(source.Get()), Texts({kStarted, Updated(0)}));
    ASSERT_EQ(source->Stop(), S_OK);
    DrainEvents(source.Get());
    refusals();
    ASSERT_EQ(source->Shutdown(), S_OK);
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
}

TEST(SourceShutdown, TerminalStateAnswers) {
    const std::uint32_t before = ObjectCount.load();
    {
        ComPtr<IMFMediaSourceEx> source = ActivateSource();
        ASSERT_TRUE(source);
        ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0});
        ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
        Announced announced;
        announced.Drain(source.Get());
        ASSERT_TRUE(announced.streams[0]);

        std::atomic<HRESULT> blocked{S_OK};  // a caller blocked on the queue is woken by Shutdown
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
        IMFPresentationDescriptor* cleared = reinterpret_cast<IMFPresentationDescriptor*>(0x1234);
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
                                   // the stream the caller still holds is shut down with its queue
                                   announced.streams[0]->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event),
                                   announced.streams[0]->GetStreamDescriptor(&streamDescriptor),
                                   announced.streams[0]->RequestSample(nullptr)};
        for (HRESULT hr : results) {
            EXPECT_EQ(hr, MF_E_SHUTDOWN) << &hr - results;
        }
        EXPECT_EQ(cleared, nullptr);
        EXPECT_EQ(source->GetSourceAttributes(&attributes), MF_E_NOT_INITIALIZED);
        EXPECT_EQ(source->GetStreamAttributes(2, &attributes), MF_E_NOT_INITIALIZED);
        EXPECT_EQ(source->GetStreamAttributes(5, &attributes), MF_E_INVALIDSTREAMNUMBER);
        EXPECT_EQ(source->SetD3DManager(nullptr), S_OK);  // the stateless faces answer as always
        ComPtr<IMFSampleAllocatorControl> allocator;
        MFSampleAllocatorUsage usage{};
        ASSERT_EQ(source.As(&allocator), S_OK);
        EXPECT_EQ(allocator->GetAllocatorUsage(1, &characteristics, &usage), S_OK);
    }
    EXPECT_EQ(ObjectCount.load(), before);
}

// A stream's source is the one that announced it, with one more reference; inside the
// source's last Release, before its streams are shut down, the stream refuses to hand it out.
IMFMediaStream* streamOfDyingSource = nullptr;
HRESULT dyingSourceResult = E_PENDING;

TEST(SourceShutdown, LastReleaseWithoutShutdownShutsTheStreamsDown) {
    const std::uint32_t before = ObjectCount.load();
    ComPtr<IMFMediaStream> stream;
    {
        ComPtr<IMFMediaSourceEx> source = ActivateSource();
        ASSERT_TRUE(source);
        EXPECT_EQ(ObjectCount.load(), before + 8);  // the source, three streams, four control objects
        ASSERT_EQ(source->Start(Selecting(source.Get(), {1}).Get(), nullptr, nullptr), S_OK);
        Announced announced;
        announced.Drain(source.Get());
        ASSERT_TRUE(stream = announced.streams[1]);
        EXPECT_EQ(announced.Stream(1), Texts{kStreamStarted});
        ComPtr<IMFMediaSource> owner;
        const ULONG count = source.Get()->AddRef();
        ASSERT_EQ(stream->GetMediaSource(&owner), S_OK);
        EXPECT_TRUE(owner.Get() == static_cast<IMFMediaSource*>(source.Get()) && source.Get()->Release() == count);
        streamOfDyingSource = stream.Get();
        VelmoraMediaSource::lastReleaseSeam = [](VelmoraMediaSource*) {
            IMFMediaSource* dying = nullptr;  // never released: it would be gone with the source
            dyingSourceResult = streamOfDyingSource->GetMediaSource(&dying);
        };
    }
    VelmoraMediaSource::lastReleaseSeam = nullptr;
    EXPECT_EQ(dyingSourceResult, MF_E_SHUTDOWN);
    EXPECT_EQ(ObjectCount.load(), before + 1);  // only the stream held here
    ComPtr<IMFMediaEvent> event;
    ComPtr<IMFMediaSource> owner;
    EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
    EXPECT_EQ(stream->GetMediaSource(&owner), MF_E_SHUTDOWN);
    stream.Reset();
    EXPECT_EQ(ObjectCount.load(), before);
}

TEST(SourceShutdown, LifeCycleCallsRacingShutdownStaySafe) {
    for (int round = 0; round < 20; ++round) {
        ComPtr<IMFMediaSourceEx> source = ActivateSource();
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

}  // namespace
