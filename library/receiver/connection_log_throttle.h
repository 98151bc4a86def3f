// Keeps the receiver's retry loop from flooding the log. With no sender the receiver
// retries every 50 ms, and each attempt would write its decode-mode, decoder, connecting
// and failure lines: hundreds of megabytes a day into a log that nothing shortens.
//
// An attempt is written in full when it is the first after a connection that streamed,
// when its decode mode differs from the attempt before, or when its failure code does.
// While the same failure repeats, its lines are held back and dropped, and one summary
// line at most every 60 seconds says how many attempts failed since the last line.
// No Windows header: the decisions take the time as a parameter.
#pragma once

#include <cstdint>

class ConnectionLogThrottle {
public:
    static constexpr std::int64_t kSummaryIntervalNs = 60'000'000'000;

    // At the start of an attempt: true when its lines should be held back (they are
    // written later only if the attempt turns out to differ).
    bool BeginAttempt(bool gpuMode) noexcept;

    // The attempt read its first frame: its held lines are written from here on.
    void Streamed() noexcept;

    struct Outcome {
        bool writeHeldLines = false;   // write the attempt's held-back lines
        bool writeFailureLine = false; // write the attempt's own failure line
        // A summary of repeated failures to write before anything else, when count > 0.
        std::uint32_t summaryCode = 0;
        std::uint64_t summaryCount = 0;
    };

    // At the end of an attempt that ended with `result` at steady time `nowNs`.
    Outcome EndAttempt(std::uint32_t result, std::int64_t nowNs) noexcept;

private:
    bool haveAttempt = false;
    bool lastStreamed = false;
    bool lastGpuMode = false;
    std::uint32_t lastCode = 0;
    std::uint64_t repeats = 0;      // held-back repeats not yet summarised
    std::int64_t lastLineNs = 0;    // last line written for the current failure run
    bool currentQuiet = false;
    bool currentStreamed = false;
    bool currentGpuMode = false;
};
