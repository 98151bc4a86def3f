// RequestSample: pacing, the latest decoded picture (as a DXGI surface or copied through
// memory), crop, letterbox scaling, YUY2 packing, the test picture, statistics lines and
// the MEMediaSample event.
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "library/diagnostics/decode_mode.h"
#include "library/diagnostics/log.h"
#include "library/receiver/h264_receiver.h"
#include "library/stream/pixel_routines.h"
#include "library/stream/velmora_media_stream.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr std::uint32_t kDefaultWidth = 640;
constexpr std::uint32_t kDefaultHeight = 360;
constexpr std::uint64_t kDefaultFrameDuration = 333333;  // 30 frames per second
constexpr std::uint64_t kLongestFrameDuration = 10000000;  // one second
constexpr std::uint64_t kStatisticsInterval = 30;

// Sample time, duration, clean point and the request's token.
HRESULT StampSample(IMFSample* sample, std::uint64_t frameDuration, IUnknown* token) noexcept {
    HRESULT hr = sample->SetSampleTime(MFGetSystemTime());
    if (SUCCEEDED(hr)) {
        hr = sample->SetSampleDuration(static_cast<LONGLONG>(frameDuration));
    }
    if (SUCCEEDED(hr)) {
        hr = sample->SetUINT32(MFSampleExtension_CleanPoint, 1);
    }
    if (SUCCEEDED(hr) && token != nullptr) {
        hr = sample->SetUnknown(MFSampleExtension_Token, token);
    }
    return hr;
}

// Keeps a media buffer locked until Unlock or the end of the scope.
class BufferLock {
public:
    explicit BufferLock(IMFMediaBuffer* buffer) noexcept : buffer(buffer) {}
    BufferLock(const BufferLock&) = delete;
    BufferLock& operator=(const BufferLock&) = delete;
    ~BufferLock() {
        if (data != nullptr) {
            buffer->Unlock();
        }
    }
    HRESULT Lock() noexcept {
        BYTE* locked = nullptr;
        const HRESULT hr = buffer->Lock(&locked, &maxLength, nullptr);
        if (SUCCEEDED(hr)) {
            data = locked;
        }
        return hr;
    }
    HRESULT Unlock() noexcept {
        data = nullptr;
        return buffer->Unlock();
    }
    BYTE* data = nullptr;
    DWORD maxLength = 0;

private:
    IMFMediaBuffer* buffer;
};

std::int64_t ElapsedMicros(std::int64_t fromNs, std::int64_t toNs) noexcept {
    return (toNs - fromNs) / 1000;
}

}  // namespace

// The stream's two pixel buffers, lent to one request at a time. An overlapping request
// finds them lent out and works in buffers of its own, which go when it ends.
class VelmoraMediaStream::BufferCheckout {
public:
    explicit BufferCheckout(VelmoraMediaStream& stream) : stream(stream) {
        std::lock_guard<std::mutex> lock(stream.requestMutex);
        if (!stream.buffersCheckedOut) {
            stream.buffersCheckedOut = true;
            owner = true;
            sourceFrame.swap(stream.sourceFrameBuffer);
            nv12.swap(stream.nv12Scratch);
        }
    }
    BufferCheckout(const BufferCheckout&) = delete;
    BufferCheckout& operator=(const BufferCheckout&) = delete;
    ~BufferCheckout() {
        if (!owner) {
            return;
        }
        std::lock_guard<std::mutex> lock(stream.requestMutex);
        stream.sourceFrameBuffer.swap(sourceFrame);
        stream.nv12Scratch.swap(nv12);
        stream.buffersCheckedOut = false;
    }

    PixelBytes sourceFrame;
    PixelBytes nv12;

private:
    VelmoraMediaStream& stream;
    bool owner = false;
};

STDMETHODIMP VelmoraMediaStream::RequestSample(IUnknown* token) noexcept {
    try {
        return ProduceSample(token);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT VelmoraMediaStream::ProduceSample(IUnknown* token) {
    if (shutDown) {
        return MF_E_SHUTDOWN;
    }
    if (!active) {
        return MF_E_INVALIDREQUEST;
    }
    // A counted reference: a concurrent Shutdown may release the stream's own.
    ComPtr<IMFStreamDescriptor> descriptor;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (shutDown || !eventQueue) {
            return MF_E_SHUTDOWN;
        }
        descriptor = streamDescriptor;
    }

    RequestedFormat format = ReadCurrentMediaType(descriptor.Get());
    descriptor.Reset();
    if (!PaceRequest(format.frameDuration)) {
        // The run this request was made in has ended.
        return shutDown ? MF_E_SHUTDOWN : MF_E_INVALIDREQUEST;
    }

    const bool yuy2 = format.subtype == MFVideoFormat_YUY2;
    if (!yuy2) {
        format.subtype = MFVideoFormat_NV12;
    }
    // Readable sizes keep this within 32 bits.
    const std::uint64_t pixels = std::uint64_t{format.width} * format.height;
    const auto sampleSize = static_cast<DWORD>(yuy2 ? pixels * 2 : pixels * 3 / 2);

    ComPtr<IMFSample> sample;
    HRESULT hr = MFCreateSample(&sample);
    if (FAILED(hr)) {
        return hr;
    }
    H264Receiver::Instance().EnsureStarted();

    if (DecodeModeRequestsGpu() && DecodeModeRequestsDirect() && !yuy2) {
        bool produced = false;
        hr = TryGpuSample(format, sample.Get(), token, produced);
        if (produced) {
            return hr;
        }
    }
    return ProduceCpuSample(format, yuy2, sampleSize, sample.Get(), token);
}

VelmoraMediaStream::RequestedFormat VelmoraMediaStream::ReadCurrentMediaType(
    IMFStreamDescriptor* descriptor) noexcept {
    RequestedFormat format{MFVideoFormat_NV12, kDefaultWidth, kDefaultHeight, kDefaultFrameDuration};
    if (descriptor == nullptr) {
        return format;
    }
    ComPtr<IMFMediaTypeHandler> handler;
    if (FAILED(descriptor->GetMediaTypeHandler(&handler)) || !handler) {
        return format;
    }
    ComPtr<IMFMediaType> type;
    if (FAILED(handler->GetCurrentMediaType(&type)) || !type) {
        return format;
    }
    GUID subtype{};
    if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) {
        format.subtype = subtype;
    }
    UINT64 packed = 0;
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_SIZE, &packed))) {
        const auto width = static_cast<std::uint32_t>(packed >> 32);
        const auto height = static_cast<std::uint32_t>(packed);
        // A size the routines cannot fill safely counts as unreadable.
        if (FrameSizeIsReadable(width, height)) {
            format.width = width;
            format.height = height;
        }
    }
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &packed))) {
        const auto numerator = static_cast<std::uint32_t>(packed >> 32);
        const auto denominator = static_cast<std::uint32_t>(packed);
        const std::uint64_t duration =
            numerator != 0 ? static_cast<std::uint64_t>(denominator) * 10000000u / numerator : 0;
        // Slower than one frame a second counts as unreadable: no request waits that long.
        if (duration != 0 && duration <= kLongestFrameDuration) {
            format.frameDuration = duration;
        }
    }
    return format;
}

bool VelmoraMediaStream::PaceRequest(std::uint64_t frameDuration) noexcept {
    const auto d = static_cast<std::int64_t>(std::min(frameDuration, kLongestFrameDuration) * 100);
    std::int64_t now = SteadyNowNs();
    std::unique_lock<std::mutex> lock(pacingMutex);
    if (nextDueNs == 0 || nextDueNs + 2 * d < now) {
        // First sample, or a stall of more than two frames: restart from the present.
        nextDueNs = now + d;
        return true;
    }
    const std::int64_t due = nextDueNs;
    nextDueNs = due + d;
    const std::uint64_t epoch = pacingEpoch;
    while (now < due) {
        pacingWake.wait_for(lock, std::chrono::milliseconds((due - now + 999999) / 1000000));
        if (pacingEpoch != epoch) {
            return false;
        }
        now = SteadyNowNs();
    }
    return true;
}

void VelmoraMediaStream::WakePacing() noexcept {
    {
        std::lock_guard<std::mutex> lock(pacingMutex);
        ++pacingEpoch;
    }
    pacingWake.notify_all();
}

Microsoft::WRL::ComPtr<SamplePool> VelmoraMediaStream::MemorySamplePool() noexcept {
    std::lock_guard<std::mutex> lock(requestMutex);
    return samplePool;
}

// A buffer from the stream's pool, made at the first memory sample; a plain one when the
// pool cannot be made.
HRESULT VelmoraMediaStream::CreateMemoryBuffer(DWORD size, IMFMediaBuffer** buffer) noexcept {
    ComPtr<SamplePool> pool;
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        if (!samplePool && !shutDown) {
            *samplePool.GetAddressOf() = SamplePool::Create();
        }
        pool = samplePool;
    }
    return pool ? pool->Acquire(size, buffer) : MFCreateMemoryBuffer(size, buffer);
}

std::uint64_t VelmoraMediaStream::ReadLastSequence() noexcept {
    std::lock_guard<std::mutex> lock(requestMutex);
    return lastSequence;
}

void VelmoraMediaStream::StoreLastSequence(std::uint64_t sequence) noexcept {
    std::lock_guard<std::mutex> lock(requestMutex);
    lastSequence = sequence;
}

double VelmoraMediaStream::StatisticsFps(std::int64_t now) noexcept {
    double fps = 0.0;
    if (lastStatsLogNs != 0) {
        const std::int64_t elapsedMs = (now - lastStatsLogNs) / 1000000;
        if (elapsedMs >= 1) {
            fps = 30000.0 / static_cast<double>(elapsedMs);
        }
    }
    lastStatsLogNs = now;
    return fps;
}

HRESULT VelmoraMediaStream::TryGpuSample(const RequestedFormat& format, IMFSample* sample, IUnknown* token,
                                         bool& produced) {
    produced = false;
    std::uint64_t sequence = ReadLastSequence();
    std::uint32_t ageMs = 0;
    GpuFrame frame;
    if (!H264Receiver::Instance().TakeGpuFrame(sequence, ageMs, frame)) {
        return S_OK;
    }
    StoreLastSequence(sequence);
    // The texture is never scaled: another size goes through memory.
    if (frame.textureWidth != format.width || frame.textureHeight != format.height) {
        return S_OK;
    }
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), frame.texture.Get(), frame.textureSubresource,
                                           FALSE, &buffer);
    if (FAILED(hr)) {
        LogMessage(L"MFCreateDXGISurfaceBuffer failed; falling back to CPU sample.");
        return S_OK;
    }
    produced = true;
    buffer->SetCurrentLength(static_cast<DWORD>(std::uint64_t{format.width} * format.height * 3 / 2));
    hr = sample->AddBuffer(buffer.Get());
    if (SUCCEEDED(hr)) {
        hr = StampSample(sample, format.frameDuration, token);
    }
    if (FAILED(hr)) {
        return hr;
    }

    std::uint64_t count = 0;
    bool writeLine = false;
    double fps = 0.0;
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        count = ++sampleCount;
        writeLine = count == 1 || count % kStatisticsInterval == 0;
        if (writeLine) {
            fps = StatisticsFps(SteadyNowNs());
        }
    }
    if (writeLine) {
        LogFormatted(192, L"%s RequestSample queued frame: %llu, fps=%.1f, source=h264-gpu, format=NV12, ageMs=%lu",
                     name, static_cast<unsigned long long>(count), fps, static_cast<unsigned long>(ageMs));
    }
    return QueueSample(sample);
}

HRESULT VelmoraMediaStream::ProduceCpuSample(const RequestedFormat& format, bool yuy2, DWORD sampleSize,
                                             IMFSample* sample, IUnknown* token) {
    const std::uint32_t width = format.width;
    const std::uint32_t height = format.height;
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT hr = CreateMemoryBuffer(sampleSize, &buffer);
    if (FAILED(hr)) {
        return hr;
    }
    BufferLock locked(buffer.Get());
    hr = locked.Lock();
    if (FAILED(hr)) {
        return hr;
    }
    if (locked.maxLength < sampleSize) {
        return MF_E_BUFFERTOOSMALL;
    }

    const std::int64_t t0 = SteadyNowNs();
    const auto destinationSize = static_cast<std::uint32_t>(std::uint64_t{width} * height * 3 / 2);
    std::uint32_t sourceWidth = kFallbackWidth;
    std::uint32_t sourceHeight = kFallbackHeight;
    std::uint32_t effectiveHeight = kFallbackHeight;
    std::uint32_t ageMs = 0;
    bool taken = false;
    bool deliveredDirect = false;
    bool scaled = false;
    std::int64_t t1 = 0;
    std::int64_t t2 = 0;
    std::int64_t t3 = 0;
    std::int64_t t4 = 0;
    {
        BufferCheckout buffers(*this);
        std::uint8_t* destination = locked.data;
        if (yuy2) {
            if (buffers.nv12.size() != destinationSize) {
                buffers.nv12.resize(destinationSize);
            }
            destination = buffers.nv12.data();
        }
        if (buffers.sourceFrame.size() != kSourceFrameBufferSize) {
            buffers.sourceFrame.resize(kSourceFrameBufferSize);
        }
        std::uint8_t* const sourceFrame = buffers.sourceFrame.data();

        t1 = SteadyNowNs();
        std::uint64_t sequence = ReadLastSequence();
        std::uint32_t takenAge = 0;
        std::uint32_t frameWidth = 0;
        std::uint32_t frameHeight = 0;
        taken = H264Receiver::Instance().TakeCpuFrame(destination, destinationSize, sourceFrame,
                                                      kSourceFrameBufferSize, width, height, sequence, takenAge,
                                                      frameWidth, frameHeight, deliveredDirect);
        t2 = SteadyNowNs();
        if (taken) {
            StoreLastSequence(sequence);
            sourceWidth = frameWidth;
            sourceHeight = frameHeight;
            ageMs = takenAge;
        } else {
            deliveredDirect = false;
            std::uint64_t counter = 0;
            {
                std::lock_guard<std::mutex> lock(requestMutex);
                counter = sampleCount;
            }
            FillFallbackPattern(sourceFrame, counter);
        }
        effectiveHeight = width != 0 && height != 0 ? CropHeight(sourceWidth, sourceHeight, width, height)
                                                    : sourceHeight;

        t3 = SteadyNowNs();
        if (!deliveredDirect) {
            if (width == sourceWidth && height == effectiveHeight) {
                CopyNv12Cropped(sourceFrame, sourceWidth, sourceHeight, destination, destinationSize, width, height);
            } else {
                ScaleNv12Letterboxed(sourceFrame, sourceWidth, sourceHeight, effectiveHeight, destination, width,
                                     height);
                scaled = true;
            }
        }
        if (yuy2) {
            ConvertNv12ToYuy2(buffers.nv12.data(), locked.data, width, height);
        }
        t4 = SteadyNowNs();
    }

    hr = locked.Unlock();
    if (SUCCEEDED(hr)) {
        hr = buffer->SetCurrentLength(sampleSize);
    }
    if (SUCCEEDED(hr)) {
        hr = sample->AddBuffer(buffer.Get());
    }
    if (SUCCEEDED(hr)) {
        hr = StampSample(sample, format.frameDuration, token);
    }
    if (FAILED(hr)) {
        return hr;
    }

    std::uint64_t count = 0;
    bool writeLine = false;
    double fps = 0.0;
    std::uint64_t divisor = 1;
    double averageSample = 0.0;
    double averageWait = 0.0;
    double averageTransform = 0.0;
    std::uint64_t scaledSamples = 0;
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        count = ++sampleCount;
        sampleMicros += ElapsedMicros(t0, SteadyNowNs());
        waitMicros += ElapsedMicros(t1, t2);
        transformMicros += ElapsedMicros(t3, t4);
        if (scaled) {
            ++scaledCount;
        }
        writeLine = count == 1 || count % kStatisticsInterval == 0;
        if (writeLine) {
            fps = StatisticsFps(SteadyNowNs());
            divisor = count == 1 ? 1 : kStatisticsInterval;
            averageSample = static_cast<double>(sampleMicros) / 1000.0 / static_cast<double>(divisor);
            averageWait = static_cast<double>(waitMicros) / 1000.0 / static_cast<double>(divisor);
            averageTransform = static_cast<double>(transformMicros) / 1000.0 / static_cast<double>(divisor);
            scaledSamples = scaledCount;
            sampleMicros = 0;
            waitMicros = 0;
            transformMicros = 0;
            scaledCount = 0;
        }
    }
    if (writeLine) {
        LogFormatted(256,
                     L"%s RequestSample queued frame: %llu, fps=%.1f, source=%s, format=%s, ageMs=%lu, avgMs "
                     L"sample=%.2f wait=%.2f transform=%.2f, scaled=%llu/%llu, direct=%s, src=%ux%u req=%ux%u",
                     name, static_cast<unsigned long long>(count), fps, taken ? L"h264" : L"fallback",
                     yuy2 ? L"YUY2" : L"NV12", static_cast<unsigned long>(ageMs), averageSample, averageWait,
                     averageTransform, static_cast<unsigned long long>(scaledSamples),
                     static_cast<unsigned long long>(divisor), deliveredDirect ? L"yes" : L"no", sourceWidth,
                     effectiveHeight, width, height);
    }
    return QueueSample(sample);
}

HRESULT VelmoraMediaStream::QueueSample(IMFSample* sample) noexcept {
    // Under the state lock, after the flags: a stream shut down or stopped while this
    // request was working gets no sample after its MEStreamStopped or its shutdown.
    std::lock_guard<std::mutex> lock(stateMutex);
    if (shutDown || !eventQueue) {
        return MF_E_SHUTDOWN;
    }
    if (!active) {
        return MF_E_INVALIDREQUEST;
    }
    return eventQueue->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample);
}
