// The receiver's HTTP client for the frame stream: one synchronous WinHTTP request per
// connection to http://127.0.0.1:8080/h264frames, whose endless body is split into frames.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <vector>

#include "library/receiver/frame_header.h"

inline constexpr wchar_t kFrameStreamUserAgent[] = L"VelmoraSource/1.0";
inline constexpr wchar_t kFrameStreamHost[] = L"127.0.0.1";
inline constexpr INTERNET_PORT kFrameStreamPort = 8080;
inline constexpr wchar_t kFrameStreamPath[] = L"/h264frames";
inline constexpr int kResolveTimeoutMs = 1000;
inline constexpr int kConnectTimeoutMs = 1000;
inline constexpr int kSendTimeoutMs = 1000;
inline constexpr int kReceiveTimeoutMs = 1500;

// The body ended (a read delivered 0 bytes): HRESULT of ERROR_HANDLE_EOF.
inline constexpr HRESULT kStreamEndedHr = static_cast<HRESULT>(0x80070026);
// A header whose payload length is 0 or above the largest payload: MF_E_INVALID_FORMAT.
inline constexpr HRESULT kBadPayloadLengthHr = static_cast<HRESULT>(0xC00D3E8C);

// 0x80070000 combined with the low 16 bits of a Win32 error: always a failure code,
// also for error 0.
constexpr HRESULT HresultFromWin32Error(DWORD error) noexcept {
    return static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// Owns one WinHTTP handle.
class WinHttpHandle {
public:
    WinHttpHandle() noexcept = default;
    explicit WinHttpHandle(HINTERNET handle) noexcept : handle(handle) {}
    WinHttpHandle(WinHttpHandle&& other) noexcept : handle(other.handle) { other.handle = nullptr; }
    WinHttpHandle& operator=(WinHttpHandle&& other) noexcept;
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;
    ~WinHttpHandle() { Reset(); }

    HINTERNET Get() const noexcept { return handle; }
    explicit operator bool() const noexcept { return handle != nullptr; }
    void Reset() noexcept;

private:
    HINTERNET handle = nullptr;
};

class FrameStreamClient {
public:
    // `payloadBuffer` outlives the client and is shared by all connections: it grows to
    // the largest payload seen and never shrinks. `port` other than 8080 is for tests.
    explicit FrameStreamClient(std::vector<std::uint8_t>& payloadBuffer,
                               INTERNET_PORT port = kFrameStreamPort) noexcept;
    FrameStreamClient(const FrameStreamClient&) = delete;
    FrameStreamClient& operator=(const FrameStreamClient&) = delete;
    ~FrameStreamClient() { Close(); }

    // Sends the request and waits for the response headers. On failure the handles opened
    // so far are closed again. A client that is already open is closed first.
    HRESULT Open() noexcept;

    // Reads the next header and its payload into the start of the payload buffer.
    // readStartNs: when the header was complete (buffer grown); readEndNs: when the payload
    // was complete; both std::chrono::steady_clock (the performance counter) in ns.
    HRESULT ReadFrame(FrameHeader& header, std::int64_t& readStartNs,
                      std::int64_t& readEndNs) noexcept;

    // Closes the request, connection and internet handles, in that order, those opened.
    void Close() noexcept;

    bool IsOpen() const noexcept { return static_cast<bool>(request); }

private:
    HRESULT ReadExactly(std::uint8_t* destination, DWORD count) noexcept;

    std::vector<std::uint8_t>& payloadBuffer;
    INTERNET_PORT port;
    WinHttpHandle internet;
    WinHttpHandle connection;
    WinHttpHandle request;
};

// EstimateEndToEndAge at the present moment of the precise wall clock.
std::uint32_t EstimateEndToEndAge(std::uint64_t captureTimeMs, std::uint64_t senderDelayMs,
                                  std::int64_t& clockOffsetMs) noexcept;
