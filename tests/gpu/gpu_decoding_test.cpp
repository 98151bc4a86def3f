// Graphics decoding with a Direct3D 11 device (Wine under xvfb): the decoder given the
// device, read-back and camera textures against real textures, and what a connection
// leaves behind. Wine cannot copy NV12 contents between textures (its blitter fails, and a
// map after such a copy of 512x288 or more never returns), so NV12 textures stay unwritten
// here and only BGRA camera copies are compared byte for byte.
#include <gtest/gtest.h>

#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "library/receiver/gpu_decoding.h"
#include "tests/decoder/decoder_test_support.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
std::int64_t fakeNowNs = 1000 * kSecond;
std::int64_t FakeClock() noexcept { return fakeNowNs; }

// The setting file for the length of a scope.
struct DecodeMode {
    explicit DecodeMode(const char* text) {
        CreateDirectoryA("C:/ProgramData/Velmora", nullptr);
        std::ofstream("C:/ProgramData/Velmora/decode_mode.txt") << text;
    }
    ~DecodeMode() { std::remove("C:/ProgramData/Velmora/decode_mode.txt"); }
};

void AddDevice(DecoderState& state) {
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, kDecoderDeviceFlags, nullptr, 0,
                                D3D11_SDK_VERSION, &state.device, nullptr, &state.deviceContext), S_OK);
}

// BGRA slices are filled with bytes that tell slice, row and column.
std::uint8_t Byte(UINT slice, UINT y, UINT x) { return std::uint8_t(slice * 71 + y * 5 + x * 3); }

ComPtr<ID3D11Texture2D> Texture(ID3D11Device* device, UINT w, UINT h, DXGI_FORMAT format, UINT slices, UINT bind) {
    D3D11_TEXTURE2D_DESC desc{w, h, 1, slices, format, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
    std::vector<std::vector<std::uint8_t>> bytes(slices, std::vector<std::uint8_t>(w * h * 4));
    std::vector<D3D11_SUBRESOURCE_DATA> data(slices);
    for (UINT s = 0; s < slices; ++s) {
        for (UINT i = 0; i < w * h * 4; ++i) bytes[s][i] = Byte(s, i / (w * 4), i % (w * 4));
        data[s] = {bytes[s].data(), w * 4, 0};
    }
    ComPtr<ID3D11Texture2D> texture;
    const D3D11_SUBRESOURCE_DATA* initial = format == DXGI_FORMAT_B8G8R8A8_UNORM ? data.data() : nullptr;
    EXPECT_EQ(device->CreateTexture2D(&desc, initial, &texture), S_OK);
    return texture;
}

// True when the BGRA texture holds slice `slice` of Texture's bytes.
bool HoldsSlice(DecoderState& state, ID3D11Texture2D* texture, UINT slice) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    desc = {desc.Width, desc.Height, 1, 1, desc.Format, {1, 0}, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0};
    ComPtr<ID3D11Texture2D> staging;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(state.device->CreateTexture2D(&desc, nullptr, &staging))) return false;
    state.deviceContext->CopyResource(staging.Get(), texture);
    if (FAILED(state.deviceContext->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return false;
    bool same = true;
    const auto* bytes = static_cast<const std::uint8_t*>(mapped.pData);
    for (UINT y = 0; y < desc.Height; ++y) {
        for (UINT x = 0; x < desc.Width * 4; ++x) {
            same &= bytes[y * mapped.RowPitch + x] == Byte(slice, y, x);
        }
    }
    state.deviceContext->Unmap(staging.Get(), 0);
    return same;
}

// The count of the last "GPU decoded samples were not DXGI textures; N samples ..." line with `ending`.
unsigned long long LastTally(const std::string& ending) {
    const std::string log = ReadFile("C:/ProgramData/Velmora/source.log");
    const auto end = log.rfind(ending), start = log.rfind("textures; ", end);
    return end == std::string::npos || start == std::string::npos ? 0 : std::strtoull(&log[start + 10], nullptr, 10);
}

}  // namespace

TEST(GpuDecoding, DecoderTakesTheDeviceAndMemorySamplesFallBackQuietly) {
    DecodeMode mode("gpu direct");
    Stream stream = Load("s640x360", 640, 360);
    const std::string level = "H.264 decoder D3D11/DXVA path requested. featureLevel=0xB100",
                      first = "GPU decoded sample was not a DXGI texture; falling back to CPU copy for this sample.",
                      minute = "fell back to CPU copy in the last 61 seconds.", rest = "in the last 5 seconds.";
    const std::size_t levelLines = LogCount(level), firstLines = LogCount(first), minuteLines = LogCount(minute),
                      restLines = LogCount(rest), created = LogCount("Created GPU camera texture");
    DecoderState state;
    state.gpuRequested = true;
    state.clock = &FakeClock;
    ASSERT_EQ(CreateDecoder(state), S_OK);
    EXPECT_TRUE(state.gpuRequested && state.gpuActive && state.device && state.deviceContext && state.deviceManager);
    EXPECT_EQ(LogCount(level), levelLines + 1);

    // Wine's decoder takes the manager yet hands out memory samples: every picture falls
    // back to the memory copy, and still equals ffmpeg's.
    int pictures = Decode(state, stream, 0, 6);
    EXPECT_EQ(LogCount(first), firstLines + 1);
    fakeNowNs += 61 * kSecond;
    pictures += Decode(state, stream, 6, 7);
    EXPECT_EQ(LogCount(minute), minuteLines + 1);
    fakeNowNs += 5 * kSecond;
    pictures += Decode(state, stream, 7, 10);
    EXPECT_GE(pictures, 8);
    EXPECT_EQ(LogCount(first), firstLines + 1);
    ReleaseDecoderState(state);
    EXPECT_EQ(LogCount(rest), restLines + 1);
    const unsigned long long fallbacks = 1 + LastTally(minute) + LastTally(rest);
    EXPECT_TRUE(fallbacks >= unsigned(pictures) && fallbacks <= 10) << fallbacks;
    EXPECT_EQ(LogCount("Created GPU camera texture"), created);  // memory samples never reach one
}

TEST(GpuDecoding, ReadBackCopiesTheNamedSliceIntoOneStagingTexture) {
    DecoderState state, other;
    AddDevice(state);
    DecodedPicture picture;
    auto decoded = Texture(state.device.Get(), 640, 360, DXGI_FORMAT_NV12, 4, D3D11_BIND_DECODER);
    ASSERT_EQ(ReadBackTexture(state, decoded.Get(), 2, picture), S_OK);
    EXPECT_TRUE(picture.width == 640 && picture.height == 360 && picture.bytes.size() == 640 * 360 * 3 / 2);
    D3D11_TEXTURE2D_DESC desc{};
    state.stagingTexture->GetDesc(&desc);
    EXPECT_TRUE(desc.Width == 640 && desc.Height == 360 && desc.ArraySize == 1 && desc.MipLevels == 1 &&
                desc.Format == DXGI_FORMAT_NV12 && desc.Usage == D3D11_USAGE_STAGING && desc.BindFlags == 0 &&
                desc.CPUAccessFlags == D3D11_CPU_ACCESS_READ);
    const ComPtr<ID3D11Texture2D> kept = state.stagingTexture;
    ASSERT_EQ(ReadBackTexture(state, decoded.Get(), 3, picture), S_OK);
    EXPECT_EQ(state.stagingTexture.Get(), kept.Get());
    EXPECT_EQ(ReadBackTexture(state, decoded.Get(), 4, picture), E_INVALIDARG);  // no such slice

    // Rows wider than the picture, and an odd height (Windows refuses odd NV12 heights,
    // Wine does not): a new staging texture of that size.
    auto odd = Texture(state.device.Get(), 650, 361, DXGI_FORMAT_NV12, 1, 0);
    ASSERT_EQ(ReadBackTexture(state, odd.Get(), 0, picture), S_OK);
    EXPECT_TRUE(picture.width == 650 && picture.height == 361 && picture.bytes.size() == 650 * 361 * 3 / 2);
    state.stagingTexture->GetDesc(&desc);
    EXPECT_TRUE(state.stagingTexture.Get() != kept.Get() && desc.Width == 650 && desc.Height == 361);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    ASSERT_EQ(state.deviceContext->Map(state.stagingTexture.Get(), 0, D3D11_MAP_READ, 0, &mapped), S_OK);
    EXPECT_GT(mapped.RowPitch, 650u);  // so the pitched rows were taken apart
    state.deviceContext->Unmap(state.stagingTexture.Get(), 0);

    AddDevice(other);
    auto foreign = Texture(other.device.Get(), 640, 360, DXGI_FORMAT_NV12, 1, 0);
    auto bgra = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 1, 0);
    EXPECT_EQ(ReadBackTexture(state, bgra.Get(), 0, picture), MF_E_INVALID_FORMAT);
    EXPECT_EQ(ReadBackTexture(state, foreign.Get(), 0, picture), E_INVALIDARG);
    EXPECT_EQ(picture.width * 1000 + picture.height, 650u * 1000 + 361);  // refusals leave the picture
}

// Wine cannot create NV12 camera textures (shader-resource binding), so the rotation runs
// on BGRA slices, which it can bind and copy.
TEST(GpuDecoding, CameraTexturesRotateThroughThreeSlotsAndFollowTheSize) {
    DecoderState state;
    AddDevice(state);
    auto small = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 3, 0);
    auto large = Texture(state.device.Get(), 80, 48, DXGI_FORMAT_B8G8R8A8_UNORM, 3, 0);
    const std::string smallLine = "Created GPU camera texture: 64x32 format=87";
    const std::string largeLine = "Created GPU camera texture: 80x48 format=87";
    const std::size_t smallLines = LogCount(smallLine), largeLines = LogCount(largeLine);
    std::vector<ComPtr<ID3D11Texture2D>> seen;  // kept, so no address is used twice
    for (int n = 0; n < 7; ++n) {
        DecodedPicture picture;
        ID3D11Texture2D* source = n < 4 ? small.Get() : large.Get();
        ASSERT_EQ(CopyIntoCameraTexture(state, source, n % 3, picture), S_OK);
        ASSERT_EQ(state.cameraTextures.size(), 3u);
        EXPECT_EQ(picture.texture.Get(), state.cameraTextures[n % 3].Get()) << n;
        EXPECT_EQ(state.nextCameraTexture, (n + 1) % 3u);
        EXPECT_EQ(picture.textureSubresource * 1000 + picture.textureWidth, n < 4 ? 64u : 80u);
        EXPECT_TRUE(HoldsSlice(state, picture.texture.Get(), n % 3)) << n;
        seen.push_back(picture.texture);
    }
    EXPECT_EQ(seen[3].Get(), seen[0].Get());  // 0, 1, 2, 0; then each slot anew at its turn: 1, 2, 0
    EXPECT_TRUE(seen[0].Get() != seen[1].Get() && seen[1].Get() != seen[2].Get() && seen[4].Get() != seen[1].Get() &&
                seen[5].Get() != seen[2].Get() && seen[6].Get() != seen[0].Get());
    EXPECT_EQ(LogCount(smallLine), smallLines + 3);
    EXPECT_EQ(LogCount(largeLine), largeLines + 3);
    D3D11_TEXTURE2D_DESC desc{};
    seen[6]->GetDesc(&desc);
    EXPECT_TRUE(desc.Width == 80 && desc.Height == 48 && desc.ArraySize == 1 && desc.MipLevels == 1 &&
                desc.Usage == D3D11_USAGE_DEFAULT && desc.BindFlags == D3D11_BIND_SHADER_RESOURCE &&
                desc.CPUAccessFlags == 0 && desc.MiscFlags == 0);

    DecodedPicture picture;
    EXPECT_EQ(CopyIntoCameraTexture(state, large.Get(), 3, picture), E_INVALIDARG);
}

TEST(GpuDecoding, DecodedTextureSamplesAreReadBackOutsideDirectMode) {
    DecodeMode mode("gpu");
    DecoderState state, none;
    AddDevice(state);
    auto decoded = Texture(state.device.Get(), 640, 360, DXGI_FORMAT_NV12, 3, D3D11_BIND_DECODER);
    ComPtr<IMFSample> sample, memorySample;
    ComPtr<IMFMediaBuffer> buffer, memory;
    ASSERT_EQ(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), decoded.Get(), 2, FALSE, &buffer), S_OK);
    ASSERT_TRUE(SUCCEEDED(MFCreateSample(&sample)) && SUCCEEDED(sample->AddBuffer(buffer.Get())));
    DecodedPicture picture;
    EXPECT_EQ(CopyToCameraTexture(state, sample.Get(), picture), S_OK);
    EXPECT_TRUE(picture.bytes.size() == 640 * 360 * 3 / 2 && picture.width == 640 && !picture.texture);
    EXPECT_TRUE(state.stagingTexture && state.cameraTextures.empty());
    ASSERT_TRUE(SUCCEEDED(MFCreateSample(&memorySample)) && SUCCEEDED(MFCreateMemoryBuffer(100, &memory)) &&
                SUCCEEDED(memorySample->AddBuffer(memory.Get())));
    EXPECT_EQ(CopyToCameraTexture(state, memorySample.Get(), picture), E_NOINTERFACE);
    EXPECT_EQ(CopyToCameraTexture(state, nullptr, picture), E_INVALIDARG);
    EXPECT_EQ(CopyToCameraTexture(none, sample.Get(), picture), E_INVALIDARG);
}

TEST(GpuDecoding, ConnectionsKeepOneDeviceAndReleaseTheRest) {
    Stream stream = Load("s640x360", 640, 360);
    const std::string level = "H.264 decoder D3D11/DXVA path requested. featureLevel=0xB100";
    const std::size_t levelLines = LogCount(level);
    DecoderDevice kept;
    DecoderState state;
    state.keptDevice = &kept;
    for (int n = 0; n < 3; ++n) {
        state.gpuRequested = true;
        ASSERT_EQ(CreateDecoder(state), S_OK);
        ASSERT_TRUE(state.gpuActive);
        EXPECT_TRUE(state.device.Get() == kept.device.Get() && state.deviceManager.Get() == kept.deviceManager.Get());
        stream.next = 0;
        EXPECT_GE(Decode(state, stream, 0, 3), 1);
        DecodedPicture picture;  // a staging and three camera textures as well
        auto nv12 = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_NV12, 1, 0);
        auto bgra = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 1, 0);
        EXPECT_EQ(ReadBackTexture(state, nv12.Get(), 0, picture), S_OK);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(CopyIntoCameraTexture(state, bgra.Get(), 0, picture), S_OK);
        picture.texture.Reset();
        ReleaseDecoderState(state);
        EXPECT_FALSE(state.device || state.deviceContext || state.deviceManager || state.stagingTexture ||
                     state.transform || state.gpuActive || !state.cameraTextures.empty());
        EXPECT_TRUE(state.gpuRequested);
    }
    EXPECT_EQ(kept.setUps, 1u);
    EXPECT_EQ(LogCount(level), levelLines + 3);  // once per connection
    ID3D11Device* device = kept.device.Get();
    device->AddRef();
    kept = DecoderDevice();
    EXPECT_EQ(device->Release(), 0u);  // no connection left a reference to the device or a texture of it
    // A decoder that refuses the manager (none here): processor mode, nothing kept.
    const std::size_t rejected = LogCount("H.264 decoder rejected D3D manager; using decoder default path.");
    EnableD3D11Decoding(state);
    EXPECT_FALSE(state.gpuRequested || state.gpuActive || state.device || state.deviceContext || state.deviceManager);
    EXPECT_EQ(LogCount("H.264 decoder rejected D3D manager; using decoder default path."), rejected + 1);
}

int main(int argc, char** argv) {
    return RunDecoderTests(argc, argv);
}
