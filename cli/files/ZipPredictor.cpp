// OpenEXR's ZIP predictor, portable and with SSE2.
#include "ZipPredictor.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veilshadow {
namespace {

void PredictPortable(const unsigned char *in, unsigned char *scratch, unsigned char *out, std::size_t n) {
    const std::size_t half = (n + 1) / 2;
    for (std::size_t i = 0; i < n; ++i) scratch[(i & 1) != 0 ? half + i / 2 : i / 2] = in[i];
    if (n > 0) out[0] = scratch[0];
    for (std::size_t i = 1; i < n; ++i) out[i] = static_cast<unsigned char>(scratch[i] - scratch[i - 1] + 128);
}

void UnpredictPortable(unsigned char *in, unsigned char *out, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) in[i] = static_cast<unsigned char>(in[i - 1] + in[i] - 128);
    const std::size_t half = (n + 1) / 2;
    for (std::size_t i = 0; i < n; ++i) out[i] = in[(i & 1) != 0 ? half + i / 2 : i / 2];
}

#if defined(__SSE2__)
void PredictSse2(const unsigned char *in, unsigned char *scratch, unsigned char *out, std::size_t n) {
    const std::size_t half = (n + 1) / 2;
    unsigned char *even = scratch, *odd = scratch + half;
    const __m128i low = _mm_set1_epi16(0x00ff);
    std::size_t k = 0;
    // 32 bytes in, 16 even and 16 odd out.
    for (; 2 * k + 32 <= n; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 2 * k + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(even + k),
                         _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(odd + k),
                         _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
    }
    for (std::size_t i = 2 * k; i < n; ++i) scratch[(i & 1) != 0 ? half + i / 2 : i / 2] = in[i];
    if (n == 0) return;
    out[0] = scratch[0];
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    std::size_t i = 1;
    for (; i + 16 <= n; i += 16) {
        const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i *>(scratch + i));
        const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i *>(scratch + i - 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_add_epi8(_mm_sub_epi8(cur, prev), bias));
    }
    for (; i < n; ++i) out[i] = static_cast<unsigned char>(scratch[i] - scratch[i - 1] + 128);
}

void UnpredictSse2(unsigned char *in, unsigned char *out, std::size_t n) {
    if (n == 0) return;
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    // A running sum of (byte - 128), 16 bytes at a time: the sum within
    // the block in four shifted adds, then the sum of the blocks before
    // (`carry`, in every byte). The block's own total is added to the
    // carry apart from its stored bytes, so that one block waits on the
    // one before for a single add.
    __m128i carry = _mm_set1_epi8(static_cast<char>(in[0]));
    std::size_t i = 1;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)), bias);
        v = _mm_add_epi8(v, _mm_slli_si128(v, 1));
        v = _mm_add_epi8(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi8(v, _mm_slli_si128(v, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(in + i), _mm_add_epi8(v, carry));
        __m128i total = _mm_srli_si128(v, 15);
        total = _mm_unpacklo_epi8(total, total);
        total = _mm_shuffle_epi32(_mm_shufflelo_epi16(total, 0), 0);
        carry = _mm_add_epi8(carry, total);
    }
    for (; i < n; ++i) in[i] = static_cast<unsigned char>(in[i - 1] + in[i] - 128);
    const std::size_t half = (n + 1) / 2;
    const unsigned char *even = in, *odd = in + half;
    std::size_t k = 0;
    for (; 2 * k + 32 <= n; k += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(even + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(odd + k));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * k), _mm_unpacklo_epi8(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * k + 16), _mm_unpackhi_epi8(a, b));
    }
    for (std::size_t j = 2 * k; j < n; ++j) out[j] = in[(j & 1) != 0 ? half + j / 2 : j / 2];
}
#endif

}  // namespace

bool PredictorPathAvailable(PredictorPath path) {
#if defined(__SSE2__)
    return path == PredictorPath::kPortable || path == PredictorPath::kSse2;
#else
    return path == PredictorPath::kPortable;
#endif
}

void ZipPredict(const unsigned char *in, unsigned char *scratch, unsigned char *out, std::size_t n) {
#if defined(__SSE2__)
    PredictSse2(in, scratch, out, n);
#else
    PredictPortable(in, scratch, out, n);
#endif
}

void ZipUnpredict(unsigned char *in, unsigned char *out, std::size_t n) {
#if defined(__SSE2__)
    UnpredictSse2(in, out, n);
#else
    UnpredictPortable(in, out, n);
#endif
}

bool ZipPredictOn(PredictorPath path, const unsigned char *in, unsigned char *scratch, unsigned char *out,
                  std::size_t n) {
    if (!PredictorPathAvailable(path)) return false;
#if defined(__SSE2__)
    if (path == PredictorPath::kSse2) {
        PredictSse2(in, scratch, out, n);
        return true;
    }
#endif
    PredictPortable(in, scratch, out, n);
    return true;
}

bool ZipUnpredictOn(PredictorPath path, unsigned char *in, unsigned char *out, std::size_t n) {
    if (!PredictorPathAvailable(path)) return false;
#if defined(__SSE2__)
    if (path == PredictorPath::kSse2) {
        UnpredictSse2(in, out, n);
        return true;
    }
#endif
    UnpredictPortable(in, out, n);
    return true;
}

}  // namespace veilshadow
