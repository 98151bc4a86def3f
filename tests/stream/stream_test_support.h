// Shared pieces of the camera-stream tests (and the sample-cost measurement): streams over real
// media types, their events and samples, pictures in the process's receiver, the log and the
// decode-mode setting.
#pragma once

#include <d3d11.h>

#include "library/receiver/h264_receiver.h"
#include "library/stream/pixel_routines.h"
#include "library/stream/velmora_media_stream.h"
#include "tests/common/windows_test.h"

namespace streamtest {

using velmora::test::LogLines;
using velmora::test::SetDecodeMode;

using Bytes = std::vector<std::uint8_t>;

struct Stream {
    ComPtr<VelmoraMediaStream> stream;
    VelmoraMediaStream* operator->() const { return stream.Get(); }
    VelmoraMediaStream* Get() const { return stream.Get(); }
};

// A stream as the source makes one, started unless told otherwise. fps 0: no current type.
inline Stream MakeStream(const GUID& subtype, std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                             const wchar_t* name = L"Preview", bool start = true) {
    Stream made;
    ComPtr<IMFStreamDescriptor> descriptor;
    ComPtr<IMFMediaType> type;
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaEvent> started;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, (static_cast<UINT64>(width) << 32) | height);
    type->SetUINT64(MF_MT_FRAME_RATE, (static_cast<UINT64>(fps) << 32) | 1);
    IMFMediaType* types[] = {type.Get()};
    EXPECT_HRESULT_SUCCEEDED(MFCreateStreamDescriptor(0, 1, types, &descriptor));
    descriptor->GetMediaTypeHandler(&handler);
    EXPECT_HRESULT_SUCCEEDED(fps == 0 ? S_OK : handler->SetCurrentMediaType(type.Get()));
    *made.stream.GetAddressOf() = new VelmoraMediaStream(nullptr, descriptor.Get(), name);
    EXPECT_HRESULT_SUCCEEDED(made->CreateEventQueue());
    EXPECT_TRUE(!start || (made->Start() == S_OK && made->GetEvent(MF_EVENT_FLAG_NO_WAIT, &started) == S_OK));
    return made;
}

// The events waiting in the queue, in order, and the samples among them.
inline std::vector<MediaEventType> Drain(IMFMediaEventGenerator* generator,
                                         std::vector<ComPtr<IMFSample>>* samples = nullptr) {
    std::vector<MediaEventType> types;
    ComPtr<IMFMediaEvent> event;
    while (SUCCEEDED(generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event))) {
        PROPVARIANT value{};
        event->GetType(&types.emplace_back());
        if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && samples) {
            value.punkVal->QueryInterface(IID_PPV_ARGS(&samples->emplace_back()));
        }
        PropVariantClear(&value);
    }
    return types;
}

inline ComPtr<IMFSample> RequestOne(VelmoraMediaStream* stream, IUnknown* token = nullptr) {
    std::vector<ComPtr<IMFSample>> samples;
    EXPECT_EQ(S_OK, stream->RequestSample(token));
    Drain(stream, &samples);
    EXPECT_EQ(1u, samples.size());
    return samples.empty() ? nullptr : samples[0];
}

// The bytes of a sample's memory buffer; `memory` receives where they live.
inline Bytes SampleBytes(IMFSample* sample, BYTE** memory = nullptr) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->Lock(&data, nullptr, &length))) {
        return {};
    }
    Bytes bytes(data, data + length);
    buffer->Unlock();
    if (memory) *memory = data;
    return bytes;
}
inline Bytes RequestBytes(const Stream& s) { return SampleBytes(RequestOne(s.Get()).Get()); }

// Publishes into the process's receiver as its thread does (an empty picture leaves the
// store as a missing sender does: every take waits 18 ms and fails).
inline void Publish(Bytes bytes, std::uint32_t width, std::uint32_t height, std::uint32_t age = 0,
                    ID3D11Texture2D* texture = nullptr, std::uint32_t subresource = 0) {
    const bool empty = bytes.empty();
    DecodedPicture picture{std::move(bytes), empty ? 0 : width, empty ? 0 : height, texture, subresource,
                           texture ? width : 0, texture ? height : 0};
    std::lock_guard<std::mutex> lock(H264Receiver::Instance().mutex);
    H264Receiver::Instance().PublishPicture(picture, age);
}

// A recognisable NV12 picture.
inline Bytes TestPicture(std::uint32_t width, std::uint32_t height) {
    Bytes bytes(static_cast<std::size_t>(width) * height * 3 / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % width + 3 * (i / width));
    return bytes;
}

// What the routines make of an NV12 source at the requested size and format; no source: the
// animated test picture's frame `counter`.
inline Bytes Expected(Bytes source, std::uint32_t sourceWidth, std::uint32_t sourceHeight, std::uint32_t width,
                      std::uint32_t height, bool yuy2 = false, std::uint64_t counter = 0) {
    if (source.empty()) {
        source.resize(kFallbackPatternBytes);
        FillFallbackPattern(source.data(), counter);
    }
    Bytes nv12(static_cast<std::size_t>(width) * height * 3 / 2);  // a cropped copy equals this scale
    ScaleNv12Letterboxed(source.data(), sourceWidth, sourceHeight, CropHeight(sourceWidth, sourceHeight, width, height),
                         nv12.data(), width, height);
    Bytes packed(yuy2 ? static_cast<std::size_t>(width) * height * 2 : 0);
    if (yuy2) ConvertNv12ToYuy2(nv12.data(), packed.data(), width, height);
    return yuy2 ? packed : nv12;
}

// Every stream test (Media Foundation is up from the shared main): no decode-mode file, and the
// receiver thread kept from starting, so that no sender on this machine can put pictures into
// the store.
struct StreamTest : ::testing::Test {
    void SetUp() override {
        H264Receiver::Instance().started = true;
        SetDecodeMode("");
        Publish({}, 0, 0);
    }
};

}  // namespace streamtest
