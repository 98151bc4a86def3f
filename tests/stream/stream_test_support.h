// Shared pieces of the camera-stream tests: streams over real media types, their events and
// samples, pictures in the process's receiver, the log and the decode-mode setting.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "library/receiver/h264_receiver.h"
#include "library/stream/pixel_routines.h"
#include "library/stream/velmora_media_stream.h"

namespace streamtest {

using Microsoft::WRL::ComPtr;
using Bytes = std::vector<std::uint8_t>;
inline const std::filesystem::path kDataFolder(L"C:\\ProgramData\\Velmora");

struct TestStream {
    ComPtr<IMFStreamDescriptor> descriptor;
    ComPtr<VelmoraMediaStream> stream;
    VelmoraMediaStream* operator->() const { return stream.Get(); }
};

inline ComPtr<IMFMediaType> VideoType(const GUID& subtype, std::uint32_t width, std::uint32_t height,
                                      std::uint32_t fps, std::uint32_t per = 1) {
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, (static_cast<UINT64>(width) << 32) | height);
    type->SetUINT64(MF_MT_FRAME_RATE, (static_cast<UINT64>(fps) << 32) | per);
    return type;
}

// A stream as the source makes one, started unless told otherwise. fps 0: no current type.
inline TestStream MakeStream(const GUID& subtype, std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                             const wchar_t* name = L"Preview", bool start = true, std::uint32_t per = 1) {
    TestStream made;
    ComPtr<IMFMediaType> type = VideoType(subtype, width, height, fps, per);
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaEvent> started;
    IMFMediaType* types[] = {type.Get()};
    EXPECT_HRESULT_SUCCEEDED(MFCreateStreamDescriptor(0, 1, types, &made.descriptor));
    made.descriptor->GetMediaTypeHandler(&handler);
    EXPECT_HRESULT_SUCCEEDED(fps == 0 ? S_OK : handler->SetCurrentMediaType(type.Get()));
    *made.stream.GetAddressOf() = new VelmoraMediaStream(nullptr, made.descriptor.Get(), name);
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

// The start of the sample's memory (null without a buffer).
inline BYTE* SampleMemory(IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    if (sample && SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer->Lock(&data, nullptr, nullptr))) {
        buffer->Unlock();
    }
    return data;
}

inline Bytes SampleBytes(IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->Lock(&data, nullptr, &length))) {
        return {};
    }
    Bytes bytes(data, data + length);
    buffer->Unlock();
    return bytes;
}
inline Bytes RequestBytes(const TestStream& s) { return SampleBytes(RequestOne(s.stream.Get()).Get()); }

// Publishes into the process's receiver as its thread does (an empty picture leaves the
// store as a missing sender does: every take waits 18 ms and fails).
inline void Publish(Bytes bytes, std::uint32_t width, std::uint32_t height, std::uint32_t age = 0,
                    ID3D11Texture2D* texture = nullptr, std::uint32_t subresource = 0) {
    DecodedPicture picture;
    picture.width = bytes.empty() ? 0 : width;
    picture.height = bytes.empty() ? 0 : height;
    picture.bytes = std::move(bytes);
    picture.texture = texture;
    picture.textureSubresource = subresource;
    picture.textureWidth = texture ? width : 0;
    picture.textureHeight = texture ? height : 0;
    std::lock_guard<std::mutex> lock(H264Receiver::Instance().mutex);
    H264Receiver::Instance().PublishPicture(picture, age);
}

// A recognisable NV12 picture.
inline Bytes TestPicture(std::uint32_t width, std::uint32_t height) {
    Bytes bytes(static_cast<std::size_t>(width) * height * 3 / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % width + 3 * (i / width));
    return bytes;
}

// What the routines make of an NV12 source at the requested size and format.
inline Bytes Expected(const Bytes& source, std::uint32_t sourceWidth, std::uint32_t sourceHeight, std::uint32_t width,
                      std::uint32_t height, bool yuy2 = false) {
    Bytes nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    if (!CopyNv12Cropped(source.data(), sourceWidth, sourceHeight, nv12.data(), nv12.size(), width, height)) {
        ScaleNv12Letterboxed(source.data(), sourceWidth, sourceHeight,
                             CropHeight(sourceWidth, sourceHeight, width, height), nv12.data(), width, height);
    }
    Bytes packed(yuy2 ? static_cast<std::size_t>(width) * height * 2 : 0);
    if (yuy2) ConvertNv12ToYuy2(nv12.data(), packed.data(), width, height);
    return yuy2 ? packed : nv12;
}
// The same of the animated test picture's frame `counter`.
inline Bytes Fallback(std::uint32_t width, std::uint32_t height, bool yuy2 = false, std::uint64_t counter = 0) {
    Bytes pattern(kFallbackPatternBytes);
    FillFallbackPattern(pattern.data(), counter);
    return Expected(pattern, 640, 360, width, height, yuy2);
}

// The decode-mode setting's first line ("" removes the file).
inline void SetDecodeMode(const std::string& line) {
    std::filesystem::remove(kDataFolder / "decode_mode.txt");
    std::filesystem::create_directories(kDataFolder);
    if (!line.empty()) std::ofstream(kDataFolder / "decode_mode.txt", std::ios::binary) << line;
}

// Log messages written since construction that contain `part`, without their time stamps
// ("YYYY-MM-DD hh:mm:ss ").
class LogWatch {
public:
    LogWatch() : start(Read().size()) {}
    std::vector<std::string> Lines(const std::string& part) const {
        const std::string all = Read();
        std::vector<std::string> lines;
        std::size_t at = std::max<std::size_t>(start, all.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
        for (std::size_t end; at < all.size(); at = end + 2) {
            end = std::min(all.find("\r\n", at), all.size());
            const std::string message = at + 20 <= end ? all.substr(at + 20, end - at - 20) : std::string();
            if (message.find(part) != std::string::npos) lines.push_back(message);
        }
        return lines;
    }

private:
    static std::string Read() {
        std::ifstream file(kDataFolder / "source.log", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    std::size_t start;
};

// Every stream test: Media Foundation up, no decode-mode file, and the receiver thread kept
// from starting, so that no sender listening on this machine can put pictures into the store.
class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        static const HRESULT started = (CoInitializeEx(nullptr, COINIT_MULTITHREADED), MFStartup(MF_VERSION));
        ASSERT_HRESULT_SUCCEEDED(started);
        H264Receiver::Instance().started = true;
        SetDecodeMode("");
        Publish({}, 0, 0);
    }
};

}  // namespace streamtest
