// Keeps graphics-mode fallbacks from flooding the log. A decoder that accepts the device
// manager but hands out memory samples (Wine's does; Windows' own decoder can when it
// falls back to software) would otherwise cost one line per picture, 30 to 60 a second for
// as long as the stream runs. The first fallback of a connection is written as it is; the
// later ones are counted and summed up at most once a minute, and once more when the
// connection ends. No Windows header: the time is a parameter.
#pragma once

#include <cstdint>

class SampleFallbackThrottle {
public:
    static constexpr std::int64_t kSummaryIntervalNs = 60'000'000'000;

    struct Line {
        enum Kind { None, First, Summary } kind = None;
        std::uint64_t count = 0;    // Summary: fallbacks since the line before
        std::uint64_t seconds = 0;  // Summary: whole seconds since the line before
    };

    // One sample fell back at steady time `nowNs`: which line, if any, to write now.
    Line Record(std::int64_t nowNs) noexcept {
        if (!started) {
            started = true;
            lastLineNs = nowNs;
            return {Line::First, 1, 0};
        }
        ++pending;
        if (nowNs - lastLineNs < kSummaryIntervalNs) {
            return {};
        }
        return TakeSummary(nowNs);
    }

    // The connection ends: the fallbacks not yet written, if any.
    Line Finish(std::int64_t nowNs) noexcept {
        Line line = pending != 0 ? TakeSummary(nowNs) : Line{};
        *this = SampleFallbackThrottle();
        return line;
    }

private:
    Line TakeSummary(std::int64_t nowNs) noexcept {
        const std::int64_t elapsed = nowNs > lastLineNs ? nowNs - lastLineNs : 0;
        Line line{Line::Summary, pending, static_cast<std::uint64_t>(elapsed / 1'000'000'000)};
        pending = 0;
        lastLineNs = nowNs;
        return line;
    }

    bool started = false;
    std::uint64_t pending = 0;  // fallbacks since the last line
    std::int64_t lastLineNs = 0;
};
