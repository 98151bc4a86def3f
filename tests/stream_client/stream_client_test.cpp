// FrameStreamClient against the real sender (tools/sender, fixture "sender"), under Wine.
#include "library/receiver/frame_stream_client.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>
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
constexpr INTERNET_PORT kNobodyListens = 8093;

std::int64_t WallClockMs() {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t fileTime = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(fileTime / 10000) - kUnixEpochFileTimeMs;
}

// Byte j of frame k of the sender's payload=pattern option.
std::uint8_t PatternByte(std::uint64_t frame, std::size_t j) {
    return static_cast<std::uint8_t>(j + 7 * frame + j / 251);
}

bool StartsWithAccessUnitDelimiter(const std::vector<std::uint8_t>& payload) {
    return payload.size() > 5 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0 &&
           payload[3] == 1 && (payload[4] & 0x1F) == 9;
}

bool HasNalType(const std::vector<std::uint8_t>& payload, std::uint32_t length, int type) {
    for (std::uint32_t i = 0; i + 3 < length; ++i) {
        if (payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 1 && (payload[i + 3] & 0x1F) == type) {
            return true;
        }
    }
    return false;
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

    // Sets the scenario and opens a client on it.
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

TEST_F(StreamClient, ReadsRealFramesWithTheirTimingFields) {
    OpenWith(L"name=normal");
    ASSERT_EQ(loggedLines.size(), 2u);
    EXPECT_EQ(loggedLines[0], L"Connecting to http://127.0.0.1:8080/h264frames");
    EXPECT_EQ(loggedLines[1], L"H.264 HTTP response received.");

    std::int64_t clockOffset = kClockOffsetUnset;
    for (std::uint64_t k = 0; k < 10; ++k) {
        ASSERT_EQ(Read(), S_OK) << "frame " << k;
        EXPECT_EQ(header.opaqueValue, k);  // the sender's frame counter
        EXPECT_LE(readStart, readEnd);
        ASSERT_LE(header.payloadLength, buffer.size());
        EXPECT_TRUE(StartsWithAccessUnitDelimiter(buffer));
        if (k == 0) {
            // A connection starts at an IDR with its parameter sets.
            EXPECT_TRUE(HasNalType(buffer, header.payloadLength, 7));
            EXPECT_TRUE(HasNalType(buffer, header.payloadLength, 8));
            EXPECT_TRUE(HasNalType(buffer, header.payloadLength, 5));
        }
        // Same machine, same clock: capture is now, the delay small.
        EXPECT_NEAR(static_cast<double>(header.captureTimeMs), static_cast<double>(WallClockMs()), 1000.0);
        EXPECT_LT(header.senderDelayMs, 100u);
        EXPECT_LT(EstimateEndToEndAge(header.captureTimeMs, header.senderDelayMs, clockOffset), 1000u);
    }
}

TEST_F(StreamClient, TimingFieldsAsTheSenderStatesThem) {
    std::int64_t clockOffset = kClockOffsetUnset;
    OpenWith(L"delay=5000");
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.senderDelayMs, 5000u);
    EXPECT_NEAR(static_cast<double>(header.captureTimeMs), static_cast<double>(WallClockMs() - 5000), 1000.0);
    const std::uint32_t age = EstimateEndToEndAge(header.captureTimeMs, header.senderDelayMs, clockOffset);
    EXPECT_GE(age, 5000u);
    EXPECT_LT(age, 7001u);

    OpenWith(L"delay=5001");
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.senderDelayMs, 5001u);
    EXPECT_EQ(EstimateEndToEndAge(header.captureTimeMs, header.senderDelayMs, clockOffset), kNoAge);

    OpenWith(L"name=no-timing");
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.captureTimeMs, 0u);
    EXPECT_EQ(header.senderDelayMs, 0u);
    EXPECT_EQ(EstimateEndToEndAge(header.captureTimeMs, header.senderDelayMs, clockOffset), kNoAge);
}

TEST_F(StreamClient, HeadersSplitAcrossWritesAreAssembled) {
    for (const wchar_t* scenario : {L"split=5&frames=3", L"split=1&frames=3", L"split=27&frames=3"}) {
        SCOPED_TRACE(testing::Message() << scenario);
        OpenWith(scenario);
        for (std::uint64_t k = 0; k < 3; ++k) {
            ASSERT_EQ(Read(), S_OK);
            EXPECT_EQ(header.opaqueValue, k);
            EXPECT_TRUE(StartsWithAccessUnitDelimiter(buffer));
        }
        EXPECT_EQ(Read(), kStreamEndedHr);
    }
}

TEST_F(StreamClient, PayloadBytesArriveIntactAndTheBufferNeverShrinks) {
    OpenWith(L"payload=pattern&sizes=50000,1000,20000&frames=3");
    const std::size_t sizes[] = {50000, 1000, 20000};
    for (std::uint64_t k = 0; k < 3; ++k) {
        ASSERT_EQ(Read(), S_OK);
        ASSERT_EQ(header.payloadLength, sizes[k]);
        ASSERT_EQ(buffer.size(), 50000u);
        std::size_t wrong = 0;
        for (std::size_t j = 0; j < sizes[k]; ++j) wrong += buffer[j] != PatternByte(k, j);
        EXPECT_EQ(wrong, 0u) << "frame " << k;
    }
    // Frame 1 (1,000 bytes) went to the start: frame 0's bytes behind it stayed.
    EXPECT_EQ(buffer[20000], PatternByte(0, 20000));
    EXPECT_EQ(buffer[49999], PatternByte(0, 49999));
    EXPECT_EQ(Read(), kStreamEndedHr);

    // The buffer carries over to the next connection.
    client.Close();
    OpenWith(L"payload=pattern&sizes=300&frames=1");
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(buffer.size(), 50000u);
    EXPECT_EQ(buffer[299], PatternByte(0, 299));
}

TEST_F(StreamClient, PayloadLengthLimits) {
    OpenWith(L"name=length-max&frames=3");
    ASSERT_EQ(Read(), S_OK);
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.payloadLength, kLargestPayloadLength);
    EXPECT_EQ(buffer.size(), kLargestPayloadLength);
    EXPECT_TRUE(StartsWithAccessUnitDelimiter(buffer));  // a real picture, zero padded
    EXPECT_EQ(buffer.back(), 0);
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.opaqueValue, 2u);

    for (const wchar_t* scenario : {L"name=length-over", L"name=length-zero", L"length=4294967295&length-at=0"}) {
        SCOPED_TRACE(testing::Message() << scenario);
        std::vector<std::uint8_t> fresh;
        FrameStreamClient other(fresh);
        ASSERT_EQ(SetSenderScenario(scenario), S_OK);
        ASSERT_EQ(other.Open(), S_OK);
        FrameHeader first;
        if (std::wcsstr(scenario, L"length-at=0") == nullptr) {
            ASSERT_EQ(other.ReadFrame(first, readStart, readEnd), S_OK);
        }
        const std::size_t before = fresh.size();
        EXPECT_EQ(other.ReadFrame(header, readStart, readEnd), kBadPayloadLengthHr);
        EXPECT_EQ(fresh.size(), before);  // nothing after the bad header was taken
    }
}

TEST_F(StreamClient, ErrorStatusBodiesAreReadAsFrames) {
    // "Not found\n" is shorter than a header: the body ends inside it.
    OpenWith(L"name=not-found");
    EXPECT_EQ(Read(), kStreamEndedHr);
    // "Inte..." read as a length is far above the largest payload.
    OpenWith(L"name=server-error");
    EXPECT_EQ(Read(), kBadPayloadLengthHr);
    EXPECT_TRUE(buffer.empty());  // no payload read after either header
}

TEST_F(StreamClient, EndsOfTheConnection) {
    OpenWith(L"name=close&frames=2");
    ASSERT_EQ(Read(), S_OK);
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(Read(), kStreamEndedHr);

    OpenWith(L"name=reset&reset=2");
    ASSERT_EQ(Read(), S_OK);
    ASSERT_EQ(Read(), S_OK);
    const HRESULT reset = Read();
    EXPECT_TRUE(FAILED(reset));
    EXPECT_NE(reset, kStreamEndedHr);
    std::printf("connection reset: 0x%08lX\n", static_cast<unsigned long>(reset));
}

TEST_F(StreamClient, PausesShorterThanTheReceiveTimeOutAreWaitedFor) {
    OpenWith(L"pause=800&pause-at=2&frames=4");
    for (int k = 0; k < 4; ++k) ASSERT_EQ(Read(), S_OK) << "frame " << k;

    OpenWith(L"pause=5000&pause-at=2");
    ASSERT_EQ(Read(), S_OK);
    ASSERT_EQ(Read(), S_OK);
    const ULONGLONG started = GetTickCount64();
    const HRESULT timedOut = Read();
    const ULONGLONG waited = GetTickCount64() - started;
    std::printf("receive time-out: 0x%08lX after %llu ms\n", static_cast<unsigned long>(timedOut), waited);
    EXPECT_TRUE(timedOut == kTimedOutWindows || timedOut == kTimedOutWine);
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 4000u);
}

// Windows applies the receive time-out to the response headers (12002). Wine waits for
// them with its own, longer response time-out, so there the request succeeds late.
TEST_F(StreamClient, ResponseHeadersLaterThanTheReceiveTimeOut) {
    ASSERT_EQ(SetSenderScenario(L"hold=2500&frames=1"), S_OK);
    const ULONGLONG started = GetTickCount64();
    const HRESULT hr = client.Open();
    const ULONGLONG waited = GetTickCount64() - started;
    std::printf("late response headers: 0x%08lX after %llu ms\n", static_cast<unsigned long>(hr), waited);
    if (hr == kTimedOutWindows) {
        EXPECT_FALSE(client.IsOpen());
        EXPECT_EQ(loggedLines.size(), 1u);  // connecting, but no response
    } else {
        ASSERT_EQ(hr, S_OK);
        EXPECT_GE(waited, 2000u);
        EXPECT_EQ(Read(), S_OK);
        EXPECT_EQ(Read(), kStreamEndedHr);
    }
}

TEST_F(StreamClient, NoSender) {
    FrameStreamClient elsewhere(buffer, kNobodyListens);
    EXPECT_EQ(elsewhere.Open(), kCannotConnect);
    EXPECT_FALSE(elsewhere.IsOpen());
    ASSERT_EQ(loggedLines.size(), 1u);  // no "response received" line
    EXPECT_EQ(loggedLines[0], L"Connecting to http://127.0.0.1:8093/h264frames");

    ASSERT_EQ(SenderControl(L"/listen?on=0"), S_OK);
    EXPECT_EQ(client.Open(), kCannotConnect);
    EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070006));  // not open
    ASSERT_EQ(SenderControl(L"/listen?on=1"), S_OK);
    ASSERT_EQ(client.Open(), S_OK);
    EXPECT_EQ(Read(), S_OK);
}

TEST_F(StreamClient, CloseAndReopen) {
    OpenWith(L"name=normal");
    ASSERT_EQ(Read(), S_OK);
    ASSERT_EQ(client.Open(), S_OK);  // an open client starts over on a new connection
    ASSERT_EQ(Read(), S_OK);
    EXPECT_EQ(header.opaqueValue, 0u);
    client.Close();
    EXPECT_FALSE(client.IsOpen());
    client.Close();
    EXPECT_EQ(Read(), static_cast<HRESULT>(0x80070006));
    EXPECT_EQ(SenderStatus("connections"), "2");
}

}  // namespace
