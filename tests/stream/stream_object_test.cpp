// The media stream object under Wine with real Media Foundation objects: faces, states,
// events, shutdown, destruction, and many threads calling one stream at once.
#include <atomic>
#include <random>
#include <thread>

#include "library/com/object_count.h"
#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;
using StreamObjectTest = StreamTest;

constexpr HRESULT kKsNotSupported = static_cast<HRESULT>(0x80070032);

template <class Object>
ULONG CountOf(Object* object) {
    object->AddRef();
    return object->Release();
}

// One call by letter: s Start, x Stop, r RequestSample, p/R/5 SetStreamState (paused,
// running, 5), q GetStreamState, g GetEvent.
HRESULT Call(VelmoraMediaStream* s, char action, IUnknown* token = nullptr) {
    MF_STREAM_STATE state;
    ComPtr<IMFMediaEvent> event;
    switch (action) {
        case 's': return s->Start();
        case 'x': return s->Stop();
        case 'r': return s->RequestSample(token);
        case 'p': return s->SetStreamState(MF_STREAM_STATE_PAUSED);
        case 'R': return s->SetStreamState(MF_STREAM_STATE_RUNNING);
        case 'q': return s->GetStreamState(&state);
        case 'g': return s->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        default: return s->SetStreamState(static_cast<MF_STREAM_STATE>(5));
    }
}

// Two faces with one identity and one count; the control refuses everything.
TEST_F(StreamObjectTest, FacesAndTheRefusingControl) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    ComPtr<IMFMediaStream> primary;
    ComPtr<IKsControl> control;
    ComPtr<IMFMediaStream2> back;
    ASSERT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&primary)));
    ASSERT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&control)));
    ASSERT_EQ(S_OK, control->QueryInterface(IID_PPV_ARGS(&back)));
    EXPECT_TRUE(static_cast<void*>(primary.Get()) != control.Get() && static_cast<void*>(primary.Get()) == back.Get());
    EXPECT_EQ(4u, CountOf(control.Get()));
    ULONG returned[2] = {77, 77};
    EXPECT_EQ(kKsNotSupported, control->KsProperty(nullptr, 0, nullptr, 0, &returned[0]));
    EXPECT_EQ(kKsNotSupported, control->KsMethod(nullptr, 0, nullptr, 0, &returned[1]));
    EXPECT_EQ(kKsNotSupported, control->KsEvent(nullptr, 0, nullptr, 0, nullptr));
    EXPECT_TRUE(returned[0] == 0 && returned[1] == 0);
}

// The state table, its events and the started line (through a 96-unit buffer); then
// Shutdown: the descriptor is released, all but identity and control refuse.
TEST_F(StreamObjectTest, StatesEventsAndShutdown) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30, L"Capture", false);
    MF_STREAM_STATE state = MF_STREAM_STATE_RUNNING;
    EXPECT_TRUE(s->GetStreamState(&state) == S_OK && state == MF_STREAM_STATE_STOPPED);
    LogWatch log;
    const std::pair<char, HRESULT> steps[] = {
        {'r', MF_E_INVALIDREQUEST}, {'5', S_OK} /* any value, no event */, {'r', MF_E_INVALIDREQUEST},
        {'x', S_OK} /* never started */, {'s', S_OK}, {'s', S_OK}, {'r', S_OK}, {'p', S_OK},
        {'r', MF_E_INVALIDREQUEST}, {'R', S_OK}, {'r', S_OK}, {'x', S_OK}, {'r', MF_E_INVALIDREQUEST}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(steps[i].second, Call(s.stream.Get(), steps[i].first)) << "step " << i << " " << steps[i].first;
        EXPECT_TRUE(i != 1 || (s->GetStreamState(&state) == S_OK && state == 5)) << "state after step 1";
    }
    EXPECT_EQ((std::vector<MediaEventType>{MEStreamStopped, MEStreamStarted, MEStreamStarted, MEMediaSample,
                                           MEMediaSample, MEStreamStopped}),
              Drain(s.stream.Get()));
    const std::wstring longName(120, L'n');  // the stream keeps the pointer
    TestStream named = MakeStream(MFVideoFormat_NV12, 640, 360, 30, longName.c_str());
    EXPECT_EQ(std::vector<std::string>(2, "Capture media stream started."), log.Lines("started"));
    EXPECT_EQ(std::vector<std::string>{std::string(95, 'n')}, log.Lines("nnnnn"));

    IMFMediaSource* source = reinterpret_cast<IMFMediaSource*>(&state);
    EXPECT_TRUE(s->GetMediaSource(&source) == MF_E_NOT_INITIALIZED && source == nullptr);
    const ULONG descriptorCount = CountOf(s.descriptor.Get());
    s->Shutdown();
    EXPECT_EQ(descriptorCount - 1, CountOf(s.descriptor.Get()));
    for (char action : std::string("sxrpR5qg")) EXPECT_EQ(MF_E_SHUTDOWN, Call(s.stream.Get(), action)) << action;
    EXPECT_EQ(MF_E_SHUTDOWN, s->QueueEvent(MEStreamTick, GUID_NULL, S_OK, nullptr));
    EXPECT_EQ(MF_E_SHUTDOWN, s->GetMediaSource(&source));
    IMFStreamDescriptor* cleared = reinterpret_cast<IMFStreamDescriptor*>(&state);
    EXPECT_TRUE(s->GetStreamDescriptor(&cleared) == MF_E_SHUTDOWN && cleared == nullptr);
    state = static_cast<MF_STREAM_STATE>(9);
    EXPECT_TRUE(s->GetStreamState(&state) == MF_E_SHUTDOWN && state == 9) << "left untouched";
    ComPtr<IKsControl> control;
    EXPECT_TRUE(s->QueryInterface(IID_PPV_ARGS(&control)) == S_OK &&
                control->KsProperty(nullptr, 0, nullptr, 0, nullptr) == kKsNotSupported);
}

// A reader blocked in GetEvent holds the queue, not the stream; only a queue shutdown wakes
// it (with MF_E_SHUTDOWN). A queue merely released would leave it blocked.
TEST_F(StreamObjectTest, LastReleaseShutsTheQueueDownAndLowersTheObjectCount) {
    const std::uint32_t before = ObjectCount;
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    EXPECT_EQ(before + 1, ObjectCount);
    std::atomic<HRESULT> waited{E_PENDING};
    std::thread reader([&, raw = s.stream.Get()] {
        ComPtr<IMFMediaEvent> event;
        waited = raw->GetEvent(0, &event);
    });
    Sleep(200);  // the reader is inside the queue's GetEvent by now
    ASSERT_EQ(E_PENDING, waited.load());
    s.stream.Reset();
    EXPECT_EQ(before, ObjectCount);
    for (int i = 0; i < 200 && waited == E_PENDING; ++i) Sleep(10);
    EXPECT_EQ(MF_E_SHUTDOWN, waited.load());
    waited == E_PENDING ? reader.detach() : reader.join();
}

// Many threads on one stream, then Shutdown: only documented results, and nothing leaks
// (each sample holds the token; the token's count shows them all released).
TEST_F(StreamObjectTest, ManyThreadsOnOneStream) {
    const std::uint32_t before = ObjectCount;
    ComPtr<IMFMediaType> token;
    MFCreateMediaType(&token);
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 60);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, samples{0};
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        while (!stop) {
            const char action = "sxpR5qgrrr"[random() % 10];
            const HRESULT hr = Call(s.stream.Get(), action, token.Get());
            unexpected += !(hr == S_OK || hr == MF_E_SHUTDOWN || (action == 'r' && hr == MF_E_INVALIDREQUEST) ||
                            (action == 'g' && hr == MF_E_NO_EVENTS_AVAILABLE));
            samples += action == 'r' && hr == S_OK;
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 6; ++i) threads.emplace_back(worker, i);
    Sleep(2500);
    s->Shutdown();
    Sleep(300);
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, unexpected.load());
    EXPECT_GT(samples.load(), 10);
    s.stream.Reset();
    EXPECT_EQ(before, ObjectCount);
    EXPECT_EQ(1u, CountOf(token.Get()));
    EXPECT_EQ(1u, CountOf(s.descriptor.Get()));
}

}  // namespace
