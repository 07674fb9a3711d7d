// Spans: the pieces of an output row that the fast kernels hand to one
// code path (scalar, SSE2, AVX2). A span is a run of output pixels with both
// sources present, or with the input alone; out[i] is made from in[i] (and
// layer[i]). The row plan that cuts a row into spans is the same for every
// path (VeilShadowKernelsFast.cpp).
//
// Internal to the kernel sources.
#ifndef ORVANE_PLUGIN_VEILSHADOW_SPANS_H
#define ORVANE_PLUGIN_VEILSHADOW_SPANS_H

#include <cstddef>

#include "PF_Host.h"
#include "VeilShadowKernelPaths.h"

// The vector paths are built for x86-64 with GCC-compatible compilers (GCC,
// clang, MinGW-w64); elsewhere only the scalar path exists.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define ORVANE_KERNELS_X86 1
#else
#define ORVANE_KERNELS_X86 0
#endif

// The vector helpers of the spans: inlined into the span functions whatever
// the optimiser's estimate, so that the loops over a row hold no calls.
#define ORVANE_SIMD_INLINE static inline __attribute__((always_inline))

namespace orvane {
namespace spans {

template <class Pixel>
struct DepthSpans {
    // Both sources present, opacity not zero: the input where the layer is
    // not visible or the input's alpha is not above the layer's, else the
    // recomposited pixel.
    void (*recompose)(Pixel *out, const Pixel *in, const Pixel *layer, ptrdiff_t count, double opacity);
    // Both sources present, opacity zero: the layer where it is visible,
    // else the input.
    void (*select)(Pixel *out, const Pixel *in, const Pixel *layer, ptrdiff_t count);
    // Input alone: copies of the input (16-bit channels limited to 32768).
    void (*copy)(Pixel *out, const Pixel *in, ptrdiff_t count);
};

struct SpanOps {
    DepthSpans<PF_Pixel> d8;
    DepthSpans<PF_Pixel16> d16;
    DepthSpans<PF_PixelFloat> d32;
    // The exact divisions by an alpha, exposed for exhaustive checking.
    void (*quotients8)(const A_long *num, const A_long *den, A_long *q, ptrdiff_t count);
    void (*quotients16)(const A_long *num, const A_long *den, A_long *q, ptrdiff_t count);
    // The building blocks of streaming stores, null where the path has none
    // (scalar); whether a row uses them is the store policy's choice
    // (StreamsRow in VeilShadowKernelsFast.cpp). stream_out copies bytes to
    // the output with streaming stores; stream_flush orders the streaming
    // stores made so far before every later store, so that the row counts
    // as written.
    void (*stream_out)(void *dst, const void *src, size_t bytes);
    void (*stream_flush)();
};

// Portable per-pixel spans: the scalar path, and the tails of rows that are
// shorter than a vector on the other paths.
namespace scalar {
void Recompose8(PF_Pixel *out, const PF_Pixel *in, const PF_Pixel *layer, ptrdiff_t count, double opacity);
void Recompose16(PF_Pixel16 *out, const PF_Pixel16 *in, const PF_Pixel16 *layer, ptrdiff_t count, double opacity);
void Recompose32(PF_PixelFloat *out, const PF_PixelFloat *in, const PF_PixelFloat *layer, ptrdiff_t count,
                 double opacity);
void Select8(PF_Pixel *out, const PF_Pixel *in, const PF_Pixel *layer, ptrdiff_t count);
void Select16(PF_Pixel16 *out, const PF_Pixel16 *in, const PF_Pixel16 *layer, ptrdiff_t count);
void Select32(PF_PixelFloat *out, const PF_PixelFloat *in, const PF_PixelFloat *layer, ptrdiff_t count);
void Copy8(PF_Pixel *out, const PF_Pixel *in, ptrdiff_t count);
void Copy16(PF_Pixel16 *out, const PF_Pixel16 *in, ptrdiff_t count);
void Copy32(PF_PixelFloat *out, const PF_PixelFloat *in, ptrdiff_t count);
}  // namespace scalar

extern const SpanOps kScalarSpans;
#if ORVANE_KERNELS_X86
extern const SpanOps kSse2Spans;
extern const SpanOps kAvx2Spans;
#endif

// The span operations of a path, from the table of implementations
// (VeilShadowKernelPaths.cpp): null where the path is not available.
const SpanOps *SpansOn(KernelPath path);
// Those of PreferredKernelPath().
const SpanOps &PreferredSpans();

}  // namespace spans
}  // namespace orvane

#endif
