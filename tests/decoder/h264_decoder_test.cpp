// The H.264 decoder against the system transform: every picture must equal ffmpeg's decode in its visible rows.
#include "tests/common/windows_test.h"  // first: psapi.h needs windows.h
#include <psapi.h>

#include "library/receiver/gpu_decoding.h"
#include "tests/decoder/decoder_test_support.h"

// One state released and made again, as connections do.
TEST(H264Decoder, ConnectionsDecodeLikeFfmpegAndLeaveNothingBehind) {
    Stream small = Load("s640x360", 640, 360), large = Load("s1920x1080", 1920, 1080);
    const std::string smallLine = "H.264 decoder output: 640x368 NV12\r\n";
    const std::string largeLine = "H.264 decoder output: 1920x1088 NV12\r\n";
    const std::size_t smallLines = LogCount(smallLine), largeLines = LogCount(largeLine);
    PROCESS_MEMORY_COUNTERS memory{};
    std::size_t before = 0;
    DecoderState state;
    for (int i = 0; i < 12; ++i) {
        if (i == 3) {  // private committed bytes: a leaked decoder holds about 6 MB
            ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)));
            before = memory.PagefileUsage;
        }
        Stream& stream = i == 1 ? large : small;
        stream.next = 0;
        ASSERT_EQ(CreateDecoder(state), S_OK);
        // A transform may hold a picture back until more input comes; once decoding, its output sample is reused.
        int pictures = Decode(state, stream, 0, 3);
        const std::uint64_t buffers = receiverAllocations.decoderOutputBuffers;
        pictures += Decode(state, stream, 3, stream.units.size());
        EXPECT_GE(pictures, int(stream.units.size()) - 2) << i;
        EXPECT_EQ(receiverAllocations.decoderOutputBuffers, buffers) << i;
        IMFTransform* transform = state.transform.Get();
        transform->AddRef();
        ReleaseDecoderState(state);
        EXPECT_EQ(transform->Release(), 0u) << "the state held the only other reference";
        EXPECT_FALSE(state.transform || state.outputTypeSet);
    }
    EXPECT_EQ(LogCount(smallLine), smallLines + 11);
    EXPECT_EQ(LogCount(largeLine), largeLines + 1);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)) && before > 0);
    EXPECT_LE(memory.PagefileUsage, before + 16u * 1024 * 1024);
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

    // Random bytes, bare and as a unit, a cut frame, frames before any parameter sets: no picture, no output line.
    Stream stream = Load("s640x360", 640, 360);  // parameter sets in units 0 and 5
    std::string garbage(1500, '\0');
    std::uint32_t seed = 12345;
    for (char& b : garbage) b = char((seed = seed * 1103515245u + 12345u) >> 16);
    const std::string unit = std::string("\0\0\0\1", 4) + garbage;
    const std::size_t lines = LogCount("H.264 decoder output:");
    for (const std::string& bad : {garbage, unit, stream.units[1].substr(0, stream.units[1].size() / 2)}) {
        const HRESULT hr = Feed(state, bad, picture);
        EXPECT_TRUE(FAILED(hr) || hr == S_FALSE) << std::hex << hr;
    }
    for (std::size_t k = 1; k < 5; ++k) EXPECT_EQ(Feed(state, stream.units[k], picture), S_FALSE);
    EXPECT_TRUE(picture.bytes.empty() && LogCount("H.264 decoder output:") == lines);
    EXPECT_GE(Decode(state, stream, 5, 10), 3);
    EXPECT_EQ(LogCount("H.264 decoder output:"), lines + 1);

    // Garbage mid-stream, but no cut access unit: that damages later pictures in ffmpeg's own decode too.
    ReleaseDecoderState(state);
    ASSERT_EQ(CreateDecoder(state), S_OK);
    stream.next = 0;
    EXPECT_GE(Decode(state, stream, 0, 5), 3);
    Feed(state, garbage, picture);
    Feed(state, unit, picture);
    EXPECT_GE(Decode(state, stream, 5, 10), 3);
    ReleaseDecoderState(state);
}

// Without a display no device can be made; connections within ten seconds of a failure do not try again.
TEST(H264Decoder, GraphicsRequestsWithoutADisplayDecodeInProcessorMode) {
    Stream stream = Load("s640x360", 640, 360);
    const std::string device = "D3D11 hardware decoder device creation failed; using decoder default path.\r\n";
    const std::size_t deviceLines = LogCount(device);
    DecoderDevice kept;
    DecoderState state;
    state.keptDevice = &kept;
    for (int n = 0; n < 2; ++n) {
        ReleaseDecoderState(state);
        state.gpuRequested = true;
        ASSERT_EQ(CreateDecoder(state), S_OK);
    }
    EXPECT_EQ(kept.setUps, 1u);
    EXPECT_FALSE(state.gpuRequested || state.gpuActive || state.device || state.deviceContext || state.deviceManager);
    EXPECT_EQ(LogCount(device), deviceLines + 2);
    EXPECT_GE(Decode(state, stream, 0, 10), 8);
    ReleaseDecoderState(state);
}
