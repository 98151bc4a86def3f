// Drives the frame-stream sender (tools/sender/sender.py, see its README.md) from Windows tests through its control
// port: 127.0.0.1:8091, or VELMORA_SENDER_CONTROL_PORT's. Tests that use it name the ctest fixture "sender".
#pragma once

#include <windows.h>

#include <string>

// GET: S_OK for 200, E_INVALIDARG for 400 (the body says why), E_FAIL for other statuses, WinHTTP's error if no sender.
HRESULT SenderControl(const wchar_t* pathAndQuery, std::string* reply = nullptr) noexcept;

// For the next connections on 8080, e.g. L"name=close&frames=3"; returns once the sender is ready (encoding done).
HRESULT SetSenderScenario(const wchar_t* query) noexcept;

// Back to the sender's default scenario, counters to 0, listening on 8080.
HRESULT ResetSender() noexcept;

// Keys: listening, connections, active, frames, last_end, scenario. Empty when the sender or the key is not there.
std::string SenderStatus(const char* key);
