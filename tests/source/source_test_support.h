// Shared by the media source and COM server tests: Media Foundation start-up, event
// draining and reading new lines of the library log.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace velmora::test {

class MediaFoundationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    }
    void TearDown() override {
        MFShutdown();
        CoUninitialize();
    }
};
inline ::testing::Environment* const mediaFoundationEnvironment =
    ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

inline std::string HrText(HRESULT hr) {
    char text[16];
    wsprintfA(text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// The stream identifier behind an event value (a stream object); -1 if there is none.
inline long StreamIdOf(IUnknown* value) {
    ComPtr<IMFMediaStream> stream;
    ComPtr<IMFStreamDescriptor> descriptor;
    DWORD id = 0;
    if (!value || FAILED(value->QueryInterface(IID_PPV_ARGS(&stream))) ||
        FAILED(stream->GetStreamDescriptor(&descriptor)) || FAILED(descriptor->GetStreamIdentifier(&id))) {
        return -1;
    }
    return static_cast<long>(id);
}

struct EventRecord {
    MediaEventType type = MEUnknown;
    PROPVARIANT value{};  // VT_I8 kept; VT_UNKNOWN moved to `object`
    ComPtr<IUnknown> object;
    std::string text;  // "type", "type:stream id", with "!" when status or extended type is not S_OK / GUID_NULL
};

// Every queued event, read without waiting until the queue has none.
inline std::vector<EventRecord> DrainEvents(IMFMediaEventGenerator* generator) {
    std::vector<EventRecord> events;
    for (;;) {
        ComPtr<IMFMediaEvent> event;
        const HRESULT hr = generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        if (FAILED(hr)) {
            EXPECT_EQ(hr, MF_E_NO_EVENTS_AVAILABLE) << HrText(hr);
            return events;
        }
        EventRecord record;
        HRESULT status = E_FAIL;
        GUID extended = GUID_NULL;
        event->GetType(&record.type);
        event->GetStatus(&status);
        event->GetExtendedType(&extended);
        event->GetValue(&record.value);
        record.text = std::to_string(record.type);
        if (record.value.vt == VT_UNKNOWN) {
            record.object = record.value.punkVal;
            PropVariantClear(&record.value);
            record.text += ":" + std::to_string(StreamIdOf(record.object.Get()));
        }
        record.text += status == S_OK && extended == GUID_NULL ? "" : "!";
        events.push_back(record);
    }
}

inline std::vector<std::string> EventTexts(const std::vector<EventRecord>& events) {
    std::vector<std::string> texts;
    for (const auto& event : events) {
        texts.push_back(event.text);
    }
    return texts;
}

// Messages (without time stamps) that C:\ProgramData\Velmora\source.log gained since
// construction.
class LogTail {
public:
    LogTail() : start(ReadLog().size()) {}

    std::vector<std::string> Messages() const {
        const std::string bytes = ReadLog();
        std::vector<std::string> messages;
        std::size_t position = start < bytes.size() ? start : bytes.size();
        position += bytes.compare(position, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        while (position < bytes.size()) {
            std::size_t end = std::min(bytes.find("\r\n", position), bytes.size());
            const std::size_t stamp = end - position >= 20 ? 20 : 0;  // "YYYY-MM-DD hh:mm:ss "
            messages.push_back(bytes.substr(position + stamp, end - position - stamp));
            position = end + 2;
        }
        return messages;
    }

    static std::string ReadLog() {
        // The library holds the file exclusively while it writes a line: retry.
        for (int attempt = 0; attempt < 200; ++attempt, Sleep(5)) {
            HANDLE file = CreateFileW(L"C:\\ProgramData\\Velmora\\source.log", GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
                continue;
            }
            std::string bytes;
            char buffer[65536];
            DWORD read = 0;
            while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read) {
                bytes.append(buffer, read);
            }
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
            return bytes;
        }
        return {};
    }

private:
    std::size_t start;
};

}  // namespace velmora::test
