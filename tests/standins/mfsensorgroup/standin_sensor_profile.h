// Test-only: lets tests read back what the library put into a stand-in sensor profile. The library must not use it.
#pragma once

#include <windows.h>

#include "common/sdk_additions.h"

MIDL_INTERFACE("BFDF087A-D2D5-41CF-BE2E-747B9F6371CE")
IStandInSensorProfile : public IMFSensorProfile {
public:
    // The index-th accepted AddProfileFilter call, alive as long as the profile; null past the end.
    virtual const wchar_t* STDMETHODCALLTYPE GetFilter(UINT32 index, UINT32* streamId) = 0;
};
__CRT_UUID_DECL(IStandInSensorProfile, 0xBFDF087A, 0xD2D5, 0x41CF, 0xBE, 0x2E, 0x74, 0x7B, 0x9F, 0x63, 0x71, 0xCE)
