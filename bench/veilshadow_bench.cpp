// Frames of 3840 x 2160 through the plug-in module, as the host renders
// them (smart pre-render, smart render: the output's fill and the row
// kernels on the render host's thread pool, one thread per core), timed
// against the memory limit: a pass over the same frames that reads both
// sources and writes the output with a trivial per-pixel select, on the
// same pool through the same iterate_generic.
//
// Cases: the three depths; two contents, "typical" and "glass" (see
// LayerAlpha); opacities 0, 0.5, 1. Every iteration of a case runs the
// limit pass and then the case, and a case's ratio is its time over the
// limit's in the same iterations, so that other work on the machine weighs
// on both; the median over the repetitions is reported. Every frame case
// first checks that the module's frame equals, byte for byte, what the
// reference kernels give on a cleared output. The summary lines at the end
// are explained in the program's output (PrintLegend) and in
// docs/performance.md.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <RenderHost/RenderHost.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PF_Host.h"
#include "VeilShadowKernelPaths.h"
#include "VeilShadowKernels.h"
#include "VeilShadowPixels.h"

#ifndef ORVANE_PLUGIN_PATH
#error "ORVANE_PLUGIN_PATH must name the plug-in module"
#endif

namespace {

using renderhost::Depth;
using renderhost::World;

constexpr A_long kWidth = 3840;
constexpr A_long kHeight = 2160;
constexpr double kMegapixels = double(kWidth) * double(kHeight) / 1e6;

enum class Content { kTypical, kGlass };
const char *ContentName(Content c) { return c == Content::kTypical ? "typical" : "glass"; }
int DepthBits(Depth d) { return d == Depth::k8 ? 8 : d == Depth::k16 ? 16 : 32; }

// ------------------------------------------------------------ contents

// Straight colour, 0..1.
struct Colour {
    float a, r, g, b;
};

template <class P>
P ToPixel(const Colour &c);
template <>
PF_Pixel ToPixel(const Colour &c) {
    auto q = [](float v) { return A_u_char(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
    return PF_Pixel{q(c.a), q(c.r), q(c.g), q(c.b)};
}
template <>
PF_Pixel16 ToPixel(const Colour &c) {
    auto q = [](float v) { return A_u_short(std::lround(std::clamp(v, 0.0f, 1.0f) * 32768.0f)); };
    return PF_Pixel16{q(c.a), q(c.r), q(c.g), q(c.b)};
}
template <>
PF_PixelFloat ToPixel(const Colour &c) {
    return PF_PixelFloat{c.a, c.r, c.g, c.b};
}

PF_Pixel Over(const PF_Pixel &under, const PF_Pixel &top) { return orvane::blend8(under, top); }
PF_Pixel16 Over(const PF_Pixel16 &under, const PF_Pixel16 &top) { return orvane::blend16(under, top); }
PF_PixelFloat Over(const PF_PixelFloat &under, const PF_PixelFloat &top) { return orvane::blend32(under, top); }

// The layer's alpha over the whole frame.
//   typical: rows of shapes, four rows alike: empty runs of 20..60 pixels,
//     a 4-pixel soft edge, opaque runs of 16..48, a soft edge; on average
//     40 empty, 32 opaque and 8 partly transparent pixels in 80.
//   glass: smooth waves between 0.1 and 0.9.
std::vector<float> LayerAlpha(Content content) {
    std::vector<float> alpha(size_t(kWidth) * size_t(kHeight));
    for (A_long y = 0; y < kHeight; ++y) {
        float *row = alpha.data() + size_t(y) * size_t(kWidth);
        if (content == Content::kGlass) {
            for (A_long x = 0; x < kWidth; ++x)
                row[x] = 0.5f + 0.4f * std::sin(float(x) * 0.0131f + 0.6f * std::sin(float(y) * 0.0093f));
            continue;
        }
        std::mt19937 rng(unsigned(y / 4) * 7919u + 1u);
        A_long x = 0;
        auto put = [&](float a) {
            if (x < kWidth) row[x] = a;
            ++x;
        };
        while (x < kWidth) {
            for (int n = std::uniform_int_distribution<int>(20, 60)(rng); n > 0; --n) put(0.0f);
            for (int n = 1; n <= 4; ++n) put(0.2f * float(n));
            for (int n = std::uniform_int_distribution<int>(16, 48)(rng); n > 0; --n) put(1.0f);
            for (int n = 4; n >= 1; --n) put(0.2f * float(n));
        }
    }
    return alpha;
}

// Input = layer over its drop shadow. Typical: the shadow is the layer's
// shape moved by (12, 12) at 65 % strength; glass: a shadow under every
// pixel, 10..60 %.
template <class P>
void MakeFrames(Content content, World &input, World &layer) {
    const std::vector<float> alpha = LayerAlpha(content);
    for (A_long y = 0; y < kHeight; ++y) {
        P *in_row = input.Row<P>(y);
        P *layer_row = layer.Row<P>(y);
        for (A_long x = 0; x < kWidth; ++x) {
            const Colour l{alpha[size_t(y) * size_t(kWidth) + size_t(x)], 0.95f,
                           0.55f + 0.4f * std::sin(float(x) * 0.002f), 0.3f + 0.3f * std::cos(float(y) * 0.003f)};
            float shadow_alpha;
            if (content == Content::kGlass) {
                shadow_alpha = 0.35f + 0.25f * std::sin(float(y) * 0.011f + float(x) * 0.004f);
            } else {
                const A_long sx = x - 12, sy = y - 12;
                shadow_alpha = sx < 0 || sy < 0 ? 0.0f : 0.65f * alpha[size_t(sy) * size_t(kWidth) + size_t(sx)];
            }
            const Colour s{shadow_alpha, 0.05f, 0.04f, 0.1f};
            layer_row[x] = ToPixel<P>(l);
            in_row[x] = Over(ToPixel<P>(s), layer_row[x]);
        }
    }
}

// One depth and content's frames; one set is kept at a time.
struct Frames {
    Depth depth;
    Content content;
    World input, layer, output, check;
};

std::unique_ptr<Frames> g_frames;

Frames &FramesFor(Depth depth, Content content) {
    if (g_frames && g_frames->depth == depth && g_frames->content == content) return *g_frames;
    g_frames.reset();
    auto f =
        std::unique_ptr<Frames>(new Frames{depth, content, World(depth, kWidth, kHeight), World(depth, kWidth, kHeight),
                                           World(depth, kWidth, kHeight), World(depth, kWidth, kHeight)});
    switch (depth) {
        case Depth::k8:
            MakeFrames<PF_Pixel>(content, f->input, f->layer);
            break;
        case Depth::k16:
            MakeFrames<PF_Pixel16>(content, f->input, f->layer);
            break;
        case Depth::k32:
            MakeFrames<PF_PixelFloat>(content, f->input, f->layer);
            break;
    }
    g_frames = std::move(f);
    return *g_frames;
}

// ------------------------------------------------------------ host

struct Session {
    renderhost::Host host{renderhost::HostOptions{0}};
    renderhost::PluginModule module = renderhost::PluginModule::Load(ORVANE_PLUGIN_PATH);
    std::unique_ptr<renderhost::Effect> effect;
    const PF_Iterate8Suite1 *iterate = nullptr;

    Session() {
        effect = std::make_unique<renderhost::Effect>(host, module);
        if (effect->GlobalSetup() != PF_Err_NONE || effect->ParamsSetup() != PF_Err_NONE)
            throw std::runtime_error("the plug-in's setup failed");
        renderhost::Host::Scope scope(host);
        const void *suite = nullptr;
        if (host.BasicSuite()->AcquireSuite("PF Iterate8 Suite", 1, &suite) != 0 || suite == nullptr)
            throw std::runtime_error("the render host serves no iterate suite");
        iterate = static_cast<const PF_Iterate8Suite1 *>(suite);
    }
    ~Session() {
        {
            renderhost::Host::Scope scope(host);
            host.BasicSuite()->ReleaseSuite("PF Iterate8 Suite", 1);
        }
        effect->GlobalSetdown();
        effect.reset();
    }
    // iterate_generic of the host, as the plug-in calls it.
    PF_Err Iterate(A_long rows, void *refcon, PF_IterateGenericFunc fn) {
        renderhost::Host::Scope scope(host);
        return iterate->iterate_generic(rows, refcon, fn);
    }
};

std::unique_ptr<Session> g_session;

// ------------------------------------------------------------ memory limit

struct SelectJob {
    const World *input, *layer;
    World *output;
};

// The trivial per-pixel select: the layer pixel where its alpha bits are
// non-zero, else the input pixel, written with the widest vectors the
// processor has (AVX2, else SSE2) and asking for the rows 2 KB ahead, so
// that the pass is as fast as memory allows: the limit must not flatter
// the ratios.
//   Two limits: the select with ordinary stores, the memory limit proper;
// and the select with streaming stores (kStream), which write the output
// without reading its cache lines first, as the plug-in's kernels and the
// render host's fill do for frames this large. The second is printed beside
// the first, so that the kernels' own use of such stores cannot flatter
// the ratios unseen. The worlds' rows start on cache-line boundaries and
// are whole numbers of 32-byte vectors.
constexpr size_t kPrefetchBytes = 2048;

template <bool kStream>
inline void PrefetchRows(const void *in, const void *layer, const void *out) {
    __builtin_prefetch(static_cast<const char *>(in) + kPrefetchBytes, 0);
    __builtin_prefetch(static_cast<const char *>(layer) + kPrefetchBytes, 0);
    if constexpr (!kStream) __builtin_prefetch(static_cast<const char *>(out) + kPrefetchBytes, 1);
}
template <int kPixelBytes, bool kStream>
PF_Err SelectRowSse2(void *refcon, A_long, A_long y, A_long) {
    const SelectJob &job = *static_cast<const SelectJob *>(refcon);
    const size_t offset = size_t(y) * size_t(job.output->rowbytes());
    const auto *in = reinterpret_cast<const __m128i *>(static_cast<const char *>(job.input->data()) + offset);
    const auto *layer = reinterpret_cast<const __m128i *>(static_cast<const char *>(job.layer->data()) + offset);
    auto *out = reinterpret_cast<__m128i *>(static_cast<char *>(job.output->data()) + offset);
    constexpr A_long kVectors = kWidth * kPixelBytes / 16;
    // The alpha bits of each pixel within a vector: byte 0 of every 4,
    // bytes 0-1 of every 8, bytes 0-3 of every 16.
    const __m128i alpha = kPixelBytes == 4   ? _mm_set1_epi32(0xFF)
                          : kPixelBytes == 8 ? _mm_set_epi32(0, 0xFFFF, 0, 0xFFFF)
                                             : _mm_set_epi32(0, 0, 0, -1);
    const __m128i zero = _mm_setzero_si128();
    for (A_long v = 0; v < kVectors; ++v) {
        if (v % 4 == 0) PrefetchRows<kStream>(in + v, layer + v, out + v);
        const __m128i i = _mm_loadu_si128(in + v);
        const __m128i l = _mm_loadu_si128(layer + v);
        __m128i transparent = _mm_cmpeq_epi32(_mm_and_si128(l, alpha), zero);
        // Spread the test of the alpha dword over the whole pixel.
        if constexpr (kPixelBytes == 8) transparent = _mm_shuffle_epi32(transparent, _MM_SHUFFLE(2, 2, 0, 0));
        if constexpr (kPixelBytes == 16) transparent = _mm_shuffle_epi32(transparent, _MM_SHUFFLE(0, 0, 0, 0));
        const __m128i result = _mm_or_si128(_mm_and_si128(transparent, i), _mm_andnot_si128(transparent, l));
        if constexpr (kStream) {
            _mm_stream_si128(out + v, result);
        } else {
            _mm_storeu_si128(out + v, result);
        }
    }
    if constexpr (kStream) _mm_sfence();
    return PF_Err_NONE;
}

template <int kPixelBytes, bool kStream>
__attribute__((target("avx2"))) PF_Err SelectRowAvx2(void *refcon, A_long, A_long y, A_long) {
    const SelectJob &job = *static_cast<const SelectJob *>(refcon);
    const size_t offset = size_t(y) * size_t(job.output->rowbytes());
    const auto *in = reinterpret_cast<const __m256i *>(static_cast<const char *>(job.input->data()) + offset);
    const auto *layer = reinterpret_cast<const __m256i *>(static_cast<const char *>(job.layer->data()) + offset);
    auto *out = reinterpret_cast<__m256i *>(static_cast<char *>(job.output->data()) + offset);
    constexpr A_long kVectors = kWidth * kPixelBytes / 32;
    const __m256i alpha = kPixelBytes == 4   ? _mm256_set1_epi32(0xFF)
                          : kPixelBytes == 8 ? _mm256_set1_epi64x(0xFFFF)
                                             : _mm256_set_epi32(0, 0, 0, -1, 0, 0, 0, -1);
    const __m256i zero = _mm256_setzero_si256();
    for (A_long v = 0; v < kVectors; ++v) {
        if (v % 2 == 0) PrefetchRows<kStream>(in + v, layer + v, out + v);
        const __m256i i = _mm256_loadu_si256(in + v);
        const __m256i l = _mm256_loadu_si256(layer + v);
        __m256i transparent = _mm256_cmpeq_epi32(_mm256_and_si256(l, alpha), zero);
        if constexpr (kPixelBytes == 8) transparent = _mm256_shuffle_epi32(transparent, _MM_SHUFFLE(2, 2, 0, 0));
        if constexpr (kPixelBytes == 16) transparent = _mm256_shuffle_epi32(transparent, _MM_SHUFFLE(0, 0, 0, 0));
        const __m256i result = _mm256_blendv_epi8(l, i, transparent);
        if constexpr (kStream) {
            _mm256_stream_si256(out + v, result);
        } else {
            _mm256_storeu_si256(out + v, result);
        }
    }
    if constexpr (kStream) _mm_sfence();
    return PF_Err_NONE;
}

template <bool kStream>
PF_IterateGenericFunc SelectFor(Depth depth) {
    const bool avx2 = __builtin_cpu_supports("avx2");
    switch (depth) {
        case Depth::k8:
            return avx2 ? SelectRowAvx2<4, kStream> : SelectRowSse2<4, kStream>;
        case Depth::k16:
            return avx2 ? SelectRowAvx2<8, kStream> : SelectRowSse2<8, kStream>;
        default:
            return avx2 ? SelectRowAvx2<16, kStream> : SelectRowSse2<16, kStream>;
    }
}

using Clock = std::chrono::steady_clock;

// CPU time of the whole process (every pool thread), in seconds.
double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The 1-minute load average, or -1 where it cannot be read.
double LoadAverage() {
    double load = -1.0;
    if (std::FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = -1.0;
        std::fclose(f);
    }
    return load;
}

// Writes the frames' cache lines back to memory and drops them from every
// cache level.
void FlushFromCaches(const Frames &f) {
    for (const World *world : {&f.input, &f.layer, &f.output}) {
        const char *begin = static_cast<const char *>(world->data());
        const char *end = begin + size_t(world->rowbytes()) * size_t(world->height());
        for (const char *line = begin; line < end; line += 64) _mm_clflush(line);
    }
    _mm_mfence();
}

// The host's fill of the output with transparent black (see BM_Fill).
bool HostFill(Frames &f) {
    PF_EffectWorld world = f.output.descriptor();
    const PF_Pixel transparent_black{0, 0, 0, 0};
    renderhost::Effect &effect = *g_session->effect;
    renderhost::Host::Scope scope(g_session->host);
    return effect.in_data().utils->fill(effect.effect_ref(), &transparent_black, nullptr, &world) == PF_Err_NONE;
}

// The counters a case reports against its limit (the reporter reads them).
void SetLimitCounters(benchmark::State &state, double work_seconds, double limit_seconds, double work_cpu,
                      double limit_cpu, double streaming_ratio) {
    state.counters["ratio"] = work_seconds / limit_seconds;
    state.counters["cpu_ratio"] = work_cpu / limit_cpu;
    state.counters["streaming_ratio"] = streaming_ratio;
    state.counters["limit_Mpx/s"] = kMegapixels * double(state.iterations()) / limit_seconds;
    state.counters["Mpx/s"] = benchmark::Counter(kMegapixels, benchmark::Counter::kIsIterationInvariantRate);
}

// Runs `work` once per iteration, each time right after one pass of each
// limit, and reports the work's time (manual timing) with its ratio to the
// limit passes of the same iterations: by the clock, and by the CPU time
// the process spent (which other programs on the machine hardly change,
// but which counts a part that runs on one thread at its single thread's
// time); and by the clock against the streaming-store limit.
// With `floor`, every iteration also times the host's fill of the output
// after the plain limit, and the case reports its time over the floor: the
// limit's time plus the fill's, of the same iterations.
template <class Work>
void TimeAgainstLimit(benchmark::State &state, Frames &f, Work &&work, bool floor = false) {
    SelectJob job{&f.input, &f.layer, &f.output};
    const PF_IterateGenericFunc select = SelectFor<false>(f.depth);
    const PF_IterateGenericFunc select_streaming = SelectFor<true>(f.depth);
    double limit_seconds = 0.0, streaming_seconds = 0.0, work_seconds = 0.0, limit_cpu = 0.0, work_cpu = 0.0;
    double fill_seconds = 0.0;
    for (auto _ : state) {
        // The plain limit follows the previous iteration's work, and the work
        // follows the streaming limit: both start with the output's lines
        // out of the caches where streaming stores leave them. (Work that
        // writes with ordinary stores leaves them in the caches, which only
        // makes the limit after it faster.)
        const double c0 = ProcessCpuSeconds();
        const Clock::time_point t0 = Clock::now();
        g_session->Iterate(kHeight, &job, select);
        const Clock::time_point s0 = Clock::now();
        const double c1 = ProcessCpuSeconds();
        if (floor) {
            const Clock::time_point f0 = Clock::now();
            if (!HostFill(f)) {
                state.SkipWithError("the host's fill failed");
                return;
            }
            fill_seconds += std::chrono::duration<double>(Clock::now() - f0).count();
        }
        const Clock::time_point s1 = Clock::now();
        g_session->Iterate(kHeight, &job, select_streaming);
        const Clock::time_point t1 = Clock::now();
        const double work_cpu_start = ProcessCpuSeconds();
        if (!work()) {
            state.SkipWithError("the work failed");
            return;
        }
        const Clock::time_point t2 = Clock::now();
        const double c2 = ProcessCpuSeconds();
        const double seconds = std::chrono::duration<double>(t2 - t1).count();
        limit_seconds += std::chrono::duration<double>(s0 - t0).count();
        streaming_seconds += std::chrono::duration<double>(t1 - s1).count();
        work_seconds += seconds;
        limit_cpu += c1 - c0;
        work_cpu += c2 - work_cpu_start;
        state.SetIterationTime(seconds);
    }
    SetLimitCounters(state, work_seconds, limit_seconds, work_cpu, limit_cpu, work_seconds / streaming_seconds);
    if (floor) state.counters["floor_ratio"] = work_seconds / (limit_seconds + fill_seconds);
}

// The same comparison from cold caches: every iteration flushes the three
// frames from the caches (untimed) before the plain limit, and again
// before the work.
template <class Work>
void TimeAgainstColdLimit(benchmark::State &state, Frames &f, Work &&work) {
    SelectJob job{&f.input, &f.layer, &f.output};
    const PF_IterateGenericFunc select = SelectFor<false>(f.depth);
    double limit_seconds = 0.0, work_seconds = 0.0, limit_cpu = 0.0, work_cpu = 0.0;
    for (auto _ : state) {
        FlushFromCaches(f);
        const double c0 = ProcessCpuSeconds();
        const Clock::time_point t0 = Clock::now();
        g_session->Iterate(kHeight, &job, select);
        const Clock::time_point t1 = Clock::now();
        const double c1 = ProcessCpuSeconds();
        FlushFromCaches(f);
        const double c2 = ProcessCpuSeconds();
        const Clock::time_point t2 = Clock::now();
        if (!work()) {
            state.SkipWithError("the work failed");
            return;
        }
        const Clock::time_point t3 = Clock::now();
        const double c3 = ProcessCpuSeconds();
        const double seconds = std::chrono::duration<double>(t3 - t2).count();
        limit_seconds += std::chrono::duration<double>(t1 - t0).count();
        work_seconds += seconds;
        limit_cpu += c1 - c0;
        work_cpu += c3 - c2;
        state.SetIterationTime(seconds);
    }
    SetLimitCounters(state, work_seconds, limit_seconds, work_cpu, limit_cpu, std::nan(""));
}

// The host's own fill of the output with transparent black, which every
// frame's render asks for before the row kernels run: part of the frame
// time that is the host's, not the plug-in's.
void BM_Fill(benchmark::State &state, Depth depth) {
    Frames &f = FramesFor(depth, Content::kTypical);
    TimeAgainstLimit(state, f, [&] { return HostFill(f); });
}

// ------------------------------------------------------------ frames

PF_Fixed SliderFor(double opacity) { return PF_Fixed(std::lround(opacity * 100.0 * 65536.0)); }

orvane::CopyDataInfo ContextFor(Frames &f, World &output, double opacity) {
    orvane::CopyDataInfo info{};
    info.input = const_cast<PF_EffectWorld *>(&f.input.descriptor());
    info.input_area = orvane::SourceArea{0, 0, kWidth, kHeight};
    info.layer = const_cast<PF_EffectWorld *>(&f.layer.descriptor());
    info.layer_area = orvane::SourceArea{0, 0, kWidth, kHeight};
    info.output = const_cast<PF_EffectWorld *>(&output.descriptor());
    info.opacity = opacity;
    return info;
}

PF_IterateGenericFunc ReferenceKernel(Depth depth) {
    return depth == Depth::k8    ? orvane::CopyData8Reference
           : depth == Depth::k16 ? orvane::CopyData16Reference
                                 : orvane::CopyData32Reference;
}
PF_IterateGenericFunc FastKernel(Depth depth) {
    return depth == Depth::k8 ? orvane::CopyData8 : depth == Depth::k16 ? orvane::CopyData16 : orvane::CopyData32;
}

renderhost::FrameSpec SpecFor(Frames &f, double opacity) {
    renderhost::FrameSpec spec;
    spec.input = &f.input;
    spec.layer = &f.layer;
    spec.output = &f.output;
    spec.slider = SliderFor(opacity);
    return spec;
}

// The module's frame against the reference kernels on a cleared output.
bool FrameMatchesReference(Frames &f, double opacity, std::string *why) {
    const renderhost::FrameResult r = g_session->effect->RenderFrame(SpecFor(f, opacity));
    if (r.pre_render != PF_Err_NONE || r.render != PF_Err_NONE) {
        *why = "the frame failed: pre-render " + std::to_string(r.pre_render) + ", render " + std::to_string(r.render);
        return false;
    }
    f.check.Clear();
    // The kernels take the opacity as the pre-render stores it.
    orvane::CopyDataInfo info = ContextFor(f, f.check, double(SliderFor(opacity)) / 65536.0 * 0.01);
    g_session->Iterate(kHeight, &info, ReferenceKernel(f.depth));
    const size_t bytes = size_t(f.output.rowbytes()) * size_t(kHeight);
    if (std::memcmp(f.output.data(), f.check.data(), bytes) != 0) {
        *why = "the module's frame differs from the reference kernels' output";
        return false;
    }
    return true;
}

void BM_Frame(benchmark::State &state, Depth depth, Content content, double opacity) {
    Frames &f = FramesFor(depth, content);
    std::string why;
    if (!FrameMatchesReference(f, opacity, &why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    const renderhost::FrameSpec spec = SpecFor(f, opacity);
    TimeAgainstLimit(
        state, f, [&] { return g_session->effect->RenderFrame(spec).render == PF_Err_NONE; }, true);
}

// The frame against the limit from cold caches (the frame itself is
// checked by BM_Frame).
void BM_FrameCold(benchmark::State &state, Depth depth, Content content, double opacity) {
    Frames &f = FramesFor(depth, content);
    const renderhost::FrameSpec spec = SpecFor(f, opacity);
    TimeAgainstColdLimit(state, f, [&] { return g_session->effect->RenderFrame(spec).render == PF_Err_NONE; });
}

// The row kernels alone on the same pool: no commands, no fill.
void BM_Kernel(benchmark::State &state, Depth depth, Content content, double opacity, bool reference) {
    Frames &f = FramesFor(depth, content);
    orvane::CopyDataInfo info = ContextFor(f, f.output, opacity);
    const PF_IterateGenericFunc kernel = reference ? ReferenceKernel(depth) : FastKernel(depth);
    TimeAgainstLimit(state, f, [&] { return g_session->Iterate(kHeight, &info, kernel) == PF_Err_NONE; });
}

// ------------------------------------------------------------ report

// Keeps, by benchmark name, every repetition's ratio to the limit, time
// per iteration and limit rate.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Sample {
        double ratio, cpu_ratio, streaming_ratio, seconds, limit_rate;
        double floor_ratio;  // NaN for cases without it
    };
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            auto ratio = run.counters.find("ratio");
            auto cpu_ratio = run.counters.find("cpu_ratio");
            auto streaming_ratio = run.counters.find("streaming_ratio");
            auto limit = run.counters.find("limit_Mpx/s");
            if (ratio == run.counters.end() || cpu_ratio == run.counters.end() ||
                streaming_ratio == run.counters.end() || limit == run.counters.end())
                continue;
            auto floor_ratio = run.counters.find("floor_ratio");
            samples_[run.run_name.function_name].push_back(
                Sample{ratio->second.value, cpu_ratio->second.value, streaming_ratio->second.value,
                       run.real_accumulated_time / double(run.iterations), limit->second.value,
                       floor_ratio == run.counters.end() ? std::nan("") : floor_ratio->second.value});
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The repetition with the median ratio; false when the case did not run.
    bool Median(const std::string &name, Sample *out) const {
        auto it = samples_.find(name);
        if (it == samples_.end() || it->second.empty()) return false;
        std::vector<Sample> s = it->second;
        std::sort(s.begin(), s.end(), [](const Sample &a, const Sample &b) { return a.ratio < b.ratio; });
        *out = s[s.size() / 2];
        return true;
    }

private:
    std::map<std::string, std::vector<Sample>> samples_;
};

const Depth kDepths[] = {Depth::k8, Depth::k16, Depth::k32};
const Content kContents[] = {Content::kTypical, Content::kGlass};
// The opacities of the cases: 0, 0.5 and 1 unless --veilshadow_opacities
// names others.
std::vector<double> g_opacities = {0.0, 0.5, 1.0};

std::string OpacityText(double opacity) {
    char text[16];
    std::snprintf(text, sizeof text, "%g", opacity);
    return text;
}
std::string FillName(Depth d) { return "host-fill/" + std::to_string(DepthBits(d)); }
std::string CaseName(const char *kind, Depth d, Content c, double opacity) {
    return std::string(kind) + "/" + std::to_string(DepthBits(d)) + "/" + ContentName(c) + "/" + OpacityText(opacity);
}

// What the summary lines hold, printed before them.
void PrintLegend() {
    std::printf(
        "# Summary lines, the median repetition of each case. ratio: the time over the limit pass's in the same\n"
        "# iterations; cpu_ratio: the same by the process's CPU time; streaming_limit_ratio: against the limit\n"
        "# pass written with streaming stores. ratio_to_limit: the frame, warm caches; cold_ratio_to_limit: the\n"
        "# frame and the limit, each from cold caches; host_fill_ratio_to_limit: the host's clear of the output\n"
        "# alone; kernel_ratio_to_limit: the row kernels alone (reference or fast: no commands, no clear).\n");
}

void Register(int repetitions, double min_time, bool kernels, bool cold) {
    auto setup = [&](benchmark::internal::Benchmark *b) {
        b->Repetitions(repetitions)->MinTime(min_time)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    for (Depth d : kDepths) {
        setup(benchmark::RegisterBenchmark(FillName(d).c_str(), BM_Fill, d));
        for (Content c : kContents)
            for (double op : g_opacities) {
                setup(benchmark::RegisterBenchmark(CaseName("frame", d, c, op).c_str(), BM_Frame, d, c, op));
                if (cold)
                    setup(
                        benchmark::RegisterBenchmark(CaseName("frame-cold", d, c, op).c_str(), BM_FrameCold, d, c, op));
                if (kernels) {
                    setup(benchmark::RegisterBenchmark(CaseName("kernel-reference", d, c, op).c_str(), BM_Kernel, d, c,
                                                       op, true));
                    setup(benchmark::RegisterBenchmark(CaseName("kernel-fast", d, c, op).c_str(), BM_Kernel, d, c, op,
                                                       false));
                }
            }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // Own options, taken out before the library sees the rest:
    //   --veilshadow_repetitions=N   repetitions per case (default 3)
    //   --veilshadow_min_time=S      seconds per repetition (default 0.2)
    //   --veilshadow_kernels=0       leave out the kernel-only runs
    //   --veilshadow_cold=0          leave out the frames from cold caches
    //   --veilshadow_opacities=A,B   the opacities of the cases (default 0,0.5,1)
    int repetitions = 3;
    double min_time = 0.2;
    bool kernels = true, cold = true;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--veilshadow_repetitions=", 0) == 0) {
            repetitions = std::max(1, std::atoi(arg.c_str() + 25));
        } else if (arg.rfind("--veilshadow_min_time=", 0) == 0) {
            min_time = std::max(0.01, std::atof(arg.c_str() + 22));
        } else if (arg.rfind("--veilshadow_opacities=", 0) == 0) {
            g_opacities.clear();
            std::string list = arg.substr(23);
            for (size_t start = 0; start <= list.size();) {
                const size_t comma = std::min(list.find(',', start), list.size());
                const std::string item = list.substr(start, comma - start);
                char *end = nullptr;
                const double value = std::strtod(item.c_str(), &end);
                if (item.empty() || *end != '\0' || !(value >= 0.0 && value <= 1.0)) {
                    std::fprintf(stderr,
                                 "veilshadow_bench: --veilshadow_opacities: \"%s\" is not an opacity from 0 to 1\n",
                                 item.c_str());
                    return 2;
                }
                g_opacities.push_back(value);
                start = comma + 1;
            }
        } else if (arg.rfind("--veilshadow_kernels=", 0) == 0) {
            kernels = arg.substr(21) != "0";
        } else if (arg.rfind("--veilshadow_cold=", 0) == 0) {
            cold = arg.substr(18) != "0";
        } else {
            rest.push_back(argv[i]);
        }
    }
    int rest_count = int(rest.size());
    benchmark::Initialize(&rest_count, rest.data());

    try {
        g_session = std::make_unique<Session>();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "veilshadow_bench: %s\n", e.what());
        return 1;
    }
    const int threads = g_session->host.threads();
    std::printf("veilshadow_bench: %d x %d frames, %d render threads (hardware threads: %u), kernel path %s\n", kWidth,
                kHeight, threads, std::thread::hardware_concurrency(),
                orvane::KernelPathName(orvane::PreferredKernelPath()));
    std::fflush(stdout);

    Register(repetitions, min_time, kernels, cold);
    RatioReporter reporter;
    const double load_before = LoadAverage();
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double load_after = LoadAverage();
    g_frames.reset();

    std::printf("\ncores %u, render threads %d, kernel path %s, median of %d repetitions\n",
                std::thread::hardware_concurrency(), threads, orvane::KernelPathName(orvane::PreferredKernelPath()),
                repetitions);
    std::printf("load average %.2f before, %.2f after%s\n", load_before, load_after,
                std::max(load_before, load_after) > 0.5
                    ? ": other programs were running, the clock ratios of the heavier cases come out high"
                    : "");
    PrintLegend();
    RatioReporter::Sample m;
    for (Depth d : kDepths)
        for (Content c : kContents)
            for (double op : g_opacities)
                if (reporter.Median(CaseName("frame", d, c, op), &m))
                    std::printf(
                        "ratio_to_limit %d %s %s %.3f mpx_per_s %.1f limit_mpx_per_s %.1f cpu_ratio %.3f "
                        "streaming_limit_ratio %.3f\n",
                        DepthBits(d), ContentName(c), OpacityText(op).c_str(), m.ratio, kMegapixels / m.seconds,
                        m.limit_rate, m.cpu_ratio, m.streaming_ratio);
    // The frame's time over its floor, the memory limit plus the host's
    // clear of the output (both timed in the frame's own iterations):
    //   floor_ratio <depth> <content> <opacity> <ratio>
    for (Depth d : kDepths)
        for (Content c : kContents)
            for (double op : g_opacities)
                if (reporter.Median(CaseName("frame", d, c, op), &m))
                    std::printf("floor_ratio %d %s %s %.3f\n", DepthBits(d), ContentName(c), OpacityText(op).c_str(),
                                m.floor_ratio);
    for (Depth d : kDepths)
        for (Content c : kContents)
            for (double op : g_opacities)
                if (reporter.Median(CaseName("frame-cold", d, c, op), &m))
                    std::printf(
                        "cold_ratio_to_limit %d %s %s %.3f mpx_per_s %.1f limit_mpx_per_s %.1f cpu_ratio %.3f\n",
                        DepthBits(d), ContentName(c), OpacityText(op).c_str(), m.ratio, kMegapixels / m.seconds,
                        m.limit_rate, m.cpu_ratio);
    for (Depth d : kDepths)
        if (reporter.Median(FillName(d), &m))
            std::printf("host_fill_ratio_to_limit %d %.3f mpx_per_s %.1f cpu_ratio %.3f streaming_limit_ratio %.3f\n",
                        DepthBits(d), m.ratio, kMegapixels / m.seconds, m.cpu_ratio, m.streaming_ratio);
    for (const char *kind : {"kernel-reference", "kernel-fast"})
        for (Depth d : kDepths)
            for (Content c : kContents)
                for (double op : g_opacities)
                    if (reporter.Median(CaseName(kind, d, c, op), &m))
                        std::printf(
                            "kernel_ratio_to_limit %d %s %s %s %.3f mpx_per_s %.1f cpu_ratio %.3f "
                            "streaming_limit_ratio %.3f\n",
                            DepthBits(d), ContentName(c), OpacityText(op).c_str(), kind + 7, m.ratio,
                            kMegapixels / m.seconds, m.cpu_ratio, m.streaming_ratio);
    g_session.reset();
    benchmark::Shutdown();
    return 0;
}
