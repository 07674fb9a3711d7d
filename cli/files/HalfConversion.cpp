// The half conversion paths: a table of them, the processor check, and
// the choice of the fastest.
#include "HalfConversion.h"

#include "PixelConversion.h"

#include <cstdint>

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

void RgbaToPixelsPortable(const Imath::half *in, bool associated, std::size_t width, PF_PixelFloat *out) {
    for (std::size_t x = 0; x < width; ++x, in += 4) {
        const float r = in[0], g = in[1], b = in[2], a = in[3];
        out[x].alpha = a;
        out[x].red = associated ? Unassociate(r, a) : r;
        out[x].green = associated ? Unassociate(g, a) : g;
        out[x].blue = associated ? Unassociate(b, a) : b;
    }
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

// Two pixels at a time: converted, the colour divided by alpha where alpha
// is above 0 (a NaN alpha is not) as the portable path divides it, then
// moved to alpha first. A pair with a NaN in it goes the portable way.
__attribute__((target("avx,f16c"))) void RgbaToPixelsF16c(const Imath::half *in, bool associated, std::size_t width,
                                                          PF_PixelFloat *out) {
    static_assert(sizeof(PF_PixelFloat) == 16, "alpha, red, green, blue floats");
    const __m256 zero = _mm256_setzero_ps();
    // The pixels go straight to memory, past the caches, where they are
    // aligned for it: a world is larger than the caches and is read again
    // only when the frame renders, so fetching its lines first to write
    // them would double the memory traffic.
    const bool stream = reinterpret_cast<std::uintptr_t>(out) % 16 == 0;
    std::size_t x = 0;
    for (; x + 2 <= width; x += 2) {
        __m256 v = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 4 * x)));
        if (_mm256_movemask_ps(_mm256_cmp_ps(v, v, _CMP_UNORD_Q)) != 0) {
            RgbaToPixelsPortable(in + 4 * x, associated, 2, out + x);
            continue;
        }
        if (associated) {
            const __m256 alpha = _mm256_permute_ps(v, _MM_SHUFFLE(3, 3, 3, 3));
            const __m256 divide = _mm256_cmp_ps(alpha, zero, _CMP_GT_OQ);
            const __m256 straight =
                _mm256_or_ps(_mm256_and_ps(divide, _mm256_div_ps(v, alpha)), _mm256_andnot_ps(divide, v));
            v = _mm256_blend_ps(straight, v, 0x88);  // alpha as it was
        }
        const __m256 pixels = _mm256_permute_ps(v, _MM_SHUFFLE(2, 1, 0, 3));
        if (stream) {
            _mm_stream_ps(reinterpret_cast<float *>(out + x), _mm256_castps256_ps128(pixels));
            _mm_stream_ps(reinterpret_cast<float *>(out + x + 1), _mm256_extractf128_ps(pixels, 1));
        } else {
            _mm256_storeu_ps(reinterpret_cast<float *>(out + x), pixels);
        }
    }
    if (stream) _mm_sfence();
    RgbaToPixelsPortable(in + 4 * x, associated, width - x, out + x);
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
    void (*rgba_to_pixels)(const Imath::half *, bool, std::size_t, PF_PixelFloat *);
};

// Slowest first: the last one available is the one taken.
constexpr Implementation kImplementations[] = {
    {HalfPath::kPortable, nullptr, HalvesToFloatsPortable, FloatsToHalvesPortable, RgbaToPixelsPortable},
#if defined(__x86_64__)
    {HalfPath::kF16c, HasF16c, HalvesToFloatsF16c, FloatsToHalvesF16c, RgbaToPixelsF16c},
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

void HalfRgbaToPixels(const Imath::half *in, bool associated, std::size_t width, PF_PixelFloat *out) {
    Preferred().rgba_to_pixels(in, associated, width, out);
}

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

bool HalfRgbaToPixelsOn(HalfPath path, const Imath::half *in, bool associated, std::size_t width, PF_PixelFloat *out) {
    const Implementation *row = Available(path);
    if (row != nullptr) row->rgba_to_pixels(in, associated, width, out);
    return row != nullptr;
}

}  // namespace veilshadow
