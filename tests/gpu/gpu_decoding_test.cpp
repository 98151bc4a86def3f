// Graphics decoding with a Direct3D 11 device (Wine under xvfb). Wine cannot copy NV12 between textures (its blitter
// fails; a map after such a copy of 512x288 or more never returns), so only BGRA camera copies are compared.
#include <d3d11.h>

#include "library/receiver/gpu_decoding.h"
#include "tests/common/windows_test.h"
#include "tests/decoder/decoder_test_support.h"

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
std::int64_t fakeNowNs = 1000 * kSecond;
std::int64_t FakeClock() noexcept { return fakeNowNs; }
const std::string kLevelLine = "H.264 decoder D3D11/DXVA path requested. featureLevel=0xB100";

struct DecodeMode {
    explicit DecodeMode(const char* text) { velmora::test::SetDecodeMode(text); }
    ~DecodeMode() { velmora::test::SetDecodeMode(""); }
};

void AddDevice(DecoderState& state) {
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, kDecoderDeviceFlags, nullptr, 0,
                                D3D11_SDK_VERSION, &state.device, nullptr, &state.deviceContext), S_OK);
}

// BGRA slices hold bytes that tell slice, row and column; NV12 textures stay unwritten.
std::uint8_t Byte(UINT slice, UINT y, UINT x) { return std::uint8_t(slice * 71 + y * 5 + x * 3); }

ComPtr<ID3D11Texture2D> Texture(ID3D11Device* device, UINT w, UINT h, DXGI_FORMAT format, UINT slices, UINT bind) {
    const D3D11_TEXTURE2D_DESC desc{w, h, 1, slices, format, {1, 0}, D3D11_USAGE_DEFAULT, bind, 0, 0};
    std::vector<std::uint8_t> bytes(std::size_t{w} * h * 4 * slices);
    std::vector<D3D11_SUBRESOURCE_DATA> data;
    for (UINT i = 0; i < bytes.size(); ++i) bytes[i] = Byte(i / (w * h * 4), i / (w * 4) % h, i % (w * 4));
    for (UINT s = 0; s < slices; ++s) data.push_back({&bytes[std::size_t{s} * w * h * 4], w * 4, 0});
    ComPtr<ID3D11Texture2D> texture;
    const bool bgra = format == DXGI_FORMAT_B8G8R8A8_UNORM;
    EXPECT_EQ(device->CreateTexture2D(&desc, bgra ? data.data() : nullptr, &texture), S_OK);
    return texture;
}

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
    for (UINT i = 0; i < desc.Width * 4 * desc.Height; ++i) {
        const UINT y = i / (desc.Width * 4), x = i % (desc.Width * 4);
        same &= static_cast<const std::uint8_t*>(mapped.pData)[y * mapped.RowPitch + x] == Byte(slice, y, x);
    }
    state.deviceContext->Unmap(staging.Get(), 0);
    return same;
}

}  // namespace

// Outside direct mode a decoded texture sample is read back and makes no camera texture.
TEST(GpuDecoding, ReadBackCopiesTheNamedSliceIntoOneStagingTexture) {
    DecodeMode mode("gpu");
    DecoderState state, other;
    AddDevice(state);
    DecodedPicture picture;
    auto decoded = Texture(state.device.Get(), 640, 360, DXGI_FORMAT_NV12, 4, D3D11_BIND_DECODER);
    ComPtr<IMFSample> sample;
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), decoded.Get(), 2, FALSE, &buffer), S_OK);
    ASSERT_TRUE(SUCCEEDED(MFCreateSample(&sample)) && SUCCEEDED(sample->AddBuffer(buffer.Get())));
    ASSERT_EQ(CopyToCameraTexture(state, sample.Get(), picture), S_OK);
    EXPECT_TRUE(picture.width == 640 && picture.height == 360 && picture.bytes.size() == 640 * 360 * 3 / 2);
    EXPECT_TRUE(!picture.texture && state.cameraTextures.empty());
    D3D11_TEXTURE2D_DESC desc{};
    state.stagingTexture->GetDesc(&desc);
    EXPECT_TRUE(desc.Width == 640 && desc.Height == 360 && desc.ArraySize == 1);
    const ComPtr<ID3D11Texture2D> kept = state.stagingTexture;
    ASSERT_EQ(ReadBackTexture(state, decoded.Get(), 3, picture), S_OK);
    EXPECT_EQ(state.stagingTexture.Get(), kept.Get());
    EXPECT_EQ(ReadBackTexture(state, decoded.Get(), 4, picture), E_INVALIDARG);  // no such slice
    AddDevice(other);  // a texture left from an earlier connection's device
    auto foreign = Texture(other.device.Get(), 640, 360, DXGI_FORMAT_NV12, 1, 0);
    EXPECT_EQ(ReadBackTexture(state, foreign.Get(), 0, picture), E_INVALIDARG);
}

// BGRA slices: Wine cannot create NV12 camera textures (shader-resource binding), but binds and copies BGRA ones.
TEST(GpuDecoding, CameraTexturesRotateThroughThreeSlotsAndFollowTheSize) {
    DecoderState state;
    AddDevice(state);
    auto small = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 3, 0);
    auto large = Texture(state.device.Get(), 80, 48, DXGI_FORMAT_B8G8R8A8_UNORM, 3, 0);
    const std::string smallLine = "Created GPU camera texture: 64x32 format=87";
    const std::string largeLine = "Created GPU camera texture: 80x48 format=87";
    const std::size_t smallLines = LogCount(smallLine), largeLines = LogCount(largeLine);
    DecodedPicture picture;
    for (int n = 0; n < 7; ++n) {
        ID3D11Texture2D* source = n < 4 ? small.Get() : large.Get();
        ASSERT_EQ(CopyIntoCameraTexture(state, source, n % 3, picture), S_OK);
        ASSERT_EQ(state.cameraTextures.size(), 3u);
        EXPECT_EQ(picture.texture.Get(), state.cameraTextures[n % 3].Get()) << n;
        EXPECT_EQ(state.nextCameraTexture, (n + 1) % 3u);
        EXPECT_EQ(picture.textureSubresource * 1000 + picture.textureWidth, n < 4 ? 64u : 80u);
        EXPECT_TRUE(HoldsSlice(state, picture.texture.Get(), n % 3)) << n;
    }
    EXPECT_EQ(LogCount(smallLine), smallLines + 3);
    EXPECT_EQ(LogCount(largeLine), largeLines + 3);
    D3D11_TEXTURE2D_DESC desc{};
    picture.texture->GetDesc(&desc);
    EXPECT_TRUE(desc.ArraySize == 1 && desc.BindFlags == D3D11_BIND_SHADER_RESOURCE);  // the camera samples it
    EXPECT_EQ(CopyIntoCameraTexture(state, large.Get(), 3, picture), E_INVALIDARG);
}

// Wine's decoder takes the manager yet hands out memory samples: every picture falls back to the memory copy, still
// equals ffmpeg's, and the fallbacks reach the log throttled.
TEST(GpuDecoding, ConnectionsShareOneDeviceFallBackQuietlyAndReleaseTheRest) {
    DecodeMode mode("gpu direct");
    Stream stream = Load("s640x360", 640, 360);
    const std::string first = "GPU decoded sample was not a DXGI texture; falling back to CPU copy for this sample.";
    const std::string tally = "fell back to CPU copy in the last 5 seconds.";
    const std::size_t levelLines = LogCount(kLevelLine), firstLines = LogCount(first), tallyLines = LogCount(tally);
    DecoderDevice kept;
    DecoderState state;
    state.keptDevice = &kept;
    state.clock = &FakeClock;
    for (int n = 0; n < 3; ++n) {
        state.gpuRequested = true;
        ASSERT_EQ(CreateDecoder(state), S_OK);
        ASSERT_TRUE(state.gpuActive && state.deviceContext);
        EXPECT_TRUE(state.device.Get() == kept.device.Get() && state.deviceManager.Get() == kept.deviceManager.Get());
        const std::size_t created = LogCount("Created GPU camera texture");
        stream.next = 0;
        int pictures = Decode(state, stream, 0, 6);
        fakeNowNs += 5 * kSecond;
        pictures += Decode(state, stream, 6, 10);
        EXPECT_GE(pictures, 8);
        EXPECT_EQ(LogCount(first), firstLines + n + 1);
        EXPECT_EQ(LogCount("Created GPU camera texture"), created);  // memory samples never reach one
        DecodedPicture picture;  // a staging and three camera textures as well
        auto nv12 = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_NV12, 1, 0);
        auto bgra = Texture(state.device.Get(), 64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 1, 0);
        EXPECT_EQ(ReadBackTexture(state, nv12.Get(), 0, picture), S_OK);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(CopyIntoCameraTexture(state, bgra.Get(), 0, picture), S_OK);
        picture.texture.Reset();
        ReleaseDecoderState(state);
        EXPECT_EQ(LogCount(tally), tallyLines + n + 1);
        EXPECT_TRUE(state.gpuRequested && !state.gpuActive);
    }
    EXPECT_EQ(kept.setUps, 1u);
    EXPECT_EQ(LogCount(kLevelLine), levelLines + 3);  // once per connection
    ID3D11Device* device = kept.device.Get();
    device->AddRef();
    kept = DecoderDevice();
    EXPECT_EQ(device->Release(), 0u);  // no connection left a reference to the device or a texture of it
    // A decoder that refuses the manager (none here): processor mode, nothing kept.
    const std::string rejected = "H.264 decoder rejected D3D manager; using decoder default path.";
    const std::size_t rejections = LogCount(rejected);
    EnableD3D11Decoding(state);
    EXPECT_FALSE(state.gpuRequested || state.gpuActive || state.device || state.deviceContext || state.deviceManager);
    EXPECT_EQ(LogCount(rejected), rejections + 1);
}
