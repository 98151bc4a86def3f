// RequestSample's memory path under Wine: the delivered bytes, sample attributes, pacing and
// the statistics lines in the real log. Expected pictures come from the pixel routines,
// which have exactness tests of their own.
#include <algorithm>
#include <chrono>
#include <deque>
#include <regex>
#include <set>
#include <thread>

#include "library/com/object_count.h"
#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;
using SampleProductionTest = StreamTest;

double MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(SampleProductionTest, WithoutUsablePicturesTheAnimatedTestPictureAtEveryCatalogueSize) {
    for (auto [width, height] : {std::pair{640u, 360u}, {640u, 480u}, {960u, 540u}, {1280u, 720u}, {1920u, 1080u}}) {
        for (bool yuy2 : {false, true}) {
            TestStream s = MakeStream(yuy2 ? MFVideoFormat_YUY2 : MFVideoFormat_NV12, width, height, 60);
            for (std::uint64_t counter : {0, 1}) {
                EXPECT_TRUE(Fallback(width, height, yuy2, counter) == RequestBytes(s))
                    << width << "x" << height << (yuy2 ? " YUY2" : " NV12") << " sample " << counter + 1;
            }
        }
    }
    TestStream s = MakeStream(MFVideoFormat_NV12, 1280, 720, 60);
    Publish(TestPicture(640, 360), 640, 360, 300);  // too old
    EXPECT_TRUE(Fallback(1280, 720) == RequestBytes(s));
    Publish(TestPicture(4096, 2400), 4096, 2400);  // 14,745,600 bytes: more than the copy buffer
    EXPECT_TRUE(Fallback(1280, 720, false, 1) == RequestBytes(s));
    const Bytes largest = TestPicture(4096, 2304);  // 14,155,776 bytes: exactly fits
    Publish(largest, 4096, 2304, 150);
    EXPECT_TRUE(Expected(largest, 4096, 2304, 1280, 720) == RequestBytes(s));
}

// The 1088-row picture goes out directly (cropped), the 1280 x 720 one letterboxed, each
// in both formats, with its first statistics line; then spot checks independent of the
// routines: the crop keeps the top rows and the chroma plane, the letterbox has black bars
// of 60 rows and halves the picture.
TEST_F(SampleProductionTest, StorePicturesAreDeliveredCroppedScaledAndPacked) {
    const Bytes tall = TestPicture(1920, 1088), wide = TestPicture(1280, 720);
    Bytes nv12[2];
    for (int run = 0; run < 4; ++run) {
        const bool direct = run < 2, yuy2 = run % 2;
        const Bytes& picture = direct ? tall : wide;
        const std::uint32_t from[2] = {direct ? 1920u : 1280u, direct ? 1088u : 720u};
        const std::uint32_t to[2] = {direct ? 1920u : 640u, direct ? 1080u : 480u};
        TestStream s = MakeStream(yuy2 ? MFVideoFormat_YUY2 : MFVideoFormat_NV12, to[0], to[1], 30);
        LogWatch log;
        Publish(picture, from[0], from[1], 7);
        const Bytes bytes = RequestBytes(s);
        EXPECT_TRUE(Expected(picture, from[0], from[1], to[0], to[1], yuy2) == bytes) << run;
        nv12[direct] = yuy2 ? nv12[direct] : bytes;
        const std::regex line(std::string(R"(Preview RequestSample queued frame: 1, fps=0\.0, source=h264, format=)") +
                              (yuy2 ? "YUY2" : "NV12") +
                              R"(, ageMs=(?:[7-9]|[1-9]\d), )" +
                              R"(avgMs sample=\d+\.\d\d wait=\d+\.\d\d transform=\d+\.\d\d, )" +
                              (direct ? "scaled=0/1, direct=yes, src=1920x1080 req=1920x1080"
                                      : "scaled=1/1, direct=no, src=1280x720 req=640x480"));
        const std::vector<std::string> lines = log.Lines("RequestSample");
        EXPECT_TRUE(lines.size() == 1 && std::regex_match(lines[0], line)) << (lines.empty() ? "" : lines[0]);
    }
    EXPECT_TRUE(std::equal(tall.begin(), tall.begin() + 1920 * 1080, nv12[1].begin()));
    EXPECT_TRUE(std::equal(nv12[1].begin() + 1920 * 1080, nv12[1].end(), tall.begin() + 1920 * 1088));
    const Bytes& box = nv12[0];
    EXPECT_TRUE(box[59 * 640] == 16 && box[420 * 640] == 16 && box[640 * 480 + 29 * 640] == 128);
    EXPECT_TRUE(box[60 * 640 + 5] == wide[10] && box[(60 + 100) * 640 + 7] == wide[200 * 1280 + 14]);
}

// Time, duration, clean point and the token; RGB32 is produced as NV12; odd sizes cannot
// be filled safely, so 640 x 360; no current type: NV12 640 x 360 at 30 per second; frame
// durations up to one second; readable sizes at the 32-bit boundary.
TEST_F(SampleProductionTest, SampleAttributesAndMediaTypeDefaults) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 1280, 720, 60);
    ComPtr<IMFMediaType> token, carried;  // any object serves as a token
    MFCreateMediaType(&token);
    const LONGLONG before = MFGetSystemTime();
    ComPtr<IMFSample> sample = RequestOne(s.stream.Get(), token.Get());
    LONGLONG time = 0, duration = 0;
    ASSERT_TRUE(sample && SUCCEEDED(sample->GetSampleTime(&time)) && SUCCEEDED(sample->GetSampleDuration(&duration)));
    EXPECT_TRUE(time >= before && time <= MFGetSystemTime() && duration == 166666) << duration;
    EXPECT_EQ(1u, MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0));
    EXPECT_HRESULT_SUCCEEDED(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)));
    EXPECT_EQ(token.Get(), carried.Get());
    EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND,
              RequestOne(s.stream.Get())->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)));
    EXPECT_EQ(614400u, RequestBytes(MakeStream(MFVideoFormat_YUY2, 640, 480, 30)).size());
    EXPECT_EQ(960u * 540 * 3 / 2, RequestBytes(MakeStream(MFVideoFormat_RGB32, 960, 540, 30)).size());
    EXPECT_EQ(640u * 360 * 2, RequestBytes(MakeStream(MFVideoFormat_YUY2, 641, 361, 30)).size());
    sample = RequestOne(MakeStream(MFVideoFormat_YUY2, 1280, 720, 0).stream.Get());
    EXPECT_TRUE(SUCCEEDED(sample->GetSampleDuration(&duration)) && duration == 333333) << duration;
    EXPECT_TRUE(Fallback(640, 360) == SampleBytes(sample.Get()));
    for (auto [fps, per, expected] : {std::tuple{1u, 1u, 10000000ll}, {1u, 4294967295u, 333333ll}}) {
        sample = RequestOne(MakeStream(MFVideoFormat_NV12, 640, 360, fps, L"Preview", true, per).stream.Get());
        EXPECT_TRUE(SUCCEEDED(sample->GetSampleDuration(&duration)) && duration == expected) << per;
    }
    for (auto [width, height, readable] :
         {std::tuple{65536u, 32766u, true}, {65536u, 32768u, false}, {642u, 361u, false}, {0u, 360u, false}}) {
        EXPECT_EQ(readable, FrameSizeIsReadable(width, height)) << width << "x" << height;
    }
}

// Only pacing decides here (a fresh picture waits for every request). Bounds are tolerant;
// the schedule is absolute, so the mean is close to the frame duration even when single
// sleeps jitter. At 30 per second after a 150 ms stall: one at once, the next 33.3 ms later.
TEST_F(SampleProductionTest, PacingSpreadsRequestsAndRestartsAfterAStall) {
    const Bytes picture = TestPicture(640, 360);
    auto timed = [&](const TestStream& s) {
        Publish(picture, 640, 360);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(S_OK, s->RequestSample(nullptr));
        return MillisSince(start);
    };
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 60);
    timed(s);
    const auto start = std::chrono::steady_clock::now();
    std::vector<double> gaps;
    for (int i = 0; i < 60; ++i) gaps.push_back(timed(s));
    const double mean = MillisSince(start) / 60;
    std::nth_element(gaps.begin(), gaps.begin() + 30, gaps.end());
    EXPECT_TRUE(gaps[30] > 12 && gaps[30] < 25) << "median " << gaps[30];
    EXPECT_TRUE(mean > 15 && mean < 19) << "mean " << mean;

    TestStream slow = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    for (int i = 0; i < 3; ++i) timed(slow);
    Sleep(150);
    EXPECT_LT(timed(slow), 12);
    const double next = timed(slow);
    EXPECT_TRUE(next > 25 && next < 45) << next;

    // A wait for the next sample at one per second ends at Stop and at Shutdown.
    for (bool shut : {false, true}) {
        TestStream once = MakeStream(MFVideoFormat_NV12, 640, 360, 1);
        timed(once);
        std::thread ender([&] {
            Sleep(100);
            shut ? once->Shutdown() : static_cast<void>(once->Stop());
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(shut ? MF_E_SHUTDOWN : MF_E_INVALIDREQUEST, once->RequestSample(nullptr));
        EXPECT_LT(MillisSince(start), 600);
        ender.join();
    }
}

// Memory buffers come back only when the consumer has released them: a consumer holding 3
// samples never sees a buffer shared or a held byte changed, and after warm-up at most 4
// buffers and no allocation; beyond the pool's capacity plain buffers; after a type change
// only the new size; samples released after Shutdown and after the stream is gone free theirs.
TEST_F(SampleProductionTest, MemoryBuffersAreRecycledOnlyAfterTheConsumerReleasedThem) {
    const std::uint32_t objects = ObjectCount;
    TestStream s = MakeStream(MFVideoFormat_YUY2, 640, 360, 1000000);
    std::deque<std::pair<ComPtr<IMFSample>, Bytes>> held;
    auto request = [&] {  // a stale picture: the animated test picture at once, new bytes each time
        Publish(TestPicture(640, 360), 640, 360, 1000);
        ComPtr<IMFSample> sample = RequestOne(s.stream.Get());
        for (const auto& other : held) EXPECT_NE(SampleMemory(other.first.Get()), SampleMemory(sample.Get()));
        held.emplace_back(sample, SampleBytes(sample.Get()));
    };
    std::set<BYTE*> used;
    SamplePool::Counters warm{};
    for (int i = 0; i < 310; ++i) {
        request();
        if (i >= 10) used.insert(SampleMemory(held.back().first.Get()));
        if (held.size() > 3) {
            EXPECT_TRUE(held.front().second == SampleBytes(held.front().first.Get())) << i;
            held.pop_front();
        }
        if (i == 10) warm = s->MemorySamplePool()->Read();
    }
    const ComPtr<SamplePool> pool = s->MemorySamplePool();
    const SamplePool::Counters steady = pool->Read();
    EXPECT_TRUE(used.size() <= 4 && steady.pictureAllocations == warm.pictureAllocations && steady.live == 4)
        << used.size() << " " << steady.pictureAllocations;
    while (held.size() <= SamplePool::kCapacity) request();
    EXPECT_TRUE(pool->Read().live == SamplePool::kCapacity &&
                pool->Read().pictureAllocations == steady.pictureAllocations + 3);

    ComPtr<IMFMediaTypeHandler> handler;
    ASSERT_TRUE(s->Stop() == S_OK && SUCCEEDED(s.descriptor->GetMediaTypeHandler(&handler)));
    ASSERT_HRESULT_SUCCEEDED(handler->SetCurrentMediaType(VideoType(MFVideoFormat_NV12, 1280, 720, 1000000).Get()));
    ASSERT_EQ(S_OK, s->Start());
    Drain(s.stream.Get());
    for (int i = 0; i < 3; ++i) request();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(1280u * 720 * 3 / 2, held.rbegin()[i].second.size());
    s->Shutdown();
    held.pop_front();
    s.stream.Reset();
    held.clear();
    EXPECT_EQ(0u, pool->Read().live);
    EXPECT_EQ(objects + 1, ObjectCount);
}

// A line at samples 1, 30 and 60, none between; fps from the time between lines; the sums
// restart after each line; Start restarts the count; the line is cut at 255 units.
TEST_F(SampleProductionTest, StatisticsLines) {
    TestStream s = MakeStream(MFVideoFormat_YUY2, 1280, 720, 60, L"Capture");
    LogWatch log;
    auto first = std::chrono::steady_clock::now();
    double elapsed = 0;
    for (int i = 1; i <= 61; ++i) {
        ASSERT_EQ(S_OK, s->RequestSample(nullptr));
        first = i == 1 ? std::chrono::steady_clock::now() : first;
        elapsed = i == 30 ? MillisSince(first) : elapsed;
        ASSERT_EQ(i >= 60 ? 3u : i >= 30 ? 2u : 1u, log.Lines("RequestSample").size()) << "after sample " << i;
    }
    const std::regex format(R"(Capture RequestSample queued frame: (\d+), fps=(\d+\.\d), )"
                            R"(source=fallback, format=YUY2, )"
                            R"(ageMs=0, avgMs sample=(\d+\.\d\d) wait=(\d+\.\d\d) transform=\d+\.\d\d, )"
                            R"(scaled=(\d+/\d+), direct=no, src=640x360 req=1280x720)");
    const std::vector<std::string> lines = log.Lines("RequestSample");
    std::smatch m[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], m[i], format)) << lines[i];
        EXPECT_TRUE(std::stod(m[i][4]) >= 17 && std::stod(m[i][4]) < 60) << "each take waited 18 ms: " << lines[i];
        EXPECT_GE(std::stod(m[i][3]), std::stod(m[i][4]));
    }
    EXPECT_EQ("1 0.0 1/1", m[0][1].str() + " " + m[0][2].str() + " " + m[0][5].str());
    EXPECT_EQ("30 29/30", m[1][1].str() + " " + m[1][5].str()) << "line 30 covers samples 2 to 30";
    EXPECT_EQ("60 30/30", m[2][1].str() + " " + m[2][5].str());
    EXPECT_NEAR(30000.0 / elapsed, std::stod(m[1][2]), 30000.0 / elapsed * 0.15) << "elapsed " << elapsed;

    LogWatch restarted;
    ASSERT_TRUE(s->Start() == S_OK && s->RequestSample(nullptr) == S_OK);
    EXPECT_EQ(0u, restarted.Lines("RequestSample").at(0).find("Capture RequestSample queued frame: 1, fps=0.0, "));
    const std::wstring longName(180, L'x');  // the stream keeps the pointer
    TestStream named = MakeStream(MFVideoFormat_NV12, 640, 360, 60, longName.c_str());
    LogWatch cut;
    ASSERT_EQ(S_OK, named->RequestSample(nullptr));
    EXPECT_EQ(std::vector<std::string>{std::string(180, 'x') +
                                       " RequestSample queued frame: 1, fps=0.0, source=fallback, format=NV12, ageM"},
              cut.Lines("RequestSample"));
}

}  // namespace
