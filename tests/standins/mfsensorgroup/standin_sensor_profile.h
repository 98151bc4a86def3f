// Test-only face of the stand-in's sensor profile objects: tests query a profile that the
// library built for it and read back what the library put into it. Never part of the
// platform; the library itself must not use it.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>

MIDL_INTERFACE("BFDF087A-D2D5-41CF-BE2E-747B9F6371CE")
IStandInSensorProfile : public IUnknown {
public:
    // Number of AddProfileFilter calls that the profile accepted.
    virtual HRESULT STDMETHODCALLTYPE GetFilterCount(UINT32* count) = 0;
    // The index-th accepted filter, in the order of the calls. length receives the number
    // of characters without the terminating zero. A buffer of fewer than length + 1
    // characters (or none) gives HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) with length
    // set; an index beyond the count gives MF_E_INVALIDINDEX.
    virtual HRESULT STDMETHODCALLTYPE GetFilter(UINT32 index, UINT32* streamId, LPWSTR buffer, UINT32 capacity,
                                                UINT32* length) = 0;
    // The constraint string given to MFCreateSensorProfile: S_FALSE with length 0 when it
    // was null, otherwise as GetFilter.
    virtual HRESULT STDMETHODCALLTYPE GetConstraints(LPWSTR buffer, UINT32 capacity, UINT32* length) = 0;
};
__CRT_UUID_DECL(IStandInSensorProfile, 0xBFDF087A, 0xD2D5, 0x41CF, 0xBE, 0x2E, 0x74, 0x7B, 0x9F, 0x63, 0x71, 0xCE)

// Reads one filter as a string; convenience for tests.
inline HRESULT StandInGetFilter(IStandInSensorProfile* profile, UINT32 index, UINT32* streamId, std::wstring* filter)
{
    UINT32 length = 0;
    HRESULT hr = profile->GetFilter(index, streamId, nullptr, 0, &length);
    if (hr != HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) {
        return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    std::wstring text(length + 1, L'\0');
    hr = profile->GetFilter(index, streamId, text.data(), length + 1, &length);
    if (SUCCEEDED(hr)) {
        text.resize(length);
        *filter = std::move(text);
    }
    return hr;
}
