// The camera stream under Wine with real Media Foundation objects and, under xvfb, Direct3D 11
// textures. Expected pictures come from the pixel routines, tested exactly on their own.
#include <deque>

#include "library/com/object_count.h"
#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;
constexpr HRESULT kKsNotSupported = static_cast<HRESULT>(0x80070032);

template <class Object>
ULONG References(Object* object) {
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

// Two faces, one identity and count; the control refuses everything. The state table, its
// events and the started line (a 96-unit buffer); Shutdown releases the descriptor.
TEST_F(StreamTest, FacesStatesEventsAndShutdown) {
    Stream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30, L"Capture", false);
    ComPtr<IMFMediaStream> primary;
    ComPtr<IKsControl> control;
    ComPtr<IMFMediaStream2> back;
    ASSERT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&primary)));
    ASSERT_EQ(S_OK, s->QueryInterface(IID_PPV_ARGS(&control)));
    ASSERT_EQ(S_OK, control->QueryInterface(IID_PPV_ARGS(&back)));
    EXPECT_TRUE(static_cast<void*>(primary.Get()) != control.Get() && static_cast<void*>(primary.Get()) == back.Get());
    EXPECT_EQ(4u, References(control.Get()));
    ULONG returned[2] = {77, 77};
    EXPECT_TRUE(control->KsProperty(nullptr, 0, nullptr, 0, &returned[0]) == kKsNotSupported &&
                control->KsMethod(nullptr, 0, nullptr, 0, &returned[1]) == kKsNotSupported &&
                control->KsEvent(nullptr, 0, nullptr, 0, nullptr) == kKsNotSupported && returned[0] + returned[1] == 0);

    MF_STREAM_STATE state = MF_STREAM_STATE_RUNNING;
    EXPECT_TRUE(s->GetStreamState(&state) == S_OK && state == MF_STREAM_STATE_STOPPED);
    const std::size_t log = velmora::test::ReadLog().size();
    const std::pair<char, HRESULT> steps[] = {
        {'r', MF_E_INVALIDREQUEST}, {'5', S_OK} /* any value, no event */, {'r', MF_E_INVALIDREQUEST},
        {'x', S_OK} /* never started */, {'s', S_OK}, {'s', S_OK}, {'r', S_OK}, {'p', S_OK},
        {'r', MF_E_INVALIDREQUEST}, {'R', S_OK}, {'r', S_OK}, {'x', S_OK}, {'r', MF_E_INVALIDREQUEST}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(steps[i].second, Call(s.Get(), steps[i].first)) << "step " << i << " " << steps[i].first;
        EXPECT_TRUE(i != 1 || (s->GetStreamState(&state) == S_OK && state == 5)) << "state after step 1";
    }
    EXPECT_EQ((std::vector<MediaEventType>{MEStreamStopped, MEStreamStarted, MEStreamStarted, MEMediaSample,
                                           MEMediaSample, MEStreamStopped}),
              Drain(s.Get()));
    const std::wstring longName(120, L'n');  // the stream keeps the pointer
    Stream named = MakeStream(MFVideoFormat_NV12, 640, 360, 30, longName.c_str());
    EXPECT_EQ(std::vector<std::string>(2, "Capture media stream started."), LogLines(log, "started"));
    EXPECT_EQ(std::vector<std::string>{std::string(95, 'n')}, LogLines(log, "nnnnn"));

    IMFMediaSource* source = reinterpret_cast<IMFMediaSource*>(&state);
    EXPECT_TRUE(s->GetMediaSource(&source) == MF_E_NOT_INITIALIZED && source == nullptr);
    ComPtr<IMFStreamDescriptor> descriptor;
    ASSERT_EQ(S_OK, s->GetStreamDescriptor(&descriptor));
    const ULONG descriptorCount = References(descriptor.Get());
    s->Shutdown();
    EXPECT_EQ(descriptorCount - 1, References(descriptor.Get()));
    for (char action : std::string("sxrpR5qg")) EXPECT_EQ(MF_E_SHUTDOWN, Call(s.Get(), action)) << action;
    EXPECT_EQ(MF_E_SHUTDOWN, s->GetMediaSource(&source));
    EXPECT_EQ(kKsNotSupported, control->KsProperty(nullptr, 0, nullptr, 0, nullptr));
}

// A reader blocked in GetEvent holds the queue, not the stream: the last release wakes it. A
// request waiting for its slot at one per second ends at Stop and at Shutdown.
TEST_F(StreamTest, WaitsEndAtStopShutdownAndLastRelease) {
    const std::uint32_t before = ObjectCount;
    Stream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    std::atomic<HRESULT> waited{E_PENDING};
    std::thread reader([&, raw = s.Get()] {
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
    for (bool shut : {false, true}) {
        Stream once = MakeStream(MFVideoFormat_NV12, 640, 360, 1);
        RequestOne(once.Get());
        std::thread ender([&] {
            Sleep(100);
            shut ? once->Shutdown() : static_cast<void>(once->Stop());
        });
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(shut ? MF_E_SHUTDOWN : MF_E_INVALIDREQUEST, once->RequestSample(nullptr));
        EXPECT_LT(GetTickCount64() - start, 600u);
        ender.join();
    }
}

// 1088 rows go out cropped, 1280 x 720 letterboxed, each with its first statistics line.
TEST_F(StreamTest, DeliveredPictures) {
    Stream fallback = MakeStream(MFVideoFormat_YUY2, 1920, 1080, 60);
    EXPECT_TRUE(Expected({}, 640, 360, 1920, 1080, true) == RequestBytes(fallback));
    Publish(TestPicture(640, 360), 640, 360, 300);  // too old
    EXPECT_TRUE(Expected({}, 640, 360, 1920, 1080, true, 1) == RequestBytes(fallback));
    Publish(TestPicture(4096, 2400), 4096, 2400);  // 14,745,600 bytes: more than the copy buffer
    EXPECT_TRUE(Expected({}, 640, 360, 1920, 1080, true, 2) == RequestBytes(fallback));
    for (int run = 0; run < 4; ++run) {
        const bool direct = run < 2, yuy2 = run % 2;
        const std::uint32_t from[2] = {direct ? 1920u : 1280u, direct ? 1088u : 720u};
        const std::uint32_t to[2] = {direct ? 1920u : 640u, direct ? 1080u : 480u};
        const Bytes picture = TestPicture(from[0], from[1]);
        Stream s = MakeStream(yuy2 ? MFVideoFormat_YUY2 : MFVideoFormat_NV12, to[0], to[1], 30);
        const std::size_t log = velmora::test::ReadLog().size();
        Publish(picture, from[0], from[1], 7);
        EXPECT_TRUE(Expected(picture, from[0], from[1], to[0], to[1], yuy2) == RequestBytes(s)) << run;
        const std::regex line(std::string(R"(Preview RequestSample queued frame: 1, fps=0\.0, source=h264, format=)") +
                              (yuy2 ? "YUY2" : "NV12") + R"(, ageMs=(?:[7-9]|[1-9]\d), )" +
                              R"(avgMs sample=\d+\.\d\d wait=\d+\.\d\d transform=\d+\.\d\d, )" +
                              (direct ? "scaled=0/1, direct=yes, src=1920x1080 req=1920x1080"
                                      : "scaled=1/1, direct=no, src=1280x720 req=640x480"));
        const std::vector<std::string> lines = LogLines(log, "RequestSample");
        EXPECT_TRUE(lines.size() == 1 && std::regex_match(lines[0], line)) << (lines.empty() ? "" : lines[0]);
    }
}

// Time, duration, clean point and the token; RGB32 is produced as NV12; odd sizes cannot be
// filled safely, so 640 x 360; no current type: NV12 640 x 360 at 30 per second.
TEST_F(StreamTest, SampleAttributesAndMediaTypeDefaults) {
    ComPtr<IMFMediaType> token, carried;  // any object serves as a token
    MFCreateMediaType(&token);
    const LONGLONG before = MFGetSystemTime();
    ComPtr<IMFSample> sample = RequestOne(MakeStream(MFVideoFormat_NV12, 1280, 720, 60).Get(), token.Get());
    LONGLONG time = 0, duration = 0;
    ASSERT_TRUE(sample && SUCCEEDED(sample->GetSampleTime(&time)) && SUCCEEDED(sample->GetSampleDuration(&duration)));
    EXPECT_TRUE(time >= before && time <= MFGetSystemTime() && duration == 166666) << duration;
    EXPECT_EQ(1u, MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0));
    EXPECT_TRUE(SUCCEEDED(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried))) && carried == token);
    EXPECT_EQ(960u * 540 * 3 / 2, RequestBytes(MakeStream(MFVideoFormat_RGB32, 960, 540, 30)).size());
    EXPECT_EQ(640u * 360 * 2, RequestBytes(MakeStream(MFVideoFormat_YUY2, 641, 361, 30)).size());
    sample = RequestOne(MakeStream(MFVideoFormat_YUY2, 1280, 720, 0).Get());
    EXPECT_TRUE(SUCCEEDED(sample->GetSampleDuration(&duration)) && duration == 333333) << duration;
    EXPECT_TRUE(Expected({}, 640, 360, 640, 360) == SampleBytes(sample.Get()));
    EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)));
}

// A consumer holding 3 samples never sees a buffer shared or a held byte changed, and after
// warm-up no buffer is allocated; samples released after the stream is gone free theirs.
TEST_F(StreamTest, MemoryBuffersAreRecycledOnlyAfterTheConsumerReleasedThem) {
    Stream s = MakeStream(MFVideoFormat_YUY2, 640, 360, 1000000);
    std::deque<std::tuple<ComPtr<IMFSample>, Bytes, BYTE*>> held;
    SamplePool::Counters warm{};
    for (int i = 0; i < 100; ++i) {
        Publish(TestPicture(640, 360), 640, 360, 1000);  // stale: the test picture at once, new bytes each time
        ComPtr<IMFSample> sample = RequestOne(s.Get());
        BYTE* memory = nullptr;
        Bytes bytes = SampleBytes(sample.Get(), &memory);
        for (const auto& [other, kept, at] : held) EXPECT_TRUE(at != memory && kept == SampleBytes(other.Get())) << i;
        held.emplace_back(sample, std::move(bytes), memory);
        if (held.size() > 3) held.pop_front();
        if (i == 10) warm = s->MemorySamplePool()->Read();
    }
    const ComPtr<SamplePool> pool = s->MemorySamplePool();
    EXPECT_TRUE(pool->Read().pictureAllocations == warm.pictureAllocations && pool->Read().live == 4);
    s.stream.Reset();
    held.clear();
    EXPECT_EQ(0u, pool->Read().live);
}

// With "gpu direct", a Direct3D 11 NV12 texture of the requested size goes out as a DXGI
// surface buffer; another size, YUY2, plain "gpu" or an unusable texture go through memory.
TEST_F(StreamTest, GpuTexturesAreHandedOverAsSurfaces) {
    ComPtr<ID3D11Device> device;
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                 &device, nullptr, nullptr))) {
        GTEST_SKIP() << "no Direct3D 11 device: run under xvfb-run";
    }
    ComPtr<ID3D11Texture2D> textures[2];  // no surface buffer can be made for the second
    for (const DXGI_FORMAT format : {DXGI_FORMAT_NV12, DXGI_FORMAT_R32_UINT}) {
        const D3D11_TEXTURE2D_DESC description{640, 360, 1, 2, format, {1, 0}, D3D11_USAGE_DEFAULT,
                                               format == DXGI_FORMAT_NV12 ? UINT{D3D11_BIND_DECODER} : 0u, 0, 0};
        ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&description, nullptr, &textures[format != DXGI_FORMAT_NV12]));
    }
    const std::size_t log = velmora::test::ReadLog().size();
    const Bytes picture = TestPicture(640, 360);
    auto produce = [&](const char* mode, int texture, bool yuy2, std::uint32_t width, std::uint32_t height) {
        SetDecodeMode(mode);
        Stream s = MakeStream(yuy2 ? MFVideoFormat_YUY2 : MFVideoFormat_NV12, width, height, 30);
        Publish(picture, 640, 360, 5, textures[texture].Get(), 1);
        return RequestOne(s.Get());
    };
    ComPtr<IMFSample> sample = produce("gpu direct", 0, false, 640, 360);
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFDXGIBuffer> dxgi;
    ComPtr<ID3D11Texture2D> surface;
    UINT subresource = 0;
    DWORD length = 0;
    ASSERT_TRUE(sample && SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer.As(&dxgi)));
    EXPECT_TRUE(SUCCEEDED(dxgi->GetResource(IID_PPV_ARGS(&surface))) && surface == textures[0]);
    EXPECT_TRUE(SUCCEEDED(dxgi->GetSubresourceIndex(&subresource)) && subresource == 1);
    EXPECT_TRUE(SUCCEEDED(buffer->GetCurrentLength(&length)) && length == 345600);
    EXPECT_TRUE(std::regex_match(LogLines(log, "RequestSample").at(0),
                                 std::regex("Preview RequestSample queued frame: 1, fps=0\\.0, source=h264-gpu, "
                                            "format=NV12, ageMs=([5-9]|[1-4]\\d)")));
    EXPECT_EQ(Expected(picture, 640, 360, 1280, 720), SampleBytes(produce("gpu direct", 0, false, 1280, 720).Get()));
    EXPECT_EQ(Expected(picture, 640, 360, 640, 360, true), SampleBytes(produce("gpu direct", 0, true, 640, 360).Get()));
    EXPECT_EQ(picture, SampleBytes(produce("gpu", 0, false, 640, 360).Get()));
    EXPECT_TRUE(LogLines(log, "DXGI").empty());
    EXPECT_EQ(picture, SampleBytes(produce("gpu direct", 1, false, 640, 360).Get()));
    EXPECT_EQ(std::vector<std::string>{"MFCreateDXGISurfaceBuffer failed; falling back to CPU sample."},
              LogLines(log, "DXGI"));
    SetDecodeMode("");
}

}  // namespace
