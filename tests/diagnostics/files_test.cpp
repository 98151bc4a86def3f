// The log and the decode-mode setting on the real files of C:\ProgramData\Velmora: creation
// and encodings, line shape, the unshared open, the move of a full log, every library
// format string and its cut, the setting's first-line search and sharing, planted links.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "library/diagnostics/decode_mode.h"
#include "library/diagnostics/log.h"
#include "tests/diagnostics/data_files.h"

namespace {

using Lines = std::vector<std::string>;
const std::wstring kLog = testfiles::DataPath(velmora::kLogFileName);
const std::wstring kSetting = testfiles::DataPath(velmora::kDecodeModeFileName);
const std::wstring kOldLog = testfiles::DataPath(L"source.old.log");
constexpr std::size_t kFullLog = 10485760;
const std::string kUtf8Mark = "\xEF\xBB\xBF";
const std::regex kLine(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} ([^\r\n]*))");

// The CR LF lines of `text` from `start` on; nothing may follow the last CR LF.
Lines SplitLines(const std::string& text, std::size_t start) {
    Lines lines;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, std::max(text.size(), start)) << "text after the last CR LF";
    return lines;
}

// The lines of a log this writer created (behind its UTF-8 mark).
Lines LogLines() {
    const std::string text = testfiles::ReadAll(kLog);
    EXPECT_EQ(text.substr(0, 3), kUtf8Mark);
    return SplitLines(text, 3);
}

// The message of a fresh log's only line.
std::wstring OnlyMessage() {
    const Lines lines = LogLines();
    std::smatch match;
    if (lines.size() != 1 || !std::regex_match(lines[0], match, kLine)) {
        ADD_FAILURE() << "not one log line: " << testfiles::ReadAll(kLog);
        return {};
    }
    const std::string text = match[1];
    std::wstring wide(text.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), int(wide.size())));
    return wide;
}

std::string Stamp(const SYSTEMTIME& time) {
    char text[20];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond);
    return text;
}

class LogFile : public testing::Test {
protected:
    void SetUp() override { testfiles::Remove(kLog); }
    void TearDown() override { testfiles::Remove(kLog); }
};

TEST_F(LogFile, CreatesDirectoryAndMarkedFileOfStampedUtf8Lines) {
    testfiles::Remove(kSetting);
    RemoveDirectoryW(velmora::kDataDirectory);
    ASSERT_EQ(GetFileAttributesW(velmora::kDataDirectory), INVALID_FILE_ATTRIBUTES);
    LogMessage(nullptr);
    LogFormatted(96, nullptr);
    LogFormatted(0, L"x");
    EXPECT_EQ(GetFileAttributesW(kLog.c_str()), INVALID_FILE_ATTRIBUTES);

    SYSTEMTIME before{}, after{};
    GetLocalTime(&before);
    LogMessage(L"VelmoraSource.dll loaded.");
    GetLocalTime(&after);
    LogMessage(L"Kamera \u00E9 \uCE74\uBA54\uB77C \U0001F600 a\nb");
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0};
    LogMessage(lone);

    const Lines lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLine)) << lines[0];
    EXPECT_EQ(match[1], "VelmoraSource.dll loaded.");
    EXPECT_GE(lines[0].substr(0, 19), Stamp(before));  // zero-padded: text order is time order
    EXPECT_LE(lines[0].substr(0, 19), Stamp(after));
    ASSERT_TRUE(std::regex_match(lines[1], match, kLine)) << lines[1];
    EXPECT_EQ(match[1], "Kamera \xC3\xA9 \xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC \xF0\x9F\x98\x80 a");
    EXPECT_EQ(lines[2], "b");
    EXPECT_EQ(lines[3].substr(19), " a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST_F(LogFile, ExistingFileKeepsItsEncoding) {
    // UTF-8 without a mark stays without one.
    ASSERT_TRUE(testfiles::WriteAll(kLog, "old line\r\n"));
    LogMessage(L"\u00E9");
    std::string bytes = testfiles::ReadAll(kLog);
    EXPECT_TRUE(std::regex_match(bytes, std::regex("old line\r\n[-0-9: ]{20}\xC3\xA9\r\n"))) << bytes;

    // An empty file is begun like a new one.
    ASSERT_TRUE(testfiles::WriteAll(kLog, ""));
    LogMessage(L"x");
    EXPECT_EQ(OnlyMessage(), L"x");

    // A UTF-16LE mark: UTF-16LE lines, the pair kept, CR LF as 0D 00 0A 00.
    ASSERT_TRUE(testfiles::WriteAll(kLog, std::string("\xFF\xFE", 2)));
    LogMessage(L"A\U0001F600");
    bytes = testfiles::ReadAll(kLog);
    ASSERT_EQ(bytes.size(), 2u + 2 * (20 + 3 + 2));
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    EXPECT_TRUE(std::regex_match(text, std::wregex(LR"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} A)" L"\U0001F600\r\n")));
}

// The open shares nothing: another handle on the file, exclusive or sharing, makes the
// line drop at once; the next line after it closes is written again.
TEST_F(LogFile, LineIsDroppedPromptlyWhileAnotherHandleHoldsTheLog) {
    LogMessage(L"before");
    for (const auto& [access, share] : {std::pair<DWORD, DWORD>{GENERIC_READ | GENERIC_WRITE, 0},
                                        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        HANDLE holder = CreateFileW(kLog.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        const auto start = std::chrono::steady_clock::now();
        LogMessage(L"lost");
        const auto elapsed = std::chrono::steady_clock::now() - start;
        CloseHandle(holder);
        EXPECT_LT(elapsed, std::chrono::seconds(2));
        LogMessage(L"after");
    }
    Lines messages;
    for (const std::string& line : LogLines()) {
        messages.push_back(line.substr(20));
    }
    EXPECT_EQ(messages, (Lines{"before", "after", "after"}));
}

// A log of 10,485,760 bytes or more is moved to source.old.log, replacing an older one,
// before the next line is written; the new log begins with the mark and that line.
TEST_F(LogFile, FullLogIsMovedAsideOnceBeforeTheNextLine) {
    for (const std::size_t size : {kFullLog - 1, kFullLog}) {
        SCOPED_TRACE(size);
        const std::string full = kUtf8Mark + std::string(size - 5, 'x') + "\r\n";
        ASSERT_TRUE(testfiles::WriteAll(kLog, full));
        ASSERT_TRUE(testfiles::WriteAll(kOldLog, "older\r\n"));
        for (const wchar_t* message : {L"one", L"two", L"three"}) {
            LogMessage(message);
        }
        const std::string old = testfiles::ReadAll(kOldLog);
        ASSERT_EQ(old.compare(0, full.size(), full), 0) << "the full log is not kept whole";
        Lines messages;
        for (const std::string& line : SplitLines(old, full.size())) {
            messages.push_back(line.substr(20));
        }
        for (const std::string& line : LogLines()) {
            messages.push_back("new " + line.substr(20));
        }
        const Lines expected = size < kFullLog ? Lines{"one", "new two", "new three"}
                                               : Lines{"new one", "new two", "new three"};
        EXPECT_EQ(messages, expected);
    }
    testfiles::Remove(kOldLog);
}

// Four writers, on a new log and on one just under the limit which they move aside among
// themselves: it is moved once and kept whole, no line is cut or mixed, no second mark.
TEST_F(LogFile, ConcurrentWritersNeverInterleave) {
    const std::string full = kUtf8Mark + std::string(kFullLog - 6, 'x') + "\r\n";
    for (const bool nearlyFull : {false, true}) {
        SCOPED_TRACE(nearlyFull);
        testfiles::Remove(kLog);
        testfiles::Remove(kOldLog);
        ASSERT_TRUE(!nearlyFull || testfiles::WriteAll(kLog, full));
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([t] {
                for (int i = 0; i < 40; ++i) {
                    LogFormatted(96, L"writer %d line %d %s", t, i, L"end");
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
        const std::string old = testfiles::ReadAll(kOldLog);
        ASSERT_EQ(old.compare(0, full.size(), nearlyFull ? full : ""), 0) << "the full log is not kept whole";
        EXPECT_EQ(testfiles::ReadAll(kLog).find(kUtf8Mark, 3), std::string::npos);
        Lines lines = LogLines();
        EXPECT_GE(lines.size(), 1u);
        const Lines moved = old.empty() ? Lines{} : SplitLines(old, full.size());
        lines.insert(lines.end(), moved.begin(), moved.end());
        EXPECT_LE(lines.size(), 160u);
        for (const std::string& line : lines) {
            EXPECT_TRUE(std::regex_match(line, std::regex(R"([-0-9: ]{20}writer [0-3] line \d+ end)"))) << line;
        }
    }
    testfiles::Remove(kOldLog);
}

// The sample statistics line; with a 59-unit source it is 300 units, cut to 255 at 256.
constexpr wchar_t kStatistics[] =
    L"%s RequestSample queued frame: %llu, fps=%.1f, source=%s, format=%s, ageMs=%lu, avgMs sample=%.2f wait=%.2f "
    L"transform=%.2f, scaled=%llu/%llu, direct=%s, src=%ux%u req=%ux%u";
const std::wstring kLongSource(59, L's'), kLong550(550, L'z');
const std::wstring kLongLine =
    L"Preview RequestSample queued frame: 18446744073709551615, fps=60.0, source=" + kLongSource +
    L", format=NV12, ageMs=4294967295, avgMs sample=2.50 wait=0.25 transform=1.13, "
    L"scaled=18446744073709551615/18446744073709551615, direct=yes, src=1920x1080 req=1920x1080";
constexpr unsigned long long kMax = 18446744073709551615ull;
#define ROW(capacity, expected, ...) {capacity, [](std::size_t c) { LogFormatted(c, __VA_ARGS__); }, expected}

// The longest line the library logs, whole and cut at its capacity; each row is logged again
// at the capacity of its expected length, which cuts the last unit. The last rows are cuts:
// to nothing, beyond a stack buffer, inside a pair (the lone half is logged as U+FFFD).
TEST_F(LogFile, FormattedLinesAndTheCutAtCapacityMinusOne) {
    ASSERT_EQ(kLongLine.size(), 300u);
    const struct {
        std::size_t capacity;
        void (*log)(std::size_t capacity);
        std::wstring expected;
    } cases[] = {
        ROW(256, L"Preview RequestSample queued frame: 18446744073709551615, fps=60.0, source=h264, format=YUY2, "
                 L"ageMs=17, avgMs sample=2.50 wait=0.25 transform=1.13, scaled=3/90, direct=no, src=1920x1080 "
                 L"req=640x360",
            kStatistics, L"Preview", kMax, 60.0, L"h264", L"YUY2", 17ul, 2.5, 0.25, 1.13, 3ull, 90ull, L"no", 1920u,
            1080u, 640u, 360u),
        ROW(256, kLongLine.substr(0, 255), kStatistics, L"Preview", kMax, 60.0, kLongSource.c_str(), L"NV12",
            4294967295ul, 2.5, 0.25, 1.13, kMax, kMax, L"yes", 1920u, 1080u, 1920u, 1080u),
        ROW(1, L"", L"%s", L"abcdef"),
        ROW(600, kLong550, L"%s", kLong550.c_str()),
        ROW(4, L"ab\uFFFD", L"%s", L"ab\U0001F600"),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "row " << (&c - cases));
        testfiles::Remove(kLog);
        c.log(c.capacity);
        EXPECT_EQ(OnlyMessage(), c.expected);
        if (!c.expected.empty()) {
            testfiles::Remove(kLog);
            c.log(c.expected.size());
            EXPECT_EQ(OnlyMessage(), c.expected.substr(0, c.expected.size() - 1));
        }
    }
}
#undef ROW

std::string Utf16LeWithMark(const std::string& ascii) {
    std::string bytes("\xFF\xFE", 2);
    for (char c : ascii) {
        bytes += {c, '\0'};
    }
    return bytes;
}

// The first line only, any case, as a substring, within 31 units for "gpu" and 63 for
// "direct"; the file is read anew at every query.
TEST(DecodeModeFile, FirstLineWordsWithinTheirLimits) {
    const std::string pair = "\xF0\x9F\x98\x80", accent = "\xC3\xA9";
    const struct {
        std::string bytes;
        bool gpu, direct;
    } cases[] = {
        {"GPU\r\n", true, false},
        {"GPU Direct", true, true},
        {"nogpu", true, false},
        {"cpu", false, false},
        {"gpu\r\ndirect\r\n", true, false},
        {std::string(37, '.') + "gpu", false, false},    // 40 characters
        {std::string(34, '.') + "direct", false, true},  // direct at 35-40
        {std::string(28, '.') + "gpu", true, false},     // ends at unit 31
        {std::string(29, '.') + "gpu", false, false},
        {std::string(57, '.') + "direct", false, true},  // ends at unit 63
        {std::string(58, '.') + "direct", false, false},
        // A character outside the BMP takes two units; é takes one unit but two bytes.
        {pair + std::string(26, '.') + "gpu", true, false},
        {pair + std::string(27, '.') + "gpu", false, false},
        {[&] { std::string s; for (int i = 0; i < 28; ++i) s += accent; return s; }() + "gpu", true, false},
        {"\xEF\xBB\xBF" "direct", false, true},
        {Utf16LeWithMark("Direct GPU\r\n"), true, true},
        {Utf16LeWithMark("cpu\r\ngpu"), false, false},
        {Utf16LeWithMark("gpu").substr(2), false, false},  // no mark: UTF-8, ending at its NUL
        {std::string("g\0pu", 4), false, false},
        {"\xEF\xBC\xA7\xEF\xBC\xB0\xEF\xBC\xB5", false, false},  // fullwidth GPU: only ASCII is lowered
        {"\xFF\xC3(\xE0\x80\x80\xF0\x9F gpu direct", true, true},  // malformed UTF-8 is replaced
        {"", false, false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testfiles::WriteAll(kSetting, c.bytes));
        EXPECT_EQ(DecodeModeRequestsGpu(), c.gpu) << c.bytes;
        EXPECT_EQ(DecodeModeRequestsDirect(), c.direct) << c.bytes;
    }
    testfiles::Remove(kSetting);
    EXPECT_FALSE(DecodeModeRequestsGpu());
    EXPECT_FALSE(DecodeModeRequestsDirect());
}

// An editor may hold the setting open for writing (or deleting, to save by renaming).
TEST(DecodeModeFile, SharedWithReadersAndWritersButNotWithAnExclusiveHolder) {
    ASSERT_TRUE(testfiles::WriteAll(kSetting, "gpu"));
    for (const auto& [access, share, seen] : {std::tuple<DWORD, DWORD, bool>{GENERIC_READ, FILE_SHARE_READ, true},
                                              {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, true},
                                              {DELETE, FILE_SHARE_READ, true},
                                              {GENERIC_READ | GENERIC_WRITE, 0, false}}) {
        HANDLE holder = CreateFileW(kSetting.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        EXPECT_EQ(DecodeModeRequestsGpu(), seen);
        CloseHandle(holder);
    }
    EXPECT_TRUE(DecodeModeRequestsGpu());
    testfiles::Remove(kSetting);
}

// Links planted from the Linux side in place of the log, the setting or the whole folder:
// the log is not written through them (nor created at a link's missing target), the setting
// behind them is not read. The files elsewhere hold "gpu".
TEST(DataFolder, PlantedLinksAreNeitherWrittenThroughNorRead) {
    const std::wstring elsewhere = std::wstring(testfiles::kProgramDataFolder) + L"\\VelmoraElsewhere\\";
    for (const char* plant : {"ln -s ../VelmoraElsewhere/t.txt Velmora/source.log",
                              "ln VelmoraElsewhere/t.txt Velmora/source.log",
                              "ln -s ../VelmoraElsewhere/source.log Velmora/source.log",
                              "ln -s ../VelmoraElsewhere/t.txt Velmora/decode_mode.txt",
                              "ln VelmoraElsewhere/t.txt Velmora/decode_mode.txt",
                              "rmdir Velmora && ln -s VelmoraElsewhere Velmora"}) {
        SCOPED_TRACE(plant);
        ASSERT_TRUE(testfiles::LinuxShell("rm -rf Velmora VelmoraElsewhere && mkdir Velmora VelmoraElsewhere && "
                                          "printf 'gpu' >VelmoraElsewhere/t.txt && "
                                          "cp VelmoraElsewhere/t.txt VelmoraElsewhere/decode_mode.txt && " +
                                          std::string(plant)));
        LogMessage(L"through");
        EXPECT_FALSE(DecodeModeRequestsGpu());
        EXPECT_EQ(testfiles::ReadAll(elsewhere + L"t.txt"), "gpu");
        EXPECT_EQ(testfiles::ReadAll(elsewhere + L"decode_mode.txt"), "gpu");
        EXPECT_EQ(GetFileAttributesW((elsewhere + L"source.log").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    ASSERT_TRUE(testfiles::LinuxShell("rm -rf Velmora VelmoraElsewhere"));
}

}  // namespace
