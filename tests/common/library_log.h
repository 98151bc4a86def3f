// The library's log file as the receiver tests read it: whole, and counted by line.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/velmora_names.h"

namespace velmora::test {

inline std::wstring LogPath() {
    return std::wstring(velmora::kDataDirectory) + L"\\" + velmora::kLogFileName;
}

inline std::string ReadLog() {
    std::ifstream file(std::filesystem::path(LogPath()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace velmora::test
