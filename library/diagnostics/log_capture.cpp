#include "library/diagnostics/log_capture.h"

namespace {
thread_local LogCapture* activeCapture = nullptr;
}

LogCapture::~LogCapture() {
    Stop();
}

void LogCapture::Start() noexcept {
    activeCapture = this;
}

void LogCapture::Stop() noexcept {
    if (activeCapture == this) {
        activeCapture = nullptr;
    }
}

void LogCapture::Flush() noexcept {
    Stop();
    for (const HeldLine& line : lines) {
        WriteLogLine(line.time, line.message.c_str());
    }
    lines.clear();
}

void LogCapture::Discard() noexcept {
    Stop();
    lines.clear();
}

bool CaptureLogLine(const wchar_t* message) noexcept {
    LogCapture* capture = activeCapture;
    if (capture == nullptr || message == nullptr) {
        return false;
    }
    try {
        LogCapture::HeldLine line{};
        GetLocalTime(&line.time);
        line.message = message;
        capture->lines.push_back(std::move(line));
    } catch (...) {
        // Out of memory: the line is dropped, as a line that cannot be written is.
    }
    return true;
}
