// Call recording and failure injection of the stand-in mfsensorgroup.dll.
//
// Every export and every method of the stand-in's objects builds one CallRecord: the
// call's name, then its arguments as key=value fields. Finish() appends the line to the
// file named by VELMORA_STANDIN_LOG (when set) and returns the call's HRESULT; a failing
// HRESULT adds a result= field. The environment is read at every call, so a test may
// change it between calls.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace standin {

class CallRecord {
public:
    // Counts the call (per name, per process) for "Name#N=" failure items. With a method,
    // the name is "<name>::<method>".
    explicit CallRecord(const char* name, const char* method = nullptr) noexcept;
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
    template <typename Format>
    CallRecord& Add(const char* key, Format&& format) noexcept;

    std::string name;
    std::string line;
    std::uint32_t callNumber = 0;
    bool broken = false;  // a field could not be formatted: the line is dropped
    bool finished = false;
};

// Runs the call's work unless a failure was injected; records the outcome.
template <typename Work>
HRESULT Perform(CallRecord& call, Work&& work) noexcept
{
    if (HRESULT hr = call.Injected(); FAILED(hr)) {
        return call.Finish(hr);
    }
    return call.Finish(work());
}

// One recorded method of a class with kName: Fields adds the recorded arguments, the rest is the work (skipped
// when a failure is injected).
#define STANDIN_METHOD(Method, Parameters, Fields, ...)                  \
    HRESULT STDMETHODCALLTYPE Method Parameters override                 \
    {                                                                    \
        ::standin::CallRecord call(kName, #Method);                      \
        (void)call Fields;                                               \
        return ::standin::Perform(call, [&]() -> HRESULT { __VA_ARGS__ }); \
    }

// Recorded IUnknown of a stand-in object. Self names its log prefix in kName and is deleted
// at the last Release; QueryInterface answers IUnknown, Main, Parent (a base of Main) and
// the further Faces.
template <typename Self, typename Main, typename Parent, typename... Faces>
class Recorded : public Main, public Faces... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        CallRecord call(Self::kName, "QueryInterface");
        call.Guid("iid", &iid);
        return Perform(call, [&]() -> HRESULT {
            if (object == nullptr) {
                return E_POINTER;
            }
            *object = nullptr;
            if (iid == __uuidof(IUnknown) || iid == __uuidof(Main) || iid == __uuidof(Parent)) {
                *object = static_cast<Main*>(this);
            } else if (!((iid == __uuidof(Faces) && (*object = static_cast<Faces*>(this))) || ...)) {
                return E_NOINTERFACE;
            }
            refCount.fetch_add(1);
            return S_OK;
        });
    }
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        ULONG count = refCount.fetch_add(1) + 1;
        CallRecord(Self::kName, "AddRef").Unsigned("count", count).Finish();
        return count;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = refCount.fetch_sub(1) - 1;
        CallRecord(Self::kName, "Release").Unsigned("count", count).Finish();
        if (count == 0) {
            delete static_cast<Self*>(this);
        }
        return count;
    }

    // References for the stand-in's own bookkeeping: not recorded, so the log shows only
    // the calls that the caller made.
    void SilentAddRef() { refCount.fetch_add(1); }
    void SilentRelease()
    {
        if (refCount.fetch_sub(1) == 1) {
            delete static_cast<Self*>(this);
        }
    }

private:
    std::atomic<ULONG> refCount{1};
};

// Upper-case registry form with braces: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::string FormatGuid(const GUID& value);

// Zeroes every per-name call count (test-only export VelmoraStandInResetCallCounts).
void ResetCallCounts() noexcept;

}  // namespace standin
