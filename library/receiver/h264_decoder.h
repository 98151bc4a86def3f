// The H.264 decoder of one connection: the system's H.264 decoder transform, fed one
// payload at a time, giving NV12 pictures. Processor mode copies every picture through
// memory; graphics mode (gpu_decoding.h) hands the transform a Direct3D 11 device.
#pragma once

#include <cstdint>
#include <vector>

#include <windows.h>
#include <d3d11.h>
#include <mfobjects.h>
#include <mftransform.h>
#include <wrl/client.h>

#include "library/receiver/decoded_picture.h"
#include "library/receiver/sample_fallback_throttle.h"

struct DecoderDevice;  // gpu_decoding.h

// One per connection, used only by the receiver thread. Released by ReleaseDecoderState.
struct DecoderState {
    Microsoft::WRL::ComPtr<IMFTransform> transform;
    // The sample (one memory buffer) the transform writes its pictures into, kept while
    // the size it asks for stays the same.
    Microsoft::WRL::ComPtr<IMFSample> outputSample;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> outputBuffer;
    DWORD outputBufferSize = 0;
    // Graphics mode only (gpu_decoding.h).
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> deviceContext;
    Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> deviceManager;
    std::vector<Microsoft::WRL::ComPtr<ID3D11Texture2D>> cameraTextures;  // three slots once used
    Microsoft::WRL::ComPtr<ID3D11Texture2D> stagingTexture;
    std::uint64_t nextCameraTexture = 0;
    std::uint32_t resetToken = 0;
    bool gpuRequested = false;
    bool gpuActive = false;
    // The device kept from one connection to the next (the receiver's); without one, each
    // CreateDecoder makes a device of its own.
    DecoderDevice* keptDevice = nullptr;
    // Graphics samples that fell back to the memory copy, for the log; the clock is the
    // steady clock in nanoseconds (tests pass their own).
    SampleFallbackThrottle sampleFallbacks;
    SteadyClockFunction clock = &SteadyNowNs;

    bool outputTypeSet = false;
    // The output type was set before the transform had seen any data (some transforms
    // refuse input until one is set); its size is announced with the first picture or
    // replaced at the first stream change.
    bool outputTypeProvisional = false;
    std::uint32_t width = 640;
    std::uint32_t height = 360;
};

// Creates the transform, requests low latency, sets the H.264 input type and starts
// streaming. The output type is chosen later, once the transform can name one.
HRESULT CreateDecoder(DecoderState& state) noexcept;

// Chooses the first NV12 output type the transform offers. MF_E_TRANSFORM_TYPE_NOT_SET
// while it has not yet parsed the parameter sets; MF_E_INVALIDMEDIATYPE when none is NV12.
HRESULT EnsureOutputType(DecoderState& state) noexcept;

// Submits one payload and drains what comes out. S_OK: `picture` holds a decoded
// picture; S_FALSE: none yet; a failure: the frame is lost, the decoder goes on.
HRESULT DecodeFrame(DecoderState& state, const std::uint8_t* data, std::uint32_t length,
                    DecodedPicture& picture) noexcept;

// Takes every pending picture out of the transform; the last one wins. Same results.
HRESULT DrainOutput(DecoderState& state, DecodedPicture& picture) noexcept;

// Logs the graphics fallbacks not yet written, releases every object of the state (reverse
// order of acquisition) and resets it for a new CreateDecoder; gpuRequested, keptDevice and
// clock are kept.
void ReleaseDecoderState(DecoderState& state) noexcept;
