// Measures what one sample of the memory path costs under Wine, for the heaviest cases of
// the catalogue, as a ratio to a memcpy of the sample's bytes measured in the same run.
// Run it by hand: build/windows/wine-run.sh build/windows/bin/stream_sample_cost.exe [N]
// (N samples per figure, each figure their median; default 300).
//
// Each request finds a freshly published picture (published outside the timed region) and
// a frame rate so high that pacing never sleeps, so the time is the sample's own work:
// media type, decode-mode read, sample and buffer, the take from the store, the pixel work
// and the event. The consumer holds the last 3 samples, as a camera pipeline does, and
// releases the oldest when a new one arrives.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>

#include "library/diagnostics/decode_mode.h"
#include "tests/stream/stream_test_support.h"

namespace {

using namespace streamtest;
using Clock = std::chrono::steady_clock;

struct Case {
    const char* label;
    std::uint32_t pictureWidth;  // 0: no picture (test picture)
    std::uint32_t pictureHeight;
    GUID subtype;
    std::uint32_t width;
    std::uint32_t height;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One source copied into 4 destinations in turn (as samples rotate through a pipeline),
// every destination written once before timing so that no first-touch cost is counted.
double MemcpyMicros(std::size_t bytes, int repetitions) {
    std::vector<std::uint8_t> from(bytes, 1);
    std::vector<std::vector<std::uint8_t>> to(4, std::vector<std::uint8_t>(bytes, 2));
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        std::vector<std::uint8_t>& destination = to[static_cast<std::size_t>(i) % to.size()];
        from[static_cast<std::size_t>(i) % bytes] = static_cast<std::uint8_t>(i);
        const auto start = Clock::now();
        std::memcpy(destination.data(), from.data(), bytes);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (destination[static_cast<std::size_t>(i) % bytes] != static_cast<std::uint8_t>(i)) {
            std::printf("memcpy mismatch\n");
        }
    }
    return Median(times);
}

// The floor of any memory sample: a new Media Foundation buffer of the sample's size,
// locked, filled by memcpy, unlocked and released.
double FreshBufferMicros(std::size_t bytes, int repetitions) {
    std::vector<std::uint8_t> from(bytes, 1);
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = Clock::now();
        ComPtr<IMFMediaBuffer> buffer;
        BYTE* data = nullptr;
        if (FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(bytes), &buffer)) ||
            FAILED(buffer->Lock(&data, nullptr, nullptr))) {
            std::printf("buffer failed\n");
            return 0;
        }
        std::memcpy(data, from.data(), bytes);
        buffer->Unlock();
        buffer.Reset();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return Median(times);
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    H264Receiver::Instance().started = true;  // no receiver thread: the pictures are ours
    SetDecodeMode("");

    const Case cases[] = {
        {"1920x1088 -> 1920x1080 NV12 (direct)", 1920, 1088, MFVideoFormat_NV12, 1920, 1080},
        {"1920x1088 -> 1920x1080 YUY2", 1920, 1088, MFVideoFormat_YUY2, 1920, 1080},
        {"1280x720  -> 640x480 YUY2 (scaled)", 1280, 720, MFVideoFormat_YUY2, 640, 480},
        {"test picture -> 1920x1080 YUY2", 0, 0, MFVideoFormat_YUY2, 1920, 1080},
    };
    {
        std::vector<double> times;
        for (int i = 0; i < repetitions; ++i) {
            const auto start = Clock::now();
            DecodeModeRequestsGpu();
            times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::printf("decode-mode query without a setting file: %.1f us\n\n", Median(times));
    }
    std::printf("%-40s %10s %10s %8s %14s %8s\n", "case (medians)", "sample us", "memcpy us", "ratio",
                "new buffer us", "ratio");
    for (const Case& c : cases) {
        Stream stream = MakeStream(c.subtype, c.width, c.height, 1000000);
        const std::vector<std::uint8_t> picture =
            c.pictureWidth != 0 ? TestPicture(c.pictureWidth, c.pictureHeight) : std::vector<std::uint8_t>();
        const bool yuy2 = IsEqualGUID(c.subtype, MFVideoFormat_YUY2);
        const std::size_t pixels = static_cast<std::size_t>(c.width) * c.height;
        const std::size_t sampleBytes = yuy2 ? pixels * 2 : pixels * 3 / 2;

        std::vector<double> times;
        std::deque<ComPtr<IMFSample>> held;
        for (int i = 0; i < repetitions + 5; ++i) {
            // With no picture at all each take waits 18 ms for one; a stale picture is
            // refused at once, so the test-picture case measures the drawing, not the wait.
            if (c.pictureWidth != 0) {
                Publish(picture, c.pictureWidth, c.pictureHeight);
            } else {
                Publish(TestPicture(640, 360), 640, 360, 1000);
            }
            const auto start = Clock::now();
            const HRESULT hr = stream->RequestSample(nullptr);
            const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            if (hr != S_OK) {
                std::printf("RequestSample failed: 0x%08lX\n", static_cast<unsigned long>(hr));
                return 1;
            }
            std::vector<ComPtr<IMFSample>> delivered;
            Drain(stream.stream.Get(), &delivered);
            held.insert(held.end(), delivered.begin(), delivered.end());
            while (held.size() > 3) {
                held.pop_front();
            }
            if (i >= 5) {  // the first requests grow the stream's buffers
                times.push_back(micros);
            }
        }
        const double sample = Median(times);
        const double copy = MemcpyMicros(sampleBytes, repetitions);
        const double fresh = FreshBufferMicros(sampleBytes, repetitions);
        std::printf("%-40s %10.1f %10.1f %8.2f %14.1f %8.2f\n", c.label, sample, copy, sample / copy, fresh,
                    sample / fresh);
        stream->Shutdown();
        held.clear();
    }
    return 0;
}
