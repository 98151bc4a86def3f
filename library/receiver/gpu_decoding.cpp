#include "library/receiver/gpu_decoding.h"

#include <iterator>
#include <new>

#include <d3d10.h>
#include <mfapi.h>
#include <mferror.h>

#include "library/diagnostics/decode_mode.h"
#include "library/diagnostics/log.h"
#include "library/receiver/nv12_packing.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr D3D_FEATURE_LEVEL kFeatureLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                                D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};

void ReleaseTextures(DecoderState& state) noexcept {
    state.stagingTexture.Reset();
    for (auto& texture : state.cameraTextures) {
        texture.Reset();
    }
    state.cameraTextures.clear();
    state.nextCameraTexture = 0;
}

// Copies between textures are only defined within one device.
bool MadeByStateDevice(const DecoderState& state, ID3D11Texture2D* texture) noexcept {
    ComPtr<ID3D11Device> owner;
    texture->GetDevice(&owner);
    return owner && owner.Get() == state.device.Get();
}

// A decoded picture is mip level 0 of one slice: true when `subresource` names one.
bool NamesSlice(const D3D11_TEXTURE2D_DESC& description, UINT subresource) noexcept {
    const UINT mipLevels = description.MipLevels != 0 ? description.MipLevels : 1;
    return subresource % mipLevels == 0 && subresource / mipLevels < description.ArraySize;
}

bool SameSizeAndFormat(ID3D11Texture2D* texture, const D3D11_TEXTURE2D_DESC& wanted) noexcept {
    D3D11_TEXTURE2D_DESC held{};
    texture->GetDesc(&held);
    return held.Width == wanted.Width && held.Height == wanted.Height && held.Format == wanted.Format;
}

}  // namespace

namespace {

// Creates the device and its manager. Returns nullptr, or the line that says which step
// failed (everything then released).
const wchar_t* SetUpDevice(DecoderDevice& kept) noexcept {
    ++kept.setUps;
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, kDecoderDeviceFlags, kFeatureLevels,
                                   static_cast<UINT>(std::size(kFeatureLevels)), D3D11_SDK_VERSION,
                                   kept.device.ReleaseAndGetAddressOf(), &kept.featureLevel, nullptr);
    if (FAILED(hr) || !kept.device) {
        kept.device.Reset();
        return L"D3D11 hardware decoder device creation failed; using decoder default path.";
    }
    kept.device->GetImmediateContext(kept.deviceContext.ReleaseAndGetAddressOf());

    // The decoder works the device from its own threads through the manager, and sample
    // production hands camera textures to the pipeline's threads: the immediate context
    // must take one caller at a time.
    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(kept.device.As(&multithread)) && multithread) {
        multithread->SetMultithreadProtected(TRUE);
    }

    UINT token = 0;
    const wchar_t* failure = nullptr;
    hr = MFCreateDXGIDeviceManager(&token, kept.deviceManager.ReleaseAndGetAddressOf());
    if (FAILED(hr) || !kept.deviceManager) {
        failure = L"MFCreateDXGIDeviceManager failed; using decoder default path.";
    } else {
        kept.resetToken = token;
        if (FAILED(kept.deviceManager->ResetDevice(kept.device.Get(), kept.resetToken))) {
            failure = L"DXGI device manager ResetDevice failed; using decoder default path.";
        }
    }
    if (failure) {
        kept.deviceManager.Reset();
        kept.deviceContext.Reset();
        kept.device.Reset();
    }
    return failure;
}

// Makes sure `kept` holds a working device. Returns nullptr, or the line of the last failed
// set-up while its retry interval runs.
const wchar_t* PrepareDevice(DecoderDevice& kept, std::int64_t nowNs) noexcept {
    if (kept.device) {
        const HRESULT removed = kept.device->GetDeviceRemovedReason();
        if (removed == S_OK) {
            return nullptr;
        }
        LogFormatted(128, L"D3D11 decoder device lost: 0x%08X; creating a new one.", static_cast<unsigned>(removed));
        kept.deviceManager.Reset();
        kept.deviceContext.Reset();
        kept.device.Reset();
    } else if (kept.failureLine && nowNs - kept.failedAtNs < kDeviceRetryIntervalNs) {
        return kept.failureLine;
    }
    kept.failureLine = SetUpDevice(kept);
    kept.failedAtNs = nowNs;
    return kept.failureLine;
}

}  // namespace

void EnableD3D11Decoding(DecoderState& state) noexcept {
    // Textures of an earlier connection are not this decoder's.
    ReleaseTextures(state);
    state.gpuActive = false;
    state.deviceManager.Reset();
    state.deviceContext.Reset();
    state.device.Reset();

    DecoderDevice ownDevice;  // released on return unless the state takes it
    DecoderDevice& kept = state.keptDevice ? *state.keptDevice : ownDevice;
    const wchar_t* failure = PrepareDevice(kept, state.clock ? state.clock() : SteadyNowNs());
    if (failure) {
        LogMessage(failure);
        state.gpuRequested = false;
        return;
    }
    const HRESULT hr = state.transform ? state.transform->ProcessMessage(
                                             MFT_MESSAGE_SET_D3D_MANAGER,
                                             reinterpret_cast<ULONG_PTR>(kept.deviceManager.Get()))
                                       : MF_E_NOT_INITIALIZED;
    if (FAILED(hr)) {
        // This transform's refusal; the device stays kept for the next one.
        LogMessage(L"H.264 decoder rejected D3D manager; using decoder default path.");
        state.gpuRequested = false;
        return;
    }
    state.device = kept.device;
    state.deviceContext = kept.deviceContext;
    state.deviceManager = kept.deviceManager;
    state.resetToken = kept.resetToken;
    LogFormatted(128, L"H.264 decoder D3D11/DXVA path requested. featureLevel=0x%X",
                 static_cast<unsigned>(kept.featureLevel));
    state.gpuActive = true;
}

HRESULT CopyToCameraTexture(DecoderState& state, IMFSample* sample, DecodedPicture& picture) noexcept {
    if (!sample || !state.device || !state.deviceContext) {
        return E_INVALIDARG;
    }
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = sample->GetBufferByIndex(0, &buffer);
    if (FAILED(hr)) {
        return hr;
    }
    ComPtr<IMFDXGIBuffer> dxgiBuffer;
    hr = buffer.As(&dxgiBuffer);  // a memory buffer has none
    if (FAILED(hr)) {
        return hr;
    }
    ComPtr<ID3D11Texture2D> texture;
    hr = dxgiBuffer->GetResource(IID_PPV_ARGS(&texture));
    if (FAILED(hr)) {
        return hr;
    }
    UINT subresource = 0;
    hr = dxgiBuffer->GetSubresourceIndex(&subresource);
    if (FAILED(hr)) {
        return hr;
    }

    hr = ReadBackTexture(state, texture.Get(), subresource, picture);
    if (FAILED(hr)) {
        return hr;
    }
    if (!DecodeModeRequestsDirect()) {
        return S_OK;
    }
    return CopyIntoCameraTexture(state, texture.Get(), subresource, picture);
}

HRESULT ReadBackTexture(DecoderState& state, ID3D11Texture2D* texture, UINT subresource,
                        DecodedPicture& picture) noexcept {
    if (!texture || !state.device || !state.deviceContext || !MadeByStateDevice(state, texture)) {
        return E_INVALIDARG;
    }
    D3D11_TEXTURE2D_DESC source{};
    texture->GetDesc(&source);
    // The packing below knows the NV12 layout only.
    if (source.Width == 0 || source.Height == 0 || source.Format != DXGI_FORMAT_NV12) {
        return MF_E_INVALID_FORMAT;
    }
    if (!NamesSlice(source, subresource)) {
        return E_INVALIDARG;
    }

    D3D11_TEXTURE2D_DESC staging = source;
    staging.MipLevels = 1;
    staging.ArraySize = 1;
    staging.Usage = D3D11_USAGE_STAGING;
    staging.BindFlags = 0;
    staging.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    staging.MiscFlags = 0;
    if (state.stagingTexture && !SameSizeAndFormat(state.stagingTexture.Get(), staging)) {
        state.stagingTexture.Reset();
    }
    if (!state.stagingTexture) {
        const HRESULT hr =
            state.device->CreateTexture2D(&staging, nullptr, state.stagingTexture.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            state.stagingTexture.Reset();
            return hr;
        }
    }

    // Only the slice the decoder named: the picture is there, not in subresource 0.
    state.deviceContext->CopySubresourceRegion(state.stagingTexture.Get(), 0, 0, 0, 0, texture, subresource, nullptr);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    HRESULT hr = state.deviceContext->Map(state.stagingTexture.Get(), 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(hr)) {
        return hr;
    }
    const std::uint32_t width = source.Width;
    const std::uint32_t height = source.Height;
    hr = S_OK;
    if (!mapped.pData || mapped.RowPitch < width) {
        hr = E_UNEXPECTED;
    } else {
        try {
            picture.bytes.resize(static_cast<std::size_t>(Nv12ByteCount(width, height)));
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    if (SUCCEEDED(hr)) {
        PackPitchedNv12(static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch, width, height,
                        picture.bytes.data());
    }
    state.deviceContext->Unmap(state.stagingTexture.Get(), 0);
    if (FAILED(hr)) {
        return hr;
    }
    picture.width = width;
    picture.height = height;
    return S_OK;
}

HRESULT CopyIntoCameraTexture(DecoderState& state, ID3D11Texture2D* texture, UINT subresource,
                              DecodedPicture& picture) noexcept {
    if (!texture || !state.device || !state.deviceContext || !MadeByStateDevice(state, texture)) {
        return E_INVALIDARG;
    }
    D3D11_TEXTURE2D_DESC description{};
    texture->GetDesc(&description);
    if (!NamesSlice(description, subresource)) {
        return E_INVALIDARG;
    }
    description.MipLevels = 1;
    description.ArraySize = 1;
    description.Usage = D3D11_USAGE_DEFAULT;
    description.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    description.CPUAccessFlags = 0;
    description.MiscFlags = 0;

    if (state.cameraTextures.size() != kCameraTextureCount) {
        state.cameraTextures.clear();
        try {
            state.cameraTextures.resize(kCameraTextureCount);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        state.nextCameraTexture = 0;
    }
    ComPtr<ID3D11Texture2D>& slot = state.cameraTextures[state.nextCameraTexture % kCameraTextureCount];
    if (slot && !SameSizeAndFormat(slot.Get(), description)) {
        slot.Reset();
    }
    if (!slot) {
        const HRESULT hr = state.device->CreateTexture2D(&description, nullptr, slot.ReleaseAndGetAddressOf());
        if (FAILED(hr)) {
            slot.Reset();
            return hr;
        }
        LogFormatted(160, L"Created GPU camera texture: %ux%u format=%u", description.Width, description.Height,
                     static_cast<unsigned>(description.Format));
    }

    const D3D11_BOX box{0, 0, 0, description.Width, description.Height, 1};
    state.deviceContext->CopySubresourceRegion(slot.Get(), 0, 0, 0, 0, texture, subresource, &box);
    state.deviceContext->Flush();

    picture.texture = slot;
    picture.textureSubresource = 0;
    picture.textureWidth = description.Width;
    picture.textureHeight = description.Height;
    state.nextCameraTexture = (state.nextCameraTexture + 1) % kCameraTextureCount;
    return S_OK;
}

namespace {

void WriteFallbackLine(const SampleFallbackThrottle::Line& line) noexcept {
    if (line.kind == SampleFallbackThrottle::Line::First) {
        LogMessage(L"GPU decoded sample was not a DXGI texture; falling back to CPU copy for this sample.");
    } else if (line.kind == SampleFallbackThrottle::Line::Summary) {
        LogFormatted(192,
                     L"GPU decoded samples were not DXGI textures; %llu samples fell back to CPU copy in the "
                     L"last %llu seconds.",
                     static_cast<unsigned long long>(line.count), static_cast<unsigned long long>(line.seconds));
    }
}

}  // namespace

void LogSampleFallback(DecoderState& state) noexcept {
    WriteFallbackLine(state.sampleFallbacks.Record(state.clock ? state.clock() : SteadyNowNs()));
}

void LogSampleFallbackTally(DecoderState& state) noexcept {
    WriteFallbackLine(state.sampleFallbacks.Finish(state.clock ? state.clock() : SteadyNowNs()));
}
