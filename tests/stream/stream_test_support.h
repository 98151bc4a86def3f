// Shared pieces of the camera-stream tests: Media Foundation, real media types and stream
// descriptors, started streams, events, pictures in the process's receiver, the data files.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library/receiver/h264_receiver.h"
#include "library/stream/pixel_routines.h"
#include "library/stream/velmora_media_stream.h"

namespace streamtest {

using Microsoft::WRL::ComPtr;
using Bytes = std::vector<std::uint8_t>;

inline constexpr wchar_t kLogPath[] = L"C:\\ProgramData\\Velmora\\source.log";

struct TestStream {
    ComPtr<IMFStreamDescriptor> descriptor;
    ComPtr<VelmoraMediaStream> stream;
    VelmoraMediaStream* operator->() const { return stream.Get(); }
};

// A stream as the source makes one (descriptor over a real media type, then the event
// queue), started unless told otherwise. fps 0: the descriptor has no current type.
inline TestStream MakeStream(const GUID& subtype, std::uint32_t width, std::uint32_t height, std::uint32_t fps,
                             const wchar_t* name = L"Preview", bool start = true) {
    TestStream made;
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(&type);
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, (static_cast<UINT64>(width) << 32) | height);
    type->SetUINT64(MF_MT_FRAME_RATE, (static_cast<UINT64>(fps) << 32) | 1);
    IMFMediaType* types[] = {type.Get()};
    EXPECT_HRESULT_SUCCEEDED(MFCreateStreamDescriptor(0, 1, types, &made.descriptor));
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaEvent> event;
    made.descriptor->GetMediaTypeHandler(&handler);
    if (fps != 0) {
        EXPECT_HRESULT_SUCCEEDED(handler->SetCurrentMediaType(type.Get()));
    }
    *made.stream.GetAddressOf() = new VelmoraMediaStream(nullptr, made.descriptor.Get(), name);
    EXPECT_HRESULT_SUCCEEDED(made->CreateEventQueue());
    if (start) {
        EXPECT_EQ(S_OK, made->Start());
        made->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);  // MEStreamStarted
    }
    return made;
}

// Events waiting in the queue, in order, and the samples of the MEMediaSample ones.
struct Events {
    std::vector<MediaEventType> types;
    std::vector<ComPtr<IMFSample>> samples;
};
inline Events Drain(IMFMediaEventGenerator* generator) {
    Events drained;
    ComPtr<IMFMediaEvent> event;
    while (SUCCEEDED(generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event))) {
        drained.types.emplace_back(MEUnknown);
        event->GetType(&drained.types.back());
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN) {
            drained.samples.emplace_back();
            value.punkVal->QueryInterface(IID_PPV_ARGS(&drained.samples.back()));
        }
        PropVariantClear(&value);
    }
    return drained;
}

// One request's sample.
inline ComPtr<IMFSample> RequestOne(VelmoraMediaStream* stream, IUnknown* token = nullptr) {
    EXPECT_EQ(S_OK, stream->RequestSample(token));
    Events events = Drain(stream);
    EXPECT_EQ(1u, events.samples.size());
    return events.samples.empty() ? nullptr : events.samples[0];
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

// Publishes into the process's receiver as its thread does (an empty picture leaves the
// store as a missing sender does: every take waits 18 ms and fails).
inline void Publish(Bytes bytes, std::uint32_t width, std::uint32_t height, std::uint32_t age = 0,
                    ID3D11Texture2D* texture = nullptr, std::uint32_t subresource = 0) {
    DecodedPicture picture;
    picture.bytes = std::move(bytes);
    picture.width = picture.bytes.empty() ? 0 : width;
    picture.height = picture.bytes.empty() ? 0 : height;
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
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i % width + 3 * (i / width));
    }
    return bytes;
}

inline Bytes Fallback(std::uint64_t counter) {
    Bytes pattern(kFallbackPatternBytes);
    FillFallbackPattern(pattern.data(), counter);
    return pattern;
}

// What the routines make of an NV12 source at the requested size and format.
inline Bytes Expected(const Bytes& source, std::uint32_t sourceWidth, std::uint32_t sourceHeight, std::uint32_t width,
                      std::uint32_t height, bool yuy2 = false) {
    Bytes nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    if (!CopyNv12Cropped(source.data(), sourceWidth, sourceHeight, nv12.data(), nv12.size(), width, height)) {
        ScaleNv12Letterboxed(source.data(), sourceWidth, sourceHeight,
                             CropHeight(sourceWidth, sourceHeight, width, height), nv12.data(), width, height);
    }
    if (!yuy2) {
        return nv12;
    }
    Bytes packed(static_cast<std::size_t>(width) * height * 2);
    ConvertNv12ToYuy2(nv12.data(), packed.data(), width, height);
    return packed;
}

inline std::string ReadFileBytes(const wchar_t* path) {
    std::string bytes;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    char chunk[65536];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return bytes;
}

// The decode-mode setting's first line ("" removes the file).
inline void SetDecodeMode(const std::string& line) {
    const wchar_t* path = L"C:\\ProgramData\\Velmora\\decode_mode.txt";
    DeleteFileW(path);
    CreateDirectoryW(L"C:\\ProgramData\\Velmora", nullptr);
    HANDLE file = line.empty() ? INVALID_HANDLE_VALUE : CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(file);
    }
}

// Log messages written since construction that contain `part` (time stamps cut off).
class LogWatch {
public:
    LogWatch() : start(ReadFileBytes(kLogPath).size()) {}
    std::vector<std::string> Lines(const std::string& part) const {
        const std::string all = ReadFileBytes(kLogPath);
        std::vector<std::string> lines;
        std::size_t at = std::max<std::size_t>(start, all.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
        for (std::size_t end; at < all.size(); at = end + 2) {
            end = std::min(all.find("\r\n", at), all.size());
            // The message follows "YYYY-MM-DD hh:mm:ss ".
            const std::string message = at + 20 <= end ? all.substr(at + 20, end - at - 20) : std::string();
            if (message.find(part) != std::string::npos) {
                lines.push_back(message);
            }
        }
        return lines;
    }

private:
    std::size_t start;
};

// Every stream test: Media Foundation up, no decode-mode file, and the receiver thread kept
// from starting (EnsureStarted returns at once), so that no sender listening on this
// machine can put pictures into the store.
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
