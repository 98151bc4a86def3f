// The media stream object under Wine with real Media Foundation objects: faces, states,
// events, shutdown, destruction, and many threads calling one stream at once.
#include <atomic>
#include <random>
#include <thread>

#include "library/com/object_count.h"
#include "library/source/velmora_media_source.h"
#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;

constexpr HRESULT kKsNotSupported = static_cast<HRESULT>(0x80070032);

template <class Object>
ULONG CountOf(Object* object) {
    object->AddRef();
    return object->Release();
}

using StreamObjectTest = StreamTest;

TEST_F(StreamObjectTest, FacesAndTheRefusingControl) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    EXPECT_EQ(E_POINTER, s->QueryInterface(__uuidof(IMFMediaStream), nullptr));
    ComPtr<IMFMediaStream> primary;
    ComPtr<IKsControl> control;
    ComPtr<IMFMediaStream2> back;
    ASSERT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&primary)));
    ASSERT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&control)));
    ASSERT_EQ(S_OK, control->QueryInterface(IID_PPV_ARGS(&back)));
    EXPECT_NE(static_cast<void*>(primary.Get()), static_cast<void*>(control.Get()));
    EXPECT_EQ(static_cast<void*>(primary.Get()), static_cast<void*>(back.Get()));
    EXPECT_EQ(4u, CountOf(control.Get())) << "one count for both faces";
    void* refused = &refused;
    EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(__uuidof(IMFMediaSource), &refused));
    EXPECT_EQ(nullptr, refused);
    ULONG returned = 77;
    EXPECT_EQ(kKsNotSupported, control->KsProperty(nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(0u, returned);
    returned = 77;
    EXPECT_EQ(kKsNotSupported, control->KsMethod(nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(kKsNotSupported, control->KsEvent(nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(0u, returned);
}

TEST_F(StreamObjectTest, StatesEventsAndTheStartedLine) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30, L"Capture", false);
    MF_STREAM_STATE state = MF_STREAM_STATE_RUNNING;
    EXPECT_EQ(S_OK, s->GetStreamState(&state));
    EXPECT_EQ(MF_STREAM_STATE_STOPPED, state);
    EXPECT_EQ(MF_E_INVALIDREQUEST, s->RequestSample(nullptr));
    EXPECT_EQ(S_OK, s->SetStreamState(static_cast<MF_STREAM_STATE>(5)));  // any value, no event
    EXPECT_EQ(S_OK, s->GetStreamState(&state));
    EXPECT_EQ(5, state);
    EXPECT_EQ(MF_E_INVALIDREQUEST, s->RequestSample(nullptr));
    EXPECT_EQ(S_OK, s->Stop());  // never started
    LogWatch log;
    EXPECT_EQ(S_OK, s->Start());
    EXPECT_EQ(S_OK, s->Start());
    EXPECT_EQ(S_OK, s->RequestSample(nullptr));
    EXPECT_EQ(S_OK, s->SetStreamState(MF_STREAM_STATE_PAUSED));
    EXPECT_EQ(MF_E_INVALIDREQUEST, s->RequestSample(nullptr));
    EXPECT_EQ(S_OK, s->SetStreamState(MF_STREAM_STATE_RUNNING));
    EXPECT_EQ(S_OK, s->RequestSample(nullptr));
    EXPECT_EQ(S_OK, s->Stop());
    EXPECT_EQ(MF_E_INVALIDREQUEST, s->RequestSample(nullptr));
    EXPECT_EQ((std::vector<MediaEventType>{MEStreamStopped, MEStreamStarted, MEStreamStarted, MEMediaSample,
                                           MEMediaSample, MEStreamStopped}),
              Drain(s.stream.Get()).types);
    EXPECT_EQ(std::vector<std::string>(2, "Capture media stream started."), log.Lines("started"));
    // The line goes through a 96-unit buffer: a long name leaves 95 units.
    const std::wstring longName(120, L'n');  // the stream keeps the pointer
    TestStream named = MakeStream(MFVideoFormat_NV12, 640, 360, 30, longName.c_str());
    EXPECT_EQ(std::vector<std::string>{std::string(95, 'n')}, log.Lines("nnnnn"));
}

TEST_F(StreamObjectTest, ForwardingDescriptorSourceAndShutdown) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    PROPVARIANT value{};
    value.vt = VT_UI4;
    value.ulVal = 4321;
    ASSERT_EQ(S_OK, s->QueueEvent(MEStreamTick, MF_MT_SUBTYPE, E_FAIL, &value));
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(S_OK, s->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event));
    PROPVARIANT got{};
    HRESULT status = S_OK;
    event->GetStatus(&status);
    event->GetValue(&got);
    EXPECT_TRUE(status == E_FAIL && got.vt == VT_UI4 && got.ulVal == 4321);
    ComPtr<IMFStreamDescriptor> descriptor;
    EXPECT_EQ(E_POINTER, s->GetStreamDescriptor(nullptr));
    ASSERT_EQ(S_OK, s->GetStreamDescriptor(&descriptor));
    EXPECT_EQ(s.descriptor.Get(), descriptor.Get());
    IMFMediaSource* source = reinterpret_cast<IMFMediaSource*>(&value);
    EXPECT_EQ(MF_E_NOT_INITIALIZED, s->GetMediaSource(&source));
    EXPECT_EQ(nullptr, source);

    // With a source: a new reference to its primary face.
    ComPtr<VelmoraMediaSource> owner;
    *owner.GetAddressOf() = new VelmoraMediaSource();
    ComPtr<VelmoraMediaStream> owned;
    *owned.GetAddressOf() = new VelmoraMediaStream(owner.Get(), s.descriptor.Get(), L"Photo");
    ComPtr<IMFMediaSource> expected;
    ComPtr<IMFMediaSource> answered;
    owner->QueryInterface(IID_PPV_ARGS(&expected));
    ASSERT_EQ(S_OK, owned->GetMediaSource(&answered));
    EXPECT_EQ(expected.Get(), answered.Get());
    EXPECT_EQ(3u, CountOf(expected.Get()));

    // Shut down: the descriptor is released, everything but identity and control refuses.
    const ULONG descriptorCount = CountOf(s.descriptor.Get());
    s->Shutdown();
    owned->Shutdown();
    EXPECT_EQ(descriptorCount - 2, CountOf(s.descriptor.Get()));
    EXPECT_EQ(MF_E_SHUTDOWN, s->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event));
    EXPECT_EQ(MF_E_SHUTDOWN, s->QueueEvent(MEStreamTick, GUID_NULL, S_OK, nullptr));
    IMFStreamDescriptor* cleared = reinterpret_cast<IMFStreamDescriptor*>(&value);
    EXPECT_EQ(MF_E_SHUTDOWN, s->GetStreamDescriptor(&cleared));
    EXPECT_EQ(nullptr, cleared);
    EXPECT_EQ(MF_E_SHUTDOWN, owned->GetMediaSource(&source));
    MF_STREAM_STATE state = static_cast<MF_STREAM_STATE>(9);
    EXPECT_EQ(MF_E_SHUTDOWN, s->GetStreamState(&state));
    EXPECT_EQ(9, state) << "left untouched";
    for (HRESULT hr : {s->SetStreamState(MF_STREAM_STATE_RUNNING), s->RequestSample(nullptr), s->Start(), s->Stop()}) {
        EXPECT_EQ(MF_E_SHUTDOWN, hr);
    }
    ComPtr<IKsControl> control;
    EXPECT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&control)));
    EXPECT_EQ(kKsNotSupported, control->KsProperty(nullptr, 0, nullptr, 0, nullptr));
}

TEST_F(StreamObjectTest, LastReleaseShutsTheQueueDownAndLowersTheObjectCount) {
    // A reader blocked in GetEvent holds the queue, not the stream; only a queue shutdown
    // wakes it (with MF_E_SHUTDOWN). A queue merely released would leave it blocked.
    const std::uint32_t before = ObjectCount;
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    EXPECT_EQ(before + 1, ObjectCount);
    VelmoraMediaStream* const raw = s.stream.Get();
    std::atomic<HRESULT> waited{E_PENDING};
    std::thread reader([&] {
        ComPtr<IMFMediaEvent> event;
        waited = raw->GetEvent(0, &event);
    });
    Sleep(200);  // the reader is inside the queue's GetEvent by now
    ASSERT_EQ(E_PENDING, waited.load());
    s.stream.Reset();
    EXPECT_EQ(before, ObjectCount);
    for (int i = 0; i < 200 && waited == E_PENDING; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(MF_E_SHUTDOWN, waited.load());
    waited == E_PENDING ? reader.detach() : reader.join();
}

// Start, Stop, SetStreamState, RequestSample, event reads and finally Shutdown from many
// threads on one stream: only documented results, and nothing leaks (each sample holds
// the token; the token's count shows them all released).
TEST_F(StreamObjectTest, ManyThreadsOnOneStream) {
    const std::uint32_t before = ObjectCount;
    ComPtr<IMFMediaType> token;
    MFCreateMediaType(&token);
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 60);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> samples{0};
    auto check = [&](HRESULT hr, std::initializer_list<HRESULT> allowed) {
        unexpected += std::find(allowed.begin(), allowed.end(), hr) == allowed.end();
        return hr;
    };
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        ComPtr<IMFMediaEvent> event;
        MF_STREAM_STATE state;
        while (!stop) {
            const unsigned action = random() % 8;
            if (action == 0) check(s->Start(), {S_OK, MF_E_SHUTDOWN});
            if (action == 1) check(s->Stop(), {S_OK, MF_E_SHUTDOWN});
            if (action == 2) check(s->SetStreamState(MF_STREAM_STATE(random() % 4)), {S_OK, MF_E_SHUTDOWN});
            if (action == 3) check(s->GetStreamState(&state), {S_OK, MF_E_SHUTDOWN});
            if (action == 4) check(s->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), {S_OK, MF_E_NO_EVENTS_AVAILABLE, MF_E_SHUTDOWN});
            if (action >= 5) samples += check(s->RequestSample(token.Get()), {S_OK, MF_E_SHUTDOWN, MF_E_INVALIDREQUEST}) == S_OK;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 6; ++i) {
        threads.emplace_back(worker, i);
    }
    Sleep(2500);
    s->Shutdown();
    Sleep(300);
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, unexpected.load());
    EXPECT_GT(samples.load(), 10);
    s.stream.Reset();
    EXPECT_EQ(before, ObjectCount);
    EXPECT_EQ(1u, CountOf(token.Get()));
    EXPECT_EQ(1u, CountOf(s.descriptor.Get()));
}

}  // namespace
