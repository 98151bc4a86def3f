// The log and the decode-mode setting on the real files of C:\ProgramData\Velmora, private to the tree's Wine prefix.
#include "library/diagnostics/data_file.h"
#include "library/diagnostics/decode_mode.h"
#include "library/diagnostics/log.h"
#include "library/diagnostics/log_capture.h"
#include "tests/common/host_shell.h"
#include "tests/common/windows_test.h"

namespace {

using Lines = std::vector<std::string>;
using velmora::test::Messages;
using velmora::test::ReadFileBytes;
using velmora::test::ReadLog;
using velmora::test::WriteFileBytes;
const std::wstring kLog = velmora::test::LogPath();
const std::wstring kSetting = velmora::DataFilePath(velmora::kDecodeModeFileName).text;
const std::wstring kOldLog = velmora::DataFilePath(velmora::kOldLogFileName).text;
constexpr std::size_t kFullLog = 10485760;
const std::string kMark = "\xEF\xBB\xBF";

// The messages of a log this writer created (behind its UTF-8 mark), each line ended.
Lines LogMessages() {
    const std::string text = ReadLog();
    EXPECT_TRUE(text.starts_with(kMark) && text.ends_with("\r\n")) << text.substr(0, 40);
    return Messages(text, 3);
}

class LogFile : public testing::Test {
protected:
    void SetUp() override { DeleteFileW(kLog.c_str()); }
    void TearDown() override { DeleteFileW(kLog.c_str()); }
};

TEST_F(LogFile, CreatesDirectoryAndMarkedFileOfStampedUtf8Lines) {
    DeleteFileW(kSetting.c_str());
    RemoveDirectoryW(velmora::kDataDirectory);
    ASSERT_EQ(GetFileAttributesW(velmora::kDataDirectory), INVALID_FILE_ATTRIBUTES);
    LogMessage(nullptr);
    LogFormatted(96, nullptr);
    LogFormatted(0, L"x");
    EXPECT_EQ(GetFileAttributesW(kLog.c_str()), INVALID_FILE_ATTRIBUTES);
    LogMessage(L"VelmoraSource.dll loaded.");
    LogMessage(L"Kamera \u00E9 \uCE74\uBA54\uB77C \U0001F600 a\nb");
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0};
    LogMessage(lone);
    EXPECT_EQ(LogMessages(), (Lines{"VelmoraSource.dll loaded.",
                                    "Kamera \xC3\xA9 \xEC\xB9\xB4\xEB\xA9\x94\xEB\x9D\xBC \xF0\x9F\x98\x80 a", "b",
                                    "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"}));
}

// UTF-8 without a mark stays without one; an empty file is begun like a new one.
TEST_F(LogFile, ExistingFileKeepsItsEncoding) {
    ASSERT_TRUE(WriteFileBytes(kLog, "old line\r\n"));
    LogMessage(L"\u00E9");
    EXPECT_TRUE(std::regex_match(ReadLog(), std::regex("old line\r\n[-0-9: ]{20}\xC3\xA9\r\n"))) << ReadLog();
    ASSERT_TRUE(WriteFileBytes(kLog, ""));
    LogMessage(L"x");
    EXPECT_EQ(LogMessages(), Lines{"x"});
}

// The open shares nothing: any other handle on the log, even a sharing one, drops the line at once.
TEST_F(LogFile, LineIsDroppedPromptlyWhileAnotherHandleHoldsTheLog) {
    LogMessage(L"before");
    for (const auto& [access, share] : {std::pair<DWORD, DWORD>{GENERIC_READ | GENERIC_WRITE, 0},
                                        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        const velmora::UniqueFileHandle holder(
            CreateFileW(kLog.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
        const auto start = std::chrono::steady_clock::now();
        LogMessage(L"lost");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    LogMessage(L"after");
    EXPECT_EQ(LogMessages(), (Lines{"before", "after"}));
}

// A log of 10,485,760 bytes or more is moved whole to source.old.log, replacing an older one, before the next line.
TEST_F(LogFile, FullLogIsMovedAsideOnceBeforeTheNextLine) {
    for (const std::size_t size : {kFullLog - 1, kFullLog}) {
        SCOPED_TRACE(size);
        const std::string full = kMark + std::string(size - 5, 'x') + "\r\n";
        ASSERT_TRUE(WriteFileBytes(kLog, full));
        ASSERT_TRUE(WriteFileBytes(kOldLog, "older\r\n"));
        LogMessage(L"one");
        LogMessage(L"two");
        const std::string old = ReadFileBytes(kOldLog);
        ASSERT_EQ(old.compare(0, full.size(), full), 0) << "the full log is not kept whole";
        Lines messages = Messages(old, full.size());
        for (const std::string& message : LogMessages()) {
            messages.push_back("new " + message);
        }
        EXPECT_EQ(messages, size < kFullLog ? Lines({"one", "new two"}) : Lines({"new one", "new two"}));
    }
    DeleteFileW(kOldLog.c_str());
}

// The library's longest line (300 units) has 256; cut also to nothing, beyond a stack buffer, before a split pair.
TEST_F(LogFile, FormattedLinesAreCutAtCapacityMinusOne) {
    const std::string full = "18446744073709551615 60.0 " + std::string(270, 'l');
    LogFormatted(256, L"%llu %.1f %s", 18446744073709551615ull, 60.0, std::wstring(270, L'l').c_str());
    LogFormatted(1, L"%s", L"abcdef");
    LogFormatted(600, L"%s", std::wstring(550, L'z').c_str());
    LogFormatted(4, L"%s", L"ab\U0001F600");
    EXPECT_EQ(LogMessages(), (Lines{full.substr(0, 255), "", std::string(550, 'z'), "ab\xEF\xBF\xBD"}));
}

// Only this thread's lines are held, and only while the capture lives.
TEST_F(LogFile, CapturedLinesAreWrittenLaterWithTheirOwnTimeOrDropped) {
    {
        LogCapture capture;
        capture.Start();
        LogMessage(L"held one");
        std::thread([] { LogMessage(L"other thread"); }).join();
        Sleep(1100);
        LogFormatted(64, L"held %s", L"two");
        capture.Flush();
        capture.Start();
        LogMessage(L"dropped");
        capture.Discard();
        capture.Start();
    }
    LogMessage(L"after");
    EXPECT_EQ(LogMessages(), (Lines{"other thread", "held one", "held two", "after"}));
    const std::string text = ReadLog();  // the held lines' seconds differ
    EXPECT_NE(text.substr(text.find("held one") - 3, 2), text.substr(text.find("held two") - 3, 2));
}

// The first line only, any case, as a substring, within 31 units for "gpu" and 63 for "direct"; read at every query.
TEST(DecodeModeFile, FirstLineWordsWithinTheirLimits) {
    const std::string pair = "\xF0\x9F\x98\x80";
    const struct {
        std::string bytes;
        bool gpu, direct;
    } cases[] = {
        {"GPU Direct", true, true},
        {"nogpu", true, false},
        {"gpu\r\ndirect\r\n", true, false},
        {std::string(28, '.') + "gpu", true, false},  // ends at unit 31
        {std::string(29, '.') + "gpu", false, false},
        {std::string(57, '.') + "direct", false, true},  // ends at unit 63
        {std::string(58, '.') + "direct", false, false},
        {pair + std::string(26, '.') + "gpu", true, false},  // units, not bytes; a pair takes two
        {pair + std::string(27, '.') + "gpu", false, false},
        {kMark + "direct", false, true},
        {std::string("\xFF\xFE" "D\0i\0r\0e\0c\0t\0 \0G\0P\0U\0\r\0\n\0", 26), true, true},
        {std::string("\xFF\xFE" "c\0p\0u\0\r\0\n\0g\0p\0u\0", 18), false, false},
        {"\xEF\xBC\xA7\xEF\xBC\xB0\xEF\xBC\xB5", false, false},  // fullwidth GPU: only ASCII is lowered
        {"\xFF\xC3(\xE0\x80\x80\xF0\x9F gpu direct", true, true},  // malformed UTF-8 is replaced
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFileBytes(kSetting, c.bytes));
        EXPECT_EQ(DecodeModeRequestsGpu(), c.gpu) << c.bytes;
        EXPECT_EQ(DecodeModeRequestsDirect(), c.direct) << c.bytes;
    }
    DeleteFileW(kSetting.c_str());
    EXPECT_FALSE(DecodeModeRequestsGpu() || DecodeModeRequestsDirect());
}

// Links planted from the Linux side in place of the log, the setting or the folder: the log is not written through
// them (nor created at a missing target), the setting behind them is not read. The files elsewhere hold "gpu".
TEST(DataFolder, PlantedLinksAreNeitherWrittenThroughNorRead) {
    const auto inProgramData = [](const std::string& command) {
        return velmora::test::HostShell("cd '" + velmora::test::UnixPath(L"C:\\ProgramData") + "' && " + command);
    };
    const std::wstring elsewhere = L"C:\\ProgramData\\VelmoraElsewhere\\";
    for (const char* plant : {"ln -s ../VelmoraElsewhere/t.txt Velmora/source.log",
                              "ln VelmoraElsewhere/t.txt Velmora/source.log",
                              "ln -s ../VelmoraElsewhere/source.log Velmora/source.log",
                              "ln -s ../VelmoraElsewhere/t.txt Velmora/decode_mode.txt",
                              "ln VelmoraElsewhere/t.txt Velmora/decode_mode.txt",
                              "rmdir Velmora && ln -s VelmoraElsewhere Velmora"}) {
        SCOPED_TRACE(plant);
        ASSERT_TRUE(inProgramData("rm -rf Velmora VelmoraElsewhere && mkdir Velmora VelmoraElsewhere && "
                               "printf 'gpu' >VelmoraElsewhere/t.txt && "
                               "cp VelmoraElsewhere/t.txt VelmoraElsewhere/decode_mode.txt && " + std::string(plant)));
        LogMessage(L"through");
        EXPECT_FALSE(DecodeModeRequestsGpu());
        EXPECT_EQ(ReadFileBytes(elsewhere + L"t.txt"), "gpu");
        EXPECT_EQ(ReadFileBytes(elsewhere + L"decode_mode.txt"), "gpu");
        EXPECT_EQ(GetFileAttributesW((elsewhere + L"source.log").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    ASSERT_TRUE(inProgramData("rm -rf Velmora VelmoraElsewhere"));
}

}  // namespace
