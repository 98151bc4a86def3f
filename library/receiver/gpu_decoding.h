// Graphics mode of the H.264 decoder: the transform decodes into Direct3D 11 textures,
// every decoded texture is read back into memory, and in direct mode it is also copied into
// one of three camera textures that sample production can hand out as a graphics surface.
#pragma once

#include <cstddef>
#include <cstdint>

#include <d3d11.h>
#include <mfobjects.h>

#include "library/receiver/decoded_picture.h"
#include "library/receiver/h264_decoder.h"

// D3D11_CREATE_DEVICE_VIDEO_SUPPORT | D3D11_CREATE_DEVICE_BGRA_SUPPORT
inline constexpr UINT kDecoderDeviceFlags = 0x820;
inline constexpr std::size_t kCameraTextureCount = 3;
// No new device set-up for this long after a failed one: those connections decode in
// processor mode.
inline constexpr std::int64_t kDeviceRetryIntervalNs = 10'000'000'000;

// The Direct3D 11 device and DXGI device manager of graphics mode, kept across connections
// and re-created only when the device is removed or reset: without a sender the receiver
// tries a connection every 50 ms, and a device per attempt would cost far more than the
// attempt itself.
// Receiver thread only.
struct DecoderDevice {
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> deviceContext;
    Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> deviceManager;  // released first
    std::uint32_t resetToken = 0;
    D3D_FEATURE_LEVEL featureLevel{};
    // The last set-up failed at failedAtNs (steady clock); its line explains the processor
    // mode of every connection until the next try.
    const wchar_t* failureLine = nullptr;
    std::int64_t failedAtNs = 0;
    std::uint64_t setUps = 0;  // device creations tried
};

// Gives the transform a Direct3D 11 device through a DXGI device manager: the kept device
// when there is one, set up anew when it was removed or reset, and after a failed set-up no
// sooner than kDeviceRetryIntervalNs later. Leaves either gpuActive set or gpuRequested
// cleared (the connection then decodes in processor mode).
void EnableD3D11Decoding(DecoderState& state) noexcept;

// Reads the decoded texture of `sample` back into the picture's bytes and, with "direct"
// in the setting, copies it into the next camera texture. A memory sample, or any failure
// on the way, is a failure: the caller then copies the sample through memory.
HRESULT CopyToCameraTexture(DecoderState& state, IMFSample* sample, DecodedPicture& picture) noexcept;

// Reads subresource `subresource` of an NV12 texture into the picture's bytes (tightly
// packed) and sets its width and height. Only that subresource is copied, into a one-slice
// staging texture that is kept while size and format stay: decoders hand out slices of
// texture arrays, often a dozen slices or more.
HRESULT ReadBackTexture(DecoderState& state, ID3D11Texture2D* texture, UINT subresource,
                        DecodedPicture& picture) noexcept;

// Direct mode: copies subresource `subresource` of `texture` into the camera texture of slot
// nextCameraTexture (created, or re-created when size or format changed) and makes it the
// picture's texture; the rotation then moves on to the next slot.
HRESULT CopyIntoCameraTexture(DecoderState& state, ID3D11Texture2D* texture, UINT subresource,
                              DecodedPicture& picture) noexcept;

// A graphics-mode sample fell back to the memory copy: logs it within the throttle's limits.
void LogSampleFallback(DecoderState& state) noexcept;

// The connection ends: logs the fallbacks that the throttle has not written yet.
void LogSampleFallbackTally(DecoderState& state) noexcept;
