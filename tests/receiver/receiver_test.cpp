// The receiver against the real sender, one connection at a time on a receiver of the
// test's own: pictures equal ffmpeg's decode, statistics and log lines, the age rule, and
// every way a connection ends.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/velmora_names.h"
#include "library/receiver/h264_receiver.h"
#include "tests/common/library_log.h"
#include "tests/common/sender_control.h"

namespace {

using namespace velmora::test;

// RunConnection runs on the test's thread here, so the thread joins COM and Media
// Foundation the way the receiver thread does.
class MediaFoundationEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    }
    void TearDown() override {
        MFShutdown();
        CoUninitialize();
    }
};
const testing::Environment* const mediaFoundation = testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

class ReceiverTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ResetSender(), S_OK) << "the sender fixture must be running";
        DeleteFileW(LogPath().c_str());
        DeleteFileW((std::wstring(velmora::kDataDirectory) + L"\\" + velmora::kDecodeModeFileName).c_str());
    }

    HRESULT Connect(H264Receiver& receiver, const wchar_t* scenario) {
        EXPECT_EQ(SetSenderScenario(scenario), S_OK) << scenario;
        return static_cast<HRESULT>(receiver.RunConnection());
    }
};

TEST_F(ReceiverTest, PublishedPicturesEqualFfmpegDecodeOfTheSameStream) {
    const char* referencePath = std::getenv("VELMORA_RECEIVER_REFERENCE");
    ASSERT_NE(referencePath, nullptr);
    std::ifstream file(referencePath, std::ios::binary);
    const std::vector<std::uint8_t> reference((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    constexpr std::size_t kVisible = 640 * 360 * 3 / 2;
    ASSERT_GE(reference.size(), kVisible * 60);
    const std::size_t referenceFrames = reference.size() / kVisible;

    H264Receiver receiver;
    std::atomic<bool> done{false};
    std::vector<std::size_t> matched;
    int mismatches = 0;
    std::thread consumer([&] {
        std::uint64_t lastSequence = 0;
        std::vector<std::uint8_t> destination(640 * 360 * 3 / 2);
        std::vector<std::uint8_t> scratch(4096 * 2304 * 3 / 2);
        std::size_t next = 0;
        while (!done) {
            std::uint32_t age = 0, width = 0, height = 0;
            bool direct = false;
            const std::uint64_t previous = lastSequence;
            // The decoder's 640x368 pictures are cropped to the visible 360 rows on delivery.
            if (!receiver.TakeCpuFrame(destination.data(), static_cast<std::uint32_t>(destination.size()),
                                       scratch.data(), static_cast<std::uint32_t>(scratch.size()), 640, 360,
                                       lastSequence, age, width, height, direct) ||
                lastSequence == previous) {
                continue;  // nothing new: the same picture again
            }
            std::size_t index = next;
            while (index < referenceFrames &&
                   !std::equal(destination.begin(), destination.end(), reference.begin() + index * kVisible)) {
                ++index;
            }
            if (index == referenceFrames) {
                ++mismatches;
            } else {
                matched.push_back(index);
                next = index + 1;
            }
        }
    });
    const HRESULT hr = Connect(receiver, L"size=640x360&fps=30&frames=90");
    done = true;
    consumer.join();
    EXPECT_EQ(hr, static_cast<HRESULT>(0x80070026)) << "the sender closed cleanly";
    EXPECT_EQ(mismatches, 0) << "every picture taken equals one of ffmpeg's, in order";
    EXPECT_GE(matched.size(), 30u) << "a consumer at the sender's pace sees most pictures";
    EXPECT_GE(receiver.decodedFrames, 80u);
    EXPECT_EQ(receiver.width, 640u);
    EXPECT_EQ(receiver.height, 368u);

    const std::string log = ReadLog();
    EXPECT_EQ(CountOf(log, "H.264 receiver decode mode: CPU fallback.\r\n"), 1);
    EXPECT_EQ(CountOf(log, "Connecting to http://127.0.0.1:8080/h264frames\r\n"), 1);
    EXPECT_EQ(CountOf(log, "H.264 HTTP response received.\r\n"), 1);
    EXPECT_GE(CountOf(log, "H.264 decoder output: 640x368 NV12\r\n"), 1);
    const std::string averages =
        R"(, endToEndAgeMs=\d+, avgMs read=\d+\.\d\d decode=\d+\.\d\d store=\d+\.\d\d, avgKB=\d+\.\d\r\n)";
    const std::regex first(R"(H\.264 decoded frames: 1, fps=0\.0)" + averages);
    const std::regex sixtieth(R"(H\.264 decoded frames: 60, fps=\d+\.\d)" + averages);
    EXPECT_TRUE(std::regex_search(log, first)) << log;
    EXPECT_TRUE(std::regex_search(log, sixtieth)) << log;
    EXPECT_EQ(CountOf(log, "H.264 decoded frames: "), 2) << "lines at 1 and 60 only";
}

TEST_F(ReceiverTest, ReconnectionKeepsCountsOffsetAndBuffer) {
    H264Receiver receiver;
    EXPECT_EQ(Connect(receiver, L"frames=40"), static_cast<HRESULT>(0x80070026));
    const std::uint64_t afterFirst = receiver.decodedFrames;
    const std::size_t bufferSize = receiver.payloadBuffer.size();
    const std::int64_t offset = receiver.clockOffsetMs;
    EXPECT_GE(afterFirst, 30u);
    EXPECT_GT(bufferSize, 0u);
    EXPECT_NE(offset, std::numeric_limits<std::int64_t>::min());

    const std::uint64_t vectors = receiverAllocations.pictureVectors;
    EXPECT_EQ(Connect(receiver, L"frames=40"), static_cast<HRESULT>(0x80070026));
    EXPECT_EQ(receiverAllocations.pictureVectors, vectors) << "pictures of the same size reuse their vectors";
    EXPECT_GE(receiver.decodedFrames, afterFirst + 30);
    EXPECT_GE(receiver.payloadBuffer.size(), bufferSize) << "the buffer never shrinks";
    // The count goes on across connections: the 60th picture falls in the second one.
    EXPECT_EQ(CountOf(ReadLog(), "H.264 decoded frames: 60,"), 1);
}

TEST_F(ReceiverTest, FramesOlderThan200MsAreNotPublishedFramesWithoutAgeAre) {
    H264Receiver old;
    EXPECT_EQ(Connect(old, L"frames=20&latency=300"), static_cast<HRESULT>(0x80070026));
    EXPECT_EQ(old.decodedFrames, 0u);
    EXPECT_EQ(old.sequence, 0u);

    H264Receiver untimed;
    EXPECT_EQ(Connect(untimed, L"frames=20&timing=off"), static_cast<HRESULT>(0x80070026));
    EXPECT_GE(untimed.decodedFrames, 10u);
    EXPECT_EQ(untimed.ageAtPublishMs, 0u);

    H264Receiver tooLate;  // a sender delay above 5000 ms: no age, so published
    EXPECT_EQ(Connect(tooLate, L"frames=20&name=delay-5001"), static_cast<HRESULT>(0x80070026));
    EXPECT_GE(tooLate.decodedFrames, 10u);

    H264Receiver stepped;  // the sender's clock steps back 1000 ms after 1 s of 4
    EXPECT_EQ(Connect(stepped, L"frames=120&name=clock-back"), static_cast<HRESULT>(0x80070026));
    EXPECT_GE(stepped.decodedFrames, 70u) << "pictures again within 1.5 s of the step";
}

TEST_F(ReceiverTest, EachWayAConnectionEndsGivesItsCode) {
    H264Receiver receiver;
    EXPECT_EQ(Connect(receiver, L"name=length-over"), static_cast<HRESULT>(0xC00D3E8C));
    EXPECT_EQ(Connect(receiver, L"name=length-zero"), static_cast<HRESULT>(0xC00D3E8C));
    EXPECT_EQ(Connect(receiver, L"name=not-found"), static_cast<HRESULT>(0x80070026));
    EXPECT_EQ(Connect(receiver, L"name=server-error"), static_cast<HRESULT>(0xC00D3E8C));
    // A pause longer than the 1.5 s receive time-out: Windows says 0x80072EE2, Wine 0x8007274C.
    const HRESULT paused = Connect(receiver, L"name=pause");
    EXPECT_TRUE(paused == static_cast<HRESULT>(0x80072EE2) || paused == static_cast<HRESULT>(0x8007274C))
        << std::hex << paused;
    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    EXPECT_EQ(static_cast<HRESULT>(receiver.RunConnection()), static_cast<HRESULT>(0x80072EFD));
    ASSERT_EQ(SenderControl(L"/listen?on=1"), S_OK);
    const std::uint64_t before = receiver.decodedFrames;
    EXPECT_EQ(Connect(receiver, L"frames=10&split=5"), static_cast<HRESULT>(0x80070026));
    EXPECT_GE(receiver.decodedFrames, before + 5) << "split headers are assembled";
}

TEST_F(ReceiverTest, RepeatedFailuresAreLoggedOnceThenHeldBack) {
    H264Receiver receiver;
    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    for (int i = 0; i < 5; ++i) {
        receiver.LogConnectionEnd(receiver.RunConnection());
    }
    std::string log = ReadLog();
    EXPECT_EQ(CountOf(log, "H.264 stream failed: 0x80072EFD\r\n"), 1) << log;
    EXPECT_EQ(CountOf(log, "Connecting to http://127.0.0.1:8080/h264frames\r\n"), 1);
    EXPECT_EQ(CountOf(log, "H.264 receiver decode mode: CPU fallback.\r\n"), 1);

    // The sender returns: the attempt that streams is written in full, with its own failure.
    ASSERT_EQ(SenderControl(L"/listen?on=1"), S_OK);
    ASSERT_EQ(SetSenderScenario(L"frames=5"), S_OK);
    receiver.LogConnectionEnd(receiver.RunConnection());
    log = ReadLog();
    EXPECT_EQ(CountOf(log, "Connecting to http://127.0.0.1:8080/h264frames\r\n"), 2);
    EXPECT_EQ(CountOf(log, "H.264 HTTP response received.\r\n"), 1);
    EXPECT_EQ(CountOf(log, "H.264 stream failed: 0x80070026\r\n"), 1);
    EXPECT_EQ(CountOf(log, "H.264 stream still failing: 0x80072EFD, 4 more attempts since the last line.\r\n"), 1)
        << "the run of repeats is summarised when it ends";
}

std::atomic<int> startAttempts{0};
std::thread gateThread;
bool lineBeforeThread = false;
// Refuses twice, then starts a thread that only passes the gate and looks at the log.
bool RefuseTwice(H264Receiver* receiver) noexcept {
    if (++startAttempts <= 2) {
        return false;
    }
    gateThread = std::thread([receiver] {
        receiver->PassStartGate();
        lineBeforeThread = CountOf(ReadLog(), "H.264 receiver starting.\r\n") == 2;
    });
    return true;
}

TEST_F(ReceiverTest, ARefusedThreadIsLoggedAndRetriedByTheNextCall) {
    const H264Receiver::ThreadStarter original = H264Receiver::threadStarter;
    H264Receiver::threadStarter = &RefuseTwice;
    H264Receiver receiver;
    receiver.EnsureStarted();
    EXPECT_FALSE(receiver.started.load());
    receiver.EnsureStarted();
    const std::string log = ReadLog();
    EXPECT_EQ(CountOf(log, "H.264 receiver starting.\r\n"), 1) << "written with the refusal, at most once a minute";
    EXPECT_EQ(CountOf(log, "H.264 receiver thread could not be started; retrying at the next request.\r\n"), 1);
    receiver.EnsureStarted();
    receiver.EnsureStarted();
    gateThread.join();
    H264Receiver::threadStarter = original;
    EXPECT_EQ(startAttempts.load(), 3);
    EXPECT_TRUE(lineBeforeThread) << "the thread's own lines come after the starting line";
}

}  // namespace
