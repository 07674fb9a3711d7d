// The fast row kernels: the row plan, the choice of code path, and the
// portable scalar spans.
//
// A row is cut once into at most five pieces by where each source is
// present, so no pixel needs a bounds test: input alone (copied), layer
// alone (written only at a zero opacity), and both present (select or
// recompose). The pieces go to the span functions of one code path; for a
// large output they are made in a small buffer and streamed out.
#include "VeilShadowKernelPaths.h"
#include "VeilShadowKernels.h"
#include "VeilShadowPixelRules.h"
#include "VeilShadowSpans.h"

#include <cstdint>

#if ORVANE_KERNELS_X86
#include <cpuid.h>
#include <xmmintrin.h>
#endif

namespace orvane {

namespace spans {
namespace scalar {

namespace {

template <class Pixel>
void CopyRun(Pixel *out, const Pixel *in, ptrdiff_t count) {
    using Depth = typename rules::DepthFor<Pixel>::type;
    if constexpr (sizeof(Pixel) == sizeof(PF_Pixel16)) {
        for (ptrdiff_t i = 0; i < count; ++i) out[i] = Depth::Load(in[i]);
    } else {
        if (count > 0) __builtin_memcpy(out, in, size_t(count) * sizeof(Pixel));
    }
}

// Runs of pixels copied from the input alternate with runs that are
// recomposited; a copy run moves as one block.
template <class Pixel>
void RecomposeRun(Pixel *out, const Pixel *in, const Pixel *layer, ptrdiff_t count, double opacity) {
    using Depth = typename rules::DepthFor<Pixel>::type;
    ptrdiff_t x = 0;
    while (x < count) {
        ptrdiff_t end = x;
        while (end < count && !rules::NeedsRecomposite(in[end], layer[end])) ++end;
        CopyRun(out + x, in + x, end - x);
        for (x = end; x < count && rules::NeedsRecomposite(in[x], layer[x]); ++x)
            out[x] = Depth::Recomposite(Depth::Load(in[x]), Depth::Load(layer[x]), opacity);
    }
}

template <class Pixel>
void SelectRun(Pixel *out, const Pixel *in, const Pixel *layer, ptrdiff_t count) {
    using Depth = typename rules::DepthFor<Pixel>::type;
    for (ptrdiff_t i = 0; i < count; ++i) out[i] = Depth::Load(Depth::Visible(layer[i]) ? layer[i] : in[i]);
}

void Quotients(const A_long *num, const A_long *den, A_long *q, ptrdiff_t count) {
    for (ptrdiff_t i = 0; i < count; ++i) q[i] = num[i] / den[i];
}

}  // namespace

void Recompose8(PF_Pixel *out, const PF_Pixel *in, const PF_Pixel *layer, ptrdiff_t count, double opacity) {
    RecomposeRun(out, in, layer, count, opacity);
}
void Recompose16(PF_Pixel16 *out, const PF_Pixel16 *in, const PF_Pixel16 *layer, ptrdiff_t count,
                 double opacity) {
    RecomposeRun(out, in, layer, count, opacity);
}
void Recompose32(PF_PixelFloat *out, const PF_PixelFloat *in, const PF_PixelFloat *layer, ptrdiff_t count,
                 double opacity) {
    RecomposeRun(out, in, layer, count, opacity);
}
void Select8(PF_Pixel *out, const PF_Pixel *in, const PF_Pixel *layer, ptrdiff_t count) {
    SelectRun(out, in, layer, count);
}
void Select16(PF_Pixel16 *out, const PF_Pixel16 *in, const PF_Pixel16 *layer, ptrdiff_t count) {
    SelectRun(out, in, layer, count);
}
void Select32(PF_PixelFloat *out, const PF_PixelFloat *in, const PF_PixelFloat *layer, ptrdiff_t count) {
    SelectRun(out, in, layer, count);
}
void Copy8(PF_Pixel *out, const PF_Pixel *in, ptrdiff_t count) { CopyRun(out, in, count); }
void Copy16(PF_Pixel16 *out, const PF_Pixel16 *in, ptrdiff_t count) { CopyRun(out, in, count); }
void Copy32(PF_PixelFloat *out, const PF_PixelFloat *in, ptrdiff_t count) { CopyRun(out, in, count); }

}  // namespace scalar

// The scalar path divides as the reference does.
const SpanOps kScalarSpans = {
    {scalar::Recompose8, scalar::Select8, scalar::Copy8},
    {scalar::Recompose16, scalar::Select16, scalar::Copy16},
    {scalar::Recompose32, scalar::Select32, scalar::Copy32},
    scalar::Quotients,
    scalar::Quotients,
    nullptr,
};

}  // namespace spans

namespace {

// Where one source is present along one output row: output columns
// begin..end-1, source column = output column + offset. Worked out in 64
// bits, so no offset can wrap around into a wrong but "present" position.
template <class Pixel>
struct SourceSpan {
    const Pixel *row = nullptr;
    long long offset = 0;
    A_long begin = 0;
    A_long end = 0;  // begin == end: absent along the whole row

    const Pixel *At(A_long x) const { return row + ptrdiff_t((long long)x + offset); }
};

template <class Pixel>
SourceSpan<Pixel> Locate(const PF_EffectWorld *world, const SourceArea &area, A_long out_row, A_long width) {
    SourceSpan<Pixel> span;
    const long long row = (long long)out_row + area.offset_y;
    if (world == nullptr || row < 0 || row >= area.height) return span;
    // 0 <= x + offset_x < width of the source, and 0 <= x < width of the output.
    long long begin = -(long long)area.offset_x;
    long long end = (long long)area.width - area.offset_x;
    if (begin < 0) begin = 0;
    if (end > width) end = width;
    if (end <= begin) return span;
    span.row = PixelRow<const Pixel>(*world, row);
    span.offset = area.offset_x;
    span.begin = A_long(begin);
    span.end = A_long(end);
    return span;
}

template <class Pixel>
const spans::DepthSpans<Pixel> &SpansOf(const spans::SpanOps &ops);
template <>
const spans::DepthSpans<PF_Pixel> &SpansOf(const spans::SpanOps &ops) {
    return ops.d8;
}
template <>
const spans::DepthSpans<PF_Pixel16> &SpansOf(const spans::SpanOps &ops) {
    return ops.d16;
}
template <>
const spans::DepthSpans<PF_PixelFloat> &SpansOf(const spans::SpanOps &ops) {
    return ops.d32;
}

// Whether a frame's rows go out with streaming stores: where the path has
// them and the output is too large to stay in the caches anyway, or when
// asked for. busy() says whether the row is mostly recomposited; such a row
// of an integer depth goes out with ordinary stores all the same: its
// arithmetic per output byte hides the reads of the output's lines, and the
// fence that ends a streamed row, which waits for its last stores to reach
// memory, would be a cost of its own. (Float pixels are two to four times
// larger for about the same arithmetic, and stream even then.)
template <class Pixel, class Busy>
bool StreamsRows(const spans::SpanOps &ops, const PF_EffectWorld &output, OutputWrites writes, Busy busy) {
    if (ops.stream_out == nullptr || writes == OutputWrites::kCached) return false;
    if (writes == OutputWrites::kStreaming) return true;
    const uint64_t bytes = uint64_t(output.rowbytes < 0 ? -(int64_t)output.rowbytes : output.rowbytes) *
                           uint64_t(output.height < 0 ? 0 : output.height);
    if (bytes < kStreamingOutputBytes) return false;
    return sizeof(Pixel) == sizeof(PF_PixelFloat) || !busy();
}

// Whether more than half the pixels of a run with both sources present are
// recomposited, judged on a sample: every 16th pixel of its first 512.
template <class Pixel>
bool MostlyRecomposited(const SourceSpan<Pixel> &in, const SourceSpan<Pixel> &layer, A_long begin, A_long end) {
    int samples = 0, recomposited = 0;
    for (A_long x = begin; x < end && samples < 32; x += 16, ++samples)
        recomposited += rules::NeedsRecomposite(*in.At(x), *layer.At(x)) ? 1 : 0;
    return 2 * recomposited > samples;
}

// Output pixels begin..end-1 made by make(destination, first column,
// count). Directly in the output; or, when streaming, piece by piece in a
// buffer on the stack (it stays in the first-level cache) that is then
// streamed to the output.
template <class Pixel, class Make>
void WriteRun(const spans::SpanOps &ops, bool stream, Pixel *out, A_long begin, A_long end, Make make) {
    if (begin >= end) return;
    if (!stream) {
        make(out + begin, begin, ptrdiff_t(end) - begin);
        return;
    }
    constexpr size_t kBufferBytes = 2048;
    constexpr ptrdiff_t kPiece = ptrdiff_t(kBufferBytes / sizeof(Pixel));
    alignas(64) Pixel buffer[kPiece];
    for (ptrdiff_t x = begin; x < end;) {
        const ptrdiff_t count = end - x < kPiece ? end - x : kPiece;
        make(buffer, A_long(x), count);
        ops.stream_out(out + x, buffer, size_t(count) * sizeof(Pixel));
        x += count;
    }
}

// Layer alone at a zero opacity: the layer where it is visible; elsewhere
// the output is left as it is.
template <class Pixel>
void LayerAlone(Pixel *out, const SourceSpan<Pixel> &layer, A_long begin, A_long end) {
    using Depth = typename rules::DepthFor<Pixel>::type;
    for (A_long x = begin; x < end; ++x) {
        const Pixel &l = *layer.At(x);
        if (Depth::Visible(l)) out[x] = Depth::Load(l);
    }
}

template <class Pixel>
PF_Err FastRow(const spans::SpanOps &all_ops, const void *refcon, A_long row, OutputWrites writes) {
    const spans::DepthSpans<Pixel> &ops = SpansOf<Pixel>(all_ops);
    const CopyDataInfo &info = *static_cast<const CopyDataInfo *>(refcon);
    const A_long width = info.output->width;
    if (width <= 0) return PF_Err_NONE;

    const double opacity = info.opacity;
    const bool opacity_is_zero = rules::OpacityIsZero(opacity);
    const SourceSpan<Pixel> in = Locate<Pixel>(info.input, info.input_area, row, width);
    const SourceSpan<Pixel> layer = Locate<Pixel>(info.layer, info.layer_area, row, width);
    Pixel *out = PixelRow<Pixel>(*info.output, row);

    A_long both_begin = in.begin > layer.begin ? in.begin : layer.begin;
    A_long both_end = in.end < layer.end ? in.end : layer.end;
    const bool both = both_begin < both_end;
    const bool stream = StreamsRows<Pixel>(all_ops, *info.output, writes, [&] {
        return both && !opacity_is_zero && MostlyRecomposited(in, layer, both_begin, both_end);
    });

    // Input alone: copies of the input (decision row 5).
    auto copy_input = [&](Pixel *o, A_long x, ptrdiff_t count) { ops.copy(o, in.At(x), count); };
    WriteRun(all_ops, stream, out, in.begin, both ? both_begin : in.end, copy_input);
    if (both) WriteRun(all_ops, stream, out, both_end, in.end, copy_input);

    // Layer alone: written only at a zero opacity (row 1); otherwise the
    // output is left as it is (rows 2 and 6).
    if (opacity_is_zero) {
        LayerAlone(out, layer, layer.begin, both ? both_begin : layer.end);
        if (both) LayerAlone(out, layer, both_end, layer.end);
    }

    if (both) {
        WriteRun(all_ops, stream, out, both_begin, both_end, [&](Pixel *o, A_long x, ptrdiff_t count) {
            if (opacity_is_zero) {
                ops.select(o, in.At(x), layer.At(x), count);
            } else {
                ops.recompose(o, in.At(x), layer.At(x), count, opacity);
            }
        });
    }
#if ORVANE_KERNELS_X86
    // Streaming stores are weakly ordered: the row is complete for other
    // threads (and for the host, once the iteration returns) after a fence.
    if (stream) _mm_sfence();
#endif
    return PF_Err_NONE;
}

#if ORVANE_KERNELS_X86
// The AVX2 path needs the AVX2 instructions (CPUID leaf 7), the fused
// multiply-adds it also uses (leaf 1; processors with AVX2 have them as a
// rule, but they are a feature of their own), and an operating system that
// saves the 256-bit registers (OSXSAVE, and XCR0 with the SSE and AVX state
// bits).
bool ProcessorHasAvx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const unsigned kFma = 1u << 12, kOsxsave = 1u << 27, kAvx = 1u << 28;
    if ((c & kOsxsave) == 0 || (c & kAvx) == 0 || (c & kFma) == 0) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 0x6u) != 0x6u) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    const unsigned kAvx2 = 1u << 5;
    return (b & kAvx2) != 0;
}
#endif

KernelPath DetectPath() {
#if ORVANE_KERNELS_X86
    return ProcessorHasAvx2() ? KernelPath::kAvx2 : KernelPath::kSse2;
#else
    return KernelPath::kScalar;
#endif
}

// The one piece of state: the path found on first use, 0 until then, else
// the path + 1. Every thread that finds it unset works out the same value,
// so relaxed atomic access is all it takes.
int g_preferred_path = 0;

const spans::SpanOps &SpansFor(KernelPath path) {
    switch (path) {
#if ORVANE_KERNELS_X86
        case KernelPath::kAvx2:
            if (KernelPathAvailable(KernelPath::kAvx2)) return spans::kAvx2Spans;
            return spans::kSse2Spans;
        case KernelPath::kSse2:
            return spans::kSse2Spans;
#endif
        default:
            return spans::kScalarSpans;
    }
}

const spans::SpanOps &PreferredSpans() {
    switch (PreferredKernelPath()) {
#if ORVANE_KERNELS_X86
        case KernelPath::kAvx2:
            return spans::kAvx2Spans;
        case KernelPath::kSse2:
            return spans::kSse2Spans;
#endif
        default:
            return spans::kScalarSpans;
    }
}

}  // namespace

const char *KernelPathName(KernelPath path) {
    switch (path) {
        case KernelPath::kSse2:
            return "sse2";
        case KernelPath::kAvx2:
            return "avx2";
        default:
            return "scalar";
    }
}

KernelPath PreferredKernelPath() {
    int chosen = __atomic_load_n(&g_preferred_path, __ATOMIC_RELAXED);
    if (chosen == 0) {
        chosen = int(DetectPath()) + 1;
        __atomic_store_n(&g_preferred_path, chosen, __ATOMIC_RELAXED);
    }
    return KernelPath(chosen - 1);
}

bool KernelPathAvailable(KernelPath path) {
    switch (path) {
        case KernelPath::kScalar:
            return true;
#if ORVANE_KERNELS_X86
        case KernelPath::kSse2:
            return true;
        case KernelPath::kAvx2:
            return PreferredKernelPath() == KernelPath::kAvx2;
#endif
        default:
            return false;
    }
}

PF_Err CopyData8(void *refcon, A_long, A_long row, A_long) {
    return FastRow<PF_Pixel>(PreferredSpans(), refcon, row, OutputWrites::kBySize);
}
PF_Err CopyData16(void *refcon, A_long, A_long row, A_long) {
    return FastRow<PF_Pixel16>(PreferredSpans(), refcon, row, OutputWrites::kBySize);
}
PF_Err CopyData32(void *refcon, A_long, A_long row, A_long) {
    return FastRow<PF_PixelFloat>(PreferredSpans(), refcon, row, OutputWrites::kBySize);
}

// A path that is not available falls back to the widest one that is.
PF_Err CopyData8On(KernelPath path, void *refcon, A_long row, OutputWrites writes) {
    return FastRow<PF_Pixel>(SpansFor(path), refcon, row, writes);
}
PF_Err CopyData16On(KernelPath path, void *refcon, A_long row, OutputWrites writes) {
    return FastRow<PF_Pixel16>(SpansFor(path), refcon, row, writes);
}
PF_Err CopyData32On(KernelPath path, void *refcon, A_long row, OutputWrites writes) {
    return FastRow<PF_PixelFloat>(SpansFor(path), refcon, row, writes);
}

void Quotients8On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count) {
    SpansFor(path).quotients8(num, den, q, count);
}
void Quotients16On(KernelPath path, const A_long *num, const A_long *den, A_long *q, ptrdiff_t count) {
    SpansFor(path).quotients16(num, den, q, count);
}

}  // namespace orvane
