// The library's files as tests read and set them: the log (whole, by message, counted) and the decode-mode setting.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "common/velmora_names.h"

namespace velmora::test {

inline std::wstring LogPath() {
    return std::wstring(velmora::kDataDirectory) + L"\\" + velmora::kLogFileName;
}

// The whole file; empty when it does not exist.
inline std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Replaces the file's bytes, creating its folder; false when it cannot be written.
inline bool WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    return static_cast<bool>(std::ofstream(path, std::ios::binary) << bytes);
}

inline std::string ReadLog() {
    return ReadFileBytes(LogPath());
}

// The messages of the CR LF lines of `text` from byte `from` on, without their time stamps ("YYYY-MM-DD hh:mm:ss ");
// a line without one stays whole, and text after the last line end counts as a line.
inline std::vector<std::string> Messages(const std::string& text, std::size_t from) {
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    std::vector<std::string> messages;
    for (std::size_t at = from, end; at < text.size(); at = end + 2) {
        end = std::min(text.find("\r\n", at), text.size());
        const std::size_t stamped = end - at >= 20 && std::regex_match(&text[at], &text[at + 20], stamp) ? 20 : 0;
        messages.push_back(text.substr(at + stamped, end - at - stamped));
    }
    return messages;
}

// Log messages after byte `from` (and the UTF-8 mark) that contain `part`.
inline std::vector<std::string> LogLines(std::size_t from, const std::string& part) {
    const std::string log = ReadLog();
    const std::size_t start = std::max<std::size_t>(from, log.starts_with("\xEF\xBB\xBF") ? 3 : 0);
    std::vector<std::string> lines = Messages(log, start);
    std::erase_if(lines, [&part](const std::string& line) { return line.find(part) == std::string::npos; });
    return lines;
}

// The decode-mode setting's first line ("" removes the file).
inline void SetDecodeMode(const std::string& line) {
    const std::filesystem::path folder(velmora::kDataDirectory);
    std::filesystem::remove(folder / velmora::kDecodeModeFileName);
    std::filesystem::create_directories(folder);
    if (!line.empty()) WriteFileBytes(folder / velmora::kDecodeModeFileName, line);
}

inline int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace velmora::test
