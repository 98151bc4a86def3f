// The receiver against the real sender, one connection at a time on a receiver of the test's own.
#include "library/receiver/frame_stream_client.h"
#include "library/receiver/h264_receiver.h"
#include "tests/common/windows_test.h"

namespace {

using namespace velmora::test;

constexpr HRESULT kEnded = static_cast<HRESULT>(0x80070026);
constexpr HRESULT kBadLength = static_cast<HRESULT>(0xC00D3E8C);
constexpr HRESULT kNoServer = static_cast<HRESULT>(0x80072EFD);
const std::string kConnecting = "Connecting to http://127.0.0.1:8080/h264frames\r\n";
const std::string kCpuMode = "H.264 receiver decode mode: CPU fallback.\r\n";
const std::string kStarting = "H.264 receiver starting.\r\n";

// GET on the sender's control port (tools/sender/README.md): S_OK for status 200, E_FAIL for another, WinHTTP's
// error when no sender answers. `reply` receives the body.
HRESULT SenderControl(const std::wstring& pathAndQuery, std::string* reply = nullptr) {
    const WinHttpHandle session(WinHttpOpen(L"VelmoraTests/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                            WINHTTP_NO_PROXY_BYPASS, 0));
    const WinHttpHandle connection(session ? WinHttpConnect(session.Get(), L"127.0.0.1", 8091, 0) : nullptr);
    const WinHttpHandle request(connection ? WinHttpOpenRequest(connection.Get(), L"GET", pathAndQuery.c_str(), nullptr,
                                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                           : nullptr);
    DWORD status = 0, size = sizeof status, got = 1;
    // A scenario with a new picture size waits for its encoding.
    if (!request || !WinHttpSetTimeouts(request.Get(), 5000, 5000, 5000, 180000) ||
        !WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.Get(), nullptr) ||
        !WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return HresultFromWin32Error(GetLastError());
    }
    for (char chunk[4096]; got > 0 && reply != nullptr; reply->append(chunk, got)) {
        if (!WinHttpReadData(request.Get(), chunk, sizeof chunk, &got)) {
            return HresultFromWin32Error(GetLastError());
        }
    }
    return status == 200 ? S_OK : E_FAIL;
}

// True once a picture newer than lastSequence was taken into `picture`, cropped to 640x360, within `limit`.
bool TakeNewer(H264Receiver& receiver, std::uint64_t& lastSequence, std::vector<std::uint8_t>& picture,
               std::chrono::seconds limit = std::chrono::seconds(0)) {
    thread_local std::vector<std::uint8_t> scratch(4096 * 2304 * 3 / 2);
    picture.resize(640 * 360 * 3 / 2);
    const std::uint64_t previous = lastSequence;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        std::uint32_t age = 0, width = 0, height = 0;
        bool direct = false;
        receiver.TakeCpuFrame(picture.data(), static_cast<std::uint32_t>(picture.size()), scratch.data(),
                              static_cast<std::uint32_t>(scratch.size()), 640, 360, lastSequence, age, width, height,
                              direct);
    } while (lastSequence == previous && std::chrono::steady_clock::now() < deadline);
    return lastSequence != previous;
}

HRESULT Connect(H264Receiver& receiver, const wchar_t* scenario) {
    EXPECT_EQ(SenderControl(std::wstring(L"/scenario?") + scenario), S_OK) << scenario;
    return static_cast<HRESULT>(receiver.RunConnection());
}

class Receiver : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SenderControl(L"/reset"), S_OK) << "the sender fixture must be running";
        DeleteFileW(LogPath().c_str());
        SetDecodeMode("");
    }
    H264Receiver receiver;
};

TEST_F(Receiver, PublishedPicturesEqualFfmpegDecodeOfTheSameStream) {
    const char* referencePath = std::getenv("VELMORA_RECEIVER_REFERENCE");
    ASSERT_NE(referencePath, nullptr);
    const std::string bytes = ReadFileBytes(referencePath);
    const std::vector<std::uint8_t> reference(bytes.begin(), bytes.end());
    constexpr std::size_t kVisible = 640 * 360 * 3 / 2;
    ASSERT_GE(reference.size(), kVisible * 60);
    const std::size_t referenceFrames = reference.size() / kVisible;

    std::atomic<bool> done{false};
    std::size_t taken = 0, matched = 0;
    std::thread consumer([&] {
        std::uint64_t lastSequence = 0;
        std::vector<std::uint8_t> picture;
        for (std::size_t next = 0; !done;) {
            // The decoder's 640x368 pictures are cropped to the visible 360 rows on delivery.
            if (TakeNewer(receiver, lastSequence, picture)) {
                while (next < referenceFrames &&
                       !std::equal(picture.begin(), picture.end(), reference.begin() + next * kVisible)) {
                    ++next;
                }
                ++taken;
                matched += next++ < referenceFrames;
            }
        }
    });
    const HRESULT hr = Connect(receiver, L"size=640x360&fps=30&frames=90");
    done = true;
    consumer.join();
    EXPECT_EQ(hr, kEnded) << "the sender closed cleanly";
    EXPECT_EQ(matched, taken) << "every picture taken equals one of ffmpeg's, in order";
    EXPECT_GE(matched, 30u) << "a consumer at the sender's pace sees most pictures";
    EXPECT_GE(receiver.decodedFrames, 80u);

    const std::string log = ReadLog();
    const std::string response = "H.264 HTTP response received.\r\n", output = "H.264 decoder output: 640x368 NV12\r\n";
    for (const std::string& line : {kCpuMode, kConnecting, response, output}) {
        EXPECT_EQ(CountOf(log, line), 1) << line;
    }
    const std::string averages =
        R"(, endToEndAgeMs=\d+, avgMs read=\d+\.\d\d decode=\d+\.\d\d store=\d+\.\d\d, avgKB=\d+\.\d\r\n)";
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(H\.264 decoded frames: 1, fps=0\.0)" + averages))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(H\.264 decoded frames: 60, fps=\d+\.\d)" + averages))) << log;
    EXPECT_EQ(CountOf(log, "H.264 decoded frames: "), 2) << "lines at 1 and 60 only";

    const std::size_t bufferSize = receiver.payloadBuffer.size();
    const std::uint64_t vectors = receiverAllocations.pictureVectors;
    EXPECT_EQ(Connect(receiver, L"frames=60"), kEnded);
    EXPECT_EQ(receiverAllocations.pictureVectors, vectors) << "pictures of the same size reuse their vectors";
    EXPECT_TRUE(bufferSize > 0 && receiver.payloadBuffer.size() >= bufferSize) << "the buffer never shrinks";
    EXPECT_EQ(CountOf(ReadLog(), "H.264 decoded frames: 120,"), 1);
}

// Frames with an age over 200 ms are not published, frames without an age are.
TEST_F(Receiver, EachWayAConnectionEndsGivesItsCodeAndOnlyTimelyFramesArePublished) {
    const struct {
        const wchar_t* scenario;
        HRESULT hr;
        std::uint64_t fewest, most;
    } cases[] = {
        {L"name=length-max&frames=3", kEnded, 1, 3},  // 2,097,152 bytes is still a frame
        {L"name=length-over", kBadLength, 0, 1},
        {L"name=length-zero", kBadLength, 0, 1},
        {L"name=not-found", kEnded, 0, 0},         // an error body shorter than a header
        {L"name=server-error", kBadLength, 0, 0},  // an error body read as a huge length
        {L"name=redirect", kEnded, 0, 0},          // never followed
        {L"frames=10&split=5", kEnded, 5, 10},     // every header in two writes
        {L"pause=800&pause-at=2&frames=4", kEnded, 2, 4},
        {L"frames=20&delay=5000", kEnded, 0, 0},   // the largest delay that still gives an age
        {L"frames=20&delay=5001", kEnded, 10, 20},
        {L"frames=20&timing=off", kEnded, 10, 20},
        {L"frames=120&name=clock-back", kEnded, 70, 120},  // the clock steps back 1000 ms after 1 s of 4
    };
    for (const auto& c : cases) {
        H264Receiver fresh;  // no offset learnt from another case
        EXPECT_EQ(Connect(fresh, c.scenario), c.hr) << c.scenario;
        EXPECT_TRUE(fresh.decodedFrames >= c.fewest && fresh.decodedFrames <= c.most)
            << c.scenario << ": " << fresh.decodedFrames;
    }
    std::string status;
    EXPECT_EQ(SenderControl(L"/status", &status), S_OK);
    EXPECT_NE(status.find("\nredirected=0\n"), std::string::npos) << status;

    // A pause longer than the 1.5 s receive time-out: Windows says 0x80072EE2, Wine 0x8007274C.
    const auto start = std::chrono::steady_clock::now();
    const HRESULT paused = Connect(receiver, L"pause=5000&pause-at=2&frames=3");
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_TRUE(paused == static_cast<HRESULT>(0x80072EE2) || paused == static_cast<HRESULT>(0x8007274C))
        << std::hex << paused;
    EXPECT_TRUE(waited.count() >= 1400 && waited.count() < 4500) << waited.count();
    const HRESULT reset = Connect(receiver, L"name=reset&reset=2");
    EXPECT_TRUE(FAILED(reset) && reset != kEnded) << std::hex << reset;
    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    EXPECT_EQ(static_cast<HRESULT>(receiver.RunConnection()), kNoServer);
}

// The process's one receiver thread keeps running after this case: it comes last.
TEST_F(Receiver, ThreadStartsOnceFillsTheStoreAndRecoversAfterTheSenderReturns) {
    // Every connection ends by itself after two seconds, so the sender can go away.
    ASSERT_EQ(SenderControl(L"/scenario?frames=60"), S_OK);
    H264Receiver& instance = H264Receiver::Instance();
    std::thread other([&instance] { instance.EnsureStarted(); });
    instance.EnsureStarted();
    other.join();
    instance.EnsureStarted();
    std::uint64_t lastSequence = 0;
    std::vector<std::uint8_t> picture;
    ASSERT_TRUE(TakeNewer(instance, lastSequence, picture, std::chrono::seconds(30)));
    std::string log = ReadLog();
    EXPECT_EQ(CountOf(log, kStarting), 1) << "one thread, one line";
    EXPECT_LT(log.find(kStarting), log.find(kCpuMode)) << "the thread's own lines come after it";

    // The sender goes away: about sixty attempts in three seconds fail alike, and the log stays short.
    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    std::this_thread::sleep_for(std::chrono::seconds(5));
    log = ReadLog();
    EXPECT_EQ(CountOf(log, "H.264 stream failed: 0x80070026\r\n"), 1) << log;
    EXPECT_EQ(CountOf(log, "H.264 stream failed: 0x80072EFD\r\n"), 1) << log;
    EXPECT_TRUE(CountOf(log, kConnecting) <= 3 && CountOf(log, kCpuMode) <= 3) << log;

    ASSERT_EQ(SenderControl(L"/listen?on=1"), S_OK);
    EXPECT_TRUE(TakeNewer(instance, lastSequence, picture, std::chrono::seconds(30))) << "it reconnects by itself";
    // That connection ends after its sixty frames; the run of failures before it is then summarised in one line.
    const std::regex summary(R"(H\.264 stream still failing: 0x80072EFD, \d+ more attempts since the last line\.\r\n)");
    for (int i = 0; i < 100 && !std::regex_search(log, summary); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        log = ReadLog();
    }
    EXPECT_TRUE(std::regex_search(log, summary)) << log;
}

}  // namespace
