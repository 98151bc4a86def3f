// Graphics decoding is not available in this build: every connection that asks for it
// decodes in processor mode, and no decoded sample is taken as a texture.
#include "library/receiver/gpu_decoding.h"

#include "library/diagnostics/log.h"

void EnableD3D11Decoding(DecoderState& state) noexcept {
    LogMessage(L"D3D11 hardware decoder device creation failed; using decoder default path.");
    state.gpuRequested = false;
}

HRESULT CopyToCameraTexture(DecoderState&, IMFSample*, DecodedPicture&) noexcept {
    return E_NOTIMPL;
}
