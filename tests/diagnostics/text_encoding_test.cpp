// What the file tests cannot reach, here under the host tree's sanitizers.
#include <gtest/gtest.h>

#include <string>

#include "library/diagnostics/text_encoding.h"

namespace {

using velmora::LogEncoding;

TEST(LogLineEncoding, PaddedStampLineEndsPairsAndLoneSurrogates) {
    const velmora::LogTimeStamp stamp{2024, 3, 5, 7, 8, 9};
    EXPECT_EQ(velmora::EncodeLogLine(stamp, u"a\nb\U0001F600", LogEncoding::Utf8),
              "2024-03-05 07:08:09 a\r\nb\xF0\x9F\x98\x80\r\n");
    const char16_t lone[] = {0xD83D, u'x', 0xDE00, 0xD83D, 0};
    EXPECT_EQ(velmora::EncodeLogLine(stamp, lone, LogEncoding::Utf16Le).substr(40),
              std::string("\xFD\xFFx\0\xFD\xFF\xFD\xFF\r\0\n\0", 12));
}

// Count 4 leaves out a pair that would not fit; a sequence cut by the end of the bytes is replaced, not read past.
TEST(SettingFirstLine, LineReadStopsAfterLineEndAtCountAndAtTheLastByte) {
    const struct {
        std::string bytes;
        std::size_t count;
        std::u16string expected;
    } cases[] = {
        {"ab\xF0\x9F\x98\x80\nsecond", 8, u"ab\U0001F600\n"},
        {"ab\xF0\x9F\x98\x80\nsecond", 4, u"ab"},
        {"ab\xF0\x9F", 8, u"ab\uFFFD\uFFFD"},
        {"", 1, u""},
    };
    for (const auto& c : cases) {
        char16_t line[8];
        std::u16string(8, u'#').copy(line, 8);
        const auto* bytes = c.bytes.empty() ? nullptr : reinterpret_cast<const unsigned char*>(c.bytes.data());
        EXPECT_EQ(velmora::ReadFirstLine(bytes, c.bytes.size(), line, c.count), c.expected.size());
        EXPECT_EQ(std::u16string(line), c.expected) << c.bytes;
    }
}

}  // namespace
