// Files of the data directory C:\ProgramData\Velmora as the log and the setting use them.
// Any account may create files there, so every open checks that it reached the plain
// file at its own path and not, through a link, some other file.
#pragma once

#include <windows.h>

#include <cwchar>
#include <utility>

#include "common/velmora_names.h"

namespace velmora {

inline constexpr wchar_t kOldLogFileName[] = L"source.old.log";

// Owns a file handle from CreateFileW; closes it when it goes.
class UniqueFileHandle {
public:
    explicit UniqueFileHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueFileHandle(UniqueFileHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    UniqueFileHandle& operator=(UniqueFileHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
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

// Whether the open handle is the plain file (or directory) at `path`: its final path
// names `path` (any case), so no link on the way led elsewhere; it is no reparse point;
// a file has no second name (a hard link would let writes land in another file).
bool IsPlainAt(HANDLE handle, const wchar_t* path, bool directory) noexcept;

// Opens an existing data file at `path` without following a link at its name where the
// system honours that; empty (and closed) unless IsPlainAt holds. With `create`, a missing
// file is created new in the checked data directory, never through a link of that name.
// `path` must name a file of the data directory.
UniqueFileHandle OpenDataFile(const wchar_t* path, DWORD access, DWORD share, bool create) noexcept;

// The data directory, checked like a file and held without delete sharing so that it
// cannot be renamed away or replaced while the handle lives; empty when refused.
UniqueFileHandle OpenDataDirectory() noexcept;

}  // namespace velmora
