// Drives the frame-stream sender (tools/sender/sender.py) from Windows tests through its
// control port: 127.0.0.1:8091, or the port in the environment variable
// VELMORA_SENDER_CONTROL_PORT. Tests that use it name the ctest fixture "sender".
// The control paths and scenario options are described in tools/sender/README.md.
#pragma once

#include <windows.h>

#include <string>

// GET http://127.0.0.1:<control port><pathAndQuery>, e.g. L"/status". The reply body goes
// to *reply when given. S_OK for status 200, E_INVALIDARG for 400 (the body says why),
// E_FAIL for other statuses, the WinHTTP error as an HRESULT when the sender is not there.
HRESULT SenderControl(const wchar_t* pathAndQuery, std::string* reply = nullptr) noexcept;

// Chooses the scenario served to the next connections on 8080, e.g.
// L"name=close&frames=3" or L"payload=pattern&sizes=50000,1000". Returns once the sender
// is ready to serve it (encoding done).
HRESULT SetSenderScenario(const wchar_t* query) noexcept;

// Back to the sender's default scenario, counters to 0, listening on 8080.
HRESULT ResetSender() noexcept;

// One value of /status (listening, connections, active, frames, last_end, scenario);
// empty when the sender or the key is not there.
std::string SenderStatus(const char* key);
