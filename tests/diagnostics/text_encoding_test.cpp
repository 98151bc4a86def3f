// Log line encoding and the setting's first-line search, on byte strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "library/diagnostics/text_encoding.h"

namespace {

using velmora::LogEncoding;

const velmora::LogTimeStamp kStamp{2024, 3, 5, 7, 8, 9};

bool Contains(const std::string& file, std::size_t units, const char* word) {
    return velmora::FirstLineContains(reinterpret_cast<const unsigned char*>(file.data()),
                                      file.size(), units, word);
}

// "text" as UTF-16LE bytes, ASCII only.
std::string Utf16Le(const std::string& text) {
    std::string bytes;
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

// The file tests cannot choose the time or see UTF-16LE lone surrogates; these can.
TEST(LogLineEncoding, PaddedStampLineEndsAndLoneSurrogates) {
    EXPECT_EQ(velmora::EncodeLogLine(kStamp, u"a\nb", LogEncoding::Utf8),
              "2024-03-05 07:08:09 a\r\nb\r\n");
    EXPECT_EQ(velmora::EncodeLogLine({2025, 12, 31, 23, 59, 58}, u"", LogEncoding::Utf8),
              "2025-12-31 23:59:58 \r\n");
    const char16_t lone[] = {0xD83D, u'x', 0xDE00, 0xD83D, 0};
    EXPECT_EQ(velmora::EncodeLogLine(kStamp, lone, LogEncoding::Utf8).substr(20),
              "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD\r\n");
    EXPECT_EQ(velmora::EncodeLogLine(kStamp, lone, LogEncoding::Utf16Le).substr(40),
              std::string("\xFD\xFFx\0\xFD\xFF\xFD\xFF\r\0\n\0", 12));
}

TEST(SettingFirstLine, LineEndsAtNulAndOnlyAsciiIsLowered) {
    EXPECT_FALSE(Contains(std::string("g\0pu", 4), 32, "gpu"));  // the string ends at NUL
    // Only ASCII letters are lowered: fullwidth "ＧＰＵ" is no "gpu".
    EXPECT_FALSE(Contains("\xEF\xBC\xA7\xEF\xBC\xB0\xEF\xBC\xB5", 32, "gpu"));
}

TEST(SettingFirstLine, OnlyTheFirstCountMinusOneUnitsAreSearched) {
    EXPECT_TRUE(Contains(std::string(28, 'x') + "gpu", 32, "gpu"));   // ends at unit 31
    EXPECT_FALSE(Contains(std::string(29, 'x') + "gpu", 32, "gpu"));  // ends at unit 32
    // A character outside the BMP takes two units; é takes one unit but two bytes.
    EXPECT_TRUE(Contains("\xF0\x9F\x98\x80" + std::string(26, 'x') + "gpu", 32, "gpu"));
    EXPECT_FALSE(Contains("\xF0\x9F\x98\x80" + std::string(27, 'x') + "gpu", 32, "gpu"));
    std::string accents;
    for (int i = 0; i < 28; ++i) {
        accents += "\xC3\xA9";
    }
    EXPECT_TRUE(Contains(accents + "gpu", 32, "gpu"));
}

TEST(SettingFirstLine, ByteOrderMarksDecideTheEncoding) {
    EXPECT_TRUE(Contains("\xEF\xBB\xBF" "direct", 64, "direct"));
    EXPECT_TRUE(Contains("\xFF\xFE" + Utf16Le("GPU direct\r\n"), 32, "gpu"));
    EXPECT_TRUE(Contains("\xFF\xFE" + Utf16Le("GPU direct\r\n"), 64, "direct"));
    EXPECT_FALSE(Contains("\xFF\xFE" + Utf16Le("cpu\r\ngpu"), 32, "gpu"));
    // Without a mark UTF-16 text is read as UTF-8 and ends at its first NUL.
    EXPECT_FALSE(Contains(Utf16Le("gpu"), 32, "gpu"));
    // Malformed UTF-8 is replaced, not fatal, and the line goes on.
    EXPECT_TRUE(Contains("\xFF\xC3(\xE0\x80\x80\xF0\x9F gpu", 32, "gpu"));
}

TEST(SettingFirstLine, LineReadStopsAfterLineEndAndAtCount) {
    const std::string file = "ab\xF0\x9F\x98\x80\nsecond";
    char16_t line[8];
    std::fill(std::begin(line), std::end(line), u'#');
    ASSERT_EQ(velmora::ReadFirstLine(reinterpret_cast<const unsigned char*>(file.data()),
                                     file.size(), line, 8),
              5u);
    EXPECT_EQ(std::u16string(line), u"ab\U0001F600\n");
    // Count 4: three units, and the pair that would not fit whole is left out.
    std::fill(std::begin(line), std::end(line), u'#');
    ASSERT_EQ(velmora::ReadFirstLine(reinterpret_cast<const unsigned char*>(file.data()),
                                     file.size(), line, 4),
              2u);
    EXPECT_EQ(std::u16string(line), u"ab");
    EXPECT_EQ(velmora::ReadFirstLine(nullptr, 0, line, 1), 0u);
    EXPECT_EQ(line[0], u'\0');
}

}  // namespace
