// Shared by the media source and COM server tests: Media Foundation start-up, activation,
// event draining and the new lines of the library log.
#pragma once

#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "library/com/activate.h"

using Microsoft::WRL::ComPtr;

namespace velmora::test {

struct MediaFoundationEnvironment : ::testing::Environment {
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
    }
    void TearDown() override { MFShutdown(), CoUninitialize(); }
};
inline ::testing::Environment* const mediaFoundationEnvironment =
    ::testing::AddGlobalTestEnvironment(new MediaFoundationEnvironment);

inline std::string HrText(HRESULT hr) {
    char text[16];
    wsprintfA(text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// A source from the library's own activation object (not through the DLL's exports).
inline ComPtr<IMFMediaSourceEx> ActivateSource(HRESULT* result = nullptr) {
    ComPtr<IMFActivate> activate;
    *activate.ReleaseAndGetAddressOf() = new VelmoraActivate();
    ComPtr<IMFMediaSourceEx> source;
    const HRESULT hr = activate->ActivateObject(IID_PPV_ARGS(&source));
    if (result) {
        *result = hr;
    } else {
        EXPECT_EQ(hr, S_OK) << HrText(hr);
    }
    return source;
}

// The source's descriptor with exactly the given streams selected.
inline ComPtr<IMFPresentationDescriptor> Selecting(IMFMediaSource* source, std::initializer_list<DWORD> selected) {
    ComPtr<IMFPresentationDescriptor> descriptor;
    EXPECT_EQ(source->CreatePresentationDescriptor(&descriptor), S_OK);
    for (DWORD index = 0; index < 3; ++index) {
        std::count(selected.begin(), selected.end(), index) ? descriptor->SelectStream(index)
                                                            : descriptor->DeselectStream(index);
    }
    return descriptor;
}

// The stream identifier behind an event value (a stream object); -1 if there is none.
inline long StreamIdOf(IUnknown* value) {
    ComPtr<IMFMediaStream> stream;
    ComPtr<IMFStreamDescriptor> descriptor;
    DWORD id = 0;
    const bool found = value && SUCCEEDED(value->QueryInterface(IID_PPV_ARGS(&stream))) &&
                       SUCCEEDED(stream->GetStreamDescriptor(&descriptor)) &&
                       SUCCEEDED(descriptor->GetStreamIdentifier(&id));
    return found ? static_cast<long>(id) : -1;
}

struct EventRecord {
    MediaEventType type = MEUnknown;
    LONGLONG time = -1;       // a VT_I8 value
    ComPtr<IUnknown> object;  // a VT_UNKNOWN value
    std::string text;  // "type", "type:stream id", with "!" when status or extended type is not S_OK / GUID_NULL
};

// Every queued event, read without waiting until the queue has none.
inline std::vector<EventRecord> DrainEvents(IMFMediaEventGenerator* generator) {
    std::vector<EventRecord> events;
    for (ComPtr<IMFMediaEvent> event;; event.Reset()) {
        if (const HRESULT hr = generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event); FAILED(hr)) {
            EXPECT_EQ(hr, MF_E_NO_EVENTS_AVAILABLE) << HrText(hr);
            return events;
        }
        EventRecord record;
        HRESULT status = E_FAIL;
        GUID extended = GUID_NULL;
        PROPVARIANT value;
        PropVariantInit(&value);
        event->GetType(&record.type), event->GetStatus(&status), event->GetExtendedType(&extended);
        event->GetValue(&value);
        record.time = value.vt == VT_I8 ? value.hVal.QuadPart : -1;
        record.object = value.vt == VT_UNKNOWN ? value.punkVal : nullptr;
        record.text = std::to_string(record.type) +
                      (record.object ? ":" + std::to_string(StreamIdOf(record.object.Get())) : "") +
                      (status == S_OK && extended == GUID_NULL ? "" : "!");
        PropVariantClear(&value);
        events.push_back(record);
    }
}

inline std::vector<std::string> EventTexts(IMFMediaEventGenerator* generator) {
    std::vector<std::string> texts;
    for (const auto& event : DrainEvents(generator)) {
        texts.push_back(event.text);
    }
    return texts;
}

// Messages (without time stamps) that C:\ProgramData\Velmora\source.log gained since
// construction.
class LogTail {
public:
    std::vector<std::string> Messages() const {
        const std::string bytes = Read();
        std::vector<std::string> messages;
        std::size_t position = std::min(start, bytes.size());
        position += bytes.compare(position, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        for (std::size_t end; (end = bytes.find("\r\n", position)) != std::string::npos; position = end + 2) {
            const std::size_t stamp = end - position >= 20 ? 20 : 0;  // "YYYY-MM-DD hh:mm:ss "
            messages.push_back(bytes.substr(position + stamp, end - position - stamp));
        }
        return messages;
    }

private:
    static std::string Read() {  // the library holds the file exclusively while it writes a line: retry
        for (int attempt = 0; attempt < 200; ++attempt, Sleep(5)) {
            if (FILE* file = _wfopen(L"C:\\ProgramData\\Velmora\\source.log", L"rb")) {
                std::string bytes;
                char buffer[4096];
                for (std::size_t read; (read = fread(buffer, 1, sizeof buffer, file)) > 0;) {
                    bytes.append(buffer, read);
                }
                fclose(file);
                return bytes;
            }
            if (errno != EACCES) {
                return {};
            }
        }
        return {};
    }
    std::size_t start = Read().size();
};

}  // namespace velmora::test
