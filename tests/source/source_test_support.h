// Shared by the media source and COM server tests: Media Foundation start-up,
// event draining and reading new lines of the library log.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace velmora::test {

// COM (multithreaded) and Media Foundation for the whole test program.
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

// One event read from a queue.
struct EventRecord {
    MediaEventType type = MEUnknown;
    HRESULT status = S_OK;
    GUID extendedType = GUID_NULL;
    VARTYPE valueType = VT_EMPTY;
    LONGLONG valueI8 = 0;
    ComPtr<IUnknown> valueUnknown;
};

// Reads every queued event without waiting, until the queue reports it has none (or
// another failure, which is recorded as `endResult`).
struct DrainedEvents {
    std::vector<EventRecord> events;
    HRESULT endResult = S_OK;

    std::vector<MediaEventType> Types() const {
        std::vector<MediaEventType> types;
        for (const auto& event : events) {
            types.push_back(event.type);
        }
        return types;
    }
};

inline DrainedEvents DrainEvents(IMFMediaEventGenerator* generator) {
    DrainedEvents result;
    for (;;) {
        ComPtr<IMFMediaEvent> event;
        const HRESULT hr = generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        if (FAILED(hr)) {
            result.endResult = hr;
            return result;
        }
        EventRecord record;
        event->GetType(&record.type);
        event->GetStatus(&record.status);
        event->GetExtendedType(&record.extendedType);
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(event->GetValue(&value))) {
            record.valueType = value.vt;
            if (value.vt == VT_I8) {
                record.valueI8 = value.hVal.QuadPart;
            } else if (value.vt == VT_UNKNOWN) {
                record.valueUnknown = value.punkVal;
            }
        }
        PropVariantClear(&value);
        result.events.push_back(record);
    }
}

// The stream identifier behind an event value (a stream object as IUnknown); -1 if none.
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

// New lines of C:\ProgramData\Velmora\source.log since construction, messages only
// (without the time stamp), as UTF-8.
class LogTail {
public:
    LogTail() : start(ReadLog().size()) {}

    std::vector<std::string> Messages() const {
        const std::string bytes = ReadLog();
        std::vector<std::string> messages;
        std::size_t position = start <= bytes.size() ? start : 0;
        if (bytes.compare(position, 3, "\xEF\xBB\xBF") == 0) {
            position += 3;
        }
        while (position < bytes.size()) {
            std::size_t end = bytes.find('\n', position);
            if (end == std::string::npos) {
                end = bytes.size();
            }
            std::string line = bytes.substr(position, end - position);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            // "YYYY-MM-DD hh:mm:ss message"
            messages.push_back(line.size() >= 20 ? line.substr(20) : line);
            position = end + 1;
        }
        return messages;
    }

    std::size_t Count(const std::string& message) const {
        std::size_t count = 0;
        for (const auto& line : Messages()) {
            count += line == message ? 1 : 0;
        }
        return count;
    }

    static std::string ReadLog() {
        // The writer opens the log exclusively for a moment: retry a busy file.
        for (int attempt = 0; attempt < 200; ++attempt) {
            HANDLE file = CreateFileW(L"C:\\ProgramData\\Velmora\\source.log", GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) {
                    return {};
                }
                Sleep(5);
                continue;
            }
            std::string bytes;
            char buffer[65536];
            DWORD read = 0;
            while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
                bytes.append(buffer, read);
            }
            CloseHandle(file);
            return bytes;
        }
        return {};
    }

private:
    std::size_t start;
};

inline std::string HrText(HRESULT hr) {
    char text[16];
    wsprintfA(text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace velmora::test
