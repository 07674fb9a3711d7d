// The fast row kernels: the row plan, the store policy, and the portable
// scalar spans.
//
// A row is cut once into at most five pieces by where each source is
// present, so no pixel needs a bounds test: input alone (copied), layer
// alone (written only at a zero opacity), and both present (select or
// recompose). The pieces go to the span functions of one code path; a row
// that the store policy streams is made piece by piece in a small buffer
// and streamed out.
#include "VeilShadowKernelPaths.h"
#include "VeilShadowKernels.h"
#include "VeilShadowPixelRules.h"
#include "VeilShadowSpans.h"

#include <cstdint>

namespace orvane {

namespace spans {
namespace scalar {

namespace {

template <class Pixel>
void CopyRun(Pixel *out, const Pixel *in, ptrdiff_t count) {
    using Depth = typename rules::DepthRulesOf<Pixel>::type;
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
    using Depth = typename rules::DepthRulesOf<Pixel>::type;
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
    using Depth = typename rules::DepthRulesOf<Pixel>::type;
    for (ptrdiff_t i = 0; i < count; ++i) out[i] = Depth::Load(Depth::Visible(layer[i]) ? layer[i] : in[i]);
}

void Quotients(const A_long *num, const A_long *den, A_long *q, ptrdiff_t count) {
    for (ptrdiff_t i = 0; i < count; ++i) q[i] = num[i] / den[i];
}

}  // namespace

void Recompose8(PF_Pixel *out, const PF_Pixel *in, const PF_Pixel *layer, ptrdiff_t count, double opacity) {
    RecomposeRun(out, in, layer, count, opacity);
}
void Recompose16(PF_Pixel16 *out, const PF_Pixel16 *in, const PF_Pixel16 *layer, ptrdiff_t count, double opacity) {
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

// One output row cut by where each source is present.
template <class Pixel>
struct RowPlan {
    SourceSpan<Pixel> in, layer;
    A_long both_begin = 0, both_end = 0;  // both sources present there
    bool opacity_is_zero = false;

    bool both() const { return both_begin < both_end; }
};

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

// ---------------------------------------------------------------- store policy

// Whether a row is mostly recomposited is judged on a sample of the run
// where both sources are present: every kSampleStride-th pixel, at most
// kSampleCount of them (so within its first 512 pixels).
constexpr long long kSampleStride = 16;
constexpr int kSampleCount = 32;

// How an output row is written, with streaming stores or ordinary ones:
// the one place that decides. Every output byte is the same either way.
//   Streaming stores write the output's cache lines without reading them
// from memory first and without keeping them in the caches. They are
// taken where the path has them and the output is too large to stay in
// the caches until the next effect reads it anyway (kStreamingOutputBytes,
// the size from which the render host streams its clear of an output as
// well), or when asked for. An 8-bit or 16-bit row that is mostly
// recomposited goes out with ordinary stores all the same: its arithmetic
// per output byte hides the reads of the output's lines, and the flush
// that ends a streamed row, which waits for its last stores to reach
// memory, would be a cost of its own. Float pixels are two to four times
// larger for about the same arithmetic, and stream even then.
template <class Pixel>
bool StreamsRow(const spans::SpanOps &ops, OutputWrites writes, const PF_EffectWorld &output,
                const RowPlan<Pixel> &plan) {
    if (ops.stream_out == nullptr || writes == OutputWrites::kCached) return false;
    if (writes == OutputWrites::kStreaming) return true;
    const uint64_t bytes = uint64_t(output.rowbytes < 0 ? -(int64_t)output.rowbytes : output.rowbytes) *
                           uint64_t(output.height < 0 ? 0 : output.height);
    if (bytes < kStreamingOutputBytes) return false;
    if (sizeof(Pixel) == sizeof(PF_PixelFloat) || !plan.both() || plan.opacity_is_zero) return true;
    int samples = 0, recomposited = 0;
    for (long long x = plan.both_begin; x < plan.both_end && samples < kSampleCount; x += kSampleStride) {
        recomposited += rules::NeedsRecomposite(*plan.in.At(A_long(x)), *plan.layer.At(A_long(x))) ? 1 : 0;
        ++samples;
    }
    return 2 * recomposited <= samples;
}

// ---------------------------------------------------------------- row plan

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
    using Depth = typename rules::DepthRulesOf<Pixel>::type;
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
    RowPlan<Pixel> plan;
    plan.opacity_is_zero = rules::OpacityIsZero(opacity);
    plan.in = Locate<Pixel>(info.input, info.input_area, row, width);
    plan.layer = Locate<Pixel>(info.layer, info.layer_area, row, width);
    plan.both_begin = plan.in.begin > plan.layer.begin ? plan.in.begin : plan.layer.begin;
    plan.both_end = plan.in.end < plan.layer.end ? plan.in.end : plan.layer.end;
    const SourceSpan<Pixel> &in = plan.in, &layer = plan.layer;
    const bool both = plan.both();
    Pixel *out = PixelRow<Pixel>(*info.output, row);
    const bool stream = StreamsRow(all_ops, writes, *info.output, plan);

    // Input alone: copies of the input (decision row 5).
    auto copy_input = [&](Pixel *o, A_long x, ptrdiff_t count) { ops.copy(o, in.At(x), count); };
    WriteRun(all_ops, stream, out, in.begin, both ? plan.both_begin : in.end, copy_input);
    if (both) WriteRun(all_ops, stream, out, plan.both_end, in.end, copy_input);

    // Layer alone: written only at a zero opacity (row 1); otherwise the
    // output is left as it is (rows 2 and 6).
    if (plan.opacity_is_zero) {
        LayerAlone(out, layer, layer.begin, both ? plan.both_begin : layer.end);
        if (both) LayerAlone(out, layer, plan.both_end, layer.end);
    }

    if (both) {
        WriteRun(all_ops, stream, out, plan.both_begin, plan.both_end, [&](Pixel *o, A_long x, ptrdiff_t count) {
            if (plan.opacity_is_zero) {
                ops.select(o, in.At(x), layer.At(x), count);
            } else {
                ops.recompose(o, in.At(x), layer.At(x), count, opacity);
            }
        });
    }
    if (stream) all_ops.stream_flush();
    return PF_Err_NONE;
}

template <class Pixel>
PF_Err FastRowOn(KernelPath path, const void *refcon, A_long row, OutputWrites writes) {
    const spans::SpanOps *ops = spans::SpansOn(path);
    if (ops == nullptr) return PF_Err_BAD_CALLBACK_PARAM;
    return FastRow<Pixel>(*ops, refcon, row, writes);
}

}  // namespace

PF_Err CopyData8(void *refcon, A_long, A_long row, A_long) {
    return FastRow<PF_Pixel>(spans::PreferredSpans(), refcon, row, OutputWrites::kBySize);
}
PF_Err CopyData16(void *refcon, A_long, A_long row, A_long) {
    return FastRow<PF_Pixel16>(spans::PreferredSpans(), refcon, row, OutputWrites::kBySize);
}
PF_Err CopyData32(void *refcon, A_long, A_long row, A_long) {
    return FastRow<PF_PixelFloat>(spans::PreferredSpans(), refcon, row, OutputWrites::kBySize);
}

PF_Err CopyData8On(KernelPath path, void *refcon, A_long row, OutputWrites writes) {
    return FastRowOn<PF_Pixel>(path, refcon, row, writes);
}
PF_Err CopyData16On(KernelPath path, void *refcon, A_long row, OutputWrites writes) {
    return FastRowOn<PF_Pixel16>(path, refcon, row, writes);
}
PF_Err CopyData32On(KernelPath path, void *refcon, A_long row, OutputWrites writes) {
    return FastRowOn<PF_PixelFloat>(path, refcon, row, writes);
}

}  // namespace orvane
