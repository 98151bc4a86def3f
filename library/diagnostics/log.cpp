#include "library/diagnostics/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "library/diagnostics/data_file.h"
#include "library/diagnostics/log_capture.h"
#include "library/diagnostics/text_encoding.h"

// The library's format strings pass wide strings to "%s". The C runtime's own
// _vsnwprintf reads "%s" that way; the C99 family that libstdc++ selects for swprintf and
// vsnwprintf reads it as a narrow string. So _vsnwprintf must stay msvcrt's function.
#ifdef _vsnwprintf
#error "_vsnwprintf is redirected; the log needs the C runtime's own function"
#endif

namespace {

using velmora::DataFilePath;
using velmora::LogEncoding;
using velmora::UniqueFileHandle;

constexpr std::size_t kStackCapacity = 512;

// A log of this size or more is moved aside before the next line.
constexpr LONGLONG kLogRotationBytes = 10485760;

// Appends the encoded line to the open log: a new (empty) file gets the UTF-8 byte-order
// mark first, an existing one keeps the encoding its own mark names.
void AppendLine(HANDLE file, const SYSTEMTIME& now, const wchar_t* message) {
    unsigned char head[2] = {};
    DWORD headSize = 0;
    if (!ReadFile(file, head, sizeof head, &headSize, nullptr)) {
        return;
    }
    const LogEncoding encoding = velmora::LogEncodingFromHead(head, headSize);

    const velmora::LogTimeStamp stamp{now.wYear, now.wMonth, now.wDay,
                                      now.wHour, now.wMinute, now.wSecond};

    std::u16string text(std::wcslen(message), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(message[i]);
    }
    std::string bytes;
    if (headSize == 0) {
        bytes = velmora::ByteOrderMark(encoding);
    }
    bytes += velmora::EncodeLogLine(stamp, text, encoding);

    // The handle has no FILE_WRITE_DATA, so the system appends; the explicit seek keeps
    // the line at the end even where that rule would not hold.
    if (bytes.size() > MAXDWORD || !SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END)) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Moves the open log to "source.old.log", replacing an older one. The rename goes through
// the exclusive handle, so it moves exactly the file that was checked and measured.
bool MoveToOldLog(HANDLE file) noexcept {
    const DataFilePath oldPath(velmora::kOldLogFileName);
    const std::size_t nameBytes = std::wcslen(oldPath.text) * sizeof(wchar_t);
    alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) + sizeof oldPath.text] = {};
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, oldPath.text, nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, sizeof buffer) != FALSE;
}

}  // namespace

void LogMessage(const wchar_t* message) noexcept {
    if (message == nullptr || CaptureLogLine(message)) {
        return;
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    WriteLogLine(now, message);
}

void WriteLogLine(const SYSTEMTIME& localTime, const wchar_t* message) noexcept {
    if (message == nullptr) {
        return;
    }
    try {
        CreateDirectoryW(velmora::kDataDirectory, nullptr);
        const DataFilePath path(velmora::kLogFileName);
        // Not shared: two writers can never interleave; the later one's line is dropped.
        // DELETE lets the full log be renamed through this handle.
        constexpr DWORD access = FILE_READ_DATA | FILE_APPEND_DATA | DELETE;
        UniqueFileHandle file = velmora::OpenDataFile(path.text, access, 0, true);
        LARGE_INTEGER size{};
        if (!file || !GetFileSizeEx(file.Get(), &size)) {
            return;
        }
        if (size.QuadPart >= kLogRotationBytes) {
            // The open log keeps its directory from being renamed, so the move stays in it.
            // A log that cannot be moved stays full: the line is dropped, the size bounded.
            if (!MoveToOldLog(file.Get())) {
                return;
            }
            file.Reset();
            // Another writer may have begun the new log meanwhile; then this line is lost.
            file = velmora::OpenDataFile(path.text, access, 0, true);
            if (!file) {
                return;
            }
        }
        AppendLine(file.Get(), localTime, message);
    } catch (...) {
        // Out of memory for the line: it is dropped like any line that cannot be written.
    }
}

void LogFormatted(std::size_t capacity, const wchar_t* format, ...) noexcept {
    if (format == nullptr || capacity == 0) {
        return;
    }
    wchar_t stackBuffer[kStackCapacity] = {};
    std::unique_ptr<wchar_t[]> heapBuffer;
    wchar_t* buffer = stackBuffer;
    if (capacity > kStackCapacity) {
        heapBuffer.reset(new (std::nothrow) wchar_t[capacity]());
        if (!heapBuffer) {
            return;
        }
        buffer = heapBuffer.get();
    }
    // _vsnwprintf leaves the buffer unterminated when the output fills it, so it gets one
    // unit less and the last unit stays the terminator.
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(buffer, capacity - 1, format, arguments);
    va_end(arguments);
    buffer[capacity - 1] = L'\0';
    LogMessage(buffer);
}
