#include "library/receiver/h264_receiver.h"

#include <windows.h>
#include <mfapi.h>
#include <objbase.h>

#include <chrono>
#include <thread>

#include "library/diagnostics/decode_mode.h"
#include "library/diagnostics/log.h"
#include "library/receiver/frame_header.h"
#include "library/receiver/frame_stream_client.h"
#include "library/receiver/h264_decoder.h"

namespace {

constexpr auto kReconnectPause = std::chrono::milliseconds(50);

bool StartDetachedThread(H264Receiver* receiver) noexcept {
    try {
        std::thread(ReceiverThreadMain, receiver).detach();
        return true;
    } catch (...) {
        return false;
    }
}

// The library must stay loaded while its thread runs; COM would otherwise unload it once
// every object is gone and the thread would run in freed code.
void PinLibrary() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&ReceiverThreadMain), &module);
}

bool PictureIsUsable(const DecodedPicture& picture) noexcept {
    if (picture.HasTexture()) {
        return true;
    }
    const std::uint64_t expected = Nv12ByteCount(picture.width, picture.height);
    return expected != 0 && picture.bytes.size() == expected;
}

}  // namespace

H264Receiver::ThreadStarter H264Receiver::threadStarter = &StartDetachedThread;

H264Receiver& H264Receiver::Instance() noexcept {
    static H264Receiver* const instance = new H264Receiver();
    return *instance;
}

void H264Receiver::EnsureStarted() noexcept {
    bool expected = false;
    if (!started.compare_exchange_strong(expected, true)) {
        return;
    }
    PinLibrary();
    {
        // The new thread passes the gate only after the line below, so its own lines follow it.
        std::lock_guard<std::mutex> gate(startGate);
        if (threadStarter(this)) {
            LogMessage(L"H.264 receiver starting.");
            return;
        }
    }
    // Let a later request try again, but say so at most once a minute: requests come
    // 30 to 60 times a second.
    const std::int64_t now = SteadyNowNs();
    const std::int64_t last = lastStartFailureLogNs.load();
    if (last == 0 || now - last >= ConnectionLogThrottle::kSummaryIntervalNs) {
        lastStartFailureLogNs.store(now);
        LogMessage(L"H.264 receiver starting.");
        LogMessage(L"H.264 receiver thread could not be started; retrying at the next request.");
    }
    started.store(false);
}

void H264Receiver::PassStartGate() noexcept {
    std::lock_guard<std::mutex> gate(startGate);
}

void ReceiverThreadMain(H264Receiver* receiver) noexcept {
    receiver->PassStartGate();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    for (;;) {
        const HRESULT hr = receiver->RunConnection();
        receiver->LogConnectionEnd(hr);
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + kReconnectPause);
    }
}

long H264Receiver::RunConnection() noexcept {
    const bool gpu = DecodeModeRequestsGpu();
    if (logThrottle.BeginAttempt(gpu)) {
        heldLines.Start();
    }
    LogMessage(gpu ? L"H.264 receiver decode mode: GPU experimental." : L"H.264 receiver decode mode: CPU fallback.");

    DecoderState decoder;
    decoder.gpuRequested = gpu;
    decoder.keptDevice = &decoderDevice;
    decoder.width = 640;
    decoder.height = 360;
    HRESULT hr = CreateDecoder(decoder);
    if (FAILED(hr)) {
        ReleaseDecoderState(decoder);
        return hr;
    }

    FrameStreamClient client(payloadBuffer, port);
    hr = client.Open();
    bool streamed = false;
    while (SUCCEEDED(hr)) {
        FrameHeader header;
        std::int64_t readStart = 0;
        std::int64_t readEnd = 0;
        hr = client.ReadFrame(header, readStart, readEnd);
        if (FAILED(hr)) {
            break;
        }
        if (!streamed) {
            streamed = true;
            logThrottle.Streamed();
            heldLines.Flush();
        }

        DecodedPicture picture;
        picture.bytes.swap(recycledBytes);  // empty, with room for a picture
        const std::int64_t decodeStart = SteadyNowNs();
        const HRESULT hrDecode = DecodeFrame(decoder, payloadBuffer.data(), header.payloadLength, picture);
        const std::int64_t decodeEnd = SteadyNowNs();
        std::uint32_t age = EstimateEndToEndAge(header.captureTimeMs, header.senderDelayMs, clockOffsetMs);
        age = clockStepWatch.Judge(age, header.senderDelayMs, clockOffsetMs, clock());

        if (SUCCEEDED(hrDecode) && (age == kNoAge || age <= kMaxPublishedAgeMs) && PictureIsUsable(picture)) {
            const std::int64_t storeStart = SteadyNowNs();
            std::lock_guard<std::mutex> lock(mutex);
            PublishPicture(picture, age);
            clockStepWatch.Published();
            const std::int64_t storeEnd = SteadyNowNs();
            UpdateStatistics(readEnd - readStart, decodeEnd - decodeStart, storeEnd - storeStart,
                             header.payloadLength);
        }
        // The vector the store let go, or this frame's when it was dropped, serves the next.
        picture.bytes.clear();
        recycledBytes.swap(picture.bytes);
    }
    client.Close();
    ReleaseDecoderState(decoder);
    return hr;
}

void H264Receiver::UpdateStatistics(std::int64_t readNs, std::int64_t decodeNs, std::int64_t storeNs,
                                    std::uint32_t payloadLength) noexcept {
    ++decodedFrames;
    readMicros += readNs / 1000;
    decodeMicros += decodeNs / 1000;
    storeMicros += storeNs / 1000;
    payloadBytes += payloadLength;
    if (decodedFrames != 1 && decodedFrames % 60 != 0) {
        return;
    }
    const std::int64_t now = SteadyNowNs();
    double fps = 0.0;
    if (lastStatsTimeNs != 0) {
        const std::int64_t elapsedMs = (now - lastStatsTimeNs) / 1000000;
        if (elapsedMs > 0) {
            fps = 60000.0 / static_cast<double>(elapsedMs);
        }
    }
    lastStatsTimeNs = now;
    const double n = decodedFrames == 1 ? 1.0 : 60.0;
    const double read = static_cast<double>(readMicros) / 1000.0 / n;
    const double decode = static_cast<double>(decodeMicros) / 1000.0 / n;
    const double store = static_cast<double>(storeMicros) / 1000.0 / n;
    const double kilobytes = static_cast<double>(payloadBytes) * 0.0009765625 / n;
    readMicros = 0;
    decodeMicros = 0;
    storeMicros = 0;
    payloadBytes = 0;
    LogFormatted(288,
                 L"H.264 decoded frames: %llu, fps=%.1f, endToEndAgeMs=%lu, avgMs read=%.2f decode=%.2f "
                 L"store=%.2f, avgKB=%.1f",
                 static_cast<unsigned long long>(decodedFrames), fps, static_cast<unsigned long>(ageAtPublishMs),
                 read, decode, store, kilobytes);
}

void H264Receiver::LogConnectionEnd(long result) noexcept {
    const ConnectionLogThrottle::Outcome outcome =
        logThrottle.EndAttempt(static_cast<std::uint32_t>(result), SteadyNowNs());
    heldLines.Stop();  // what follows is written, not held
    if (outcome.summaryCount > 0) {
        LogFormatted(160, L"H.264 stream still failing: 0x%08X, %llu more attempts since the last line.",
                     outcome.summaryCode, static_cast<unsigned long long>(outcome.summaryCount));
    }
    if (outcome.writeHeldLines) {
        heldLines.Flush();
    } else {
        heldLines.Discard();
    }
    if (outcome.writeFailureLine && FAILED(result)) {
        LogFormatted(160, L"H.264 stream failed: 0x%08X", static_cast<unsigned int>(result));
    }
}
