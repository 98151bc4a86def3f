// Call recording and failure injection of the stand-in mfsensorgroup.dll.
//
// Every export and every method of the stand-in's objects builds one CallRecord: the
// call's name, then its arguments as key=value fields. Finish() appends the line to the
// file named by VELMORA_STANDIN_LOG (when set) and returns the call's HRESULT; a failing
// HRESULT adds a result= field. The environment is read at every call, so a test may
// change it between calls.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace standin {

class CallRecord {
public:
    // Counts the call (per name, per process) for "Name#N=" failure items.
    explicit CallRecord(const char* name) noexcept;
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    CallRecord& Text(const char* key, const char* utf8) noexcept;    // null gives "null"
    CallRecord& Text(const char* key, const wchar_t* text) noexcept;  // as UTF-8; null gives "null"
    CallRecord& Unsigned(const char* key, std::uint64_t value) noexcept;
    CallRecord& Signed(const char* key, std::int64_t value) noexcept;
    CallRecord& Double(const char* key, double value) noexcept;
    CallRecord& Guid(const char* key, const GUID* value) noexcept;  // null gives "null"
    CallRecord& Pointer(const char* key, const void* value) noexcept;  // "null" or "nonnull"
    CallRecord& Bytes(const char* key, const void* data, std::size_t size) noexcept;  // lowercase hex

    // The HRESULT that VELMORA_STANDIN_FAIL orders for this call, or S_OK.
    HRESULT Injected() const noexcept;

    // Writes the line (with result=0x%08X when hr is a failure) and returns hr.
    HRESULT Finish(HRESULT hr) noexcept;
    // Writes the line of a call that returns no HRESULT.
    void Finish() noexcept;

private:
    void Field(const char* key, const std::string& value) noexcept;

    std::string name;
    std::string line;
    std::uint32_t callNumber = 0;
    bool broken = false;  // a field could not be formatted: the line is dropped
    bool finished = false;
};

// Upper-case registry form with braces: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::string FormatGuid(const GUID& value);

// Zeroes every per-name call count (test-only export VelmoraStandInResetCallCounts).
void ResetCallCounts() noexcept;

}  // namespace standin
