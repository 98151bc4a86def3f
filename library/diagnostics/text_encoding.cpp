#include "library/diagnostics/text_encoding.h"

#include <cstdio>

namespace velmora {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::size_t kLargestSettingBuffer = 64;

bool IsHighSurrogate(char32_t unit) noexcept {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char32_t unit) noexcept {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendUtf16Unit(std::string& out, char32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>((unit >> 8) & 0xFF);
}

void AppendCodePoint(std::string& out, char32_t code, LogEncoding encoding) {
    if (code == U'\n') {
        AppendCodePoint(out, U'\r', encoding);
    }
    if (encoding == LogEncoding::Utf8) {
        AppendUtf8(out, code);
    } else if (code < 0x10000) {
        AppendUtf16Unit(out, code);
    } else {
        AppendUtf16Unit(out, 0xD800 + ((code - 0x10000) >> 10));
        AppendUtf16Unit(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
    }
}

// Decodes one UTF-8 character at bytes[0..size); returns its length in bytes, or 1 with
// U+FFFD for a malformed, overlong, surrogate or truncated sequence.
std::size_t DecodeUtf8(const unsigned char* bytes, std::size_t size, char32_t& code) noexcept {
    const unsigned char lead = bytes[0];
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        code = kReplacement;
        return 1;
    }
    if (length > size) {
        code = kReplacement;
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            code = kReplacement;
            return 1;
        }
        code = (code << 6) | (bytes[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = kReplacement;
        return 1;
    }
    return length;
}

}  // namespace

LogEncoding LogEncodingFromHead(const unsigned char* head, std::size_t size) noexcept {
    if (size >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
        return LogEncoding::Utf16Le;
    }
    return LogEncoding::Utf8;
}

std::string_view ByteOrderMark(LogEncoding encoding) noexcept {
    return encoding == LogEncoding::Utf8 ? std::string_view("\xEF\xBB\xBF", 3)
                                         : std::string_view("\xFF\xFE", 2);
}

std::string EncodeLogLine(const LogTimeStamp& time, std::u16string_view message,
                          LogEncoding encoding) {
    char stamp[64];
    const int stampLength =
        std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", time.year,
                      time.month, time.day, time.hour, time.minute, time.second);
    std::string line;
    line.reserve((static_cast<std::size_t>(stampLength) + message.size() + 2) * 3);
    for (int i = 0; i < stampLength; ++i) {
        AppendCodePoint(line, static_cast<unsigned char>(stamp[i]), encoding);
    }
    for (std::size_t i = 0; i < message.size(); ++i) {
        char32_t code = message[i];
        if (IsHighSurrogate(code) && i + 1 < message.size() && IsLowSurrogate(message[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (message[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(code) || IsLowSurrogate(code)) {
            code = kReplacement;
        }
        AppendCodePoint(line, code, encoding);
    }
    AppendCodePoint(line, U'\n', encoding);
    return line;
}

std::size_t ReadFirstLine(const unsigned char* bytes, std::size_t size, char16_t* out,
                          std::size_t bufferUnits) noexcept {
    if (bufferUnits == 0) {
        return 0;
    }
    bool utf16 = false;
    std::size_t at = 0;
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        at = 3;
    } else if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        utf16 = true;
        at = 2;
    }
    const std::size_t limit = bufferUnits - 1;
    std::size_t stored = 0;
    while (stored < limit && at < size) {
        char32_t code = 0;
        if (utf16) {
            if (size - at < 2) {
                break;  // an odd last byte is no unit
            }
            code = static_cast<char32_t>(bytes[at] | (bytes[at + 1] << 8));
            at += 2;
            out[stored++] = static_cast<char16_t>(code);
        } else {
            const std::size_t length = DecodeUtf8(bytes + at, size - at, code);
            if (code >= 0x10000) {
                if (limit - stored < 2) {
                    break;
                }
                out[stored++] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
                out[stored++] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            } else {
                out[stored++] = static_cast<char16_t>(code);
            }
            at += length;
        }
        if (code == U'\n') {
            break;
        }
    }
    out[stored] = u'\0';
    return stored;
}

bool FirstLineContains(const unsigned char* bytes, std::size_t size, std::size_t bufferUnits,
                       std::string_view word) noexcept {
    char16_t line[kLargestSettingBuffer] = {};
    if (bufferUnits > kLargestSettingBuffer) {
        bufferUnits = kLargestSettingBuffer;
    }
    const std::size_t length = ReadFirstLine(bytes, size, line, bufferUnits);
    // The C locale lowers only A-Z; nothing else can be part of an ASCII word anyway.
    for (std::size_t i = 0; i < length; ++i) {
        if (line[i] >= u'A' && line[i] <= u'Z') {
            line[i] = static_cast<char16_t>(line[i] - u'A' + u'a');
        }
    }
    // The line ends at its first NUL, as a C string would.
    std::size_t textLength = 0;
    while (textLength < length && line[textLength] != u'\0') {
        ++textLength;
    }
    if (word.empty()) {
        return true;
    }
    for (std::size_t start = 0; start + word.size() <= textLength; ++start) {
        std::size_t matched = 0;
        while (matched < word.size() &&
               line[start + matched] == static_cast<unsigned char>(word[matched])) {
            ++matched;
        }
        if (matched == word.size()) {
            return true;
        }
    }
    return false;
}

}  // namespace velmora
