// The media source object: its faces, Start / Stop / Pause / Shutdown with the exact event
// sequences on the source and stream queues, life after Shutdown and destruction.
#include "tests/source/source_test_support.h"

#include <ks.h>

#include <atomic>
#include <thread>

#include "common/sdk_additions.h"
#include "library/com/activate.h"
#include "library/com/object_count.h"

namespace {

using namespace velmora::test;

constexpr HRESULT kKsRefused = static_cast<HRESULT>(0x80070032);

ComPtr<IMFMediaSourceEx> ActivateSource() {
    ComPtr<IMFActivate> activate;
    *activate.ReleaseAndGetAddressOf() = new VelmoraActivate();
    ComPtr<IMFMediaSourceEx> source;
    EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
    return source;
}

// The source's descriptor with exactly the given streams selected.
ComPtr<IMFPresentationDescriptor> Selecting(IMFMediaSource* source, std::initializer_list<DWORD> selected) {
    ComPtr<IMFPresentationDescriptor> descriptor;
    EXPECT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    for (DWORD index = 0; index < 3; ++index) {
        descriptor->DeselectStream(index);
    }
    for (DWORD index : selected) {
        descriptor->SelectStream(index);
    }
    return descriptor;
}

// "type:stream" for each event, so sequences compare in one assertion.
std::vector<std::string> Describe(const DrainedEvents& drained) {
    std::vector<std::string> result;
    for (const auto& event : drained.events) {
        std::string text = std::to_string(event.type);
        if (event.valueType == VT_UNKNOWN) {
            text += ":" + std::to_string(StreamIdOf(event.valueUnknown.Get()));
        }
        if (event.status != S_OK || event.extendedType != GUID_NULL) {
            text += ":unexpected-status-or-type";
        }
        result.push_back(text);
    }
    if (drained.endResult != MF_E_NO_EVENTS_AVAILABLE) {
        result.push_back("end " + HrText(drained.endResult));
    }
    return result;
}

const std::string kStarted = std::to_string(MESourceStarted);
const std::string kStopped = std::to_string(MESourceStopped);
const std::string kStreamStarted = std::to_string(MEStreamStarted);
const std::string kStreamStopped = std::to_string(MEStreamStopped);
std::string NewStream(int id) { return std::to_string(MENewStream) + ":" + std::to_string(id); }
std::string Updated(int id) { return std::to_string(MEUpdatedStream) + ":" + std::to_string(id); }

// The stream objects announced by a Start, by identifier.
struct AnnouncedStreams {
    ComPtr<IMFMediaStream> byId[3];

    void Take(const DrainedEvents& drained) {
        for (const auto& event : drained.events) {
            const long id = StreamIdOf(event.valueUnknown.Get());
            if (id >= 0 && id < 3) {
                ComPtr<IMFMediaStream> stream;
                event.valueUnknown.As(&stream);
                if (byId[id]) {
                    EXPECT_EQ(byId[id].Get(), stream.Get()) << "stream " << id << " changed identity";
                }
                byId[id] = stream;
            }
        }
    }
    std::vector<std::string> Events(int id) const { return Describe(DrainEvents(byId[id].Get())); }
};

// Runs first in the program, before any stream start brings up the receiver thread, so
// no other writer competes for the log file.
TEST(SourceLog, ActivationDescriptorAndStartLines) {
    LogTail log;
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {2});
    EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);

    std::vector<std::string> messages = log.Messages();
    const std::vector<std::string> expected = {
        "ActivateObject called.",
        "CreatePresentationDescriptor called.",
        "Media source Start called.",
        "Media source Start failed: presentation descriptor is null.",
        "Media source Start called.",
        "Media source Start stream count: 3",
        "Media source Start stream index=2 selected=1 id=2",
    };
    ASSERT_GE(messages.size(), expected.size());
    messages.resize(expected.size());
    EXPECT_EQ(messages, expected);
    source->Shutdown();
}

TEST(SourceFaces, QueryInterfaceTableAndSharedCount) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    IUnknown* primary = nullptr;
    ASSERT_EQ(source->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&primary)), S_OK);
    for (const IID& iid : {__uuidof(IMFMediaEventGenerator), __uuidof(IMFMediaSource), __uuidof(IMFMediaSourceEx)}) {
        void* face = nullptr;
        ASSERT_EQ(source->QueryInterface(iid, &face), S_OK);
        EXPECT_EQ(face, static_cast<void*>(primary));
        static_cast<IUnknown*>(face)->Release();
    }
    void* faces[3] = {};
    const IID secondary[3] = {__uuidof(IMFGetService), __uuidof(IMFSampleAllocatorControl), __uuidof(IKsControl)};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(source->QueryInterface(secondary[i], &faces[i]), S_OK);
        EXPECT_NE(faces[i], static_cast<void*>(primary));
        // Each face answers the whole table and leads back to the primary face.
        IUnknown* back = nullptr;
        EXPECT_EQ(static_cast<IUnknown*>(faces[i])->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&back)),
                  S_OK);
        EXPECT_EQ(back, primary);
        back->Release();
    }
    EXPECT_NE(faces[0], faces[1]);
    EXPECT_NE(faces[1], faces[2]);
    EXPECT_NE(faces[0], faces[2]);

    // One count behind all faces.
    const ULONG viaPrimary = primary->AddRef();
    EXPECT_EQ(static_cast<IUnknown*>(faces[2])->AddRef(), viaPrimary + 1);
    EXPECT_EQ(static_cast<IUnknown*>(faces[1])->Release(), viaPrimary);
    EXPECT_EQ(primary->Release(), viaPrimary - 1);

    for (const IID& iid : {__uuidof(IMFActivate), __uuidof(IMFMediaStream), __uuidof(IMFAttributes),
                           __uuidof(IClassFactory)}) {
        void* object = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(source->QueryInterface(iid, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(source->QueryInterface(__uuidof(IUnknown), nullptr), E_POINTER);
    for (void* face : faces) {
        static_cast<IUnknown*>(face)->Release();
    }
    primary->Release();
    source->Shutdown();
}

TEST(SourceFaces, LiveSourceWithoutServicesOrAllocation) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    DWORD characteristics = 0;
    EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, static_cast<DWORD>(MFMEDIASOURCE_IS_LIVE));
    EXPECT_EQ(source->GetCharacteristics(nullptr), E_POINTER);
    EXPECT_EQ(source->SetD3DManager(nullptr), S_OK);

    ComPtr<IMFGetService> service;
    ASSERT_EQ(source.As(&service), S_OK);
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(service->GetService(MF_RATE_CONTROL_SERVICE, __uuidof(IUnknown), &object), MF_E_UNSUPPORTED_SERVICE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(service->GetService(GUID_NULL, __uuidof(IUnknown), nullptr), E_POINTER);

    ComPtr<IMFSampleAllocatorControl> allocator;
    ASSERT_EQ(source.As(&allocator), S_OK);
    EXPECT_EQ(allocator->SetDefaultAllocator(0, nullptr), S_OK);
    DWORD input = 99;
    MFSampleAllocatorUsage usage = MFSampleAllocatorUsage_UsesProvidedAllocator;
    EXPECT_EQ(allocator->GetAllocatorUsage(2, &input, &usage), S_OK);
    EXPECT_EQ(input, 2u);
    EXPECT_EQ(usage, MFSampleAllocatorUsage_DoesNotAllocate);
    EXPECT_EQ(allocator->GetAllocatorUsage(3, &input, &usage), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(allocator->GetAllocatorUsage(0, nullptr, &usage), E_POINTER);
    EXPECT_EQ(allocator->GetAllocatorUsage(0, &input, nullptr), E_POINTER);
    source->Shutdown();
}

TEST(SourceStart, NothingSelectedStillStartsPreview) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {});
    const LONGLONG before = MFGetSystemTime();
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    const LONGLONG after = MFGetSystemTime();

    DrainedEvents drained = DrainEvents(source.Get());
    EXPECT_EQ(Describe(drained), (std::vector<std::string>{kStarted, NewStream(0)}));
    ASSERT_EQ(drained.events.size(), 2u);
    EXPECT_EQ(drained.events[0].valueType, VT_I8);
    EXPECT_GE(drained.events[0].valueI8, before);
    EXPECT_LE(drained.events[0].valueI8, after);
    AnnouncedStreams streams;
    streams.Take(drained);
    ASSERT_TRUE(streams.byId[0]);
    EXPECT_EQ(streams.Events(0), std::vector<std::string>{kStreamStarted});

    // Nothing selected again: the state was Started, so stream 0 is updated.
    ASSERT_EQ(source->Start(descriptor.Get(), &GUID_NULL, nullptr), S_OK);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), (std::vector<std::string>{kStarted, Updated(0)}));
    EXPECT_EQ(streams.Events(0), std::vector<std::string>{kStreamStarted});
    source->Shutdown();
}

TEST(SourceStart, SelectedStreamsInOrderThenUpdatedThenNewAfterStop) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0, 2});
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    DrainedEvents drained = DrainEvents(source.Get());
    EXPECT_EQ(Describe(drained), (std::vector<std::string>{kStarted, NewStream(0), NewStream(2)}));
    AnnouncedStreams streams;
    streams.Take(drained);
    ASSERT_TRUE(streams.byId[0] && streams.byId[2]);
    EXPECT_EQ(streams.Events(0), std::vector<std::string>{kStreamStarted});
    EXPECT_EQ(streams.Events(2), std::vector<std::string>{kStreamStarted});

    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    drained = DrainEvents(source.Get());
    EXPECT_EQ(Describe(drained), (std::vector<std::string>{kStarted, Updated(0), Updated(2)}));
    streams.Take(drained);  // the same stream objects again
    EXPECT_EQ(streams.Events(0), std::vector<std::string>{kStreamStarted});
    EXPECT_EQ(streams.Events(2), std::vector<std::string>{kStreamStarted});

    // Stop stops every stream, started or not; the next Start announces new streams.
    ComPtr<IMFPresentationDescriptor> all = Selecting(source.Get(), {0, 1, 2});
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), std::vector<std::string>{kStopped});
    EXPECT_EQ(streams.Events(0), std::vector<std::string>{kStreamStopped});
    EXPECT_EQ(streams.Events(2), std::vector<std::string>{kStreamStopped});
    ASSERT_EQ(source->Start(all.Get(), nullptr, nullptr), S_OK);
    drained = DrainEvents(source.Get());
    EXPECT_EQ(Describe(drained), (std::vector<std::string>{kStarted, NewStream(0), NewStream(1), NewStream(2)}));
    streams.Take(drained);
    EXPECT_EQ(streams.Events(0), std::vector<std::string>{kStreamStarted});
    // Stream 1 was never started, yet the Stop before reached it too.
    EXPECT_EQ(streams.Events(1), (std::vector<std::string>{kStreamStopped, kStreamStarted}));
    EXPECT_EQ(streams.Events(2), std::vector<std::string>{kStreamStarted});

    // Stop twice: the second is accepted and queues the same events again.
    ASSERT_EQ(source->Stop(), S_OK);
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), (std::vector<std::string>{kStopped, kStopped}));
    for (int id = 0; id < 3; ++id) {
        EXPECT_EQ(streams.Events(id), (std::vector<std::string>{kStreamStopped, kStreamStopped})) << "stream " << id;
    }
    source->Shutdown();
}

TEST(SourceStart, RefusalsLeaveTheStateAsItWas) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0});

    const GUID otherFormat = MFVideoFormat_NV12;
    EXPECT_EQ(source->Start(descriptor.Get(), &otherFormat, nullptr), MF_E_UNSUPPORTED_TIME_FORMAT);
    EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), std::vector<std::string>{});
    // Still Stopped: the next Start announces a new stream.
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), (std::vector<std::string>{kStarted, NewStream(0)}));
    // Still Started after a refused one.
    EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), (std::vector<std::string>{kStarted, Updated(0)}));
    source->Shutdown();
}

TEST(SourceStart, UnknownStreamIdentifierFailsAfterTheSourceStarted) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    IMFMediaType* types[1] = {type.Get()};
    ComPtr<IMFStreamDescriptor> stream;
    ASSERT_EQ(MFCreateStreamDescriptor(3, 1, types, &stream), S_OK);
    IMFStreamDescriptor* streams[1] = {stream.Get()};
    ComPtr<IMFPresentationDescriptor> foreign;
    ASSERT_EQ(MFCreatePresentationDescriptor(1, streams, &foreign), S_OK);
    ASSERT_EQ(foreign->SelectStream(0), S_OK);

    EXPECT_EQ(source->Start(foreign.Get(), nullptr, nullptr), MF_E_INVALIDSTREAMNUMBER);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), std::vector<std::string>{kStarted});
    // The state is Started: the next Start updates.
    ComPtr<IMFPresentationDescriptor> own = Selecting(source.Get(), {1});
    ASSERT_EQ(source->Start(own.Get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), (std::vector<std::string>{kStarted, Updated(1)}));
    source->Shutdown();
}

TEST(SourceStart, PauseIsRefusedInEveryState) {
    ComPtr<IMFMediaSourceEx> source = ActivateSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {0});
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
    DrainEvents(source.Get());
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
    EXPECT_EQ(Describe(DrainEvents(source.Get())), std::vector<std::string>{});
    ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);  // still Started
    EXPECT_EQ(Describe(DrainEvents(source.Get())), (std::vector<std::string>{kStarted, Updated(0)}));
    ASSERT_EQ(source->Stop(), S_OK);
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
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
        AnnouncedStreams streams;
        streams.Take(DrainEvents(source.Get()));
        ASSERT_TRUE(streams.byId[0]);

        // A caller blocked on the source's queue is woken by Shutdown.
        std::atomic<HRESULT> blockedResult{S_OK};
        std::thread waiter([&] {
            ComPtr<IMFMediaEvent> event;
            blockedResult = source->GetEvent(0, &event);
        });
        Sleep(100);
        EXPECT_EQ(source->Shutdown(), S_OK);
        waiter.join();
        EXPECT_EQ(blockedResult.load(), MF_E_SHUTDOWN);
        EXPECT_EQ(source->Shutdown(), S_OK);

        DWORD characteristics = 0;
        EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
        IMFPresentationDescriptor* cleared = reinterpret_cast<IMFPresentationDescriptor*>(0x1234);
        EXPECT_EQ(source->CreatePresentationDescriptor(&cleared), MF_E_SHUTDOWN);
        EXPECT_EQ(cleared, nullptr);
        EXPECT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), MF_E_SHUTDOWN);
        EXPECT_EQ(source->Stop(), MF_E_SHUTDOWN);
        ComPtr<IMFMediaEvent> event;
        EXPECT_EQ(source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
        EXPECT_EQ(source->QueueEvent(MEError, GUID_NULL, S_OK, nullptr), MF_E_SHUTDOWN);
        EXPECT_EQ(source->BeginGetEvent(nullptr, nullptr), MF_E_SHUTDOWN);
        ComPtr<IMFAttributes> attributes;
        EXPECT_EQ(source->GetSourceAttributes(&attributes), MF_E_NOT_INITIALIZED);
        for (DWORD id = 0; id < 3; ++id) {
            EXPECT_EQ(source->GetStreamAttributes(id, &attributes), MF_E_NOT_INITIALIZED);
        }
        EXPECT_EQ(source->GetStreamAttributes(5, &attributes), MF_E_INVALIDSTREAMNUMBER);
        // The faces without state answer as always.
        EXPECT_EQ(source->SetD3DManager(nullptr), S_OK);
        ComPtr<IKsControl> control;
        ASSERT_EQ(source.As(&control), S_OK);
        ULONG returned = 3;
        EXPECT_EQ(control->KsProperty(nullptr, 0, nullptr, 0, &returned), kKsRefused);
        EXPECT_EQ(returned, 0u);
        ComPtr<IMFSampleAllocatorControl> allocator;
        ASSERT_EQ(source.As(&allocator), S_OK);
        DWORD input = 0;
        MFSampleAllocatorUsage usage{};
        EXPECT_EQ(allocator->GetAllocatorUsage(1, &input, &usage), S_OK);

        // The stream the caller still holds is shut down with its queue.
        EXPECT_EQ(streams.byId[0]->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
        ComPtr<IMFStreamDescriptor> streamDescriptor;
        EXPECT_EQ(streams.byId[0]->GetStreamDescriptor(&streamDescriptor), MF_E_SHUTDOWN);
        EXPECT_EQ(streams.byId[0]->RequestSample(nullptr), MF_E_SHUTDOWN);
    }
    EXPECT_EQ(ObjectCount.load(), before);
}

TEST(SourceShutdown, LastReleaseWithoutShutdownShutsTheStreamsDown) {
    const std::uint32_t before = ObjectCount.load();
    ComPtr<IMFMediaStream> stream;
    {
        ComPtr<IMFMediaSourceEx> source = ActivateSource();
        ASSERT_TRUE(source);
        // The source, its three streams and its four control objects.
        EXPECT_EQ(ObjectCount.load(), before + 8);
        ComPtr<IMFPresentationDescriptor> descriptor = Selecting(source.Get(), {1});
        ASSERT_EQ(source->Start(descriptor.Get(), nullptr, nullptr), S_OK);
        AnnouncedStreams streams;
        streams.Take(DrainEvents(source.Get()));
        stream = streams.byId[1];
        ASSERT_TRUE(stream);
        ComPtr<IMFMediaEvent> event;
        EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), S_OK);  // MEStreamStarted
    }
    EXPECT_EQ(ObjectCount.load(), before + 1);  // only the stream held here
    ComPtr<IMFMediaEvent> event;
    EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
    ComPtr<IMFMediaSource> owner;
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
                const HRESULT started = source->Start(descriptor.Get(), nullptr, nullptr);
                const HRESULT stopped = source->Stop();
                if ((started != S_OK && started != MF_E_SHUTDOWN) || (stopped != S_OK && stopped != MF_E_SHUTDOWN)) {
                    unexpected = true;
                }
                ComPtr<IMFAttributes> attributes;
                const HRESULT read = source->GetSourceAttributes(&attributes);
                if (read != S_OK && read != MF_E_NOT_INITIALIZED) {
                    unexpected = true;
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
