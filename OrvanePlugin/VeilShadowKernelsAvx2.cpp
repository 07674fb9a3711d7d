// The AVX2 spans: eight pixels at a time. Compiled for AVX2 and FMA inside
// a target region, so the rest of the plug-in keeps the x86-64 baseline;
// the kernels take this path only where the processor and the operating
// system support it (the table in VeilShadowKernelPaths.cpp). Only the op
// set is AVX2's (VeilShadowKernelsSimdOps.inc).
#include "VeilShadowSpans.h"

#if ORVANE_KERNELS_X86

// Declared before the region opens: the intrinsics carry target attributes
// of their own, and the functions of the region inline them.
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace orvane {
namespace spans {
namespace avx2 {

#define ORVANE_SIMD_COMPACTS 1

constexpr ptrdiff_t kLanes = 8;
using F = __m256;
using I = __m256i;
using D = __m256d;

ORVANE_SIMD_INLINE F Min(F a, F b) { return _mm256_min_ps(a, b); }
ORVANE_SIMD_INLINE F Max(F a, F b) { return _mm256_max_ps(a, b); }
// Fused: the spans use these only where the product and the sum are exact.
ORVANE_SIMD_INLINE F MulAddExact(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
ORVANE_SIMD_INLINE F MulSubExact(F a, F b, F c) { return _mm256_fmsub_ps(a, b, c); }
ORVANE_SIMD_INLINE F AndF(F a, F b) { return _mm256_and_ps(a, b); }
ORVANE_SIMD_INLINE F OrF(F a, F b) { return _mm256_or_ps(a, b); }
ORVANE_SIMD_INLINE F CmpGtF(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
ORVANE_SIMD_INLINE F CmpEqF(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
ORVANE_SIMD_INLINE F Select(F mask, F a, F b) { return _mm256_blendv_ps(b, a, mask); }
ORVANE_SIMD_INLINE int MoveMaskF(F v) { return _mm256_movemask_ps(v); }
ORVANE_SIMD_INLINE F UnpackLoF(F a, F b) { return _mm256_unpacklo_ps(a, b); }
ORVANE_SIMD_INLINE F UnpackHiF(F a, F b) { return _mm256_unpackhi_ps(a, b); }
template <int kImm>
ORVANE_SIMD_INLINE F ShuffleF(F a, F b) {
    return _mm256_shuffle_ps(a, b, kImm);
}
ORVANE_SIMD_INLINE I CvtTruncF(F v) { return _mm256_cvttps_epi32(v); }
ORVANE_SIMD_INLINE F TruncF(F v) { return _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }

ORVANE_SIMD_INLINE void StreamI(void *p, I v) { _mm256_stream_si256(static_cast<__m256i *>(p), v); }
ORVANE_SIMD_INLINE void StreamFence() { _mm_sfence(); }
ORVANE_SIMD_INLINE I SubsU16(I a, I b) { return _mm256_subs_epu16(a, b); }
ORVANE_SIMD_INLINE I Select(I mask, I a, I b) { return _mm256_blendv_epi8(b, a, mask); }
ORVANE_SIMD_INLINE bool AnyI(I v) { return !_mm256_testz_si256(v, v); }
ORVANE_SIMD_INLINE bool AllI(I v) { return _mm256_movemask_epi8(v) == -1; }
ORVANE_SIMD_INLINE I MulSmall32(I a, I b) { return _mm256_mullo_epi32(a, b); }
ORVANE_SIMD_INLINE I UnpackLo16(I a, I b) { return _mm256_unpacklo_epi16(a, b); }
ORVANE_SIMD_INLINE I UnpackHi16(I a, I b) { return _mm256_unpackhi_epi16(a, b); }
ORVANE_SIMD_INLINE I UnpackLo32(I a, I b) { return _mm256_unpacklo_epi32(a, b); }
ORVANE_SIMD_INLINE I UnpackHi32(I a, I b) { return _mm256_unpackhi_epi32(a, b); }
template <int kByte>
ORVANE_SIMD_INLINE I ByteLane(I v) {
    constexpr char z = -1;  // a shuffle index with the top bit set gives 0
    return _mm256_shuffle_epi8(
        v, _mm256_setr_epi8(kByte, z, z, z, 4 + kByte, z, z, z, 8 + kByte, z, z, z, 12 + kByte, z, z, z, kByte, z, z, z,
                            4 + kByte, z, z, z, 8 + kByte, z, z, z, 12 + kByte, z, z, z));
}
// The packs give, per 128-bit half, the bytes a0-3 r0-3 g0-3 b0-3, which
// the shuffle interleaves.
ORVANE_SIMD_INLINE I Pack8(I a, I r, I g, I b) {
    const I bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, r), _mm256_packs_epi32(g, b));
    return _mm256_shuffle_epi8(bytes, _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8,
                                                       12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
}
ORVANE_SIMD_INLINE I SpreadEvenDwords(I v) { return _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 2, 0, 0)); }
ORVANE_SIMD_INLINE int MaskBits(I mask) { return _mm256_movemask_ps(_mm256_castsi256_ps(mask)); }
ORVANE_SIMD_INLINE I WidenBytes(const unsigned char *bytes) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(bytes)));
}
ORVANE_SIMD_INLINE I Permute32(I v, I order) { return _mm256_permutevar8x32_epi32(v, order); }

ORVANE_SIMD_INLINE D Min(D a, D b) { return _mm256_min_pd(a, b); }
ORVANE_SIMD_INLINE D Max(D a, D b) { return _mm256_max_pd(a, b); }
ORVANE_SIMD_INLINE D CmpLtD(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
ORVANE_SIMD_INLINE D CmpGtD(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
ORVANE_SIMD_INLINE D Select(D mask, D a, D b) { return _mm256_blendv_pd(b, a, mask); }
ORVANE_SIMD_INLINE void SplitF(F v, D &lo, D &hi) {
    lo = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    hi = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
}
ORVANE_SIMD_INLINE I JoinTrunc(D lo, D hi) {
    return _mm256_set_m128i(_mm256_cvttpd_epi32(hi), _mm256_cvttpd_epi32(lo));
}
ORVANE_SIMD_INLINE F JoinF(D lo, D hi) { return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)); }

#include "VeilShadowKernelsSimd.inc"

}  // namespace avx2
}  // namespace spans
}  // namespace orvane

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace orvane {
namespace spans {

const SpanOps kAvx2Spans = avx2::kSpans;

}  // namespace spans
}  // namespace orvane

#endif  // ORVANE_KERNELS_X86
