// The decoder tests' streams, encoded at build time, and the check of pictures against ffmpeg's decode of each.
#pragma once

#include <cstdlib>
#include <cstring>
#include <iterator>

#include "library/receiver/h264_decoder.h"
#include "tests/common/windows_test.h"

struct Stream {
    std::vector<std::string> units;  // access units, each from its delimiter on
    std::string reference;           // ffmpeg's NV12 frames
    std::uint32_t width, height;
    std::size_t next = 0;  // first reference frame the next picture may equal
};

inline Stream Load(const std::string& name, std::uint32_t width, std::uint32_t height) {
    const char* folder = std::getenv("VELMORA_DECODER_DATA");
    const std::string dataDir = folder != nullptr ? folder : ".";
    Stream stream{{}, velmora::test::ReadFileBytes(dataDir + "/" + name + ".nv12"), width, height};
    const std::string bytes = velmora::test::ReadFileBytes(dataDir + "/" + name + ".h264");
    const std::string delimiter("\0\0\0\1\x09", 5);
    for (auto at = bytes.find(delimiter); at != std::string::npos;) {
        const auto end = bytes.find(delimiter, at + 1);
        stream.units.push_back(bytes.substr(at, end - at));
        at = end;
    }
    EXPECT_TRUE(!stream.units.empty() && stream.reference.size() == stream.units.size() * width * height * 3 / 2)
        << dataDir << "/" << name;
    return stream;
}

// Visible luma and chroma rows equal reference frame `index`; up to 16 alignment rows below.
inline bool Matches(const DecodedPicture& picture, const Stream& stream, std::size_t index) {
    const std::uint32_t w = stream.width, h = stream.height;
    if (picture.width != w || picture.height < h || picture.height > h + 16 ||
        picture.bytes.size() != std::size_t{w} * picture.height * 3 / 2)
        return false;
    const char* frame = stream.reference.data() + index * w * h * 3 / 2;
    for (std::uint32_t y = 0; y < h * 3 / 2; ++y) {
        const std::uint32_t row = y < h ? y : picture.height + y - h;
        if (std::memcmp(&picture.bytes[std::size_t{row} * w], frame + std::size_t{y} * w, w) != 0) return false;
    }
    return true;
}

inline HRESULT Feed(DecoderState& state, const std::string& unit, DecodedPicture& picture) {
    return DecodeFrame(state, reinterpret_cast<const std::uint8_t*>(unit.data()),
                       static_cast<std::uint32_t>(unit.size()), picture);
}

// Each picture must equal a later reference frame than the one before: a drain may give several, the last wins.
inline int Decode(DecoderState& state, Stream& stream, std::size_t first, std::size_t last) {
    int pictures = 0;
    for (std::size_t k = first; k < last; ++k) {
        DecodedPicture picture;
        const HRESULT hr = Feed(state, stream.units[k], picture);
        EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << k << ": " << std::hex << hr;
        EXPECT_EQ(hr == S_OK, !picture.bytes.empty()) << k;
        if (hr == S_OK) {
            while (stream.next < stream.units.size() && !Matches(picture, stream, stream.next)) ++stream.next;
            EXPECT_LT(stream.next++, stream.units.size()) << k << ": " << picture.width << "x" << picture.height;
            ++pictures;
        }
    }
    return pictures;
}

inline std::size_t LogCount(const std::string& text) {
    return velmora::test::CountOf(velmora::test::ReadLog(), text);
}
