// RequestSample's memory path under Wine: the delivered bytes, sample attributes, pacing and
// the statistics lines in the real log. Expected pictures come from the pixel routines,
// which have exactness tests of their own.
#include <algorithm>
#include <chrono>
#include <numeric>
#include <regex>

#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;
using SampleProductionTest = StreamTest;

double MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(SampleProductionTest, WithoutPicturesEveryCatalogueSizeShowsTheAnimatedTestPicture) {
    for (auto [width, height] : {std::pair{640u, 360u}, {640u, 480u}, {960u, 540u}, {1280u, 720u}, {1920u, 1080u}}) {
        for (bool yuy2 : {false, true}) {
            TestStream s = MakeStream(yuy2 ? MFVideoFormat_YUY2 : MFVideoFormat_NV12, width, height, 60);
            for (std::uint64_t counter : {0, 1}) {
                EXPECT_TRUE(Expected(Fallback(counter), 640, 360, width, height, yuy2) ==
                            SampleBytes(RequestOne(s.stream.Get()).Get()))
                    << width << "x" << height << (yuy2 ? " YUY2" : " NV12") << " sample " << counter + 1;
            }
        }
    }
}

TEST_F(SampleProductionTest, StorePicturesAreDeliveredCroppedScaledAndPacked) {
    const Bytes tall = TestPicture(1920, 1088);
    const Bytes wide = TestPicture(1280, 720);
    struct Case {
        const Bytes& picture;
        std::uint32_t pictureWidth, pictureHeight, width, height;
        bool yuy2;
        const char* line;
    };
    const Case cases[] = {
        {tall, 1920, 1088, 1920, 1080, false, "scaled=0/1, direct=yes, src=1920x1080 req=1920x1080"},
        {tall, 1920, 1088, 1920, 1080, true, "scaled=0/1, direct=yes, src=1920x1080 req=1920x1080"},
        {wide, 1280, 720, 640, 480, false, "scaled=1/1, direct=no, src=1280x720 req=640x480"},
        {wide, 1280, 720, 640, 480, true, "scaled=1/1, direct=no, src=1280x720 req=640x480"},
    };
    for (const Case& c : cases) {
        TestStream s = MakeStream(c.yuy2 ? MFVideoFormat_YUY2 : MFVideoFormat_NV12, c.width, c.height, 30);
        LogWatch log;
        Publish(c.picture, c.pictureWidth, c.pictureHeight, 7);
        const Bytes bytes = SampleBytes(RequestOne(s.stream.Get()).Get());
        EXPECT_TRUE(Expected(c.picture, c.pictureWidth, c.pictureHeight, c.width, c.height, c.yuy2) == bytes) << c.line;
        const std::regex line(std::string(R"(Preview RequestSample queued frame: 1, fps=0\.0, source=h264, format=)") +
                              (c.yuy2 ? "YUY2" : "NV12") +
                              R"(, ageMs=(?:[7-9]|[1-9]\d), avgMs sample=\d+\.\d\d wait=\d+\.\d\d transform=\d+\.\d\d, )" + c.line);
        const std::vector<std::string> lines = log.Lines("RequestSample");
        EXPECT_TRUE(lines.size() == 1 && std::regex_match(lines[0], line)) << (lines.empty() ? "" : lines[0]);
    }
    // Spot checks independent of the routines: the crop keeps the top rows and chroma plane
    // start; the letterbox has black bars of 60 rows and halves the picture.
    TestStream s = MakeStream(MFVideoFormat_NV12, 1920, 1080, 30);
    Publish(tall, 1920, 1088);
    Bytes bytes = SampleBytes(RequestOne(s.stream.Get()).Get());
    EXPECT_TRUE(std::equal(tall.begin(), tall.begin() + 1920 * 1080, bytes.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + 1920 * 1080, bytes.end(), tall.begin() + 1920 * 1088));
    TestStream small = MakeStream(MFVideoFormat_NV12, 640, 480, 30);
    Publish(wide, 1280, 720);
    bytes = SampleBytes(RequestOne(small.stream.Get()).Get());
    EXPECT_TRUE(bytes[59 * 640] == 16 && bytes[420 * 640] == 16 && bytes[640 * 480 + 29 * 640] == 128);
    EXPECT_TRUE(bytes[60 * 640 + 5] == wide[10] && bytes[(60 + 100) * 640 + 7] == wide[200 * 1280 + 14]);
}

TEST_F(SampleProductionTest, UnusablePicturesGiveTheTestPicture) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 1280, 720, 60);
    Publish(TestPicture(640, 360), 640, 360, 300);  // too old
    EXPECT_TRUE(Expected(Fallback(0), 640, 360, 1280, 720) == SampleBytes(RequestOne(s.stream.Get()).Get()));
    Publish(TestPicture(4096, 2400), 4096, 2400);  // 14,745,600 bytes: more than the copy buffer
    EXPECT_TRUE(Expected(Fallback(1), 640, 360, 1280, 720) == SampleBytes(RequestOne(s.stream.Get()).Get()));
    const Bytes largest = TestPicture(4096, 2304);  // exactly fits
    Publish(largest, 4096, 2304, 150);
    EXPECT_TRUE(Expected(largest, 4096, 2304, 1280, 720) == SampleBytes(RequestOne(s.stream.Get()).Get()));
}

TEST_F(SampleProductionTest, SampleAttributesAndMediaTypeDefaults) {
    TestStream s = MakeStream(MFVideoFormat_NV12, 1280, 720, 60);
    ComPtr<IMFMediaType> token;  // any object serves as a token
    MFCreateMediaType(&token);
    const LONGLONG before = MFGetSystemTime();
    ComPtr<IMFSample> sample = RequestOne(s.stream.Get(), token.Get());
    LONGLONG time = 0;
    LONGLONG duration = 0;
    ComPtr<IMFMediaType> carried;
    ASSERT_TRUE(sample && SUCCEEDED(sample->GetSampleTime(&time)) && SUCCEEDED(sample->GetSampleDuration(&duration)));
    EXPECT_TRUE(time >= before && time <= MFGetSystemTime());
    EXPECT_EQ(166666, duration);
    EXPECT_EQ(1u, MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0));
    EXPECT_HRESULT_SUCCEEDED(sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)));
    EXPECT_EQ(token.Get(), carried.Get());
    EXPECT_EQ(1382400u, SampleBytes(sample.Get()).size());
    EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND,
              RequestOne(s.stream.Get())->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried)));

    auto sizeOf = [](TestStream made) { return SampleBytes(RequestOne(made.stream.Get()).Get()).size(); };
    EXPECT_EQ(614400u, sizeOf(MakeStream(MFVideoFormat_YUY2, 640, 480, 30)));
    EXPECT_EQ(960u * 540 * 3 / 2, sizeOf(MakeStream(MFVideoFormat_RGB32, 960, 540, 30)));  // produced as NV12
    // Odd sizes cannot be filled safely: treated as unreadable, so 640 x 360.
    EXPECT_EQ(640u * 360 * 2, sizeOf(MakeStream(MFVideoFormat_YUY2, 641, 361, 30)));
    // No current type: NV12 640 x 360 at 30 per second.
    TestStream untyped = MakeStream(MFVideoFormat_YUY2, 1280, 720, 0);
    sample = RequestOne(untyped.stream.Get());
    sample->GetSampleDuration(&duration);
    EXPECT_EQ(333333, duration);
    EXPECT_TRUE(Fallback(0) == SampleBytes(sample.Get()));
}

// Only pacing decides here (a fresh picture waits for every request). Bounds are tolerant;
// the schedule is absolute, so the mean is close to the frame duration even when single
// sleeps jitter.
TEST_F(SampleProductionTest, PacingSpreadsRequestsAndRestartsAfterAStall) {
    const Bytes picture = TestPicture(640, 360);
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 60);
    std::vector<double> gaps;
    auto last = std::chrono::steady_clock::now();
    for (int i = 0; i <= 60; ++i) {
        Publish(picture, 640, 360);
        ASSERT_EQ(S_OK, s->RequestSample(nullptr));
        gaps.push_back(MillisSince(last));
        last = std::chrono::steady_clock::now();
    }
    gaps.erase(gaps.begin());
    const double mean = std::accumulate(gaps.begin(), gaps.end(), 0.0) / static_cast<double>(gaps.size());
    std::nth_element(gaps.begin(), gaps.begin() + 30, gaps.end());
    EXPECT_TRUE(gaps[30] > 12 && gaps[30] < 25) << "median " << gaps[30];
    EXPECT_TRUE(mean > 15 && mean < 19) << "mean " << mean;

    // 30 per second: after a 150 ms stall at once, and the next one 33.3 ms later.
    TestStream slow = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    for (int i = 0; i < 3; ++i) {
        Publish(picture, 640, 360);
        ASSERT_EQ(S_OK, slow->RequestSample(nullptr));
    }
    Sleep(150);
    double taken[2];
    for (double& ms : taken) {
        Publish(picture, 640, 360);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(S_OK, slow->RequestSample(nullptr));
        ms = MillisSince(start);
    }
    EXPECT_LT(taken[0], 12);
    EXPECT_TRUE(taken[1] > 25 && taken[1] < 45) << taken[1];
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
    const std::regex format(R"(Capture RequestSample queued frame: (\d+), fps=(\d+\.\d), source=fallback, format=YUY2, )"
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
    ASSERT_EQ(S_OK, s->Start());
    ASSERT_EQ(S_OK, s->RequestSample(nullptr));
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
