// camera-host: plays the camera service for VelmoraSource.dll. It activates the source the
// way the service does (COM by class identifier, or DllGetClassObject of a given file),
// prints the catalogue, starts one stream in one format, pulls samples for a while, and
// leaves PNG pictures of what the camera delivered plus a summary in a folder.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/sdk_additions.h"
#include "common/velmora_names.h"
#include "tools/camera-host/picture_files.h"

using Microsoft::WRL::ComPtr;

namespace {

struct Options {
    std::wstring dll;       // empty: COM activation by class identifier
    std::wstring registerDll;  // run "regsvr32 /s" on this file first
    DWORD stream = 0;
    DWORD format = 0;
    double seconds = 5.0;
    int pictures = 5;
    double statsEvery = 0;  // seconds between "stats" lines; 0 = none
    std::wstring out = L"camera-output";
    bool listOnly = false;
};

const char* const kUsage =
    "usage: camera-host [--dll PATH | --register PATH] [--stream 0-2] [--format 0-19]\n"
    "                   [--seconds S] [--pictures N] [--out DIR] [--stats-every S] [--list]\n"
    "  --dll PATH       load PATH and use its DllGetClassObject (no registration needed)\n"
    "  --register PATH  register PATH with regsvr32, then activate through COM\n"
    "  (neither)        activate through COM: the class must be registered already\n"
    "  --list           print the catalogue and stop\n"
    "  --stats-every S  every S seconds print a line: samples, test pictures, handles, threads, memory\n"
    "                   (used by tools/soak.sh)\n";

std::string Narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size, nullptr,
                        nullptr);
    return result;
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : path;
}

bool ParseOptions(Options& options) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) {
        return false;
    }
    bool ok = true;
    for (int i = 1; i < count && ok; ++i) {
        const std::wstring name = arguments[i];
        const bool hasValue = i + 1 < count;
        if (name == L"--list") {
            options.listOnly = true;
        } else if (!hasValue) {
            ok = false;
        } else if (name == L"--dll") {
            options.dll = FullPath(arguments[++i]);
        } else if (name == L"--register") {
            options.registerDll = FullPath(arguments[++i]);
        } else if (name == L"--stream") {
            options.stream = static_cast<DWORD>(std::wcstoul(arguments[++i], nullptr, 10));
        } else if (name == L"--format") {
            options.format = static_cast<DWORD>(std::wcstoul(arguments[++i], nullptr, 10));
        } else if (name == L"--seconds") {
            options.seconds = std::wcstod(arguments[++i], nullptr);
        } else if (name == L"--pictures") {
            options.pictures = static_cast<int>(std::wcstol(arguments[++i], nullptr, 10));
        } else if (name == L"--stats-every") {
            options.statsEvery = std::wcstod(arguments[++i], nullptr);
        } else if (name == L"--out") {
            options.out = arguments[++i];
        } else {
            ok = false;
        }
    }
    LocalFree(arguments);
    return ok && options.stream < 3 && options.format < 20 && options.seconds > 0 && options.pictures >= 0 &&
           options.statsEvery >= 0 && !(options.dll.size() && options.registerDll.size());
}

// Both the library and this program must agree on these; they come from the media type.
struct TypeInfo {
    GUID subtype = GUID_NULL;
    UINT32 width = 0;
    UINT32 height = 0;
    UINT32 rateNumerator = 0;
    UINT32 rateDenominator = 1;

    std::string SubtypeName() const {
        return subtype == MFVideoFormat_NV12 ? "NV12" : subtype == MFVideoFormat_YUY2 ? "YUY2" : "other";
    }
    std::string Describe() const {
        char text[96];
        std::snprintf(text, sizeof text, "%s %ux%u at %u/%u", SubtypeName().c_str(), width, height, rateNumerator,
                      rateDenominator);
        return text;
    }
};

TypeInfo ReadType(IMFMediaType* type) {
    TypeInfo info;
    UINT64 value = 0;
    type->GetGUID(MF_MT_SUBTYPE, &info.subtype);
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_SIZE, &value))) {
        info.width = static_cast<UINT32>(value >> 32);
        info.height = static_cast<UINT32>(value);
    }
    if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &value))) {
        info.rateNumerator = static_cast<UINT32>(value >> 32);
        info.rateDenominator = static_cast<UINT32>(value);
    }
    return info;
}

HRESULT Register(const std::wstring& dll) {
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(system) + L"\\regsvr32.exe\" /s \"" + dll + L"\"";
    const std::wstring folder = dll.substr(0, dll.find_last_of(L"\\/"));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode == 0 ? S_OK : E_FAIL;
}

HRESULT ActivateFromDll(const std::wstring& dll, ComPtr<IMFActivate>& activate) {
    HMODULE module = LoadLibraryW(dll.c_str());  // stays loaded for the whole run
    if (!module) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
    auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    ComPtr<IClassFactory> factory;
    HRESULT hr = getClassObject(velmora::kSourceClassId, IID_PPV_ARGS(&factory));
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate));
    }
    return hr;
}

// Waits up to `timeoutMs` for an event of one of the given types; other events are
// skipped. The queue is polled so a source that never answers cannot hang the host.
HRESULT WaitForEvent(IMFMediaEventGenerator* generator, std::initializer_list<MediaEventType> types,
                     DWORD timeoutMs, ComPtr<IMFMediaEvent>& found) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        ComPtr<IMFMediaEvent> event;
        const HRESULT hr = generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event);
        if (hr == MF_E_NO_EVENTS_AVAILABLE) {
            if (GetTickCount64() > deadline) {
                return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
            }
            Sleep(1);
            continue;
        }
        if (FAILED(hr)) {
            return hr;
        }
        MediaEventType type = MEUnknown;
        event->GetType(&type);
        if (std::find(types.begin(), types.end(), type) != types.end()) {
            found = event;
            return S_OK;
        }
    }
}

// ---- Picture ages from the library's log -----------------------------------------------

const wchar_t kLogPath[] = L"C:\\ProgramData\\Velmora\\source.log";

std::string ReadLogFrom(std::uint64_t offset, std::uint64_t* size) {
    // The library opens its log exclusively for each line: retry while it is busy.
    for (int attempt = 0; attempt < 400; ++attempt) {
        HANDLE file = CreateFileW(kLogPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND) {
                break;
            }
            Sleep(5);
            continue;
        }
        LARGE_INTEGER length{};
        GetFileSizeEx(file, &length);
        if (size) {
            *size = static_cast<std::uint64_t>(length.QuadPart);
        }
        std::string bytes;
        LARGE_INTEGER start{};
        start.QuadPart = static_cast<LONGLONG>(std::min<std::uint64_t>(offset, length.QuadPart));
        SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
        char buffer[65536];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            bytes.append(buffer, read);
        }
        CloseHandle(file);
        return bytes;
    }
    if (size) {
        *size = 0;
    }
    return {};
}

// The text after "key=" up to the next comma or line end.
std::string FieldValue(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key + "=");
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = at + key.size() + 1;
    const std::size_t end = line.find_first_of(",\r\n", start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

struct AgeFigures {
    std::vector<unsigned long> values;
    void Add(const std::string& text) {
        if (text.empty()) {
            return;
        }
        const unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
        if (value != 4294967295ul) {  // no age available
            values.push_back(value);
        }
    }
    std::string Describe() const {
        if (values.empty()) {
            return "none";
        }
        unsigned long long sum = 0;
        for (unsigned long value : values) {
            sum += value;
        }
        char text[128];
        std::snprintf(text, sizeof text, "min %lu ms, average %.1f ms, max %lu ms over %zu lines",
                      *std::min_element(values.begin(), values.end()), static_cast<double>(sum) / values.size(),
                      *std::max_element(values.begin(), values.end()), values.size());
        return text;
    }
};

struct LogFigures {
    int sampleLines = 0;
    int decodedLines = 0;
    int fallbackLines = 0;
    AgeFigures sampleAges;    // ageMs of statistics lines that name a decoded picture
    AgeFigures receiverAges;  // endToEndAgeMs of the receiver's statistics lines
};

LogFigures ParseLog(const std::string& text) {
    LogFigures figures;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.find("RequestSample queued frame:") != std::string::npos) {
            ++figures.sampleLines;
            const std::string source = FieldValue(line, "source");
            if (source.rfind("h264", 0) == 0) {
                ++figures.decodedLines;
                figures.sampleAges.Add(FieldValue(line, "ageMs"));
            } else {
                ++figures.fallbackLines;
            }
        } else if (line.find("H.264 decoded frames:") != std::string::npos) {
            figures.receiverAges.Add(FieldValue(line, "endToEndAgeMs"));
        }
    }
    return figures;
}

// ---- The test picture and the process's own figures --------------------------------------

// True when the luma looks like the library's test picture: a ramp that rises by one level
// per column of its 640 columns (mod 256), whatever size it was scaled to. Decoded pictures
// do not rise evenly across a row. Checked on rows of the middle half (clear of letterbox
// bars); a few misses are allowed where scaling blends across the ramp's wrap from 255 to 0.
bool LooksLikeTestPicture(const BYTE* data, DWORD length, const TypeInfo& type) {
    const std::uint32_t step = type.subtype == MFVideoFormat_YUY2 ? 2 : 1;
    const std::uint32_t stride = type.width * step;
    const std::uint32_t span = type.width / 16;
    if (span == 0 || static_cast<std::uint64_t>(stride) * type.height > length) {
        return false;
    }
    int checks = 0;
    int hits = 0;
    for (std::uint32_t row = 0; row < 8; ++row) {
        const BYTE* line = data + static_cast<std::size_t>(type.height / 4 + type.height * row / 16) * stride;
        for (std::uint32_t column = 0; column + span < type.width; column += span) {
            const int rise = (line[(column + span) * step] - line[column * step] + 256) % 256;
            const int expected = static_cast<int>(640 * span / type.width);
            ++checks;
            hits += rise >= expected - 3 && rise <= expected + 3 ? 1 : 0;
        }
    }
    return hits * 5 >= checks * 4;
}

bool IsTestPicture(IMFSample* sample, const TypeInfo& type) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer)) || FAILED(buffer->Lock(&data, nullptr, &length))) {
        return false;
    }
    const bool test = LooksLikeTestPicture(data, length, type);
    buffer->Unlock();
    return test;
}

// Handles this process holds, from the system's handle table (Wine's GetProcessHandleCount
// always answers 0). -1 when the table cannot be read.
long CountOwnHandles() {
    using Query = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<std::uint8_t> table(1 << 20);
    for (int attempt = 0; query && attempt < 8; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = query(SystemHandleInformation, table.data(), static_cast<ULONG>(table.size()), &needed);
        if (status == static_cast<NTSTATUS>(0xC0000004)) {  // STATUS_INFO_LENGTH_MISMATCH
            table.resize(std::max<std::size_t>(table.size() * 2, needed + 65536));
            continue;
        }
        if (status < 0) {
            return -1;
        }
        const auto* information = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(table.data());
        long own = 0;
        for (ULONG i = 0; i < information->Count; ++i) {
            own += information->Handle[i].OwnerPid == GetCurrentProcessId() ? 1 : 0;
        }
        return own;
    }
    return -1;
}

// The figures of this process as Windows (here: Wine) counts them.
std::string ProcessFigures() {
    const long handles = CountOwnHandles();
    unsigned threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
            threads += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
        }
        CloseHandle(snapshot);
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    char text[160];
    std::snprintf(text, sizeof text, "handles=%ld threads=%u pagefile_kb=%llu working_set_kb=%llu", handles, threads,
                  static_cast<unsigned long long>(memory.PagefileUsage / 1024),
                  static_cast<unsigned long long>(memory.WorkingSetSize / 1024));
    return text;
}

// ---- The run --------------------------------------------------------------------------

struct RunResult {
    int delivered = 0;
    double arrivalFps = 0;
    double sampleTimeFps = 0;
    int wrongSizes = 0;
    int testPictures = 0;
    std::vector<std::string> pictureFiles;
};

bool SavePicture(IMFSample* sample, const TypeInfo& type, const std::wstring& folder, int number,
                 std::vector<std::string>& files) {
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) {
        return false;
    }
    BYTE* data = nullptr;
    DWORD length = 0;
    if (FAILED(buffer->Lock(&data, nullptr, &length))) {
        return false;
    }
    camera_host::RgbPicture picture;
    const bool converted = type.subtype == MFVideoFormat_YUY2
                               ? camera_host::Yuy2ToRgb(data, length, type.width, type.height, picture)
                               : camera_host::Nv12ToRgb(data, length, type.width, type.height, picture);
    buffer->Unlock();
    if (!converted) {
        return false;
    }
    const std::vector<std::uint8_t> png = camera_host::EncodePng(picture);
    wchar_t name[96];
    swprintf(name, 96, L"picture_%02d.png", number);
    const std::wstring path = folder + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, png.data(), static_cast<DWORD>(png.size()), &written, nullptr) &&
                    written == png.size();
    CloseHandle(file);
    if (ok) {
        files.push_back(Narrow(name));
    }
    return ok;
}

int Run(const Options& options) {
    ComPtr<IMFActivate> activate;
    HRESULT hr = S_OK;
    std::string activation;
    if (!options.registerDll.empty()) {
        hr = Register(options.registerDll);
        std::printf("regsvr32 /s %s: %s\n", Narrow(options.registerDll).c_str(), SUCCEEDED(hr) ? "ok" : "failed");
        if (FAILED(hr)) {
            return 1;
        }
    }
    if (!options.dll.empty()) {
        activation = "DllGetClassObject of " + Narrow(options.dll);
        hr = ActivateFromDll(options.dll, activate);
    } else {
        activation = "COM class " + Narrow(velmora::kSourceClassIdString);
        hr = CoCreateInstance(velmora::kSourceClassId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&activate));
    }
    std::printf("activation object (%s): %s\n", activation.c_str(), Hex(hr).c_str());
    if (FAILED(hr)) {
        return 1;
    }

    std::uint64_t logStart = 0;
    ReadLogFrom(~0ull, &logStart);

    ComPtr<IMFMediaSourceEx> source;
    hr = activate->ActivateObject(IID_PPV_ARGS(&source));
    std::printf("ActivateObject(IMFMediaSourceEx): %s\n", Hex(hr).c_str());
    if (FAILED(hr)) {
        return 1;
    }
    ComPtr<IMFPresentationDescriptor> descriptor;
    hr = source->CreatePresentationDescriptor(&descriptor);
    DWORD streamCount = 0;
    if (SUCCEEDED(hr)) {
        hr = descriptor->GetStreamDescriptorCount(&streamCount);
    }
    if (FAILED(hr) || streamCount <= options.stream) {
        std::printf("CreatePresentationDescriptor: %s, %lu streams\n", Hex(hr).c_str(), streamCount);
        return 1;
    }

    std::printf("catalogue (%lu streams):\n", streamCount);
    ComPtr<IMFMediaTypeHandler> chosenHandler;
    ComPtr<IMFMediaType> chosenType;
    for (DWORD index = 0; index < streamCount; ++index) {
        BOOL selected = FALSE;
        ComPtr<IMFStreamDescriptor> stream;
        ComPtr<IMFMediaTypeHandler> handler;
        DWORD id = 0;
        DWORD typeCount = 0;
        descriptor->GetStreamDescriptorByIndex(index, &selected, &stream);
        stream->GetStreamIdentifier(&id);
        stream->GetMediaTypeHandler(&handler);
        handler->GetMediaTypeCount(&typeCount);
        std::printf("  stream %lu (id %lu, %s at creation): %lu types\n", index, id,
                    selected ? "selected" : "not selected", typeCount);
        for (DWORD typeIndex = 0; typeIndex < typeCount; ++typeIndex) {
            ComPtr<IMFMediaType> type;
            handler->GetMediaTypeByIndex(typeIndex, &type);
            if (index == 0) {
                std::printf("    %2lu: %s\n", typeIndex, ReadType(type.Get()).Describe().c_str());
            }
            if (index == options.stream && typeIndex == options.format) {
                chosenHandler = handler;
                chosenType = type;
            }
        }
        if (index == options.stream) {
            descriptor->SelectStream(index);
        } else {
            descriptor->DeselectStream(index);
        }
    }
    if (options.listOnly) {
        source->Shutdown();
        return 0;
    }
    if (!chosenType) {
        std::printf("format %lu is not offered on stream %lu\n", options.format, options.stream);
        return 1;
    }
    const TypeInfo type = ReadType(chosenType.Get());
    hr = chosenHandler->SetCurrentMediaType(chosenType.Get());
    std::printf("stream %lu, format %lu (%s): SetCurrentMediaType %s\n", options.stream, options.format,
                type.Describe().c_str(), Hex(hr).c_str());

    PROPVARIANT start;
    PropVariantInit(&start);
    hr = source->Start(descriptor.Get(), &GUID_NULL, &start);
    std::printf("Start: %s\n", Hex(hr).c_str());
    if (FAILED(hr)) {
        return 1;
    }
    ComPtr<IMFMediaEvent> announcement;
    hr = WaitForEvent(source.Get(), {MENewStream, MEUpdatedStream}, 5000, announcement);
    PROPVARIANT value;
    PropVariantInit(&value);
    ComPtr<IMFMediaStream2> stream;
    if (SUCCEEDED(hr) && SUCCEEDED(announcement->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal) {
        value.punkVal->QueryInterface(IID_PPV_ARGS(&stream));
    }
    PropVariantClear(&value);
    if (!stream) {
        std::printf("no MENewStream event with a stream: %s\n", Hex(hr).c_str());
        return 1;
    }
    hr = stream->SetStreamState(MF_STREAM_STATE_RUNNING);
    std::printf("SetStreamState(RUNNING): %s\n", Hex(hr).c_str());

    CreateDirectoryW(options.out.c_str(), nullptr);
    RunResult result;
    const std::uint32_t expectedSize =
        type.subtype == MFVideoFormat_YUY2 ? type.width * type.height * 2 : type.width * type.height * 3 / 2;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    Clock::time_point firstArrival{};
    Clock::time_point lastArrival{};
    LONGLONG firstSampleTime = 0;
    LONGLONG lastSampleTime = 0;
    int savedPictures = 0;
    double nextStats = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        if (options.statsEvery > 0 && elapsed >= nextStats) {
            std::printf("stats t=%.1f delivered=%d test=%d %s\n", elapsed, result.delivered, result.testPictures,
                        ProcessFigures().c_str());
            std::fflush(stdout);
            nextStats += options.statsEvery;
        }
        if (elapsed >= options.seconds) {
            break;
        }
        hr = stream->RequestSample(nullptr);
        if (FAILED(hr)) {
            std::printf("RequestSample: %s\n", Hex(hr).c_str());
            break;
        }
        ComPtr<IMFMediaEvent> event;
        hr = WaitForEvent(stream.Get(), {MEMediaSample}, 3000, event);
        if (FAILED(hr)) {
            std::printf("no MEMediaSample after RequestSample: %s\n", Hex(hr).c_str());
            break;
        }
        PropVariantInit(&value);
        ComPtr<IMFSample> sample;
        if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal) {
            value.punkVal->QueryInterface(IID_PPV_ARGS(&sample));
        }
        PropVariantClear(&value);
        if (!sample) {
            continue;
        }
        const Clock::time_point arrival = Clock::now();
        LONGLONG sampleTime = 0;
        sample->GetSampleTime(&sampleTime);
        DWORD length = 0;
        sample->GetTotalLength(&length);
        if (length != expectedSize) {
            ++result.wrongSizes;
        }
        if (result.delivered == 0) {
            firstArrival = arrival;
            firstSampleTime = sampleTime;
        }
        lastArrival = arrival;
        lastSampleTime = sampleTime;
        ++result.delivered;
        result.testPictures += IsTestPicture(sample.Get(), type) ? 1 : 0;

        // Pictures spread evenly over the run, each in the middle of its share of it, so
        // the first one leaves the receiver time to connect.
        const double arrivalSeconds = std::chrono::duration<double>(arrival - begin).count();
        if (savedPictures < options.pictures &&
            arrivalSeconds >= options.seconds * (savedPictures + 0.5) / options.pictures) {
            if (SavePicture(sample.Get(), type, options.out, savedPictures + 1, result.pictureFiles)) {
                ++savedPictures;
            } else {
                std::printf("could not save picture %d\n", savedPictures + 1);
                savedPictures = options.pictures;
            }
        }
    }
    if (result.delivered > 1) {
        const double arrivalSpan = std::chrono::duration<double>(lastArrival - firstArrival).count();
        result.arrivalFps = arrivalSpan > 0 ? (result.delivered - 1) / arrivalSpan : 0;
        const double sampleSpan = static_cast<double>(lastSampleTime - firstSampleTime) / 1e7;
        result.sampleTimeFps = sampleSpan > 0 ? (result.delivered - 1) / sampleSpan : 0;
    }
    std::printf("Stop: %s\n", Hex(source->Stop()).c_str());
    std::printf("Shutdown: %s\n", Hex(source->Shutdown()).c_str());
    stream.Reset();
    source.Reset();
    activate.Reset();

    const LogFigures figures = ParseLog(ReadLogFrom(logStart, nullptr));

    std::string summary;
    char line[512];
    auto add = [&](const char* format, auto... arguments) {
        std::snprintf(line, sizeof line, format, arguments...);
        summary += line;
        summary += "\n";
    };
    add("Velmora camera run");
    add("activation: %s", activation.c_str());
    add("stream: %lu", options.stream);
    add("format: catalogue index %lu, %s", options.format, type.Describe().c_str());
    add("run time: %.1f s", options.seconds);
    add("frames delivered: %d (%d with a size other than %u bytes)", result.delivered, result.wrongSizes,
        expectedSize);
    add("frames per second: %.1f (arrival times), %.1f (sample times)", result.arrivalFps, result.sampleTimeFps);
    add("test pictures: %d of %d (%.2f %%)", result.testPictures, result.delivered,
        result.delivered > 0 ? 100.0 * result.testPictures / result.delivered : 0.0);
    add("pictures saved: %zu in %s", result.pictureFiles.size(), Narrow(FullPath(options.out)).c_str());
    for (const std::string& file : result.pictureFiles) {
        add("  %s", file.c_str());
    }
    add("picture ages, from the library log's statistics lines (C:\\ProgramData\\Velmora\\source.log):");
    add("  sample statistics lines: %d (decoded picture: %d, fallback picture: %d)", figures.sampleLines,
        figures.decodedLines, figures.fallbackLines);
    add("  ageMs of delivered decoded pictures: %s", figures.sampleAges.Describe().c_str());
    add("  receiver endToEndAgeMs: %s", figures.receiverAges.Describe().c_str());
    if (figures.decodedLines == 0) {
        add("  no decoded picture reached the camera: the pictures show the fallback picture");
    }
    std::fputs(summary.c_str(), stdout);

    const std::wstring summaryPath = options.out + L"\\summary.txt";
    HANDLE file = CreateFileW(summaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, summary.data(), static_cast<DWORD>(summary.size()), &written, nullptr);
        CloseHandle(file);
    }
    return result.delivered > 0 && result.wrongSizes == 0 ? 0 : 1;
}

}  // namespace

int main() {
    Options options;
    if (!ParseOptions(options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) || FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) {
        std::fputs("cannot start COM and Media Foundation\n", stderr);
        return 1;
    }
    const int exitCode = Run(options);
    std::fflush(stdout);
    MFShutdown();
    CoUninitialize();
    return exitCode;
}
