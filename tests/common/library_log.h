// The library's files as tests read and set them: the log (whole, by message, counted) and the decode-mode setting.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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

inline std::string ReadLog() {
    return ReadFileBytes(LogPath());
}

// Log messages after byte `from` that contain `part`, without time stamps ("YYYY-MM-DD hh:mm:ss ").
inline std::vector<std::string> LogLines(std::size_t from, const std::string& part) {
    const std::string all = ReadLog();
    std::vector<std::string> lines;
    std::size_t at = std::max<std::size_t>(from, all.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
    for (std::size_t end; at < all.size(); at = end + 2) {
        end = std::min(all.find("\r\n", at), all.size());
        const std::string message = at + 20 <= end ? all.substr(at + 20, end - at - 20) : std::string();
        if (message.find(part) != std::string::npos) lines.push_back(message);
    }
    return lines;
}

// The decode-mode setting's first line ("" removes the file).
inline void SetDecodeMode(const std::string& line) {
    const std::filesystem::path folder(velmora::kDataDirectory);
    std::filesystem::remove(folder / velmora::kDecodeModeFileName);
    std::filesystem::create_directories(folder);
    if (!line.empty()) std::ofstream(folder / velmora::kDecodeModeFileName, std::ios::binary) << line;
}

inline int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace velmora::test
