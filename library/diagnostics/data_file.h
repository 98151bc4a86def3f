// Files of the data directory C:\ProgramData\Velmora as the log and the setting use them.
#pragma once

#include <windows.h>

#include <cwchar>

#include "common/velmora_names.h"

namespace velmora {

// Owns a file handle from CreateFileW; closes it when it goes.
class UniqueFileHandle {
public:
    explicit UniqueFileHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueFileHandle(const UniqueFileHandle&) = delete;
    UniqueFileHandle& operator=(const UniqueFileHandle&) = delete;
    ~UniqueFileHandle() { Reset(); }

    explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const noexcept { return handle_; }
    void Reset() noexcept {
        if (*this) {
            CloseHandle(handle_);
        }
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// "C:\ProgramData\Velmora\<fileName>" (the names are short constants).
struct DataFilePath {
    explicit DataFilePath(const wchar_t* fileName) noexcept {
        const std::size_t directory = std::wcslen(kDataDirectory);
        std::size_t name = std::wcslen(fileName);
        if (directory + 1 + name >= MAX_PATH) {
            name = MAX_PATH - directory - 2;
        }
        std::wmemcpy(text, kDataDirectory, directory);
        text[directory] = L'\\';
        std::wmemcpy(text + directory + 1, fileName, name);
        text[directory + 1 + name] = L'\0';
    }
    wchar_t text[MAX_PATH];
};

}  // namespace velmora
