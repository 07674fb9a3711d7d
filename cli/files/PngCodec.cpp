// PNG chunks, the zlib stream through libdeflate, and the five row filters.
#include "PngCodec.h"

#include "AtomicFile.h"
#include "CodecBuffer.h"
#include "CodecThreads.h"
#include "Errors.h"
#include "FileStructure.h"
#include "ImageIOCommon.h"
#include "Limits.h"
#include "SampleCodec.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace veilshadow {
namespace {

std::atomic<bool> g_enabled{true};
std::atomic<bool> g_avx2_enabled{true};

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// libpng's default limits on a row's and a column's pixels: OpenImageIO
// refuses larger files, so they are left to it.
constexpr std::uint32_t kMaxSide = 1000000;
// The largest chunk length the format allows.
constexpr std::uint32_t kMaxChunk = 0x7fffffffu;
// IDAT chunks written: big enough that their headers cost nothing.
constexpr std::size_t kIdatBytes = std::size_t{1} << 20;

std::uint32_t Big32(const unsigned char *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
void PutBig32(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

bool TypeIs(const unsigned char *type, const char *name) { return std::memcmp(type, name, 4) == 0; }
bool ValidType(const unsigned char *type) {
    for (int i = 0; i < 4; ++i)
        if (!((type[i] >= 'A' && type[i] <= 'Z') || (type[i] >= 'a' && type[i] <= 'z'))) return false;
    return true;
}
// A chunk a decoder must understand: its type's first letter is a capital.
bool Critical(const unsigned char *type) { return (type[0] & 0x20) == 0; }

// The CRC of a chunk starting at `chunk` (length, type, data), as stored
// after it.
bool CrcMatches(const unsigned char *chunk, std::uint32_t length) {
    return libdeflate_crc32(0, chunk + 4, std::size_t(length) + 4) == Big32(chunk + 8 + length);
}

int ChannelsOf(int colour_type) {
    switch (colour_type) {
        case 0:
            return 1;
        case 4:
            return 2;
        case 2:
            return 3;
        case 6:
            return 4;
        default:
            return 0;
    }
}
int ColourTypeOf(int channels) {
    static const int kTypes[] = {0, 0, 4, 2, 6};
    return kTypes[channels];
}

// One decompressor and one compressor per level and thread, made once.
libdeflate_decompressor &Decompressor() {
    struct Holder {
        libdeflate_decompressor *d = libdeflate_alloc_decompressor();
        ~Holder() { libdeflate_free_decompressor(d); }
    };
    thread_local Holder holder;
    if (holder.d == nullptr) throw std::bad_alloc();
    return *holder.d;
}
libdeflate_compressor &Compressor(int level) {
    struct Holder {
        libdeflate_compressor *c[13] = {};
        ~Holder() {
            for (libdeflate_compressor *c : c) libdeflate_free_compressor(c);
        }
    };
    thread_local Holder holder;
    if (holder.c[level] == nullptr) holder.c[level] = libdeflate_alloc_compressor(level);
    if (holder.c[level] == nullptr) throw std::bad_alloc();
    return *holder.c[level];
}

// ---- The row filters -------------------------------------------------
// Each byte is predicted from a (the byte one pixel left), b (the byte
// above) and c (above and left), all 0 outside the image.

inline unsigned Paeth(unsigned a, unsigned b, unsigned c) {
    const int pa = std::abs(int(b) - int(c));
    const int pb = std::abs(int(a) - int(c));
    const int pc = std::abs(int(a) + int(b) - 2 * int(c));
    return (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
}

#if defined(__SSE2__)
// Average and Paeth undone a pixel of 4 or 8 bytes (RGBA) at a time,
// after the first: each byte in a 16-bit lane, the pixel to the left being
// the one just undone.
template <std::size_t kBpp>
__m128i LoadPixel(const unsigned char *p) {
    if constexpr (kBpp == 4) {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
    } else {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), _mm_setzero_si128());
    }
}

// Stores the low byte of each lane; returns the pixel as stored, in lanes.
template <std::size_t kBpp>
__m128i StorePixel(unsigned char *p, __m128i lanes) {
    lanes = _mm_and_si128(lanes, _mm_set1_epi16(0xff));
    const __m128i bytes = _mm_packus_epi16(lanes, lanes);
    if constexpr (kBpp == 4) {
        const std::int32_t v = _mm_cvtsi128_si32(bytes);
        std::memcpy(p, &v, 4);
    } else {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p), bytes);
    }
    return lanes;
}

inline __m128i Abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// The Paeth predictor of bytes held in 16-bit lanes: pa = |b - c|,
// pb = |a - c|, pc = |a + b - 2c|; a where pa is the least, else b where pb
// is no more than pc, else c.
inline __m128i Paeth16(__m128i a, __m128i b, __m128i c) {
    const __m128i pa = Abs16(_mm_sub_epi16(b, c)), pb = Abs16(_mm_sub_epi16(a, c));
    const __m128i pc = Abs16(_mm_add_epi16(_mm_sub_epi16(b, c), _mm_sub_epi16(a, c)));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    const __m128i not_b = _mm_cmpgt_epi16(pb, pc);
    const __m128i b_or_c = _mm_or_si128(_mm_and_si128(not_b, c), _mm_andnot_si128(not_b, b));
    return _mm_or_si128(_mm_and_si128(not_a, b_or_c), _mm_andnot_si128(not_a, a));
}

template <std::size_t kBpp>
void UnfilterPixels(unsigned type, unsigned char *row, const unsigned char *up, std::size_t n) {
    __m128i a = LoadPixel<kBpp>(row);
    __m128i c = LoadPixel<kBpp>(up);
    for (std::size_t i = kBpp; i + kBpp <= n; i += kBpp) {
        const __m128i x = LoadPixel<kBpp>(row + i);
        const __m128i b = LoadPixel<kBpp>(up + i);
        const __m128i predicted = type == 3 ? _mm_srli_epi16(_mm_add_epi16(a, b), 1) : Paeth16(a, b, c);
        a = StorePixel<kBpp>(row + i, _mm_add_epi16(x, predicted));
        c = b;
    }
}

// The prediction of a pixel pair's lanes, both halves by one filter.
template <unsigned kType>
inline __m128i PredictPair(__m128i a, __m128i b, __m128i c) {
    if constexpr (kType == 3) return _mm_srli_epi16(_mm_add_epi16(a, b), 1);
    return Paeth16(a, b, c);
}

__m128i LoadPair(const unsigned char *low, const unsigned char *high) {
    std::int32_t l, h;
    std::memcpy(&l, low, 4);
    std::memcpy(&h, high, 4);
    return _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(l), _mm_cvtsi32_si128(h)), _mm_setzero_si128());
}

// Two rows of 4-byte pixels, both filtered with average or both with
// Paeth (kType 3 or 4), undone together: a row's pixels wait on the pixel
// to their left, so one row alone leaves the vector unit idle most of the
// time. The low half of each step is `row0`'s pixel i, the high half
// `row1`'s pixel i - 1, whose pixel above is `row0`'s pixel i - 1, undone
// the step before.
template <unsigned kType>
void UnfilterPixelPairs(unsigned char *row0, unsigned char *row1, const unsigned char *up, std::size_t n) {
    const __m128i zero = _mm_setzero_si128(), low_byte = _mm_set1_epi16(0xff);
    // row0's first pixel: a and c are 0, so average predicts b / 2 and
    // Paeth b.
    const __m128i up0 = LoadPixel<4>(up);
    __m128i a = StorePixel<4>(row0, _mm_add_epi16(LoadPixel<4>(row0), kType == 4 ? up0 : _mm_srli_epi16(up0, 1)));
    __m128i c = up0;  // the high halves are 0: row1 has no pixel left of its first
    const std::size_t end = n - n % 4;
    for (std::size_t i = 4; i < end; i += 4) {
        const __m128i b = _mm_unpacklo_epi64(LoadPixel<4>(up + i), a);
        const __m128i x = LoadPair(row0 + i, row1 + i - 4);
        const __m128i r = _mm_and_si128(_mm_add_epi16(x, PredictPair<kType>(a, b, c)), low_byte);
        const __m128i bytes = _mm_packus_epi16(r, r);
        const std::int32_t low = _mm_cvtsi128_si32(bytes), high = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
        std::memcpy(row0 + i, &low, 4);
        std::memcpy(row1 + i - 4, &high, 4);
        a = r;
        c = b;
    }
    // row1's last pixel, in the high half: above it row0's last.
    const __m128i b = _mm_unpacklo_epi64(zero, a);
    const __m128i x = _mm_unpacklo_epi64(zero, LoadPixel<4>(row1 + end - 4));
    const __m128i r = _mm_and_si128(_mm_add_epi16(x, PredictPair<kType>(a, b, c)), low_byte);
    const __m128i bytes = _mm_packus_epi16(r, r);
    const std::int32_t high = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
    std::memcpy(row1 + end - 4, &high, 4);
}

// Sub undone 16 bytes at a time for pixels of 4 or 8 bytes: each block's
// running sum of pixels in two or one shifted adds, plus the last pixel
// of the block before, in every slot.
void UnfilterSub16(unsigned char *row, std::size_t n, std::size_t bpp) {
    __m128i left = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i));
        if (bpp == 4) v = _mm_add_epi8(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi8(_mm_add_epi8(v, _mm_slli_si128(v, 8)), left);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i), v);
        left = bpp == 4 ? _mm_shuffle_epi32(v, 0xff) : _mm_unpackhi_epi64(v, v);
    }
    for (i = std::max(i, bpp); i < n; ++i) row[i] = static_cast<unsigned char>(row[i] + row[i - bpp]);
}
#endif

// Undoes filter `type` on `row` of `n` bytes; `up` is the row above,
// unfiltered.
bool UnfilterRow(unsigned type, unsigned char *row, const unsigned char *up, std::size_t n, std::size_t bpp) {
#if defined(__SSE2__)
    if (type == 1 && (bpp == 4 || bpp == 8)) {
        UnfilterSub16(row, n, bpp);
        return true;
    }
    if ((type == 3 || type == 4) && (bpp == 4 || bpp == 8) && n >= bpp) {
        for (std::size_t i = 0; i < bpp; ++i)
            row[i] = static_cast<unsigned char>(row[i] + (type == 3 ? up[i] >> 1 : up[i]));
        if (bpp == 4)
            UnfilterPixels<4>(type, row, up, n);
        else
            UnfilterPixels<8>(type, row, up, n);
        return true;
    }
#endif
    switch (type) {
        case 0:
            return true;
        case 1:
            for (std::size_t i = bpp; i < n; ++i) row[i] = static_cast<unsigned char>(row[i] + row[i - bpp]);
            return true;
        case 2:
            for (std::size_t i = 0; i < n; ++i) row[i] = static_cast<unsigned char>(row[i] + up[i]);
            return true;
        case 3:
            for (std::size_t i = 0; i < bpp; ++i) row[i] = static_cast<unsigned char>(row[i] + (up[i] >> 1));
            for (std::size_t i = bpp; i < n; ++i)
                row[i] = static_cast<unsigned char>(row[i] + ((unsigned(row[i - bpp]) + up[i]) >> 1));
            return true;
        case 4:
            for (std::size_t i = 0; i < bpp; ++i) row[i] = static_cast<unsigned char>(row[i] + up[i]);
            for (std::size_t i = bpp; i < n; ++i)
                row[i] = static_cast<unsigned char>(row[i] + Paeth(row[i - bpp], up[i], up[i - bpp]));
            return true;
        default:
            return false;
    }
}

// The four filters of `row` over `up`, each into its own `n` bytes of
// `out` (sub, up, average, Paeth), from byte `from` on (from >= bpp).
void FilterBytes(const unsigned char *row, const unsigned char *up, std::size_t from, std::size_t n, std::size_t bpp,
                 unsigned char *const out[4]) {
    for (std::size_t i = from; i < n; ++i) {
        const int x = row[i], a = row[i - bpp], b = up[i], c = up[i - bpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int predicted = (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
        out[0][i] = static_cast<unsigned char>(x - a);
        out[1][i] = static_cast<unsigned char>(x - b);
        out[2][i] = static_cast<unsigned char>(x - ((a + b) >> 1));
        out[3][i] = static_cast<unsigned char>(x - predicted);
    }
}

// What a filtered byte costs when the filters are compared: its size read
// as signed, and kNonZeroCost more when it is not 0. Zeros repeat, and
// deflate codes a run of them in a few bits; any other byte costs several
// bits however small it is, which the size alone misses. Against the sum
// of sizes alone this made the sequence bench's outputs 0.2 to 3.6 %
// smaller at the same level (one 16-bit one 0.1 % larger), for about a
// tenth more time filtering. It is a rule of thumb: on other frames
// (an XOR pattern over a gradient) the sum of sizes does better.
constexpr unsigned kNonZeroCost = 64;

inline unsigned ByteCost(unsigned char byte) {
    const unsigned size = unsigned(std::abs(int(static_cast<signed char>(byte))));
    return size + (size != 0 ? kNonZeroCost : 0);
}

// The cost of `n` filtered bytes.
std::uint32_t RowCost(const unsigned char *bytes, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += ByteCost(bytes[i]);
    return sum;
}

#if defined(__SSE2__)
// The same 16 bytes at a time from `from`: the costs of the filters'
// bytes (none, sub, up, average, Paeth) added to `sums`; returns where it
// stopped.
std::size_t FilterBytesSse2(const unsigned char *row, const unsigned char *up, std::size_t from, std::size_t n,
                            std::size_t bpp, unsigned char *const out[4], std::uint64_t sums[5]) {
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1),
                  non_zero_cost = _mm_set1_epi8(static_cast<char>(kNonZeroCost));
    __m128i total[5] = {zero, zero, zero, zero, zero};
    // ByteCost of each byte (at most 128 + 64, so it fits), summed in two
    // 64-bit halves.
    const auto add = [&](int f, __m128i v) {
        const __m128i size = _mm_min_epu8(v, _mm_sub_epi8(zero, v));
        const __m128i cost = _mm_add_epi8(size, _mm_andnot_si128(_mm_cmpeq_epi8(v, zero), non_zero_cost));
        total[f] = _mm_add_epi64(total[f], _mm_sad_epu8(cost, zero));
    };
    const auto load = [](const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); };
    std::size_t i = from;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = load(row + i), a = load(row + i - bpp), b = load(up + i), c = load(up + i - bpp);
        // (a + b) >> 1 per byte: the rounded-up mean less the odd bit.
        const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        const __m128i low = Paeth16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero));
        const __m128i high =
            Paeth16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero));
        const __m128i filtered[4] = {_mm_sub_epi8(x, a), _mm_sub_epi8(x, b), _mm_sub_epi8(x, mean),
                                     _mm_sub_epi8(x, _mm_packus_epi16(low, high))};
        add(0, x);
        for (int f = 0; f < 4; ++f) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out[f] + i), filtered[f]);
            add(f + 1, filtered[f]);
        }
    }
    for (int f = 0; f < 5; ++f) {
        alignas(16) std::uint64_t halves[2];
        _mm_store_si128(reinterpret_cast<__m128i *>(halves), total[f]);
        sums[f] += halves[0] + halves[1];
    }
    return i;
}
#endif

#if defined(__x86_64__)
// Paeth16 and a 32-byte block's ByteCost sums, for processors with AVX2.
__attribute__((target("avx2"))) inline __m256i Paeth16Avx2(__m256i a, __m256i b, __m256i c) {
    const __m256i pa = _mm256_abs_epi16(_mm256_sub_epi16(b, c)), pb = _mm256_abs_epi16(_mm256_sub_epi16(a, c));
    const __m256i pc = _mm256_abs_epi16(_mm256_add_epi16(_mm256_sub_epi16(b, c), _mm256_sub_epi16(a, c)));
    const __m256i not_a = _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc));
    return _mm256_blendv_epi8(a, _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc)), not_a);
}

__attribute__((target("avx2"))) inline __m256i CostsAvx2(__m256i v) {
    const __m256i zero = _mm256_setzero_si256(), size = _mm256_min_epu8(v, _mm256_sub_epi8(zero, v));
    const __m256i extra = _mm256_andnot_si256(_mm256_cmpeq_epi8(v, zero), _mm256_set1_epi8(char(kNonZeroCost)));
    return _mm256_sad_epu8(_mm256_add_epi8(size, extra), zero);
}

// FilterBytesSse2 32 bytes at a time.
__attribute__((target("avx2"))) std::size_t FilterBytesAvx2(const unsigned char *row, const unsigned char *up,
                                                            std::size_t from, std::size_t n, std::size_t bpp,
                                                            unsigned char *const out[4], std::uint64_t sums[5]) {
    const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi8(1);
    __m256i total[5] = {zero, zero, zero, zero, zero};
    std::size_t i = from;
    for (; i + 32 <= n; i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + i)),
                      a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(row + i - bpp)),
                      b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(up + i)),
                      c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(up + i - bpp));
        const __m256i mean = _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), one));
        // The unpacks and the pack keep to each 16-byte lane, so the bytes
        // come back in order.
        const __m256i low =
            Paeth16Avx2(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero), _mm256_unpacklo_epi8(c, zero));
        const __m256i high =
            Paeth16Avx2(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero), _mm256_unpackhi_epi8(c, zero));
        const __m256i filtered[4] = {_mm256_sub_epi8(x, a), _mm256_sub_epi8(x, b), _mm256_sub_epi8(x, mean),
                                     _mm256_sub_epi8(x, _mm256_packus_epi16(low, high))};
        total[0] = _mm256_add_epi64(total[0], CostsAvx2(x));
        for (int f = 0; f < 4; ++f) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[f] + i), filtered[f]);
            total[f + 1] = _mm256_add_epi64(total[f + 1], CostsAvx2(filtered[f]));
        }
    }
    for (int f = 0; f < 5; ++f) {
        alignas(32) std::uint64_t quarters[4];
        _mm256_store_si256(reinterpret_cast<__m256i *>(quarters), total[f]);
        sums[f] += quarters[0] + quarters[1] + quarters[2] + quarters[3];
    }
    return i;
}

bool UsesAvx2() {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 && g_avx2_enabled.load(std::memory_order_relaxed);
}

// UnfilterPixelPairs four rows at a time, with AVX2: quarter q of each
// step is row q's pixel t - q, its pixel above the result of quarter
// q - 1 the step before. Quarters whose pixel lies left of their row take
// zeros and give zeros, so each row begins with a and c at 0; the first
// and last three steps gather and store only the pixels in the rows.
template <unsigned kType>
__attribute__((target("avx2"))) void UnfilterPixelQuads(unsigned char *const rows[4], const unsigned char *up,
                                                        std::size_t n) {
    const std::size_t pixels = n / 4;
    const __m256i low_byte = _mm256_set1_epi16(0xff);
    __m256i a = _mm256_setzero_si256(), c = a;
    const auto load = [](const unsigned char *p) {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    const auto store = [](unsigned char *p, std::int32_t v) { std::memcpy(p, &v, 4); };
    for (std::size_t t = 0; t < pixels + 3; ++t) {
        const bool inside = t >= 3 && t < pixels;
        std::int32_t in[4] = {0, 0, 0, 0};
        for (std::size_t q = 0; q < 4; ++q)
            if (inside || (t >= q && t - q < pixels)) in[q] = load(rows[q] + 4 * (t - q));
        const std::int32_t above = t < pixels ? load(up + 4 * t) : 0;
        const __m256i x = _mm256_cvtepu8_epi16(_mm_set_epi32(in[3], in[2], in[1], in[0]));
        const __m256i b = _mm256_blend_epi32(_mm256_permute4x64_epi64(a, _MM_SHUFFLE(2, 1, 0, 0)),
                                             _mm256_cvtepu8_epi16(_mm_cvtsi32_si128(above)), 0x03);
        const __m256i predicted = kType == 3 ? _mm256_srli_epi16(_mm256_add_epi16(a, b), 1) : Paeth16Avx2(a, b, c);
        a = _mm256_and_si256(_mm256_add_epi16(x, predicted), low_byte);
        c = b;
        const __m256i bytes = _mm256_packus_epi16(a, a);
        const __m128i low = _mm256_castsi256_si128(bytes), high = _mm256_extracti128_si256(bytes, 1);
        const std::int32_t out[4] = {_mm_cvtsi128_si32(low), _mm_extract_epi32(low, 1), _mm_cvtsi128_si32(high),
                                     _mm_extract_epi32(high, 1)};
        for (std::size_t q = 0; q < 4; ++q)
            if (inside || (t >= q && t - q < pixels)) store(rows[q] + 4 * (t - q), out[q]);
    }
}
#endif

// How many rows from one on are undone together: four (with AVX2) or two
// average or two Paeth rows of 4-byte pixels, each row filtered as the
// first; else one. `types` is the first row's type byte, the next rows'
// `stride` bytes apart, `left` the rows there are. Sub alone costs a
// fraction of those, and rows of unlike filters gain little.
std::uint32_t RowsTogether(const unsigned char *types, std::size_t stride, std::uint32_t left, std::size_t bpp,
                           std::size_t n) {
#if defined(__SSE2__)
    if (bpp != 4 || n < 8 || (types[0] != 3 && types[0] != 4)) return 1;
    std::uint32_t same = 1;
    while (same < 4 && same < left && types[same * stride] == types[0]) ++same;
#if defined(__x86_64__)
    if (same == 4 && UsesAvx2()) return 4;
#endif
    return same >= 2 ? 2 : 1;
#else
    (void)types, (void)stride, (void)left, (void)bpp, (void)n;
    return 1;
#endif
}

// Undoes `count` rows (RowsTogether's) of filter `type`, each over the
// one before, the first over `up`.
void UnfilterRowsTogether(unsigned type, unsigned char *const rows[], std::uint32_t count, const unsigned char *up,
                          std::size_t n) {
#if defined(__x86_64__)
    if (count == 4) {
        if (type == 4)
            UnfilterPixelQuads<4>(rows, up, n);
        else
            UnfilterPixelQuads<3>(rows, up, n);
        return;
    }
#endif
#if defined(__SSE2__)
    if (count == 2) {
        if (type == 4)
            UnfilterPixelPairs<4>(rows[0], rows[1], up, n);
        else
            UnfilterPixelPairs<3>(rows[0], rows[1], up, n);
        return;
    }
#endif
    for (std::uint32_t k = 0; k < count; ++k) UnfilterRow(type, rows[k], k == 0 ? up : rows[k - 1], n, 4);
}

// Writes `row` filtered over `up` to `out` (type byte first): the filter
// whose bytes cost least (ByteCost; the first of equal ones), or `forced`
// when it is 0 to 4.
void FilterRow(const unsigned char *row, const unsigned char *up, std::size_t n, std::size_t bpp, int forced,
               unsigned char *out) {
    thread_local std::vector<unsigned char> rows;
    if (rows.size() < 4 * n) rows.resize(4 * n);
    unsigned char *const filters[4] = {rows.data(), rows.data() + n, rows.data() + 2 * n, rows.data() + 3 * n};
    for (std::size_t i = 0; i < bpp; ++i) {
        filters[0][i] = row[i];
        filters[1][i] = filters[3][i] = static_cast<unsigned char>(row[i] - up[i]);
        filters[2][i] = static_cast<unsigned char>(row[i] - (up[i] >> 1));
    }
    // Bytes [bpp, done) are filtered and summed 16 at a time; the rest one
    // at a time.
    std::uint64_t sums[5] = {0, 0, 0, 0, 0};
    std::size_t done = bpp;
#if defined(__x86_64__)
    if (UsesAvx2()) done = FilterBytesAvx2(row, up, done, n, bpp, filters, sums);
#endif
#if defined(__SSE2__)
    done = FilterBytesSse2(row, up, done, n, bpp, filters, sums);
#endif
    FilterBytes(row, up, done, n, bpp, filters);
    const unsigned char *const filtered[5] = {row, filters[0], filters[1], filters[2], filters[3]};
    int best = forced;
    if (best < 0) {
        std::uint64_t least = ~std::uint64_t{0};
        for (int f = 0; f < 5; ++f) {
            const std::uint64_t sum = sums[f] + RowCost(filtered[f], bpp) + RowCost(filtered[f] + done, n - done);
            if (sum < least) least = sum, best = f;
        }
    }
    out[0] = static_cast<unsigned char>(best);
    std::memcpy(out + 1, filtered[best], n);
}

std::string InflateProblem(libdeflate_result result) {
    switch (result) {
        case LIBDEFLATE_SHORT_OUTPUT:
            return "its compressed pixels end before its last row";
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            return "its compressed pixels hold more rows than its size";
        default:
            return "its compressed pixels are damaged";
    }
}

}  // namespace

PngHeadResult ReadPngHead(const unsigned char *bytes, std::size_t size, PngHead &head) {
    if (size < 8) return PngHeadResult::kShort;
    if (std::memcmp(bytes, kSignature, 8) != 0) return PngHeadResult::kDeclined;
    bool ihdr = false;
    for (std::size_t at = 8;;) {
        if (size - at < 8) return PngHeadResult::kShort;
        const unsigned char *chunk = bytes + at;
        const std::uint32_t length = Big32(chunk);
        const unsigned char *type = chunk + 4;
        if (length > kMaxChunk || !ValidType(type)) return PngHeadResult::kDeclined;
        if (!ihdr && !TypeIs(type, "IHDR")) return PngHeadResult::kDeclined;
        if (TypeIs(type, "IDAT")) {
            head.first_idat = at;
            return ihdr ? PngHeadResult::kTaken : PngHeadResult::kDeclined;
        }
        if (size - at - 8 < std::size_t(length) + 4) return PngHeadResult::kShort;
        if (!CrcMatches(chunk, length)) return PngHeadResult::kDeclined;
        const unsigned char *data = chunk + 8;
        if (TypeIs(type, "IHDR")) {
            if (ihdr || length != 13) return PngHeadResult::kDeclined;
            ihdr = true;
            head.width = Big32(data);
            head.height = Big32(data + 4);
            head.depth = data[8];
            head.channels = ChannelsOf(data[9]);
            // Compression, filter method, interlacing: 0 is deflate, the
            // five filters, no interlacing.
            if (head.width == 0 || head.height == 0 || head.width > kMaxSide || head.height > kMaxSide ||
                (head.depth != 8 && head.depth != 16) || head.channels == 0 || data[10] != 0 || data[11] != 0 ||
                data[12] != 0)
                return PngHeadResult::kDeclined;
        } else if (Critical(type) || TypeIs(type, "tRNS")) {
            // PLTE, IEND before the pixels, a critical chunk unknown here, or
            // a key colour that reads as alpha.
            return PngHeadResult::kDeclined;
        }
        at += 12 + std::size_t(length);
    }
}

std::string InflatePng(const PngHead &head, unsigned char *rest, std::size_t size, unsigned char *filtered) {
    std::size_t gathered = 0;
    bool idat_ended = false, iend = false;
    for (std::size_t at = 0; !iend;) {
        if (at == size) return "it ends before its IEND chunk (cut short?)";
        if (size - at < 12) return "a chunk is cut short";
        unsigned char *chunk = rest + at;
        const std::uint32_t length = Big32(chunk);
        const unsigned char *type = chunk + 4;
        if (length > kMaxChunk || !ValidType(type)) return "a chunk's header is damaged";
        if (size - at - 12 < length) return "a chunk runs beyond the end of the file";
        if (!CrcMatches(chunk, length))
            return "the CRC of a " + std::string(reinterpret_cast<const char *>(type), 4) + " chunk does not match";
        if (TypeIs(type, "IDAT")) {
            if (idat_ended) return "its IDAT chunks are not one after the other";
            std::memmove(rest + gathered, chunk + 8, length);
            gathered += length;
        } else {
            idat_ended = true;
            if (TypeIs(type, "IEND"))
                iend = true;
            else if (Critical(type))
                return "an unexpected " + std::string(reinterpret_cast<const char *>(type), 4) + " chunk";
        }
        at += 12 + std::size_t(length);
    }
    const libdeflate_result result = libdeflate_zlib_decompress(
        &Decompressor(), rest, gathered, filtered, static_cast<std::size_t>(head.FilteredBytes()), nullptr);
    return result == LIBDEFLATE_SUCCESS ? std::string() : InflateProblem(result);
}

bool UnfilterPngRows(const PngHead &head, unsigned char *filtered, std::uint32_t first, std::uint32_t rows) {
    const std::size_t n = head.RowBytes(), stride = n + 1, bpp = head.PixelBytes();
    thread_local std::vector<unsigned char> zeros;
    if (first == 0 && zeros.size() < n) zeros.assign(n, 0);
    for (std::uint32_t y = first; y < first + rows;) {
        unsigned char *row = filtered + std::size_t(y) * stride;
        const unsigned char *up = y == 0 ? zeros.data() : row - stride + 1;
        const std::uint32_t count = RowsTogether(row, stride, first + rows - y, bpp, n);
        if (count > 1) {
            unsigned char *together[4];
            for (std::uint32_t k = 0; k < count; ++k) together[k] = row + k * stride + 1;
            UnfilterRowsTogether(row[0], together, count, up, n);
        } else if (!UnfilterRow(row[0], row + 1, up, n, bpp)) {
            return false;
        }
        y += count;
    }
    return true;
}

void PngRowsToSamples(const PngHead &head, const unsigned char *filtered, std::uint32_t first, std::uint32_t rows,
                      unsigned char *samples) {
    const std::size_t n = head.RowBytes(), stride = n + 1;
    for (std::uint32_t y = first; y < first + rows; ++y, samples += n) {
        const unsigned char *row = filtered + std::size_t(y) * stride + 1;
        if (head.depth == 8) {
            std::memcpy(samples, row, n);
        } else {
            for (std::size_t i = 0; i < n; i += 2) {
                const std::uint16_t v = std::uint16_t(row[i] << 8 | row[i + 1]);
                std::memcpy(samples + i, &v, 2);
            }
        }
    }
}

PngHeadResult DecodePng(const unsigned char *bytes, std::size_t size, std::uint64_t max_bytes, PngHead &head,
                        std::vector<unsigned char> &samples, std::string &error) {
    const PngHeadResult taken = ReadPngHead(bytes, size, head);
    if (taken != PngHeadResult::kTaken) return PngHeadResult::kDeclined;
    if (head.FilteredBytes() > max_bytes) {
        error = "too large";
        return taken;
    }
    std::vector<unsigned char> rest(bytes + head.first_idat, bytes + size);
    std::vector<unsigned char> filtered(static_cast<std::size_t>(head.FilteredBytes()));
    error = InflatePng(head, rest.data(), rest.size(), filtered.data());
    if (error.empty() && !UnfilterPngRows(head, filtered.data(), 0, head.height))
        error = "a row's filter type is unknown";
    if (!error.empty()) return taken;
    samples.resize(std::size_t(head.height) * head.RowBytes());
    PngRowsToSamples(head, filtered.data(), 0, head.height, samples.data());
    return taken;
}

bool FitsInWorld(const PngHead &head, const renderhost::World &world) {
    return world.depth() == renderhost::Depth::k8 && head.depth == 8 && head.channels == 4 &&
           std::uint32_t(world.width()) == head.width && std::uint32_t(world.height()) == head.height &&
           std::size_t(world.rowbytes()) == head.RowBytes() && world.capacity() >= head.FilteredBytes();
}

bool UnfilterInWorld(const PngHead &head, renderhost::World &world) {
    if (!FitsInWorld(head, world)) throw std::logic_error("a world the PNG rows do not fit in place");
    const std::size_t n = head.RowBytes();
    const auto *const base = static_cast<const unsigned char *>(world.data());
    // Five rows in turn: the row above and up to four undone together.
    thread_local std::vector<unsigned char> buffer;
    buffer.assign(5 * n, 0);
    std::size_t above = 4;
    for (std::uint32_t y = 0; y < head.height;) {
        // The pixels of rows y to y + count - 1 end where row y + count's
        // filtered bytes begin, so all are copied out before any is written.
        const unsigned char *filtered = base + std::size_t(y) * (n + 1);
        const std::uint32_t count = RowsTogether(filtered, n + 1, head.height - y, 4, n);
        unsigned char *rows[4];
        for (std::uint32_t k = 0; k < count; ++k) {
            rows[k] = buffer.data() + (above + 1 + k) % 5 * n;
            std::memcpy(rows[k], filtered + k * (n + 1) + 1, n);
        }
        const unsigned char *up = buffer.data() + above * n;
        if (count > 1)
            UnfilterRowsTogether(filtered[0], rows, count, up, n);
        else if (!UnfilterRow(filtered[0], rows[0], up, n, 4))
            return false;
        for (std::uint32_t k = 0; k < count; ++k)
            DecodeRgba8Row(rows[k], world.width(), world.Row<PF_Pixel>(A_long(y + k)));
        above = (above + count) % 5;
        y += count;
    }
    return true;
}

// ---- Writing ----------------------------------------------------------

PngEncoder::PngEncoder(std::uint32_t width, std::uint32_t height, int depth, int channels, int level, int forced_filter,
                       std::uint64_t band_bytes)
    : level_(level),
      forced_filter_(forced_filter),
      rows_per_band_(RowsPerBand(width, depth, channels, band_bytes)),
      bands_(std::max<std::size_t>(1, (std::size_t(height) + rows_per_band_ - 1) / rows_per_band_)),
      order_(bands_.size(), kBandsAhead) {
    if (level < 0 || level > 12) throw std::logic_error("a PNG compression level beyond 0 to 12");
    head_.width = width;
    head_.height = height;
    head_.depth = depth;
    head_.channels = channels;
}

std::uint32_t PngEncoder::RowsPerBand(std::uint32_t width, int depth, int channels, std::uint64_t band_bytes) {
    PngHead head;
    head.width = width;
    head.depth = depth;
    head.channels = channels;
    const std::uint64_t row = 1 + std::uint64_t(head.RowBytes());
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(kBandRows, (band_bytes + row - 1) / row), kMaxSide));
}

std::uint64_t PngEncoder::HeldBytes(std::uint32_t width, std::uint32_t height, int depth, int channels) {
    PngHead head;
    head.width = width;
    head.height = height;
    head.depth = depth;
    head.channels = channels;
    const std::uint32_t rows = RowsPerBand(width, depth, channels);
    const std::uint64_t band = std::uint64_t(std::min(height, rows)) * (1 + std::uint64_t(head.RowBytes()));
    const std::uint64_t bands = std::min<std::uint64_t>((std::uint64_t(height) + rows - 1) / rows, kBandsAhead);
    // A stored block's 5 bytes each 64 KiB, at worst, and a band's ends.
    const auto deflated = [](std::uint64_t bytes) { return bytes + bytes / 8192 + 1024; };
    return bands * deflated(band) + 2 * band + deflated(band);
}

std::uint32_t PngEncoder::BandRows(std::uint32_t band) const {
    return std::min(rows_per_band_, head_.height - band * rows_per_band_);
}

void PngEncoder::EncodeBand(std::uint32_t band, const unsigned char *samples, const unsigned char *above) {
    if (band >= bands_.size()) throw std::logic_error("a PNG band beyond the image");
    const std::size_t n = head_.RowBytes(), bpp = head_.PixelBytes();
    const std::uint32_t rows = head_.height == 0 ? 0 : BandRows(band);
    // 16-bit rows are filtered as the file stores them, big-endian: this
    // row and the one before turned so; 8-bit rows as they come. Above the
    // image, a row of zeros.
    thread_local std::vector<unsigned char> raw, up;
    thread_local CodecBuffer filtered;
    if (head_.depth != 8 || above == nullptr) up.assign(n, 0);
    const std::size_t filtered_bytes = std::size_t(rows) * (n + 1);
    filtered.Reserve(filtered_bytes);
    const auto as_stored = [&](const unsigned char *in, std::vector<unsigned char> &out) {
        for (std::size_t i = 0; i < n; i += 2) {
            std::uint16_t v;
            std::memcpy(&v, in + i, 2);
            out[i] = static_cast<unsigned char>(v >> 8);
            out[i + 1] = static_cast<unsigned char>(v);
        }
    };
    if (head_.depth == 8) {
        const unsigned char *row_above = above != nullptr ? above : up.data();
        for (std::uint32_t r = 0; r < rows; ++r, samples += n) {
            FilterRow(samples, row_above, n, bpp, forced_filter_, filtered.data() + std::size_t(r) * (n + 1));
            row_above = samples;
        }
    } else {
        raw.resize(n);
        if (above != nullptr) as_stored(above, up);
        for (std::uint32_t r = 0; r < rows; ++r, samples += n) {
            as_stored(samples, raw);
            FilterRow(raw.data(), up.data(), n, bpp, forced_filter_, filtered.data() + std::size_t(r) * (n + 1));
            raw.swap(up);
        }
    }
    DeflateBand(Compressor(level_), filtered.data(), filtered_bytes, bands_[band]);
    ++bands_in_;
}

void PngEncoder::Ended(std::uint32_t band, const Put &put) {
    order_.Ended(band, [&](std::size_t ready) { PutBand(ready, put); });
}

void PngEncoder::PutBand(std::size_t index, const Put &put) {
    if (index == 0) PutHead(put);
    DeflatedBand &band = bands_[index];
    JoinZlibBand(band, index, bands_.size(), level_, adler_);
    const std::size_t size = band.bytes.size();
    for (std::size_t at = 0; at < size; at += kIdatBytes) {
        const std::size_t length = std::min(kIdatBytes, size - at);
        unsigned char header[8], crc[4];
        PutBig32(header, static_cast<std::uint32_t>(length));
        std::memcpy(header + 4, "IDAT", 4);
        PutBig32(crc, libdeflate_crc32(libdeflate_crc32(0, header + 4, 4), band.bytes.data() + at, length));
        put(header, 8);
        put(band.bytes.data() + at, length);
        put(crc, 4);
    }
    std::vector<unsigned char>().swap(band.bytes);
}

void PngEncoder::AddRows(const unsigned char *samples, std::uint32_t rows) {
    const std::size_t n = head_.RowBytes();
    if (rows > head_.height - rows_added_) throw std::logic_error("more PNG rows than the image holds");
    while (rows > 0) {
        const std::uint32_t band = rows_added_ / rows_per_band_, in_band = rows_added_ % rows_per_band_;
        const std::uint32_t take = std::min(rows, BandRows(band) - in_band);
        pending_.insert(pending_.end(), samples, samples + std::size_t(take) * n);
        samples += std::size_t(take) * n;
        rows -= take;
        rows_added_ += take;
        if (in_band + take < BandRows(band)) break;
        EncodeBand(band, pending_.data(), band == 0 ? nullptr : previous_.data());
        previous_.assign(pending_.end() - std::ptrdiff_t(n), pending_.end());
        pending_.clear();
    }
}

void PngEncoder::PutHead(const Put &put) const {
    unsigned char start[8 + 25 + 21];
    std::memcpy(start, kSignature, 8);
    unsigned char *ihdr = start + 8;
    PutBig32(ihdr, 13);
    std::memcpy(ihdr + 4, "IHDR", 4);
    PutBig32(ihdr + 8, head_.width);
    PutBig32(ihdr + 12, head_.height);
    ihdr[16] = static_cast<unsigned char>(head_.depth);
    ihdr[17] = static_cast<unsigned char>(ColourTypeOf(head_.channels));
    ihdr[18] = ihdr[19] = ihdr[20] = 0;
    PutBig32(ihdr + 21, libdeflate_crc32(0, ihdr + 4, 17));
    // oFFs: (0, 0) in pixels.
    unsigned char *offs = ihdr + 25;
    PutBig32(offs, 9);
    std::memcpy(offs + 4, "oFFs", 4);
    std::memset(offs + 8, 0, 9);
    PutBig32(offs + 17, libdeflate_crc32(0, offs + 4, 13));
    put(start, sizeof start);
}

void PngEncoder::Finish(const Put &put) {
    if (head_.height == 0 && bands_in_ == 0) EncodeBand(0, nullptr, nullptr);
    if (bands_in_ != bands_.size()) throw std::logic_error("fewer PNG rows than the image holds");
    // The bands encoded without being ended (AddRows), in order.
    for (std::size_t band = order_.PutCount(); band < bands_.size(); ++band)
        Ended(static_cast<std::uint32_t>(band), put);
    static const unsigned char kEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    put(kEnd, sizeof kEnd);
}

// ---- The seam ------------------------------------------------------------

namespace {

class PngReader final : public CodecReader {
public:
    PngReader(std::string path, const PngHead &head, bool associated)
        : path_(std::move(path)), head_(head), associated_(associated) {}

    void ReadRows(A_long first, A_long rows, unsigned char *samples) override {
        if (first != next_) throw std::logic_error("PNG rows read out of order: " + path_);
        if (first == 0) Inflate();
        const auto y = static_cast<std::uint32_t>(first);
        const auto count = static_cast<std::uint32_t>(rows);
        if (!UnfilterPngRows(head_, filtered_.data(), y, count)) Fail("a row's filter type is none of the five");
        PngRowsToSamples(head_, filtered_.data(), y, count, samples);
        next_ = first + rows;
        if (std::uint32_t(next_) >= head_.height) filtered_ = CodecBuffer();
    }

    // An 8-bit straight RGBA file into an 8-bit world of tight rows: the
    // stream is inflated into the world's memory (its rows and a byte a
    // row more), then each row is unfiltered apart and turned into pixels
    // in place. Row y's pixels end before row y + 1's filtered bytes
    // start, so no row is overwritten before it is read.
    std::uint64_t InPlaceSpare(renderhost::Depth depth) const override {
        return TakesInPlace(depth) ? head_.height : 0;
    }
    bool ReadInPlace(renderhost::World &world) override {
        if (next_ != 0 || associated_ || !FitsInWorld(head_, world)) return false;
        Inflate(static_cast<unsigned char *>(world.data()));
        if (!UnfilterInWorld(head_, world)) Fail("a row's filter type is none of the five");
        next_ = A_long(head_.height);
        return true;
    }

    bool LooksWhole() override { return PngEndsWhole(path_); }
    // The file from its first IDAT chunk, and the filtered rows: in a
    // world of `depth` with its spare bytes, or else in a buffer of the
    // reader's own, held together while the first strip is read.
    bool ChecksItsMemory() const override { return true; }
    std::uint64_t HeldBytes(renderhost::Depth depth) const override {
        struct stat status {};
        const std::uint64_t size = stat(path_.c_str(), &status) == 0 ? std::uint64_t(status.st_size) : 0;
        return (size > head_.first_idat ? size - head_.first_idat : 0) +
               (TakesInPlace(depth) ? InPlaceSpare(depth) : head_.FilteredBytes());
    }

private:
    bool TakesInPlace(renderhost::Depth depth) const {
        return depth == renderhost::Depth::k8 && head_.depth == 8 && head_.channels == 4 && !associated_;
    }

    [[noreturn]] void Fail(const std::string &problem) const {
        throw RunError(FileMessage(path_, "cannot read its pixels (corrupt or cut short?): " + problem));
    }

    // The whole stream, inflated at once (libdeflate inflates a stream in
    // one call) into `into` or else the reader's own buffer: the file from
    // its first IDAT chunk and the filtered rows are held together,
    // checked against the memory there is first.
    void Inflate(unsigned char *into = nullptr) {
        const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) Fail(std::strerror(errno));
        struct stat status {};
        const bool sized = fstat(fd, &status) == 0;
        const std::uint64_t file_size = sized ? std::uint64_t(status.st_size) : 0;
        if (!sized || file_size < head_.first_idat) {
            close(fd);
            Fail("it changed while it was read");
        }
        const std::uint64_t rest_size = file_size - head_.first_idat;
        CodecBuffer rest;
        MemoryGrant grant;  // until the stream is inflated
        try {
            grant = GrantMemory(
                path_,
                KeepCodecBuffers::NewBytes({static_cast<std::size_t>(rest_size),
                                            static_cast<std::size_t>(into != nullptr ? 0 : head_.FilteredBytes())}),
                AvailableMemory());
            rest.Reserve(static_cast<std::size_t>(rest_size));
            if (into == nullptr) filtered_.Reserve(static_cast<std::size_t>(head_.FilteredBytes()));
        } catch (const std::bad_alloc &) {
            close(fd);
            throw RunError(FileMessage(path_, "not enough memory to decode it"));
        } catch (...) {
            close(fd);
            throw;
        }
        const std::size_t read = ReadAtMost(fd, rest.data(), static_cast<std::size_t>(rest_size), head_.first_idat);
        const int read_error = errno;
        close(fd);
        if (read != rest_size) Fail(std::strerror(read_error));
        const std::string problem = InflatePng(head_, rest.data(), read, into != nullptr ? into : filtered_.data());
        if (!problem.empty()) Fail(problem);
    }

    std::string path_;
    PngHead head_;
    bool associated_;
    A_long next_ = 0;
    CodecBuffer filtered_;
};

// The head of the file at `path`, from its first bytes (more of them when
// the chunks before the pixels are long).
PngHeadResult ReadHeadOf(const std::string &path, PngHead &head) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return PngHeadResult::kDeclined;
    std::vector<unsigned char> bytes;
    PngHeadResult result = PngHeadResult::kDeclined;
    for (std::size_t want = 4096; want <= (std::size_t{1} << 22); want *= 8) {
        bytes.resize(want);
        const std::size_t got = ReadAtMost(fd, bytes.data(), want, 0);
        result = ReadPngHead(bytes.data(), got, head);
        if (result != PngHeadResult::kShort || got < want) break;
    }
    close(fd);
    return result == PngHeadResult::kTaken ? result : PngHeadResult::kDeclined;
}

// The PNG compression level of an output: libdeflate's level for zip:N
// (N above 12 is 12), kDefaultLevel without one; -1 for a compression
// this codec does not write. Level 6 is the lowest whose files (with the
// filters chosen here) are no larger than libpng's at zlib's level 6,
// OpenImageIO's, on the sequence bench's scenes; level 7 takes half as
// long again.
constexpr int kDefaultLevel = 6;

int LevelOf(const std::string &compression) {
    if (compression.empty() || compression == "zip") return kDefaultLevel;
    if (compression.rfind("zip:", 0) != 0) return -1;
    const std::string digits = compression.substr(4);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::min(std::stoi(digits), 12);
}

}  // namespace

std::unique_ptr<CodecReader> OpenPngReader(const std::string &path, AlphaMode alpha, ImageHeader &header) {
    PngHead head;
    if (!g_enabled.load(std::memory_order_relaxed) || ReadHeadOf(path, head) != PngHeadResult::kTaken) return nullptr;
    header.path = path;
    header.format = "png";
    header.sample = head.depth == 16 ? SampleType::kUInt16 : SampleType::kUInt8;
    static const ChannelLayout kLayouts[] = {ChannelLayout::kGray, ChannelLayout::kGray, ChannelLayout::kGrayAlpha,
                                             ChannelLayout::kRGB, ChannelLayout::kRGBA};
    header.layout = kLayouts[head.channels];
    header.channels = head.channels;
    header.rgba_names = head.channels == 4;  // OpenImageIO names them R, G, B, A; gray Y, gray+alpha Y, A
    header.data = header.display = Window{0, 0, A_long(head.width), A_long(head.height)};
    // Opened with the hint, OpenImageIO marks every PNG's alpha as
    // unassociated: colour is straight unless the user says otherwise.
    header.associated = alpha == AlphaMode::kAssociated;
    header.compression.clear();  // OpenImageIO reports none for a PNG
    return std::make_unique<PngReader>(path, head, header.associated);
}

bool PngWriterTakes(const OutputSpec &spec) {
    return g_enabled.load(std::memory_order_relaxed) && spec.format == "png" &&
           (spec.sample == SampleType::kUInt8 || spec.sample == SampleType::kUInt16) && LevelOf(spec.compression) >= 0;
}

std::uint64_t PngWriterHeldBytes(const OutputSpec &spec, const Window &data) {
    return PngEncoder::HeldBytes(static_cast<std::uint32_t>(data.width), static_cast<std::uint32_t>(data.height),
                                 spec.sample == SampleType::kUInt16 ? 16 : 8, 4);
}

// Encodes band `band` of the world, with the row above it (the up row of
// its first).
void EncodeBandOf(const renderhost::World &world, const OutputSpec &spec, PngEncoder &encoder, std::size_t band,
                  std::size_t row_bytes) {
    const auto first = static_cast<A_long>(band * encoder.RowsPerBand());
    const A_long rows = std::min<A_long>(A_long(encoder.RowsPerBand()), world.height() - first);
    const A_long above = first > 0 ? 1 : 0;
    thread_local CodecBuffer strip;
    strip.Reserve(row_bytes * std::size_t(rows + above));
    EncodeStrip(world, spec.sample, spec.associated, first - above, rows + above, strip.data());
    encoder.EncodeBand(static_cast<std::uint32_t>(band), strip.data() + std::size_t(above) * row_bytes,
                       above ? strip.data() : nullptr);
}

void WritePng(TempFile &file, const renderhost::World &world, const OutputSpec &spec) {
    const int depth = spec.sample == SampleType::kUInt16 ? 16 : 8;
    const auto width = static_cast<std::uint32_t>(world.width()), height = static_cast<std::uint32_t>(world.height());
    std::unique_ptr<PngEncoder> encoder;
    try {
        const MemoryGrant grant =
            GrantMemory(file.target(), PngEncoder::HeldBytes(width, height, depth, 4), MemoryForBuffers());
        encoder = std::make_unique<PngEncoder>(width, height, depth, 4, LevelOf(spec.compression));
        // Bands are encoded at once where a core is free, each band with
        // the row above it (the up row of its first).
        const std::size_t row_bytes = std::size_t(width) * 4 * std::size_t(depth / 8);
        // Put in the file as the bands before it are done (the encoder
        // gives one piece at a time, in order).
        std::uint64_t offset = 0;
        const PngEncoder::Put put = [&](const unsigned char *data, std::size_t size) {
            if (!file.failed()) file.WriteAt(data, size, offset);
            offset += size;
        };
        ForEachBand(encoder->Bands(), [&](std::size_t band) {
            if (!encoder->WaitForTurn(static_cast<std::uint32_t>(band))) return;
            try {
                EncodeBandOf(world, spec, *encoder, band, row_bytes);
                encoder->Ended(static_cast<std::uint32_t>(band), put);
            } catch (...) {
                encoder->Abandon();
                throw;
            }
        });
        encoder->Finish(put);
    } catch (const std::bad_alloc &) {
        throw RunError(FileMessage(file.target(), "not enough memory to encode it"));
    }
}

void SetPngCodecEnabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }
void SetPngAvx2Enabled(bool enabled) { g_avx2_enabled.store(enabled, std::memory_order_relaxed); }

}  // namespace veilshadow
