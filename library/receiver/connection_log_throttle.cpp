#include "library/receiver/connection_log_throttle.h"

bool ConnectionLogThrottle::BeginAttempt(bool gpuMode) noexcept {
    currentGpuMode = gpuMode;
    currentStreamed = false;
    currentQuiet = haveAttempt && !lastStreamed && lastGpuMode == gpuMode;
    return currentQuiet;
}

void ConnectionLogThrottle::Streamed() noexcept {
    currentStreamed = true;
}

ConnectionLogThrottle::Outcome ConnectionLogThrottle::EndAttempt(std::uint32_t result, std::int64_t nowNs) noexcept {
    Outcome outcome;
    const bool sameFailure = currentQuiet && !currentStreamed && result == lastCode;
    if (sameFailure) {
        ++repeats;
        if (nowNs - lastLineNs >= kSummaryIntervalNs) {
            outcome.summaryCode = lastCode;
            outcome.summaryCount = repeats;
            repeats = 0;
            lastLineNs = nowNs;
        }
    } else {
        // A different attempt: close the run of repeats, then write this one in full.
        if (repeats > 0) {
            outcome.summaryCode = lastCode;
            outcome.summaryCount = repeats;
            repeats = 0;
        }
        outcome.writeHeldLines = currentQuiet && !currentStreamed;  // a streamed attempt flushed already
        outcome.writeFailureLine = true;
        lastLineNs = nowNs;
    }
    haveAttempt = true;
    lastStreamed = currentStreamed;
    lastGpuMode = currentGpuMode;
    lastCode = result;
    currentQuiet = false;
    return outcome;
}
