// The decode-mode setting read from the real file at every query.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "library/diagnostics/decode_mode.h"
#include "tests/diagnostics/data_files.h"

namespace {

const std::wstring kSetting = testfiles::DataPath(velmora::kDecodeModeFileName);

std::string Utf16LeWithMark(const std::string& ascii) {
    std::string bytes("\xFF\xFE", 2);
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

class DecodeModeFile : public testing::Test {
protected:
    void SetUp() override { testfiles::Remove(kSetting); }
    void TearDown() override { testfiles::Remove(kSetting); }
};

TEST_F(DecodeModeFile, FirstLineWordsWithinTheirLimits) {
    const struct {
        std::string bytes;
        bool gpu;
        bool direct;
    } cases[] = {
        {"GPU\r\n", true, false},
        {"GPU Direct", true, true},
        {"nogpu", true, false},
        {"gpu\r\ndirect\r\n", true, false},
        {std::string(37, '.') + "gpu", false, false},     // 40 characters
        {std::string(34, '.') + "direct", false, true},   // direct at 35-40
        {std::string(28, '.') + "gpu", true, false},      // ends at unit 31
        {std::string(29, '.') + "gpu", false, false},
        {std::string(57, '.') + "direct", false, true},   // ends at unit 63
        {std::string(58, '.') + "direct", false, false},
        {"\xEF\xBB\xBF" "direct", false, true},
        {Utf16LeWithMark("Direct GPU\r\n"), true, true},
        {"", false, false},
        {"cpu", false, false},
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

TEST_F(DecodeModeFile, EveryQueryReadsTheFileAnew) {
    ASSERT_TRUE(testfiles::WriteAll(kSetting, "gpu direct"));
    EXPECT_TRUE(DecodeModeRequestsGpu());
    ASSERT_TRUE(testfiles::WriteAll(kSetting, "cpu"));
    EXPECT_FALSE(DecodeModeRequestsGpu());
    ASSERT_TRUE(testfiles::WriteAll(kSetting, "direct"));
    EXPECT_TRUE(DecodeModeRequestsDirect());
}

TEST_F(DecodeModeFile, SharedWithReadersButNotWithAnExclusiveHolder) {
    ASSERT_TRUE(testfiles::WriteAll(kSetting, "gpu"));
    HANDLE reader = CreateFileW(kSetting.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DecodeModeRequestsGpu());
    CloseHandle(reader);

    HANDLE holder = CreateFileW(kSetting.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DecodeModeRequestsGpu());
    CloseHandle(holder);
    EXPECT_TRUE(DecodeModeRequestsGpu());
}

}  // namespace
