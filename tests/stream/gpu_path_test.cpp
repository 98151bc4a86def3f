// RequestSample's GPU hand-off under xvfb: a real Direct3D 11 NV12 texture in the store and
// "gpu direct" in the setting give a DXGI surface buffer; every other case goes through
// memory.
#include <d3d11.h>

#include <regex>

#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;

class GpuPathTest : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                     &device, nullptr, nullptr))) {
            GTEST_SKIP() << "no Direct3D 11 device: run under xvfb-run";
        }
        SetDecodeMode("gpu direct");
    }
    void TearDown() override { SetDecodeMode(""); }

    ComPtr<ID3D11Texture2D> Texture(UINT arraySize, DXGI_FORMAT format = DXGI_FORMAT_NV12) {
        const D3D11_TEXTURE2D_DESC description{640, 360, 1, arraySize, format, {1, 0}, D3D11_USAGE_DEFAULT,
                                               format == DXGI_FORMAT_NV12 ? UINT{D3D11_BIND_DECODER} : 0u, 0, 0};
        ComPtr<ID3D11Texture2D> texture;
        EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&description, nullptr, &texture));
        return texture;
    }
    // The texture behind a sample's buffer (null for a memory buffer), and its subresource.
    static ComPtr<ID3D11Texture2D> Surface(IMFSample* sample, UINT* subresource = nullptr) {
        ComPtr<IMFMediaBuffer> buffer;
        ComPtr<IMFDXGIBuffer> dxgi;
        ComPtr<ID3D11Texture2D> texture;
        if (sample && SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer.As(&dxgi))) {
            dxgi->GetResource(IID_PPV_ARGS(&texture));
            if (subresource) dxgi->GetSubresourceIndex(subresource);
        }
        return texture;
    }
    ComPtr<ID3D11Device> device;
};

TEST_F(GpuPathTest, TextureOfTheRequestedSizeIsHandedOverAsASurface) {
    ComPtr<ID3D11Texture2D> textures = Texture(2);
    TestStream s = MakeStream(MFVideoFormat_NV12, 640, 360, 30);
    LogWatch log;
    Publish({}, 640, 360, 5, textures.Get(), 1);
    ComPtr<IMFSample> sample = RequestOne(s.stream.Get());
    UINT subresource = 0;
    EXPECT_EQ(textures.Get(), Surface(sample.Get(), &subresource).Get());
    EXPECT_EQ(1u, subresource);
    ComPtr<IMFMediaBuffer> buffer;
    DWORD length = 0;
    LONGLONG duration = 0;
    EXPECT_TRUE(SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer->GetCurrentLength(&length)) &&
                SUCCEEDED(sample->GetSampleDuration(&duration)) && length == 345600 && duration == 333333 &&
                MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0) == 1);
    // No newer picture: after the 18 ms wait the same texture goes out again; no line at 2.
    EXPECT_EQ(textures.Get(), Surface(RequestOne(s.stream.Get()).Get()).Get());
    const std::vector<std::string> lines = log.Lines("RequestSample");
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Preview RequestSample queued frame: 1, fps=0\\.0, "
                                                      "source=h264-gpu, format=NV12, ageMs=([5-9]|[1-4]\\d)")))
        << lines[0];
    // This line goes through a 192-unit buffer.
    const std::wstring longName(150, L'g');  // the stream keeps the pointer
    TestStream named = MakeStream(MFVideoFormat_NV12, 640, 360, 30, longName.c_str());
    EXPECT_TRUE(Surface(RequestOne(named.stream.Get()).Get()));
    EXPECT_EQ(191u, log.Lines("ggggg RequestSample").at(0).size());
}

TEST_F(GpuPathTest, EveryOtherCaseGoesThroughMemory) {
    ComPtr<ID3D11Texture2D> texture = Texture(1);
    ComPtr<ID3D11Texture2D> unusable = Texture(1, DXGI_FORMAT_R32_UINT);  // no surface buffer for it
    const Bytes picture = TestPicture(640, 360);
    LogWatch log;
    // The sample's bytes, which must not be a surface.
    auto memory = [&](const char* mode, const Bytes& published, std::uint32_t age, ID3D11Texture2D* with,
                      const GUID& subtype, std::uint32_t width, std::uint32_t height) {
        SetDecodeMode(mode);
        TestStream s = MakeStream(subtype, width, height, 60);
        Publish(published, 640, 360, age, with);
        ComPtr<IMFSample> sample = RequestOne(s.stream.Get());
        EXPECT_FALSE(Surface(sample.Get())) << mode << " " << width;
        return SampleBytes(sample.Get());
    };
    // Another size or YUY2: the same decode's memory picture.
    EXPECT_TRUE(Expected(picture, 640, 360, 1280, 720) ==
                memory("gpu direct", picture, 0, texture.Get(), MFVideoFormat_NV12, 1280, 720));
    EXPECT_TRUE(Expected(picture, 640, 360, 640, 360, true) ==
                memory("gpu direct", picture, 0, texture.Get(), MFVideoFormat_YUY2, 640, 360));
    EXPECT_TRUE(picture == memory("gpu direct", picture, 0, nullptr, MFVideoFormat_NV12, 640, 360));
    EXPECT_TRUE(picture == memory("gpu", picture, 0, texture.Get(), MFVideoFormat_NV12, 640, 360));
    EXPECT_TRUE(Fallback(640, 360) == memory("gpu direct", {}, 300, texture.Get(), MFVideoFormat_NV12, 640, 360));
    EXPECT_TRUE(log.Lines("DXGI").empty());
    EXPECT_TRUE(picture == memory("gpu direct", picture, 0, unusable.Get(), MFVideoFormat_NV12, 640, 360));
    EXPECT_EQ(std::vector<std::string>{"MFCreateDXGISurfaceBuffer failed; falling back to CPU sample."},
              log.Lines("DXGI"));
}

}  // namespace
