#include "library/receiver/h264_decoder.h"

#include <cstring>
#include <new>
#include <utility>

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <oleauto.h>
#include <strmif.h>
#include <wmcodecdsp.h>

#include "library/diagnostics/log.h"
#include "library/receiver/gpu_decoding.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONGLONG kInputSampleDuration = 166666;  // 100 ns units: one sixtieth of a second

// Puts the NV12 picture of `sample` into `picture` when its buffer holds a whole one.
// Locking a buffer gives its contiguous form, rows tightly packed (a two-dimensional
// buffer unpacks its padded rows for the lock). Anything short leaves `picture` as is.
void CopySampleToPicture(const DecoderState& state, IMFSample* sample, DecodedPicture& picture) noexcept {
    if (state.width == 0 || state.height == 0) {
        return;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(state.width) * state.height * 3 / 2;
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer)) || !buffer) {
        return;
    }
    BYTE* data = nullptr;
    DWORD currentLength = 0;
    if (FAILED(buffer->Lock(&data, nullptr, &currentLength))) {
        return;
    }
    if (currentLength >= size) {
        if (picture.bytes.capacity() < size) {
            ++receiverAllocations.pictureVectors;
        }
        try {
            picture.bytes.assign(data, data + size);
            picture.width = state.width;
            picture.height = state.height;
        } catch (const std::bad_alloc&) {
        }
    }
    buffer->Unlock();
}

// A sample holding one new memory buffer of `size` bytes.
HRESULT CreateSampleWithBuffer(DWORD size, ComPtr<IMFSample>& sample, ComPtr<IMFMediaBuffer>& buffer) noexcept {
    HRESULT hr = MFCreateSample(&sample);
    if (FAILED(hr)) {
        return hr;
    }
    hr = MFCreateMemoryBuffer(size, &buffer);
    if (FAILED(hr)) {
        return hr;
    }
    return sample->AddBuffer(buffer.Get());
}

// Makes state.outputSample a sample with one memory buffer of `size` bytes: the one of the
// pictures before while the size stays, else a new one.
HRESULT PrepareOutputSample(DecoderState& state, DWORD size) noexcept {
    if (state.outputSample && state.outputBufferSize == size) {
        state.outputBuffer->SetCurrentLength(0);  // nothing of an earlier picture counts
        return S_OK;
    }
    state.outputSample.Reset();
    state.outputBuffer.Reset();
    state.outputBufferSize = 0;
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    const HRESULT hr = CreateSampleWithBuffer(size, sample, buffer);
    if (FAILED(hr)) {
        return hr;
    }
    ++receiverAllocations.decoderOutputBuffers;
    state.outputSample = sample;
    state.outputBuffer = buffer;
    state.outputBufferSize = size;
    return S_OK;
}

bool HoldsPicture(const DecodedPicture& picture) noexcept {
    return !picture.bytes.empty() || picture.texture;
}

// Chooses the first NV12 output type and sets it. `announce` writes the output line.
HRESULT SelectOutputType(DecoderState& state, bool announce) noexcept {
    ComPtr<IMFMediaType> chosen;
    for (DWORD index = 0;; ++index) {
        ComPtr<IMFMediaType> type;
        const HRESULT hr = state.transform->GetOutputAvailableType(0, index, &type);
        if (hr == MF_E_NO_MORE_TYPES) {
            return MF_E_INVALIDMEDIATYPE;
        }
        if (FAILED(hr)) {
            return hr;
        }
        GUID subtype = GUID_NULL;
        if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_NV12) {
            chosen = type;
            break;
        }
    }
    const HRESULT hr = state.transform->SetOutputType(0, chosen.Get(), 0);
    if (FAILED(hr)) {
        return hr;
    }
    UINT64 frameSize = 0;
    if (SUCCEEDED(chosen->GetUINT64(MF_MT_FRAME_SIZE, &frameSize))) {
        state.width = static_cast<std::uint32_t>(frameSize >> 32);
        state.height = static_cast<std::uint32_t>(frameSize & 0xFFFFFFFFu);
    }
    state.outputTypeSet = true;
    state.outputTypeProvisional = !announce;
    if (announce) {
        LogFormatted(160, L"H.264 decoder output: %ux%u NV12", state.width, state.height);
    }
    return S_OK;
}

HRESULT SubmitInput(DecoderState& state, IMFSample* sample, DecodedPicture& picture) noexcept {
    HRESULT hr = state.transform->ProcessInput(0, sample, 0);
    if (hr == MF_E_TRANSFORM_TYPE_NOT_SET && !state.outputTypeSet) {
        // Some transforms take no input before they have an output type. What they offer
        // now is a guess made without data, so it is set without being announced.
        if (SUCCEEDED(SelectOutputType(state, false))) {
            hr = state.transform->ProcessInput(0, sample, 0);
        }
    }
    if (hr == MF_E_NOTACCEPTING) {
        DrainOutput(state, picture);
        hr = state.transform->ProcessInput(0, sample, 0);
    }
    return hr;
}

}  // namespace

HRESULT CreateDecoder(DecoderState& state) noexcept {
    state.transform.Reset();
    state.outputTypeSet = false;
    state.outputTypeProvisional = false;

    HRESULT hr = CoCreateInstance(CLSID_CMSH264DecoderMFT, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_PPV_ARGS(&state.transform));
    if (FAILED(hr)) {
        return hr;
    }

    if (state.gpuRequested) {
        EnableD3D11Decoding(state);
    }

    ComPtr<ICodecAPI> codecApi;
    if (SUCCEEDED(state.transform->QueryInterface(IID_ICodecAPI,
                                                  reinterpret_cast<void**>(codecApi.GetAddressOf()))) &&
        codecApi) {
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BOOL;
        value.boolVal = VARIANT_TRUE;
        codecApi->SetValue(&CODECAPI_AVLowLatencyMode, &value);
        VariantClear(&value);
        LogMessage(L"H.264 decoder low latency mode requested.");
    }

    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(state.transform->GetAttributes(&attributes)) && attributes) {
        attributes->SetUINT32(MF_LOW_LATENCY, 1);
    }

    ComPtr<IMFMediaType> inputType;
    hr = MFCreateMediaType(&inputType);
    if (SUCCEEDED(hr)) {
        hr = inputType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    }
    if (SUCCEEDED(hr)) {
        hr = inputType->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    }
    if (SUCCEEDED(hr)) {
        hr = state.transform->SetInputType(0, inputType.Get(), 0);
    }
    if (FAILED(hr)) {
        return hr;
    }

    state.transform->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0);
    state.transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    state.transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    return S_OK;
}

HRESULT EnsureOutputType(DecoderState& state) noexcept {
    if (state.outputTypeSet) {
        return S_OK;
    }
    if (!state.transform) {
        return MF_E_NOT_INITIALIZED;
    }
    return SelectOutputType(state, true);
}

HRESULT DecodeFrame(DecoderState& state, const std::uint8_t* data, std::uint32_t length,
                    DecodedPicture& picture) noexcept {
    if (!state.transform || !data || length == 0) {
        return E_INVALIDARG;
    }

    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = CreateSampleWithBuffer(length, sample, buffer);
    if (FAILED(hr)) {
        return hr;
    }
    BYTE* target = nullptr;
    hr = buffer->Lock(&target, nullptr, nullptr);
    if (FAILED(hr)) {
        return hr;
    }
    std::memcpy(target, data, length);
    buffer->Unlock();
    buffer->SetCurrentLength(length);
    sample->SetSampleTime(MFGetSystemTime());
    sample->SetSampleDuration(kInputSampleDuration);

    hr = SubmitInput(state, sample.Get(), picture);
    if (FAILED(hr)) {
        return hr;
    }
    return DrainOutput(state, picture);
}

HRESULT DrainOutput(DecoderState& state, DecodedPicture& picture) noexcept {
    if (!state.transform) {
        return MF_E_NOT_INITIALIZED;
    }
    HRESULT hr = EnsureOutputType(state);
    if (hr == MF_E_TRANSFORM_TYPE_NOT_SET || hr == MF_E_INVALIDMEDIATYPE) {
        return S_FALSE;
    }
    if (FAILED(hr)) {
        return hr;
    }

    MFT_OUTPUT_STREAM_INFO info{};
    hr = state.transform->GetOutputStreamInfo(0, &info);
    if (FAILED(hr)) {
        return hr;
    }

    for (;;) {
        const bool providesSamples =
            (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;

        IMFSample* ownSample = nullptr;
        if (!(state.gpuActive && providesSamples)) {
            const std::uint64_t fallbackSize = static_cast<std::uint64_t>(state.width) * state.height * 3 / 2;
            hr = PrepareOutputSample(state, info.cbSize != 0 ? info.cbSize : static_cast<DWORD>(fallbackSize));
            if (FAILED(hr)) {
                return hr;
            }
            ownSample = state.outputSample.Get();
        }

        MFT_OUTPUT_DATA_BUFFER output{};
        output.dwStreamID = 0;
        output.pSample = ownSample;
        output.dwStatus = 0;
        output.pEvents = nullptr;
        DWORD status = 0;
        hr = state.transform->ProcessOutput(0, 1, &output, &status);
        if (output.pEvents) {
            output.pEvents->Release();
            output.pEvents = nullptr;
        }
        // A sample the transform allocated itself is ours to release.
        ComPtr<IMFSample> returnedSample;
        if (output.pSample && output.pSample != ownSample) {
            *returnedSample.GetAddressOf() = output.pSample;  // takes over its reference
        }

        if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) {
            return HoldsPicture(picture) ? S_OK : S_FALSE;
        }
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            state.outputTypeSet = false;
            hr = EnsureOutputType(state);
            if (FAILED(hr)) {
                return hr;
            }
        } else if (FAILED(hr)) {
            return hr;
        } else {
            IMFSample* decoded = ownSample ? ownSample : returnedSample.Get();
            if (!decoded) {
                return MF_E_TRANSFORM_NEED_MORE_INPUT;
            }
            if (state.outputTypeProvisional) {
                // The guessed type turned out to be the real one.
                state.outputTypeProvisional = false;
                LogFormatted(160, L"H.264 decoder output: %ux%u NV12", state.width, state.height);
            }
            bool copied = false;
            if (state.gpuActive) {
                DecodedPicture gpuPicture;
                // The read-back goes into the picture's own vector when it holds nothing yet.
                const bool lent = picture.bytes.empty();
                if (lent) {
                    gpuPicture.bytes.swap(picture.bytes);
                }
                const std::size_t capacity = gpuPicture.bytes.capacity();
                const HRESULT copiedHr = CopyToCameraTexture(state, decoded, gpuPicture);
                if (gpuPicture.bytes.capacity() > capacity) {
                    ++receiverAllocations.pictureVectors;
                }
                if (SUCCEEDED(copiedHr)) {
                    picture.bytes = std::move(gpuPicture.bytes);
                    picture.width = gpuPicture.width;
                    picture.height = gpuPicture.height;
                    picture.texture = std::move(gpuPicture.texture);
                    picture.textureSubresource = gpuPicture.textureSubresource;
                    picture.textureWidth = gpuPicture.textureWidth;
                    picture.textureHeight = gpuPicture.textureHeight;
                    copied = true;
                } else {
                    if (lent) {
                        gpuPicture.bytes.clear();
                        picture.bytes.swap(gpuPicture.bytes);
                    }
                    LogSampleFallback(state);
                    // A camera texture of an earlier picture of this drain is not this one.
                    picture.texture = nullptr;
                    picture.textureSubresource = 0;
                    picture.textureWidth = 0;
                    picture.textureHeight = 0;
                }
            }
            if (!copied) {
                CopySampleToPicture(state, decoded, picture);
            }
        }

        returnedSample.Reset();
        hr = state.transform->GetOutputStreamInfo(0, &info);
        if (FAILED(hr)) {
            return hr;
        }
    }
}

void ReleaseDecoderState(DecoderState& state) noexcept {
    LogSampleFallbackTally(state);
    state.outputSample.Reset();
    state.outputBuffer.Reset();
    state.outputBufferSize = 0;
    state.stagingTexture.Reset();
    for (auto& texture : state.cameraTextures) {
        texture.Reset();
    }
    state.cameraTextures.clear();
    state.deviceManager.Reset();
    state.deviceContext.Reset();
    state.device.Reset();
    state.transform.Reset();

    state.nextCameraTexture = 0;
    state.resetToken = 0;
    state.gpuActive = false;
    state.outputTypeSet = false;
    state.outputTypeProvisional = false;
    state.width = 640;
    state.height = 360;
}
