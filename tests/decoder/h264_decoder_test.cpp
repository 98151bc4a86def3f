// The H.264 decoder against the system transform with real streams: every picture must
// equal ffmpeg's decode of the same stream in its visible rows.
#include <gtest/gtest.h>

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <psapi.h>

#include "library/receiver/gpu_decoding.h"
#include "tests/decoder/decoder_test_support.h"

TEST(H264Decoder, PicturesEqualFfmpegAtEverySize) {
    for (auto [name, w, h, codedHeight] : {std::tuple{"s640x360", 640u, 360u, 368u},
                                           std::tuple{"s1280x720", 1280u, 720u, 720u},
                                           std::tuple{"s1920x1080", 1920u, 1080u, 1088u}}) {
        Stream stream = Load(name, w, h);
        const std::size_t lines = LogCount(OutputLine(w, codedHeight));
        DecoderState state;
        ASSERT_EQ(CreateDecoder(state), S_OK);
        // A transform may hold one picture back until more input arrives.
        EXPECT_GE(Decode(state, stream, 0, stream.units.size()), int(stream.units.size()) - 2) << name;
        EXPECT_EQ(state.width * 10000 + state.height, w * 10000 + codedHeight) << name;
        EXPECT_EQ(LogCount(OutputLine(w, codedHeight)), lines + 1) << name;
        ReleaseDecoderState(state);
    }
}

TEST(H264Decoder, ResolutionChangeChoosesTheOutputTypeAgain) {
    Stream small = Load("s640x360", 640, 360), large = Load("s1280x720", 1280, 720);
    const std::size_t smallLines = LogCount(OutputLine(640, 368)), largeLines = LogCount(OutputLine(1280, 720));
    DecoderState state;
    ASSERT_EQ(CreateDecoder(state), S_OK);
    EXPECT_GE(Decode(state, small, 0, small.units.size()), int(small.units.size()) - 2);
    Decode(state, large, 0, large.units.size(), &small, true);
    ReleaseDecoderState(state);
    if (large.next == 0 && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        GTEST_SKIP() << "Wine's transform keeps the size of its first output type: after the change "
                        "every frame fails (0xD0000001) and no stream change is reported";
    EXPECT_GE(large.next, large.units.size() - 1);  // the last pictures have the new size
    EXPECT_EQ(LogCount(OutputLine(640, 368)), smallLines + 1);
    EXPECT_EQ(LogCount(OutputLine(1280, 720)), largeLines + 1);
}

// Steady decoding reuses the transform's output sample, and the picture vector that the
// store hands back: 300 pictures without a picture-sized allocation.
TEST(H264Decoder, SteadyDecodingAllocatesNoPictureMemory) {
    Stream stream = Load("s640x360", 640, 360);  // played again and again from its first IDR
    DecoderState state;
    ASSERT_EQ(CreateDecoder(state), S_OK);
    DecodedPicture picture;
    std::vector<std::uint8_t> stored;  // the store's picture, handed back at the next one
    std::uint64_t buffers = 0, vectors = 0;
    IMFMediaBuffer* output = nullptr;
    int pictures = 0;
    for (std::size_t k = 0; k < 330; ++k) {
        if (k == 20) {
            buffers = receiverAllocations.decoderOutputBuffers;
            vectors = receiverAllocations.pictureVectors;
            output = state.outputBuffer.Get();
        }
        pictures += Feed(state, stream.units[k % stream.units.size()], picture) == S_OK && k >= 20;
        stored.swap(picture.bytes);
        picture.bytes.clear();
    }
    EXPECT_GE(pictures, 300);
    EXPECT_EQ(receiverAllocations.decoderOutputBuffers, buffers);
    EXPECT_EQ(receiverAllocations.pictureVectors, vectors);
    EXPECT_TRUE(output && state.outputBuffer.Get() == output);
    ReleaseDecoderState(state);
}

TEST(H264Decoder, BadInputNeverBreaksTheDecoder) {
    DecoderState state;
    DecodedPicture picture;
    const std::uint8_t byte = 0;
    EXPECT_EQ(DecodeFrame(state, &byte, 1, picture), E_INVALIDARG);  // no transform
    EXPECT_EQ(DrainOutput(state, picture), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(EnsureOutputType(state), MF_E_NOT_INITIALIZED);
    ASSERT_EQ(CreateDecoder(state), S_OK);
    EXPECT_EQ(DecodeFrame(state, nullptr, 10, picture), E_INVALIDARG);
    EXPECT_EQ(DecodeFrame(state, &byte, 0, picture), E_INVALIDARG);

    Stream stream = Load("s640x360", 640, 360);  // parameter sets in units 0 and 5
    std::vector<std::string> garbage;
    std::uint32_t seed = 12345;
    for (int n = 0; n < 6; ++n) {
        std::string payload(100 + n * 700, '\0');
        for (char& b : payload) b = char((seed = seed * 1103515245u + 12345u) >> 16);
        if (n % 2) payload.replace(0, 4, std::string("\0\0\0\1", 4));  // a random unit
        garbage.push_back(payload);
    }
    // Garbage and frames before any parameter sets: no picture, no output line.
    garbage.push_back(stream.units[1].substr(0, stream.units[1].size() / 2));
    const std::size_t lines = LogCount("H.264 decoder output:");
    auto nothingYet = [&](const std::string& unit) {
        const HRESULT hr = Feed(state, unit, picture);
        EXPECT_TRUE(FAILED(hr) || hr == S_FALSE) << std::hex << hr;
    };
    for (const std::string& unit : garbage) nothingYet(unit);
    for (std::size_t k = 1; k < 5; ++k) EXPECT_EQ(Feed(state, stream.units[k], picture), S_FALSE);
    EXPECT_TRUE(picture.bytes.empty());
    EXPECT_EQ(LogCount("H.264 decoder output:"), lines);
    EXPECT_GE(Decode(state, stream, 5, 10), 3);  // from the next parameter sets on
    EXPECT_EQ(LogCount("H.264 decoder output:"), lines + 1);

    // Garbage mid-stream: the pictures of the next frames are right. (A cut access unit
    // there would damage later pictures in ffmpeg's own decode too.)
    ReleaseDecoderState(state);
    ASSERT_EQ(CreateDecoder(state), S_OK);
    stream.next = 0;
    EXPECT_GE(Decode(state, stream, 0, 5), 3);
    for (int n = 0; n < 6; ++n) Feed(state, garbage[n], picture);
    EXPECT_GE(Decode(state, stream, 5, 10), 3);
    ReleaseDecoderState(state);
}

TEST(H264Decoder, GraphicsRequestsFallBackToMemoryCopies) {
    Stream stream = Load("s640x360", 640, 360);
    const std::string device = "D3D11 hardware decoder device creation failed; using decoder default path.",
                      fallback = "GPU decoded sample was not a DXGI texture; falling back to CPU copy for this sample.",
                      tally = "fell back to CPU copy in the last 0 seconds.";
    const std::size_t deviceLines = LogCount(device), fallbackLines = LogCount(fallback), tallyLines = LogCount(tally);
    static std::int64_t nowNs = 5'000'000'000;
    DecoderDevice kept;
    DecoderState state;
    state.keptDevice = &kept;
    state.clock = []() noexcept { return nowNs; };  // time stands still unless moved here
    // Connections without a display: one failed set-up, then none for ten seconds; each
    // connection still says why it decodes in processor mode.
    for (std::int64_t at : {5'000'000'000LL, 5'000'000'000LL, 14'999'999'999LL, 15'000'000'000LL}) {
        nowNs = at;
        ReleaseDecoderState(state);
        state.gpuRequested = true;
        ASSERT_EQ(CreateDecoder(state), S_OK);
    }
    EXPECT_EQ(kept.setUps, 2u);
    EXPECT_FALSE(state.gpuRequested || state.gpuActive || state.device || state.deviceContext || state.deviceManager);
    EXPECT_EQ(LogCount(device), deviceLines + 4);
    EXPECT_GE(Decode(state, stream, 0, 3), 1);
    EXPECT_EQ(LogCount(fallback), fallbackLines);  // processor mode has nothing to fall back from

    state.gpuActive = true;  // a graphics connection whose samples are no textures
    EXPECT_GE(Decode(state, stream, 3, 10), 5);
    EXPECT_TRUE(state.cameraTextures.empty() && !state.stagingTexture);
    EXPECT_EQ(LogCount(fallback), fallbackLines + 1);  // the first one only, within the minute
    EXPECT_EQ(LogCount(tally), tallyLines);
    ReleaseDecoderState(state);  // the connection ends: the rest is counted in one line
    EXPECT_EQ(LogCount(tally), tallyLines + 1);
}

TEST(H264Decoder, CreateReleaseCyclesLeakNothing) {
    Stream stream = Load("s640x360", 640, 360);
    DecoderState state;  // one state, released and made again
    auto cycle = [&] {
        ASSERT_EQ(CreateDecoder(state), S_OK);
        stream.next = 0;
        EXPECT_GE(Decode(state, stream, 0, 3), 1);
        IMFTransform* transform = state.transform.Get();
        transform->AddRef();
        ReleaseDecoderState(state);
        EXPECT_EQ(transform->Release(), 0u);  // the state held the only other reference
        EXPECT_FALSE(state.transform || state.outputTypeSet);
        EXPECT_EQ(state.width * 10000 + state.height, 640u * 10000 + 360u);
    };
    // Private committed bytes: a leaked decoder holds about 6 MB.
    auto committed = [] {
        PROCESS_MEMORY_COUNTERS memory{};
        EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)) && memory.PagefileUsage);
        return memory.PagefileUsage;
    };
    for (int i = 0; i < 3; ++i) cycle();
    const std::size_t before = committed();
    for (int i = 0; i < 15; ++i) cycle();
    EXPECT_LE(committed(), before + 16u * 1024 * 1024);
}

int main(int argc, char** argv) {
    return RunDecoderTests(argc, argv);
}
