// The SSE2 spans: four pixels at a time. SSE2 is part of the x86-64
// baseline that the whole plug-in is compiled for, so this file needs no
// target region of its own. Only the op set is SSE2's
// (VeilShadowKernelsSimdOps.inc).
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

ORVANE_SIMD_INLINE F Min(F a, F b) { return _mm_min_ps(a, b); }
ORVANE_SIMD_INLINE F Max(F a, F b) { return _mm_max_ps(a, b); }
ORVANE_SIMD_INLINE F MulAddExact(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
ORVANE_SIMD_INLINE F MulSubExact(F a, F b, F c) { return _mm_sub_ps(_mm_mul_ps(a, b), c); }
ORVANE_SIMD_INLINE F AndF(F a, F b) { return _mm_and_ps(a, b); }
ORVANE_SIMD_INLINE F OrF(F a, F b) { return _mm_or_ps(a, b); }
ORVANE_SIMD_INLINE F CmpGtF(F a, F b) { return F(a > b); }
ORVANE_SIMD_INLINE F CmpEqF(F a, F b) { return F(a == b); }
ORVANE_SIMD_INLINE F Select(F mask, F a, F b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
ORVANE_SIMD_INLINE int MoveMaskF(F v) { return _mm_movemask_ps(v); }
ORVANE_SIMD_INLINE F UnpackLoF(F a, F b) { return _mm_unpacklo_ps(a, b); }
ORVANE_SIMD_INLINE F UnpackHiF(F a, F b) { return _mm_unpackhi_ps(a, b); }
template <int kImm>
ORVANE_SIMD_INLINE F ShuffleF(F a, F b) {
    return _mm_shuffle_ps(a, b, kImm);
}
ORVANE_SIMD_INLINE I CvtTruncF(F v) { return _mm_cvttps_epi32(v); }
// Through the integers: exact for values below 2^31 in magnitude.
ORVANE_SIMD_INLINE F TruncF(F v) { return _mm_cvtepi32_ps(_mm_cvttps_epi32(v)); }

ORVANE_SIMD_INLINE void StreamI(void *p, I v) { _mm_stream_si128(static_cast<__m128i *>(p), v); }
ORVANE_SIMD_INLINE void StreamFence() { _mm_sfence(); }
ORVANE_SIMD_INLINE I SubsU16(I a, I b) { return _mm_subs_epu16(a, b); }
ORVANE_SIMD_INLINE I Select(I mask, I a, I b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
ORVANE_SIMD_INLINE bool AnyI(I v) { return _mm_movemask_epi8(v) != 0; }
ORVANE_SIMD_INLINE bool AllI(I v) { return _mm_movemask_epi8(v) == 0xFFFF; }
// The low and high halves of the 16-bit products put together.
ORVANE_SIMD_INLINE I MulSmall32(I a, I b) {
    return _mm_or_si128(_mm_mullo_epi16(a, b), _mm_slli_epi32(_mm_mulhi_epu16(a, b), 16));
}
ORVANE_SIMD_INLINE I UnpackLo16(I a, I b) { return _mm_unpacklo_epi16(a, b); }
ORVANE_SIMD_INLINE I UnpackHi16(I a, I b) { return _mm_unpackhi_epi16(a, b); }
ORVANE_SIMD_INLINE I UnpackLo32(I a, I b) { return _mm_unpacklo_epi32(a, b); }
ORVANE_SIMD_INLINE I UnpackHi32(I a, I b) { return _mm_unpackhi_epi32(a, b); }
template <int kByte>
ORVANE_SIMD_INLINE I ByteLane(I v) {
    if constexpr (kByte == 3) {
        return _mm_srli_epi32(v, 24);
    } else {
        return _mm_and_si128(_mm_srli_epi32(v, 8 * kByte), _mm_set1_epi32(0xFF));
    }
}
ORVANE_SIMD_INLINE I Pack8(I a, I r, I g, I b) {
    return _mm_or_si128(_mm_or_si128(a, _mm_slli_epi32(r, 8)),
                        _mm_or_si128(_mm_slli_epi32(g, 16), _mm_slli_epi32(b, 24)));
}
ORVANE_SIMD_INLINE I SpreadEvenDwords(I v) { return _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 2, 0, 0)); }

ORVANE_SIMD_INLINE D Min(D a, D b) { return _mm_min_pd(a, b); }
ORVANE_SIMD_INLINE D Max(D a, D b) { return _mm_max_pd(a, b); }
ORVANE_SIMD_INLINE D CmpLtD(D a, D b) { return D(a < b); }
ORVANE_SIMD_INLINE D CmpGtD(D a, D b) { return D(a > b); }
ORVANE_SIMD_INLINE D Select(D mask, D a, D b) { return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b)); }
ORVANE_SIMD_INLINE void SplitF(F v, D &lo, D &hi) {
    lo = _mm_cvtps_pd(v);
    hi = _mm_cvtps_pd(_mm_movehl_ps(v, v));
}
ORVANE_SIMD_INLINE I JoinTrunc(D lo, D hi) { return _mm_unpacklo_epi64(_mm_cvttpd_epi32(lo), _mm_cvttpd_epi32(hi)); }
ORVANE_SIMD_INLINE F JoinF(D lo, D hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }

#include "VeilShadowKernelsSimd.inc"

}  // namespace sse2

const SpanOps kSse2Spans = sse2::kSpans;

}  // namespace spans
}  // namespace orvane

#endif  // ORVANE_KERNELS_X86
