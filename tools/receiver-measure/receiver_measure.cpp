// Runs one receiver connection against a sender and reports what the receiver achieved:
// pictures published per second and the per-picture read, decode and store times of the
// receiver's own statistics lines. tools/measure-receiver.sh drives it.
//
// usage: receiver-measure.exe
#include <windows.h>
#include <mfapi.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/velmora_names.h"
#include "library/receiver/h264_receiver.h"

int wmain() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    const std::filesystem::path log = std::filesystem::path(velmora::kDataDirectory) / velmora::kLogFileName;
    DeleteFileW(log.c_str());

    H264Receiver receiver;
    const auto start = std::chrono::steady_clock::now();
    const long result = receiver.RunConnection();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("connection ended: 0x%08lX after %.2f s\n", static_cast<unsigned long>(result), seconds);
    std::printf("pictures published: %llu, %.1f per second, last size %ux%u\n",
                static_cast<unsigned long long>(receiver.decodedFrames),
                seconds > 0 ? static_cast<double>(receiver.decodedFrames) / seconds : 0.0, receiver.width,
                receiver.height);
    std::ifstream file(log, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t at = 0;
    while ((at = text.find("H.264 decoded frames:", at)) != std::string::npos) {
        const std::size_t end = text.find('\r', at);
        std::printf("  %s\n", text.substr(at, end - at).c_str());
        at = end;
    }
    MFShutdown();
    CoUninitialize();
    return SUCCEEDED(result) || result == static_cast<long>(0x80070026) ? 0 : 1;
}
