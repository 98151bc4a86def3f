#include "library/receiver/frame_stream_client.h"

#include <chrono>
#include <cwchar>

#include "library/diagnostics/log.h"

namespace {

std::int64_t SteadyNowNs() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

HRESULT LastErrorHr() noexcept { return HresultFromWin32Error(GetLastError()); }

}  // namespace

WinHttpHandle& WinHttpHandle::operator=(WinHttpHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        handle = other.handle;
        other.handle = nullptr;
    }
    return *this;
}

void WinHttpHandle::Reset() noexcept {
    if (handle != nullptr) {
        WinHttpCloseHandle(handle);
        handle = nullptr;
    }
}

FrameStreamClient::FrameStreamClient(std::vector<std::uint8_t>& payloadBuffer,
                                     INTERNET_PORT port) noexcept
    : payloadBuffer(payloadBuffer), port(port) {}

HRESULT FrameStreamClient::Open() noexcept {
    Close();

    internet = WinHttpHandle(WinHttpOpen(kFrameStreamUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!internet) {
        return LastErrorHr();
    }

    wchar_t line[96];
    swprintf(line, sizeof line / sizeof line[0], L"Connecting to http://%ls:%u%ls", kFrameStreamHost,
             static_cast<unsigned>(port), kFrameStreamPath);
    LogMessage(line);

    // Each failure takes the thread's last error before closing anything can change it.
    HRESULT hr = S_OK;
    connection = WinHttpHandle(WinHttpConnect(internet.Get(), kFrameStreamHost, port, 0));
    if (!connection) {
        hr = LastErrorHr();
        Close();
        return hr;
    }
    request = WinHttpHandle(WinHttpOpenRequest(connection.Get(), L"GET", kFrameStreamPath, nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) {
        hr = LastErrorHr();
        Close();
        return hr;
    }
    // Whatever listens on the port must not send the request on to another host: a redirect
    // is an answer like any other.
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled)) {
        hr = LastErrorHr();
        Close();
        return hr;
    }
    WinHttpSetTimeouts(request.Get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       kReceiveTimeoutMs);
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                            0, 0, 0) ||
        !WinHttpReceiveResponse(request.Get(), nullptr)) {
        hr = LastErrorHr();
        Close();
        return hr;
    }
    LogMessage(L"H.264 HTTP response received.");
    return S_OK;
}

HRESULT FrameStreamClient::ReadExactly(std::uint8_t* destination, DWORD count) noexcept {
    DWORD done = 0;
    while (done < count) {
        DWORD got = 0;
        if (!WinHttpReadData(request.Get(), destination + done, count - done, &got)) {
            return LastErrorHr();
        }
        if (got == 0) {
            return kStreamEndedHr;
        }
        if (got > count - done) {
            return E_UNEXPECTED;  // more than asked for: memory past the part was written
        }
        done += got;
    }
    return S_OK;
}

HRESULT FrameStreamClient::ReadFrame(FrameHeader& header, std::int64_t& readStartNs,
                                     std::int64_t& readEndNs) noexcept {
    if (!request) {
        return HresultFromWin32Error(ERROR_INVALID_HANDLE);
    }
    std::uint8_t bytes[kFrameHeaderSize] = {};
    HRESULT hr = ReadExactly(bytes, kFrameHeaderSize);
    if (FAILED(hr)) {
        return hr;
    }
    const FrameHeader parsed = ParseFrameHeader(bytes);
    if (!IsValidPayloadLength(parsed.payloadLength)) {
        return kBadPayloadLengthHr;
    }

    if (payloadBuffer.size() < parsed.payloadLength) {
        try {
            payloadBuffer.resize(parsed.payloadLength);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    readStartNs = SteadyNowNs();
    hr = ReadExactly(payloadBuffer.data(), parsed.payloadLength);
    if (FAILED(hr)) {
        return hr;
    }
    readEndNs = SteadyNowNs();
    header = parsed;
    return S_OK;
}

void FrameStreamClient::Close() noexcept {
    request.Reset();
    connection.Reset();
    internet.Reset();
}

std::uint32_t EstimateEndToEndAge(std::uint64_t captureTimeMs, std::uint64_t senderDelayMs,
                                  std::int64_t& clockOffsetMs) noexcept {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t fileTime =
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return EstimateEndToEndAge(captureTimeMs, senderDelayMs, clockOffsetMs, fileTime);
}
