// Pixel routines against memcpy (or memset) of the same amount of memory traffic, against
// libyuv's nearest routines and against the plain per-pixel rules, all in one run. At the
// end a table gives every time as a multiple of the memcpy baseline (medians when run with
// --benchmark_repetitions).
//
// Baseline bytes: (bytes read + bytes written) / 2, so 1.0 means memcpy speed. A scaler
// reads the cropped source picture (W x crop x 3/2) and writes the whole destination.
#include <benchmark/benchmark.h>
#include <libyuv/convert_from.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_uv.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/plain_pixel_rules.h"
#include "library/stream/pixel_routines.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Picture(std::size_t size) {
    Bytes bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

std::size_t Nv12Size(std::uint32_t w, std::uint32_t h) { return std::size_t{w} * h * 3 / 2; }

template <typename Body>
void Loop(benchmark::State& state, std::size_t baselineBytes, std::uint8_t* output, Body&& body) {
    for (auto _ : state) {
        body();
        benchmark::DoNotOptimize(output);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * baselineBytes));
}

void Register(const std::string& name, std::function<void(benchmark::State&)> body) {
    benchmark::RegisterBenchmark(name.c_str(), body)->Unit(benchmark::kMicrosecond);
}

void RegisterMemcpy(const std::string& group, std::size_t bytes) {
    Register(group + "/memcpy", [bytes](benchmark::State& state) {
        const Bytes from = Picture(bytes);
        Bytes to(bytes, 1);
        Loop(state, bytes, to.data(), [&] { std::memcpy(to.data(), from.data(), bytes); });
    });
}

void RegisterCopy() {
    const std::string group = "copy 1920x1088->1920x1080";
    const std::size_t bytes = Nv12Size(1920, 1080);
    RegisterMemcpy(group, bytes);
    Register(group + "/velmora", [bytes](benchmark::State& state) {
        const Bytes source = Picture(Nv12Size(1920, 1088));
        Bytes out(bytes, 1);
        Loop(state, bytes, out.data(), [&] {
            if (!CopyNv12Cropped(source.data(), 1920, 1088, out.data(), bytes, 1920, 1080)) {
                state.SkipWithError("copy refused");
            }
        });
    });
    Register(group + "/libyuv", [bytes](benchmark::State& state) {
        const Bytes source = Picture(Nv12Size(1920, 1088));
        Bytes out(bytes, 1);
        Loop(state, bytes, out.data(), [&] {
            libyuv::NV12Copy(source.data(), 1920, source.data() + 1920 * 1088, 1920, out.data(),
                             1920, out.data() + 1920 * 1080, 1920, 1920, 1080);
        });
    });
    Register(group + "/plain", [bytes](benchmark::State& state) {
        const Bytes source = Picture(Nv12Size(1920, 1088));
        Bytes out(bytes, 1);
        Loop(state, bytes, out.data(), [&] {
            plain_pixel_rules::CopyNv12Cropped(source.data(), 1920, 1088, out.data(), 1920, 1080);
        });
    });
}

struct ScaleCase {
    std::uint32_t w, h, c, rw, rh;
};

std::string ScaleName(const ScaleCase& k) {
    std::string name = "scale " + std::to_string(k.w) + "x" + std::to_string(k.h);
    if (k.c != k.h) {
        name += " crop " + std::to_string(k.c);
    }
    return name + "->" + std::to_string(k.rw) + "x" + std::to_string(k.rh);
}

// libyuv's nearest scaler for luma and for the chroma pairs, into the fitted area, and the
// black bars around it.
void LibyuvLetterbox(const std::uint8_t* source, const ScaleCase& k, std::uint8_t* out) {
    const plain_pixel_rules::Letterbox box = plain_pixel_rules::Fit(k.w, k.c, k.rw, k.rh);
    const std::size_t area = std::size_t{k.rw} * k.rh;
    const auto bars = [&](std::uint8_t* plane, std::size_t bytes, std::uint32_t top,
                          std::uint32_t rows, std::uint8_t value) {
        std::size_t position = 0;
        for (std::uint32_t row = 0; row < rows; ++row) {
            const std::size_t start = std::size_t{top + row} * k.rw + box.offsetX;
            std::memset(plane + position, value, start - position);
            position = start + box.fittedWidth;
        }
        std::memset(plane + position, value, bytes - position);
    };
    bars(out, area, box.offsetY, box.fittedHeight, 16);
    bars(out + area, area / 2, box.offsetY / 2, box.fittedHeight / 2, 128);
    libyuv::ScalePlane(source, k.w, k.w, k.c, out + std::size_t{box.offsetY} * k.rw + box.offsetX,
                       k.rw, box.fittedWidth, box.fittedHeight, libyuv::kFilterNone);
    libyuv::UVScale(source + std::size_t{k.w} * k.h, k.w, k.w / 2, k.c / 2,
                    out + area + std::size_t{box.offsetY / 2} * k.rw + box.offsetX, k.rw,
                    box.fittedWidth / 2, box.fittedHeight / 2, libyuv::kFilterNone);
}

void RegisterScale(const ScaleCase& k) {
    const std::string group = ScaleName(k);
    const std::size_t read = Nv12Size(k.w, k.c);
    const std::size_t written = Nv12Size(k.rw, k.rh);
    const std::size_t baseline = (read + written) / 2;
    RegisterMemcpy(group, baseline);
    Register(group + "/velmora", [k, baseline, written](benchmark::State& state) {
        const Bytes source = Picture(Nv12Size(k.w, k.h));
        Bytes out(written, 1);
        Loop(state, baseline, out.data(), [&] {
            ScaleNv12Letterboxed(source.data(), k.w, k.h, k.c, out.data(), k.rw, k.rh);
        });
    });
    Register(group + "/libyuv", [k, baseline, written](benchmark::State& state) {
        const Bytes source = Picture(Nv12Size(k.w, k.h));
        Bytes out(written, 1);
        Loop(state, baseline, out.data(), [&] { LibyuvLetterbox(source.data(), k, out.data()); });
    });
    Register(group + "/plain", [k, baseline, written](benchmark::State& state) {
        const Bytes source = Picture(Nv12Size(k.w, k.h));
        Bytes out(written, 1);
        Loop(state, baseline, out.data(), [&] {
            plain_pixel_rules::ScaleNv12Letterboxed(source.data(), k.w, k.h, k.c, out.data(), k.rw,
                                                    k.rh);
        });
    });
}

void RegisterYuy2(std::uint32_t w, std::uint32_t h) {
    const std::string group = "yuy2 " + std::to_string(w) + "x" + std::to_string(h);
    const std::size_t read = Nv12Size(w, h);
    const std::size_t written = std::size_t{w} * h * 2;
    const std::size_t baseline = (read + written) / 2;
    RegisterMemcpy(group, baseline);
    Register(group + "/velmora", [=](benchmark::State& state) {
        const Bytes source = Picture(read);
        Bytes out(written, 1);
        Loop(state, baseline, out.data(), [&] { ConvertNv12ToYuy2(source.data(), out.data(), w, h); });
    });
    Register(group + "/libyuv", [=](benchmark::State& state) {
        const Bytes source = Picture(read);
        Bytes u(std::size_t{w / 2} * (h / 2)), v(u.size());
        Bytes out(written, 1);
        Loop(state, baseline, out.data(), [&] {
            libyuv::SplitUVPlane(source.data() + std::size_t{w} * h, w, u.data(), w / 2, v.data(),
                                 w / 2, w / 2, h / 2);
            libyuv::I420ToYUY2(source.data(), w, u.data(), w / 2, v.data(), w / 2, out.data(),
                               w * 2, w, h);
        });
    });
    Register(group + "/plain", [=](benchmark::State& state) {
        const Bytes source = Picture(read);
        Bytes out(written, 1);
        Loop(state, baseline, out.data(),
             [&] { plain_pixel_rules::ConvertNv12ToYuy2(source.data(), out.data(), w, h); });
    });
}

void RegisterFallback() {
    const std::string group = "fallback 640x360";
    const std::size_t bytes = kFallbackPatternBytes;
    Register(group + "/memset", [=](benchmark::State& state) {
        Bytes out(bytes, 1);
        std::uint64_t counter = 0;
        Loop(state, bytes, out.data(),
             [&] { std::memset(out.data(), static_cast<int>(++counter), bytes); });
    });
    Register(group + "/velmora", [=](benchmark::State& state) {
        Bytes out(bytes, 1);
        std::uint64_t counter = 0;
        Loop(state, bytes, out.data(), [&] { FillFallbackPattern(out.data(), ++counter); });
    });
    Register(group + "/plain", [=](benchmark::State& state) {
        Bytes out(bytes, 1);
        std::uint64_t counter = 0;
        Loop(state, bytes, out.data(),
             [&] { plain_pixel_rules::FillFallbackPattern(out.data(), ++counter); });
    });
}

// Console output as usual, then the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string& name = run.run_name.function_name;
            if (!medians_.count(name) && !singles_.count(name)) {
                order_.push_back(name);
            }
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    medians_[name] = run.GetAdjustedCPUTime();
                }
            } else if (!singles_.count(name)) {
                singles_[name] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::map<std::string, std::map<std::string, double>> groups;
        std::vector<std::string> groupOrder;
        for (const std::string& name : order_) {
            const std::size_t slash = name.rfind('/');
            const std::string group = name.substr(0, slash);
            if (!groups.count(group)) {
                groupOrder.push_back(group);
            }
            groups[group][name.substr(slash + 1)] =
                medians_.count(name) ? medians_[name] : singles_[name];
        }
        std::FILE* out = stdout;
        // Processor time: the machines are shared, and time spent descheduled is not the
        // routine's cost.
        std::fprintf(out, "\nProcessor times as multiples of the memcpy (memset) baseline%s:\n",
                     medians_.empty() ? "" : " (medians)");
        std::fprintf(out, "%-38s %10s %8s %8s %8s %8s %10s %10s\n", "case", "velmora_us",
                     "velmora", "libyuv", "plain", "base_us", "vs_libyuv", "vs_plain");
        for (const std::string& group : groupOrder) {
            auto& times = groups[group];
            const double base = times.count("memcpy") ? times["memcpy"] : times["memset"];
            const auto ratio = [&](const char* what) {
                return times.count(what) ? times[what] / base : 0.0;
            };
            const auto versus = [&](const char* what) {
                return times.count(what) ? times["velmora"] / times[what] : 0.0;
            };
            std::fprintf(out, "%-38s %10.1f %8.2f %8.2f %8.2f %8.1f %10.2f %10.3f\n", group.c_str(),
                         times["velmora"], ratio("velmora"), ratio("libyuv"), ratio("plain"), base,
                         versus("libyuv"), versus("plain"));
        }
        std::fflush(out);
    }

private:
    std::map<std::string, double> medians_;
    std::map<std::string, double> singles_;
    std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RegisterCopy();
    for (const ScaleCase& k : {ScaleCase{1280, 720, 720, 640, 480}, ScaleCase{640, 360, 360, 1920, 1080},
                               ScaleCase{1920, 1088, 1080, 1280, 720},
                               ScaleCase{720, 1280, 1280, 1280, 720},
                               ScaleCase{1920, 1088, 1080, 640, 360}}) {
        RegisterScale(k);
    }
    RegisterYuy2(1920, 1080);
    RegisterYuy2(1280, 720);
    RegisterFallback();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
