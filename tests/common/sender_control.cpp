#include "tests/common/sender_control.h"

#include <winhttp.h>

#include <cstdlib>
#include <memory>

namespace {

struct InternetCloser {
    void operator()(void* handle) const noexcept { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

HRESULT LastErrorHr() { return static_cast<HRESULT>(0x80070000u | (GetLastError() & 0xFFFFu)); }

}  // namespace

HRESULT SenderControl(const wchar_t* pathAndQuery, std::string* reply) noexcept try {
    const char* portText = std::getenv("VELMORA_SENDER_CONTROL_PORT");
    const int port = portText ? std::atoi(portText) : 0;
    Internet session(WinHttpOpen(L"VelmoraTests/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    Internet connection(session ? WinHttpConnect(session.get(), L"127.0.0.1",
                                                 static_cast<INTERNET_PORT>(port > 0 && port < 65536 ? port : 8091), 0)
                                : nullptr);
    Internet request(connection ? WinHttpOpenRequest(connection.get(), L"GET", pathAndQuery, nullptr,
                                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                : nullptr);
    DWORD status = 0;
    DWORD size = sizeof status;
    // A scenario with a new picture size waits for its encoding.
    if (!request || !WinHttpSetTimeouts(request.get(), 5000, 5000, 5000, 180000) ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr) ||
        !WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return LastErrorHr();
    }
    std::string body;
    char chunk[4096];
    for (DWORD got = 1; got > 0; body.append(chunk, got)) {
        if (!WinHttpReadData(request.get(), chunk, sizeof chunk, &got)) {
            return LastErrorHr();
        }
    }
    if (reply) {
        *reply = body;
    }
    return status == 200 ? S_OK : status == 400 ? E_INVALIDARG : E_FAIL;
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT SetSenderScenario(const wchar_t* query) noexcept try {
    return SenderControl((std::wstring(L"/scenario?") + query).c_str());
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT ResetSender() noexcept { return SenderControl(L"/reset"); }

std::string SenderStatus(const char* key) {
    std::string body;
    SenderControl(L"/status", &body);  // nothing read: no key found
    body = "\n" + body;
    const std::string prefix = "\n" + std::string(key) + "=";
    const std::size_t start = body.find(prefix);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t from = start + prefix.size();
    return body.substr(from, body.find('\n', from) - from);
}
