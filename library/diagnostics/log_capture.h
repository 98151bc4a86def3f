// Holds back the log lines of the calling thread, to be written later with their own time
// stamps or dropped. The receiver uses it to keep repeated, identical connection failures
// out of the log.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

class LogCapture {
public:
    LogCapture() = default;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture();

    // From now on, lines logged on this thread are held here instead of written.
    void Start() noexcept;
    // Stops holding lines; the held ones stay until Flush or Discard.
    void Stop() noexcept;
    // Writes the held lines in order, with the times they were logged at, and stops.
    void Flush() noexcept;
    // Drops the held lines and stops.
    void Discard() noexcept;

    std::size_t HeldLineCount() const noexcept { return lines.size(); }

private:
    friend bool CaptureLogLine(const wchar_t* message) noexcept;
    struct HeldLine {
        SYSTEMTIME time;
        std::wstring message;
    };
    std::vector<HeldLine> lines;
};

// Called by LogMessage: true when the line was taken by this thread's active capture.
bool CaptureLogLine(const wchar_t* message) noexcept;

// Writes one line with the given local time (the log file's own writer).
void WriteLogLine(const SYSTEMTIME& localTime, const wchar_t* message) noexcept;
