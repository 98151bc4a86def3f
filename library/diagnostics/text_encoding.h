// Text handling of the log and the decode-mode setting, free of Windows headers: how a
// UTF-16 message becomes the bytes of a log line, and how the setting's first line is
// read from the file's bytes and searched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

enum class LogEncoding { Utf8, Utf16Le };

// Local wall-clock time of a log line, to the second.
struct LogTimeStamp {
    unsigned year;
    unsigned month;
    unsigned day;
    unsigned hour;
    unsigned minute;
    unsigned second;
};

// The encoding an existing log keeps: UTF-16LE when its first bytes are the UTF-16LE
// byte-order mark (FF FE), UTF-8 otherwise (with or without the UTF-8 mark).
LogEncoding LogEncodingFromHead(const unsigned char* head, std::size_t size) noexcept;

// The byte-order mark a log starts with when this writer creates it.
std::string_view ByteOrderMark(LogEncoding encoding) noexcept;

// The encoded line "YYYY-MM-DD hh:mm:ss message" followed by CR LF. Every LF inside the
// message becomes CR LF as well (text-mode writing); a lone surrogate becomes U+FFFD.
// Throws std::bad_alloc.
std::string EncodeLogLine(const LogTimeStamp& time, std::u16string_view message,
                          LogEncoding encoding);

// Setting file bytes that can matter for a line read of `bufferUnits` units: a
// byte-order mark plus at most 3 UTF-8 bytes per UTF-16 unit.
constexpr std::size_t SettingBytesNeeded(std::size_t bufferUnits) noexcept {
    return bufferUnits == 0 ? 0 : 3 + 3 * (bufferUnits - 1);
}

// Line read of count `bufferUnits` from a setting file's first bytes: UTF-8 unless a
// byte-order mark says otherwise (EF BB BF: UTF-8, FF FE: UTF-16LE); at most
// bufferUnits - 1 units, stopping after the first LF, which stays. Always terminates
// `out` (when bufferUnits > 0) and returns the number of units stored. Malformed UTF-8
// becomes U+FFFD; a character that would not fit whole is left out.
std::size_t ReadFirstLine(const unsigned char* bytes, std::size_t size, char16_t* out,
                          std::size_t bufferUnits) noexcept;

// Whether lower-case ASCII `word` occurs in the first line read with count `bufferUnits`
// (at most 64), after lowering the line's ASCII letters.
bool FirstLineContains(const unsigned char* bytes, std::size_t size, std::size_t bufferUnits,
                       std::string_view word) noexcept;

}  // namespace velmora
