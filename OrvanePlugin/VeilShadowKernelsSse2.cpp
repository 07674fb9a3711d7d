// The SSE2 spans: four pixels at a time. SSE2 is part of the x86-64
// baseline that the whole plug-in is compiled for, so this file needs no
// target region of its own.
#include "VeilShadowSpans.h"

#if ORVANE_KERNELS_X86

#include <emmintrin.h>

namespace orvane {
namespace spans {
namespace sse2 {

#define ORVANE_SIMD_COMPACTS 0  // no variable permute in SSE2

constexpr ptrdiff_t kLanes = 4;
using F = __m128;
using I = __m128i;
using D = __m128d;
// movemask_ps bits of the alpha floats of the pixels in one vector.
constexpr int kAlphaBitsF = 0x1;

// ---- floats
ORVANE_SIMD_INLINE F LoadF(const float *p) { return _mm_loadu_ps(p); }
ORVANE_SIMD_INLINE void StoreF(float *p, F v) { _mm_storeu_ps(p, v); }
ORVANE_SIMD_INLINE F SetF(float v) { return _mm_set1_ps(v); }
ORVANE_SIMD_INLINE F Add(F a, F b) { return _mm_add_ps(a, b); }
ORVANE_SIMD_INLINE F Sub(F a, F b) { return _mm_sub_ps(a, b); }
ORVANE_SIMD_INLINE F Mul(F a, F b) { return _mm_mul_ps(a, b); }
// a * b + c and a * b - c, where the product and the result are exact.
ORVANE_SIMD_INLINE F MulAddExact(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
ORVANE_SIMD_INLINE F MulSubExact(F a, F b, F c) { return _mm_sub_ps(_mm_mul_ps(a, b), c); }
ORVANE_SIMD_INLINE F Div(F a, F b) { return _mm_div_ps(a, b); }
ORVANE_SIMD_INLINE F Min(F a, F b) { return _mm_min_ps(a, b); }
ORVANE_SIMD_INLINE F Max(F a, F b) { return _mm_max_ps(a, b); }
ORVANE_SIMD_INLINE F CmpGtF(F a, F b) { return _mm_cmpgt_ps(a, b); }
ORVANE_SIMD_INLINE F CmpEqF(F a, F b) { return _mm_cmpeq_ps(a, b); }
ORVANE_SIMD_INLINE F AndF(F a, F b) { return _mm_and_ps(a, b); }
ORVANE_SIMD_INLINE F OrF(F a, F b) { return _mm_or_ps(a, b); }
ORVANE_SIMD_INLINE F SelectF(F mask, F a, F b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
ORVANE_SIMD_INLINE int MoveMaskF(F v) { return _mm_movemask_ps(v); }
ORVANE_SIMD_INLINE F UnpackLoF(F a, F b) { return _mm_unpacklo_ps(a, b); }
ORVANE_SIMD_INLINE F UnpackHiF(F a, F b) { return _mm_unpackhi_ps(a, b); }
template <int kImm>
ORVANE_SIMD_INLINE F ShuffleF(F a, F b) {
    return _mm_shuffle_ps(a, b, kImm);
}
ORVANE_SIMD_INLINE I CvtTruncF(F v) { return _mm_cvttps_epi32(v); }
ORVANE_SIMD_INLINE F CvtI(I v) { return _mm_cvtepi32_ps(v); }
// Truncation toward zero, for values below 2^31 in magnitude.
ORVANE_SIMD_INLINE F TruncF(F v) { return _mm_cvtepi32_ps(_mm_cvttps_epi32(v)); }
ORVANE_SIMD_INLINE F AbsF(F v) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), v); }
ORVANE_SIMD_INLINE F CastIF(I v) { return _mm_castsi128_ps(v); }

// ---- 32-bit integers (and 16-bit words)
ORVANE_SIMD_INLINE I LoadI(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
ORVANE_SIMD_INLINE void StoreI(void *p, I v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
// A streaming store; p on a 16-byte boundary.
ORVANE_SIMD_INLINE void StreamI(void *p, I v) { _mm_stream_si128(static_cast<__m128i *>(p), v); }
ORVANE_SIMD_INLINE I SetI32(int v) { return _mm_set1_epi32(v); }
ORVANE_SIMD_INLINE I SetI16(short v) { return _mm_set1_epi16(v); }
ORVANE_SIMD_INLINE I SetI64(long long v) { return _mm_set1_epi64x(v); }
ORVANE_SIMD_INLINE I ZeroI() { return _mm_setzero_si128(); }
ORVANE_SIMD_INLINE I AddI32(I a, I b) { return _mm_add_epi32(a, b); }
ORVANE_SIMD_INLINE I SubI32(I a, I b) { return _mm_sub_epi32(a, b); }
ORVANE_SIMD_INLINE I SubI16(I a, I b) { return _mm_sub_epi16(a, b); }
ORVANE_SIMD_INLINE I SubsU16(I a, I b) { return _mm_subs_epu16(a, b); }
ORVANE_SIMD_INLINE I AndI(I a, I b) { return _mm_and_si128(a, b); }
ORVANE_SIMD_INLINE I OrI(I a, I b) { return _mm_or_si128(a, b); }
ORVANE_SIMD_INLINE I AndNotI(I a, I b) { return _mm_andnot_si128(a, b); }  // ~a & b
ORVANE_SIMD_INLINE I CmpEqI32(I a, I b) { return _mm_cmpeq_epi32(a, b); }
ORVANE_SIMD_INLINE I CmpGtI32(I a, I b) { return _mm_cmpgt_epi32(a, b); }
ORVANE_SIMD_INLINE I CmpEqI16(I a, I b) { return _mm_cmpeq_epi16(a, b); }
ORVANE_SIMD_INLINE I SelectI(I mask, I a, I b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
ORVANE_SIMD_INLINE bool AnyI(I v) { return _mm_movemask_epi8(v) != 0; }
// Whether every bit is set (masks: every lane).
ORVANE_SIMD_INLINE bool AllI(I v) { return _mm_movemask_epi8(v) == 0xFFFF; }
template <int kShift>
ORVANE_SIMD_INLINE I SrliI32(I v) {
    return _mm_srli_epi32(v, kShift);
}
template <int kShift>
ORVANE_SIMD_INLINE I SlliI32(I v) {
    return _mm_slli_epi32(v, kShift);
}
// Lane products for factors below 2^16 (high words zero): the low and high
// halves of the 16-bit products put together.
ORVANE_SIMD_INLINE I MulSmall32(I a, I b) {
    return _mm_or_si128(_mm_mullo_epi16(a, b), _mm_slli_epi32(_mm_mulhi_epu16(a, b), 16));
}
ORVANE_SIMD_INLINE I UnpackLo16(I a, I b) { return _mm_unpacklo_epi16(a, b); }
ORVANE_SIMD_INLINE I UnpackHi16(I a, I b) { return _mm_unpackhi_epi16(a, b); }
ORVANE_SIMD_INLINE I UnpackLo32(I a, I b) { return _mm_unpacklo_epi32(a, b); }
ORVANE_SIMD_INLINE I UnpackHi32(I a, I b) { return _mm_unpackhi_epi32(a, b); }
// Byte kByte of every dword, as a 32-bit lane.
template <int kByte>
ORVANE_SIMD_INLINE I ByteLane(I v) {
    if constexpr (kByte == 3) {
        return _mm_srli_epi32(v, 24);
    } else {
        return _mm_and_si128(_mm_srli_epi32(v, 8 * kByte), _mm_set1_epi32(0xFF));
    }
}
// Four planes of byte values (0..255 in 32-bit lanes) as 8-bit pixels.
ORVANE_SIMD_INLINE I Pack8(I a, I r, I g, I b) {
    return _mm_or_si128(_mm_or_si128(a, _mm_slli_epi32(r, 8)),
                        _mm_or_si128(_mm_slli_epi32(g, 16), _mm_slli_epi32(b, 24)));
}
// Dwords 0 and 2 copied into dwords 1 and 3.
ORVANE_SIMD_INLINE I SpreadEvenDwords(I v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 2, 0, 0)); }

// ---- doubles: a float vector is two double vectors
ORVANE_SIMD_INLINE D SetD(double v) { return _mm_set1_pd(v); }
ORVANE_SIMD_INLINE D AddD(D a, D b) { return _mm_add_pd(a, b); }
ORVANE_SIMD_INLINE D MulD(D a, D b) { return _mm_mul_pd(a, b); }
ORVANE_SIMD_INLINE D MinD(D a, D b) { return _mm_min_pd(a, b); }
ORVANE_SIMD_INLINE D MaxD(D a, D b) { return _mm_max_pd(a, b); }
ORVANE_SIMD_INLINE D CmpLtD(D a, D b) { return _mm_cmplt_pd(a, b); }
ORVANE_SIMD_INLINE D CmpGtD(D a, D b) { return _mm_cmpgt_pd(a, b); }
ORVANE_SIMD_INLINE D SelectD(D mask, D a, D b) { return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b)); }
ORVANE_SIMD_INLINE void SplitF(F v, D &lo, D &hi) {
    lo = _mm_cvtps_pd(v);
    hi = _mm_cvtps_pd(_mm_movehl_ps(v, v));
}
ORVANE_SIMD_INLINE I JoinTrunc(D lo, D hi) { return _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi)); }
ORVANE_SIMD_INLINE F JoinF(D lo, D hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }

#include "VeilShadowKernelsSimd.inc"

#undef ORVANE_SIMD_COMPACTS

}  // namespace sse2

const SpanOps kSse2Spans = {
    {sse2::Recompose8, sse2::Select8, scalar::Copy8},
    {sse2::Recompose16, sse2::Select16, sse2::Copy16},
    {sse2::Recompose32, sse2::Select32, scalar::Copy32},
    sse2::Quotients8,
    sse2::Quotients16,
    sse2::StreamOut,
    sse2::StreamFlush,
};

}  // namespace spans
}  // namespace orvane

#endif  // ORVANE_KERNELS_X86
