// The half conversion paths: a table of them, the processor check, and
// the choice of the fastest.
#include "HalfConversion.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace veilshadow {
namespace {

void HalvesToFloatsPortable(const Imath::half *in, float *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]);
}

void FloatsToHalvesPortable(const float *in, Imath::half *out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = Imath::half(in[i]);
}

// F16C rounds to nearest even as Imath does; the only samples it treats
// otherwise are NaNs (it quiets them and drops payload bits), so a block
// of 8 with a NaN in it is converted again one by one.
#if defined(__x86_64__)
__attribute__((target("avx,f16c"))) void HalvesToFloatsF16c(const Imath::half *in, float *out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
        _mm256_storeu_ps(out + i, v);
        if (_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0) HalvesToFloatsPortable(in + i, out + i, 8);
    }
    HalvesToFloatsPortable(in + i, out + i, n - i);
}

__attribute__((target("avx,f16c"))) void FloatsToHalvesF16c(const float *in, Imath::half *out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 v = _mm256_loadu_ps(in + i);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
        if (_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0) FloatsToHalvesPortable(in + i, out + i, 8);
    }
    FloatsToHalvesPortable(in + i, out + i, n - i);
}

// AVX as the compiler's check sees it (the processor's and the system's
// support), F16C from CPUID, which not every compiler's check names.
bool HasF16c() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
}
#endif

struct Implementation {
    HalfPath path;
    bool (*runs)();  // null: on every processor
    void (*to_floats)(const Imath::half *, float *, std::size_t);
    void (*to_halves)(const float *, Imath::half *, std::size_t);
};

// Slowest first: the last one available is the one taken.
constexpr Implementation kImplementations[] = {
    {HalfPath::kPortable, nullptr, HalvesToFloatsPortable, FloatsToHalvesPortable},
#if defined(__x86_64__)
    {HalfPath::kF16c, HasF16c, HalvesToFloatsF16c, FloatsToHalvesF16c},
#endif
};

const Implementation *Available(HalfPath path) {
    for (const Implementation &row : kImplementations)
        if (row.path == path) return row.runs == nullptr || row.runs() ? &row : nullptr;
    return nullptr;
}

const Implementation &Preferred() {
    static const Implementation *const chosen = [] {
        const Implementation *fastest = &kImplementations[0];
        for (const Implementation &row : kImplementations)
            if (Available(row.path) != nullptr) fastest = &row;
        return fastest;
    }();
    return *chosen;
}

}  // namespace

bool HalfPathAvailable(HalfPath path) { return Available(path) != nullptr; }

void HalvesToFloats(const Imath::half *in, float *out, std::size_t n) { Preferred().to_floats(in, out, n); }

void FloatsToHalves(const float *in, Imath::half *out, std::size_t n) { Preferred().to_halves(in, out, n); }

bool HalvesToFloatsOn(HalfPath path, const Imath::half *in, float *out, std::size_t n) {
    const Implementation *row = Available(path);
    if (row != nullptr) row->to_floats(in, out, n);
    return row != nullptr;
}

bool FloatsToHalvesOn(HalfPath path, const float *in, Imath::half *out, std::size_t n) {
    const Implementation *row = Available(path);
    if (row != nullptr) row->to_halves(in, out, n);
    return row != nullptr;
}

}  // namespace veilshadow
