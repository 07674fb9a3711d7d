// veilshadow_soak: many frames through one loaded plug-in module, watching
// the process's resident memory. By default 10,000 small frames and 100
// frames of 3840 x 2160, all depths in turn, in one effect instance, as a
// host rendering a long sequence would, on a host that keeps no call
// journal (as veilshadow's). Resident memory is printed at the start,
// after 400 small frames, after the warm-up (the first tenth of the run)
// and at the end, each with the peak so far; the run fails when it grew
// after the warm-up by more than the allowed noise, or when a frame fails
// or comes out wrong. --large 0 leaves the UHD frames out, so that the
// peaks are those of small frames alone.
//
//   veilshadow_soak [--small N] [--large N] [--threads N] [--max-growth-mib M] [MODULE]
#include "lifecycle.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using reliability::Depth;
using reliability::Frame;
using reliability::World;

// A field of /proc/self/status in KiB (VmRSS, VmHWM); -1 when unknown.
long StatusKiB(const char *field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    return -1;
}

double MiB(long kib) { return double(kib) / 1024.0; }

void Report(const char *when, long rss_kib) {
    std::printf("  %-44s VmRSS %8.1f MiB, peak VmHWM %8.1f MiB\n", when, MiB(rss_kib), MiB(StatusKiB("VmHWM")));
}

// Cheap pseudo-random pixels for the large frames (a UHD float world has
// 33 million channels): transparent, opaque and partly covered alphas.
void FillFast(World &w, std::uint64_t seed) {
    std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&s]() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    for (A_long y = 0; y < w.height(); ++y) {
        for (A_long x = 0; x < w.width(); ++x) {
            const std::uint64_t r = next();
            const unsigned pick = unsigned(r & 3);
            const double a = pick == 0 ? 0.0 : pick == 1 ? 1.0 : double((r >> 8) & 0xFFFF) / 65535.0;
            const double c0 = double((r >> 24) & 0xFF) / 255.0, c1 = double((r >> 32) & 0xFF) / 255.0,
                         c2 = double((r >> 40) & 0xFF) / 255.0;
            switch (w.depth()) {
                case Depth::k8:
                    w.At<PF_Pixel>(x, y) = {A_u_char(a * 255), A_u_char(c0 * 255), A_u_char(c1 * 255),
                                            A_u_char(c2 * 255)};
                    break;
                case Depth::k16:
                    w.At<PF_Pixel16>(x, y) = {A_u_short(a * 32768), A_u_short(c0 * 32768), A_u_short(c1 * 32768),
                                              A_u_short(c2 * 32768)};
                    break;
                case Depth::k32:
                    w.At<PF_PixelFloat>(x, y) = {float(a), float(c0), float(c1), float(c2)};
                    break;
            }
        }
    }
}

struct Options {
    long small = 10000;
    long large = 100;
    int threads = 0;
    double max_growth_mib = 8.0;
    std::string module = ORVANE_PLUGIN_PATH;
};

bool ParseOptions(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--small" && has_value)
            o.small = std::atol(argv[++i]);
        else if (arg == "--large" && has_value)
            o.large = std::atol(argv[++i]);
        else if (arg == "--threads" && has_value)
            o.threads = std::atoi(argv[++i]);
        else if (arg == "--max-growth-mib" && has_value)
            o.max_growth_mib = std::atof(argv[++i]);
        else if (!arg.empty() && arg[0] != '-')
            o.module = arg;
        else
            return false;
    }
    return o.small >= 0 && o.large >= 0 && o.threads >= 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: veilshadow_soak [--small N] [--large N] [--threads N] [--max-growth-mib M] [MODULE]\n");
        return 2;
    }
    const long rss_start = StatusKiB("VmRSS");

    renderhost::PluginModule module = renderhost::PluginModule::Load(options.module);
    renderhost::Host host(renderhost::HostOptions{options.threads});
    std::printf("veilshadow_soak: %s\n  %ld small frames and %ld frames of 3840 x 2160 on %d threads\n",
                options.module.c_str(), options.small, options.large, host.threads());
    Report("start", rss_start);

    // Small frames: a handful per depth, made once and rendered in turn.
    std::vector<Frame> small;
    for (int i = 0; i < 6; ++i) {
        const Depth depth = Depth(i % 3);
        const reliability::FramePlan plan{
            depth, true, PF_Fixed((10 + 15 * i) << 16), 48, 32, i % 2, -3, -2, 54, 36, 0, -1, -1, 50, 34, i % 3};
        small.push_back(reliability::MakeFrame(plan, 100 + unsigned(i)));
    }

    int failures = 0;
    auto render = [&](renderhost::Effect &effect, World &input, World &layer, World &output, PF_Fixed slider) {
        renderhost::FrameSpec spec;
        spec.input = &input;
        spec.layer = &layer;
        spec.output = &output;
        spec.slider = slider;
        const renderhost::FrameResult r = effect.RenderFrame(spec);
        if (r.pre_render != PF_Err_NONE || r.render != PF_Err_NONE) {
            if (++failures <= 5) std::printf("  frame failed: pre-render %d, render %d\n", r.pre_render, r.render);
        }
    };
    auto render_large = [&](renderhost::Effect &effect, long n, bool check) {
        const Depth depth = Depth(n % 3);
        World input(depth, 3840, 2160), layer(depth, 3840, 2160), output(depth, 3840, 2160);
        FillFast(input, 2 * std::uint64_t(n) + 1);
        FillFast(layer, 2 * std::uint64_t(n) + 2);
        const PF_Fixed slider = PF_Fixed(((n * 37) % 101) << 16);
        render(effect, input, layer, output, slider);
        if (check) {
            World expected(depth, 3840, 2160);
            reliability::ComputeExpected(input, &layer, expected, slider);
            if (!reliability::SamePixels(output, expected)) {
                ++failures;
                std::printf("  a %s UHD frame differs from the plain rules\n", renderhost::DepthName(depth));
            }
        }
    };

    const auto started = std::chrono::steady_clock::now();
    long rss_warm = 0;
    {
        renderhost::Effect effect(host, module);
        if (effect.GlobalSetup() != PF_Err_NONE || effect.ParamsSetup() != PF_Err_NONE) {
            std::printf("setup failed\n");
            return 1;
        }
        const long warm_small = options.small / 10;
        constexpr long kEarlySmall = 400;
        const long large_every = options.large > 0 ? std::max(1L, options.small / options.large) : 0;
        long large_done = 0;
        for (long i = 0; i < options.small || large_done < options.large; ++i) {
            if (i < options.small) {
                Frame &f = small[std::size_t(i) % small.size()];
                const bool check = i % 997 == 0;
                if (check) reliability::FillPixelBytes(f.output, reliability::kUntouchedByte);
                render(effect, f.input, *f.layer, f.output, f.slider);
                if (check && !reliability::OutputIs(f, reliability::Output::kDrawn)) {
                    ++failures;
                    std::printf("  small frame %ld differs from the plain rules\n", i);
                }
            }
            if (large_done < options.large && (i >= options.small || (large_every > 0 && i % large_every == 0))) {
                render_large(effect, large_done, large_done < 3);
                ++large_done;
            }
            if (i + 1 == kEarlySmall && i < options.small)
                Report(("after " + std::to_string(i + 1) + " small, " + std::to_string(large_done) + " UHD frames")
                           .c_str(),
                       StatusKiB("VmRSS"));
            if (i + 1 == warm_small || (warm_small == 0 && i == 0)) {
                rss_warm = StatusKiB("VmRSS");
                Report(("after warm-up (" + std::to_string(i + 1) + " small, " + std::to_string(large_done) +
                        " UHD frames)")
                           .c_str(),
                       rss_warm);
            }
        }
        const long rss_end = StatusKiB("VmRSS");
        Report("end, before global setdown", rss_end);
        if (effect.GlobalSetdown() != PF_Err_NONE) ++failures;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double growth = MiB(rss_end - rss_warm);
        std::printf("  growth after warm-up: %+.1f MiB (allowed %.1f); %.1f s\n", growth, options.max_growth_mib,
                    seconds);
        if (growth > options.max_growth_mib) {
            std::printf("FAIL: resident memory grew by %.1f MiB\n", growth);
            ++failures;
        }
    }
    const std::string leaks = reliability::AccountingProblems(host);
    if (!leaks.empty()) {
        std::printf("FAIL: the host's books are not clean:\n%s", leaks.c_str());
        ++failures;
    }
    if (failures != 0) {
        std::printf("FAIL: %d problems\n", failures);
        return 1;
    }
    std::printf("OK\n");
    return 0;
}
