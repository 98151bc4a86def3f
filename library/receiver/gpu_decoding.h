// Graphics mode of the H.264 decoder: the transform decodes into Direct3D 11 textures,
// every decoded texture is read back into memory, and in direct mode it is also copied into
// one of three camera textures that sample production can hand out as a graphics surface.
#pragma once

#include <cstddef>

#include <d3d11.h>
#include <mfobjects.h>

#include "library/receiver/decoded_picture.h"
#include "library/receiver/h264_decoder.h"

// D3D11_CREATE_DEVICE_VIDEO_SUPPORT | D3D11_CREATE_DEVICE_BGRA_SUPPORT
inline constexpr UINT kDecoderDeviceFlags = 0x820;
inline constexpr std::size_t kCameraTextureCount = 3;

// Gives the transform a Direct3D 11 device through a DXGI device manager. Leaves either
// gpuActive set or gpuRequested cleared (the connection then decodes in processor mode).
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
