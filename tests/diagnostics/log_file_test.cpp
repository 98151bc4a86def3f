// The log on the real file: creation, encodings, line shape, the exclusive open, and
// every format string of the library through LogFormatted.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "library/diagnostics/log.h"
#include "tests/diagnostics/data_files.h"

namespace {

const std::wstring kLog = testfiles::DataPath(velmora::kLogFileName);
const std::string kUtf8Mark = "\xEF\xBB\xBF";
const std::regex kLine(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) ([^\r\n]*))");

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    wide.data(), static_cast<int>(wide.size())));
    return wide;
}

// The message of the log's only line (a fresh UTF-8 log).
std::wstring OnlyMessage() {
    const std::string bytes = testfiles::ReadAll(kLog);
    EXPECT_EQ(bytes.substr(0, 3), kUtf8Mark);
    const std::vector<std::string> lines = Lines(bytes.substr(3));
    std::smatch match;
    if (lines.size() != 1 || !std::regex_match(lines[0], match, kLine)) {
        ADD_FAILURE() << "not one log line: " << bytes;
        return {};
    }
    return FromUtf8(match[7]);
}

ULONGLONG Seconds(const SYSTEMTIME& time) {
    SYSTEMTIME whole = time;
    whole.wMilliseconds = 0;
    FILETIME file{};
    SystemTimeToFileTime(&whole, &file);
    return ((ULONGLONG(file.dwHighDateTime) << 32) | file.dwLowDateTime) / 10000000;
}

class LogFile : public testing::Test {
protected:
    void SetUp() override { testfiles::Remove(kLog); }
    void TearDown() override { testfiles::Remove(kLog); }
};

TEST_F(LogFile, FirstLineCreatesDirectoryAndMarkedFileWithLocalTimeStamp) {
    testfiles::Remove(testfiles::DataPath(velmora::kDecodeModeFileName));
    RemoveDirectoryW(velmora::kDataDirectory);
    ASSERT_EQ(GetFileAttributesW(velmora::kDataDirectory), INVALID_FILE_ATTRIBUTES);

    SYSTEMTIME before{}, after{};
    GetLocalTime(&before);
    LogMessage(L"VelmoraSource.dll loaded.");
    GetLocalTime(&after);
    LogMessage(L"second line");

    const std::string bytes = testfiles::ReadAll(kLog);
    ASSERT_EQ(bytes.substr(0, 3), kUtf8Mark);
    const std::vector<std::string> lines = Lines(bytes.substr(3));
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLine)) << lines[0];
    EXPECT_EQ(match[7], "VelmoraSource.dll loaded.");
    SYSTEMTIME stamp{};
    stamp.wYear = WORD(std::stoi(match[1])), stamp.wMonth = WORD(std::stoi(match[2]));
    stamp.wDay = WORD(std::stoi(match[3])), stamp.wHour = WORD(std::stoi(match[4]));
    stamp.wMinute = WORD(std::stoi(match[5])), stamp.wSecond = WORD(std::stoi(match[6]));
    EXPECT_GE(Seconds(stamp), Seconds(before));
    EXPECT_LE(Seconds(stamp), Seconds(after));
    EXPECT_TRUE(std::regex_match(lines[1], match, kLine));
    EXPECT_EQ(match[7], "second line");
}

TEST_F(LogFile, TextOutsideAsciiIsUtf8AndLoneSurrogatesAreReplaced) {
    LogMessage(L"Kamera \u00E9 \uCE74\uBA54\uB77C \U0001F600 a\nb");
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0};
    LogMessage(lone);
    const std::string bytes = testfiles::ReadAll(kLog);
    const std::vector<std::string> lines = Lines(bytes.substr(3));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(19),
              " Kamera \xC3\xA9 \xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC \xF0\x9F\x98\x80 a");
    EXPECT_EQ(lines[1], "b");
    EXPECT_EQ(lines[2].substr(19), " a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST_F(LogFile, ExistingFileKeepsItsEncoding) {
    // UTF-8 without a mark stays without one.
    ASSERT_TRUE(testfiles::WriteAll(kLog, "old line\r\n"));
    LogMessage(L"\u00E9");
    std::string bytes = testfiles::ReadAll(kLog);
    EXPECT_EQ(bytes.substr(0, 10), "old line\r\n");
    EXPECT_TRUE(std::regex_match(bytes.substr(10, 20), std::regex(R"([-0-9: ]{20})")));
    EXPECT_EQ(bytes.substr(30), "\xC3\xA9\r\n");

    // An empty file is begun like a new one.
    ASSERT_TRUE(testfiles::WriteAll(kLog, ""));
    LogMessage(L"x");
    EXPECT_EQ(OnlyMessage(), L"x");

    // A UTF-16LE mark: UTF-16LE lines, the pair kept, CR LF as 0D 00 0A 00.
    const std::string utf16Mark("\xFF\xFE", 2);
    ASSERT_TRUE(testfiles::WriteAll(kLog, utf16Mark));
    LogMessage(L"A\U0001F600");
    bytes = testfiles::ReadAll(kLog);
    ASSERT_EQ(bytes.size(), 2u + 2 * (20 + 3 + 2));
    EXPECT_EQ(bytes.substr(0, 2), utf16Mark);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    EXPECT_TRUE(std::regex_match(text, std::wregex(LR"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} A)"
                                                   L"\U0001F600\r\n")));
}

TEST_F(LogFile, NullArgumentsAndZeroCapacityWriteNothing) {
    LogMessage(nullptr);
    LogFormatted(96, nullptr);
    LogFormatted(0, L"x");
    EXPECT_EQ(GetFileAttributesW(kLog.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The log's open shares nothing: another handle on the file, exclusive or sharing,
// makes the line drop at once; the next line after it closes is written again.
TEST_F(LogFile, LineIsDroppedPromptlyWhileAnotherHandleHoldsTheLog) {
    LogMessage(L"before");
    const struct {
        DWORD access;
        DWORD share;
    } holders[] = {{GENERIC_READ | GENERIC_WRITE, 0},
                   {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}};
    for (const auto& h : holders) {
        HANDLE holder = CreateFileW(kLog.c_str(), h.access, h.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        const auto start = std::chrono::steady_clock::now();
        LogMessage(L"lost");
        const auto elapsed = std::chrono::steady_clock::now() - start;
        CloseHandle(holder);
        EXPECT_LT(elapsed, std::chrono::seconds(2));
        LogMessage(L"after");
    }
    const std::vector<std::string> lines = Lines(testfiles::ReadAll(kLog).substr(3));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(20), "before");
    EXPECT_EQ(lines[1].substr(20), "after");
    EXPECT_EQ(lines[2].substr(20), "after");
}

TEST_F(LogFile, ConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 40;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i) {
                LogFormatted(96, L"writer %d line %d %s", t, i, L"end");
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const std::string bytes = testfiles::ReadAll(kLog);
    ASSERT_EQ(bytes.substr(0, 3), kUtf8Mark);
    EXPECT_EQ(bytes.find(kUtf8Mark, 3), std::string::npos);
    const std::vector<std::string> lines = Lines(bytes.substr(3));
    EXPECT_GE(lines.size(), 1u);
    EXPECT_LE(lines.size(), std::size_t(kThreads * kLinesEach));
    const std::regex whole(R"([-0-9: ]{20}writer [0-3] line \d+ end)");
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
}

// Every format string the library logs, with the argument types its callers pass.
TEST_F(LogFile, EveryLibraryFormatStringFormatsWideStringsAndNumbers) {
    struct Case {
        std::wstring expected;
        void (*log)();
    };
    const Case cases[] = {
        {L"H.264 decoder D3D11/DXVA path requested. featureLevel=0xB100",
         [] { LogFormatted(128, L"H.264 decoder D3D11/DXVA path requested. featureLevel=0x%X", 0xB100); }},
        {L"H.264 decoder output: 1920x1088 NV12",
         [] { LogFormatted(160, L"H.264 decoder output: %ux%u NV12", 1920u, 1088u); }},
        {L"Created GPU camera texture: 1280x720 format=103",
         [] { LogFormatted(160, L"Created GPU camera texture: %ux%u format=%u", 1280u, 720u, 103u); }},
        {L"H.264 stream failed: 0x80072EFD",
         [] { LogFormatted(160, L"H.264 stream failed: 0x%08X", HRESULT(0x80072EFD)); }},
        {L"H.264 stream failed: 0x00000001",
         [] { LogFormatted(160, L"H.264 stream failed: 0x%08X", S_FALSE); }},
        {L"H.264 decoded frames: 120, fps=59.9, endToEndAgeMs=4294967295, avgMs read=1.23 "
         L"decode=12.50 store=0.75, avgKB=35.5",
         [] {
             LogFormatted(288, L"H.264 decoded frames: %llu, fps=%.1f, endToEndAgeMs=%lu, avgMs "
                               L"read=%.2f decode=%.2f store=%.2f, avgKB=%.1f",
                          120ull, 59.94, 4294967295ul, 1.234, 12.5, 0.75, 35.46);
         }},
        {L"Capture RequestSample queued frame: 30, fps=30.0, source=h264-gpu, format=NV12, ageMs=42",
         [] {
             LogFormatted(192, L"%s RequestSample queued frame: %llu, fps=%.1f, source=h264-gpu, "
                               L"format=NV12, ageMs=%lu",
                          L"Capture", 30ull, 29.97, 42ul);
         }},
        {L"Preview RequestSample queued frame: 18446744073709551615, fps=60.0, source=h264, "
         L"format=YUY2, ageMs=17, avgMs sample=2.50 wait=0.25 transform=1.13, scaled=3/90, "
         L"direct=no, src=1920x1080 req=640x360",
         [] {
             LogFormatted(256, L"%s RequestSample queued frame: %llu, fps=%.1f, source=%s, format=%s, "
                               L"ageMs=%lu, avgMs sample=%.2f wait=%.2f transform=%.2f, "
                               L"scaled=%llu/%llu, direct=%s, src=%ux%u req=%ux%u",
                          L"Preview", 18446744073709551615ull, 60.0, L"h264", L"YUY2", 17ul, 2.5,
                          0.25, 1.13, 3ull, 90ull, L"no", 1920u, 1080u, 640u, 360u);
         }},
        {L"Photo media stream started.", [] { LogFormatted(96, L"%s media stream started.", L"Photo"); }},
        {L"Media source Start stream count: 3",
         [] { LogFormatted(128, L"Media source Start stream count: %lu", 3ul); }},
        {L"Media source Start stream index=2 selected=1 id=2",
         [] { LogFormatted(160, L"Media source Start stream index=%lu selected=%lu id=%lu", 2ul, 1ul, 2ul); }},
    };
    for (const Case& c : cases) {
        testfiles::Remove(kLog);
        c.log();
        EXPECT_EQ(OnlyMessage(), c.expected);
    }
}

TEST_F(LogFile, FormattedTextIsCutAtCapacityMinusOne) {
    // The long sample statistics line of 300 units with capacity 256: 255 units are kept.
    const std::wstring source(59, L's');
    const std::wstring full =
        L"Preview RequestSample queued frame: 18446744073709551615, fps=60.0, source=" + source +
        L", format=NV12, ageMs=4294967295, avgMs sample=2.50 wait=0.25 transform=1.13, "
        L"scaled=18446744073709551615/18446744073709551615, direct=yes, src=1920x1080 "
        L"req=1920x1080";
    ASSERT_EQ(full.size(), 300u);
    LogFormatted(256, L"%s RequestSample queued frame: %llu, fps=%.1f, source=%s, format=%s, "
                      L"ageMs=%lu, avgMs sample=%.2f wait=%.2f transform=%.2f, "
                      L"scaled=%llu/%llu, direct=%s, src=%ux%u req=%ux%u",
                 L"Preview", 18446744073709551615ull, 60.0, source.c_str(), L"NV12", 4294967295ul,
                 2.5, 0.25, 1.13, 18446744073709551615ull, 18446744073709551615ull, L"yes", 1920u,
                 1080u, 1920u, 1080u);
    EXPECT_EQ(OnlyMessage(), full.substr(0, 255));

    // Around the cut: exactly fitting, one too long, nothing; beyond the stack buffer.
    const std::wstring long550(550, L'z');
    const struct {
        std::size_t capacity;
        const wchar_t* argument;
        std::wstring expected;
    } cuts[] = {
        {7, L"abcdef", L"abcdef"},   {6, L"abcdef", L"abcde"},
        {1, L"abcdef", L""},         {600, long550.c_str(), long550},
        {520, long550.c_str(), long550.substr(0, 519)},
        // A cut between the halves of a pair leaves a lone surrogate, logged as U+FFFD.
        {4, L"ab\U0001F600", L"ab\uFFFD"},
    };
    for (const auto& cut : cuts) {
        testfiles::Remove(kLog);
        LogFormatted(cut.capacity, L"%s", cut.argument);
        EXPECT_EQ(OnlyMessage(), cut.expected) << "capacity " << cut.capacity;
    }
}

}  // namespace
