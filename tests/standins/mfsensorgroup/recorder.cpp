#include "recorder.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

namespace standin {
namespace {

std::mutex countMutex;
std::map<std::string, std::uint32_t, std::less<>> callCounts;

// The variable's current value; empty when it is unset (or empty).
std::wstring Environment(const wchar_t* name)
{
    std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
    DWORD length = value.empty() ? 0 : GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    value.resize(length < value.size() ? length : 0);
    return value;
}

std::string Utf8(const wchar_t* text)
{
    int length = static_cast<int>(wcslen(text));
    if (length == 0) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

// snprintf into a string; every format here fits 40 characters.
template <typename... Args>
std::string Printed(const char* format, Args... args)
{
    char text[40];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// Keeps one call on one line and the TAB free for separating fields.
std::string Escape(std::string_view value)
{
    std::string result;
    result.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\': result += "\\\\"; break;
        case '\t': result += "\\t"; break;
        case '\n': result += "\\n"; break;
        case '\r': result += "\\r"; break;
        default: result += c; break;
        }
    }
    return result;
}

std::string_view Trim(std::string_view text)
{
    std::size_t first = text.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view()
                                           : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ParseNumber(std::string_view text, int base, unsigned long long* value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    std::string copy(text);
    char* end = nullptr;
    *value = std::strtoull(copy.c_str(), &end, base);
    return end == copy.c_str() + copy.size() && copy.front() != '-' && copy.front() != '+';
}

// VELMORA_STANDIN_FAIL: comma-separated "Name=0xHHHHHHHH" or "Name#N=0xHHHHHHHH".
// The first item that matches the call decides; malformed items are skipped.
bool FindInjection(const std::string& name, std::uint32_t callNumber, HRESULT* code)
{
    std::wstring wide = Environment(L"VELMORA_STANDIN_FAIL");
    if (wide.empty()) {
        return false;
    }
    std::string items = Utf8(wide.c_str());
    std::string_view rest(items);
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view item = Trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);

        std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        std::string_view target = Trim(item.substr(0, equals));
        unsigned long long nth = 0;
        if (std::size_t hash = target.rfind('#'); hash != std::string_view::npos) {
            if (!ParseNumber(target.substr(hash + 1), 10, &nth) || nth == 0) {
                continue;
            }
            target = target.substr(0, hash);
        }
        unsigned long long value = 0;
        if (!ParseNumber(Trim(item.substr(equals + 1)), 0, &value) || value > 0xFFFFFFFFull || target != name ||
            (nth != 0 && nth != callNumber)) {
            continue;
        }
        *code = static_cast<HRESULT>(static_cast<std::uint32_t>(value));
        return true;
    }
    return false;
}

// Closes a handle on every way out.
struct FileHandle {
    HANDLE value = INVALID_HANDLE_VALUE;
    ~FileHandle()
    {
        if (value != INVALID_HANDLE_VALUE) {
            CloseHandle(value);
        }
    }
};

// One open-append-close per line. Writers of several processes serialise on a lock of
// a byte far beyond any content, so readers are never blocked by the lock.
void AppendLine(const std::string& line)
{
    std::wstring path = Environment(L"VELMORA_STANDIN_LOG");
    if (path.empty()) {
        return;
    }
    FileHandle file;
    for (int attempt = 0; attempt < 500; ++attempt) {
        file.value = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file.value != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) {
            break;
        }
        Sleep(2);
    }
    if (file.value == INVALID_HANDLE_VALUE) {
        return;
    }
    OVERLAPPED lockRegion{};
    lockRegion.Offset = 0xFFFFFFF0u;
    lockRegion.OffsetHigh = 0x7FFFFFFFu;
    bool locked = LockFileEx(file.value, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockRegion) != FALSE;
    LARGE_INTEGER end{};
    if (SetFilePointerEx(file.value, LARGE_INTEGER{}, &end, FILE_END)) {
        DWORD written = 0;
        WriteFile(file.value, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (locked) {
        UnlockFileEx(file.value, 0, 1, 0, &lockRegion);
    }
}

}  // namespace

std::string FormatGuid(const GUID& value)
{
    return Printed("{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(value.Data1),
                   value.Data2, value.Data3, value.Data4[0], value.Data4[1], value.Data4[2], value.Data4[3],
                   value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]);
}

void ResetCallCounts() noexcept
{
    std::lock_guard<std::mutex> lock(countMutex);
    callCounts.clear();
}

CallRecord::CallRecord(const char* callName, const char* method) noexcept
{
    try {
        name = callName;
        if (method != nullptr) {
            name += "::";
            name += method;
        }
        line = name;
        std::lock_guard<std::mutex> lock(countMutex);
        callNumber = ++callCounts[name];
    } catch (...) {
        broken = true;
    }
}

// Appends TAB key=value with the value that format() gives; a failure drops the line.
template <typename Format>
CallRecord& CallRecord::Add(const char* key, Format&& format) noexcept
{
    try {
        std::string value = format();
        line += '\t';
        line += key;
        line += '=';
        line += Escape(value);
    } catch (...) {
        broken = true;
    }
    return *this;
}

CallRecord& CallRecord::Text(const char* key, const char* utf8) noexcept
{
    return Add(key, [&] { return std::string(utf8 ? utf8 : "null"); });
}

CallRecord& CallRecord::Text(const char* key, const wchar_t* text) noexcept
{
    return Add(key, [&] { return text ? Utf8(text) : std::string("null"); });
}

CallRecord& CallRecord::Unsigned(const char* key, std::uint64_t value) noexcept
{
    return Add(key, [&] { return Printed("%llu", static_cast<unsigned long long>(value)); });
}

CallRecord& CallRecord::Signed(const char* key, std::int64_t value) noexcept
{
    return Add(key, [&] { return Printed("%lld", static_cast<long long>(value)); });
}

CallRecord& CallRecord::Double(const char* key, double value) noexcept
{
    return Add(key, [&] { return Printed("%.17g", value); });
}

CallRecord& CallRecord::Guid(const char* key, const GUID* value) noexcept
{
    return Add(key, [&] { return value ? FormatGuid(*value) : std::string("null"); });
}

CallRecord& CallRecord::Pointer(const char* key, const void* value) noexcept
{
    return Add(key, [&] { return std::string(value ? "nonnull" : "null"); });
}

CallRecord& CallRecord::Bytes(const char* key, const void* data, std::size_t size) noexcept
{
    return Add(key, [&] {
        if (data == nullptr) {
            return std::string("null");
        }
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(size * 2);
        for (auto bytes = static_cast<const unsigned char*>(data); size > 0; --size, ++bytes) {
            hex += digits[*bytes >> 4];
            hex += digits[*bytes & 0x0F];
        }
        return hex;
    });
}

HRESULT CallRecord::Injected() const noexcept
{
    HRESULT code = S_OK;
    try {
        FindInjection(name, callNumber, &code);
    } catch (...) {
    }
    return FAILED(code) ? code : S_OK;
}

HRESULT CallRecord::Finish(HRESULT hr) noexcept
{
    if (finished) {
        return hr;
    }
    try {
        // An injected success code (S_FALSE, ...) replaces the S_OK of a call that did its work.
        HRESULT code = S_OK;
        if (hr == S_OK && FindInjection(name, callNumber, &code) && SUCCEEDED(code)) {
            hr = code;
        }
        if (hr != S_OK) {
            Add("result", [&] { return Printed("0x%08lX", static_cast<unsigned long>(static_cast<std::uint32_t>(hr))); });
        }
    } catch (...) {
        broken = true;
    }
    Finish();
    return hr;
}

void CallRecord::Finish() noexcept
{
    if (finished) {
        return;
    }
    finished = true;
    if (broken) {
        return;
    }
    try {
        line += '\n';
        AppendLine(line);
    } catch (...) {
    }
}

}  // namespace standin
