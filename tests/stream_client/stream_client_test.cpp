// FrameStreamClient against the real sender (tools/sender, fixture "sender"), under Wine.
#include "library/receiver/frame_stream_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/common/sender_control.h"

// Log lines of the code under test, recorded instead of written to the data directory.
static std::vector<std::wstring> loggedLines;
void LogMessage(const wchar_t* message) noexcept { loggedLines.emplace_back(message); }
void LogFormatted(std::size_t capacity, const wchar_t* format, ...) noexcept {
    std::vector<wchar_t> line(capacity);
    va_list arguments;
    va_start(arguments, format);
    vswprintf(line.data(), capacity, format, arguments);
    va_end(arguments);
    loggedLines.emplace_back(line.data());
}

namespace {

constexpr HRESULT kTimedOutWindows = static_cast<HRESULT>(0x80072EE2);  // 12002
constexpr HRESULT kTimedOutWine = static_cast<HRESULT>(0x8007274C);     // 10060
constexpr HRESULT kCannotConnect = static_cast<HRESULT>(0x80072EFD);    // 12029
constexpr HRESULT kNotOpen = static_cast<HRESULT>(0x80070006);

double WallClockMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Byte j of frame k of the sender's payload=pattern option.
std::uint8_t PatternByte(std::uint64_t frame, std::size_t j) {
    return static_cast<std::uint8_t>(j + 7 * frame + j / 251);
}

// Whether the payload starts with an access unit delimiter and holds NAL units of `types`.
bool IsAccessUnit(const std::vector<std::uint8_t>& payload, std::uint32_t length, std::vector<int> types = {}) {
    for (std::uint32_t i = 0; i + 3 < length; ++i) {
        if (payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 1) std::erase(types, payload[i + 3] & 0x1F);
    }
    return length > 5 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0 && payload[3] == 1 &&
           (payload[4] & 0x1F) == 9 && types.empty();
}

class StreamClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ResetSender(), S_OK) << "no sender on the control port";
        loggedLines.clear();
    }
    // Other tests that use the sender find it as they expect it.
    void TearDown() override {
        client.Close();
        ResetSender();
    }
    void OpenWith(const wchar_t* scenario) {
        std::string reply;
        ASSERT_EQ(SetSenderScenario(scenario, &reply), S_OK) << reply;
        ASSERT_EQ(client.Open(), S_OK);
    }
    HRESULT Read() { return client.ReadFrame(header, readStart, readEnd); }

    std::vector<std::uint8_t> buffer;
    FrameStreamClient client{buffer};
    FrameHeader header;
    std::int64_t readStart = 0;
    std::int64_t readEnd = 0;
};

// Real frames: a connection starts at an IDR with its parameter sets; same machine, same
// clock, so capture is now less the stated delay. Delays over 5000 ms and frames without
// timing (capture and delay 0) give no age.
TEST_F(StreamClient, RealFramesWithTheirTimingFields) {
    const struct {
        const wchar_t* scenario;
        std::uint64_t delay;  // ~0: under 100 ms
        bool aged;
    } cases[] = {{L"name=normal", ~0ull, true}, {L"delay=5000", 5000, true}, {L"delay=5001", 5001, false},
                 {L"name=no-timing", 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.scenario);
        loggedLines.clear();
        OpenWith(c.scenario);
        EXPECT_EQ(loggedLines, (std::vector<std::wstring>{L"Connecting to http://127.0.0.1:8080/h264frames",
                                                          L"H.264 HTTP response received."}));
        std::int64_t clockOffset = kClockOffsetUnset;
        for (std::uint64_t k = 0; k < 10; ++k) {
            ASSERT_EQ(Read(), S_OK) << "frame " << k;
            ASSERT_TRUE(header.opaqueValue == k && readStart <= readEnd && header.payloadLength <= buffer.size());
            EXPECT_TRUE(IsAccessUnit(buffer, header.payloadLength, k == 0 ? std::vector{7, 8, 5} : std::vector<int>{}));
            const std::uint32_t age = EstimateEndToEndAge(header.captureTimeMs, header.senderDelayMs, clockOffset);
            EXPECT_TRUE(c.delay == ~0ull ? header.senderDelayMs < 100 : header.senderDelayMs == c.delay);
            EXPECT_TRUE(c.aged ? age >= header.senderDelayMs && age <= header.senderDelayMs + 2000 : age == kNoAge);
            const double capture = c.delay ? WallClockMs() - static_cast<double>(header.senderDelayMs) : 0;
            EXPECT_NEAR(static_cast<double>(header.captureTimeMs), capture, 1000);
        }
    }
}

TEST_F(StreamClient, HeadersSplitAcrossWritesAreAssembled) {
    for (const wchar_t* scenario : {L"split=5&frames=3", L"split=1&frames=3", L"split=27&frames=3"}) {
        SCOPED_TRACE(testing::Message() << scenario);
        OpenWith(scenario);
        for (std::uint64_t k = 0; k < 3; ++k) {
            ASSERT_EQ(Read(), S_OK);
            EXPECT_TRUE(header.opaqueValue == k && IsAccessUnit(buffer, header.payloadLength));
        }
        EXPECT_EQ(Read(), kStreamEndedHr);
    }
}

// Frame 1 (1,000 bytes) goes to the start: frame 0's bytes behind it stay, and the buffer
// carries over to the next connection.
TEST_F(StreamClient, PayloadBytesArriveIntactAndTheBufferNeverShrinks) {
    OpenWith(L"payload=pattern&sizes=50000,1000,20000&frames=3");
    for (std::uint64_t k = 0; k < 3; ++k) {
        const std::size_t size = std::vector<std::size_t>{50000, 1000, 20000}[k];
        ASSERT_EQ(Read(), S_OK);
        ASSERT_TRUE(header.payloadLength == size && buffer.size() == 50000u) << buffer.size();
        std::size_t wrong = 0;
        for (std::size_t j = 0; j < size; ++j) wrong += buffer[j] != PatternByte(k, j);
        EXPECT_EQ(wrong, 0u) << "frame " << k;
    }
    EXPECT_TRUE(buffer[20000] == PatternByte(0, 20000) && buffer[49999] == PatternByte(0, 49999));
    EXPECT_EQ(Read(), kStreamEndedHr);
    OpenWith(L"payload=pattern&sizes=300&frames=1");
    ASSERT_EQ(Read(), S_OK);
    EXPECT_TRUE(buffer.size() == 50000u && buffer[299] == PatternByte(0, 299));
}

// 2,097,152 bytes are read (a real picture, zero padded); 2,097,153, 0 and the largest
// length are refused, and nothing after the bad header is taken.
TEST_F(StreamClient, PayloadLengthLimits) {
    OpenWith(L"name=length-max&frames=3");
    ASSERT_TRUE(Read() == S_OK && Read() == S_OK);
    EXPECT_TRUE(header.payloadLength == kLargestPayloadLength && buffer.size() == kLargestPayloadLength);
    EXPECT_TRUE(IsAccessUnit(buffer, 100) && buffer.back() == 0);
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.opaqueValue, 2u);
    for (const wchar_t* scenario : {L"name=length-over", L"name=length-zero", L"length=4294967295&length-at=0"}) {
        SCOPED_TRACE(testing::Message() << scenario);
        client.Close();
        buffer.clear();
        OpenWith(scenario);
        ASSERT_TRUE(scenario[0] != L'n' || Read() == S_OK);  // named ones: the bad length comes second
        const std::size_t before = buffer.size();
        EXPECT_EQ(Read(), kBadPayloadLengthHr);
        EXPECT_EQ(buffer.size(), before);
    }
}

TEST_F(StreamClient, ErrorStatusBodiesAndEndsOfTheConnection) {
    OpenWith(L"name=not-found");  // "Not found\n" is shorter than a header
    EXPECT_EQ(Read(), kStreamEndedHr);
    OpenWith(L"name=server-error");  // "Inte..." read as a length is far above the largest
    EXPECT_EQ(Read(), kBadPayloadLengthHr);
    EXPECT_TRUE(buffer.empty());  // no payload read after either header
    OpenWith(L"name=redirect");  // a 302 is a status like any other: never followed
    EXPECT_EQ(Read(), kStreamEndedHr);
    EXPECT_EQ(SenderStatus("redirected"), "0");

    OpenWith(L"name=close&frames=2");
    ASSERT_TRUE(Read() == S_OK && Read() == S_OK);
    EXPECT_EQ(Read(), kStreamEndedHr);
    OpenWith(L"name=reset&reset=2");
    ASSERT_TRUE(Read() == S_OK && Read() == S_OK);
    const HRESULT reset = Read();
    EXPECT_TRUE(FAILED(reset) && reset != kStreamEndedHr);
    std::printf("connection reset: 0x%08lX\n", static_cast<unsigned long>(reset));
}

// A pause of 800 ms is waited for; one of 5 s ends at the 1.5 s receive time-out.
TEST_F(StreamClient, PausesAndTheReceiveTimeOut) {
    OpenWith(L"pause=800&pause-at=2&frames=4");
    for (int k = 0; k < 4; ++k) ASSERT_EQ(Read(), S_OK) << "frame " << k;
    OpenWith(L"pause=5000&pause-at=2");
    ASSERT_TRUE(Read() == S_OK && Read() == S_OK);
    const ULONGLONG started = GetTickCount64();
    const HRESULT timedOut = Read();
    const ULONGLONG waited = GetTickCount64() - started;
    std::printf("receive time-out: 0x%08lX after %llu ms\n", static_cast<unsigned long>(timedOut), waited);
    EXPECT_TRUE(timedOut == kTimedOutWindows || timedOut == kTimedOutWine);
    EXPECT_TRUE(waited >= 1000 && waited < 4000) << waited;
}

// Nobody listening: 12029 and no "response received" line; a closed client reads nothing;
// Open on an open client starts over on a new connection.
TEST_F(StreamClient, NoSenderCloseAndReopen) {
    FrameStreamClient elsewhere(buffer, 8093);
    EXPECT_EQ(elsewhere.Open(), kCannotConnect);
    EXPECT_FALSE(elsewhere.IsOpen());
    EXPECT_EQ(loggedLines, std::vector<std::wstring>{L"Connecting to http://127.0.0.1:8093/h264frames"});
    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    EXPECT_EQ(client.Open(), kCannotConnect);
    EXPECT_EQ(Read(), kNotOpen);
    ASSERT_EQ(SenderControl(L"/listen?on=1"), S_OK);
    ASSERT_TRUE(client.Open() == S_OK && Read() == S_OK);
    ASSERT_TRUE(client.Open() == S_OK && Read() == S_OK);
    EXPECT_EQ(header.opaqueValue, 0u);
    client.Close();
    client.Close();
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(Read(), kNotOpen);
    EXPECT_EQ(SenderStatus("connections"), "2");
}

}  // namespace
