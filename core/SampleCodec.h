// Image samples, as a file or an array holds them (gray, gray+alpha, RGB
// or RGBA; 8-bit, 16-bit or float), to the render host's pixels and back:
// alpha at full scale where there is none, gray expanded, straight colour,
// the depth conversions of PixelConversion.h. A row is read and written
// through byte steps between pixels and between channels, so the same code
// serves a file's packed samples and an array's strided view.
#ifndef VEILSHADOW_SAMPLECODEC_H
#define VEILSHADOW_SAMPLECODEC_H

#include "PixelConversion.h"

#include <PF_Host.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veilshadow {

// One channel of a sample type as a channel of a world pixel type.
template <class Pixel>
struct ChannelFrom;
template <>
struct ChannelFrom<PF_Pixel> {
    using Channel = A_u_char;
    static Channel Of(std::uint8_t v) { return File8ToHost8(v); }
    static Channel Of(std::uint16_t v) { return File16ToHost8(v); }
    static Channel Of(float v) { return FloatToHost8(v); }
};
template <>
struct ChannelFrom<PF_Pixel16> {
    using Channel = A_u_short;
    static Channel Of(std::uint8_t v) { return File8ToHost16(v); }
    static Channel Of(std::uint16_t v) { return File16ToHost16(v); }
    static Channel Of(float v) { return FloatToHost16(v); }
};
template <>
struct ChannelFrom<PF_PixelFloat> {
    using Channel = float;
    static Channel Of(std::uint8_t v) { return File8ToFloat(v); }
    static Channel Of(std::uint16_t v) { return File16ToFloat(v); }
    static Channel Of(float v) { return v; }
};

// Full scale of a sample type, and its straight colour.
template <class T>
struct FileScale;
template <>
struct FileScale<std::uint8_t> {
    static constexpr std::uint8_t kOpaque = 255;
    static std::uint8_t Straight(std::uint8_t c, std::uint8_t a) {
        return static_cast<std::uint8_t>(Unassociate(c, a, kFileMax8));
    }
};
template <>
struct FileScale<std::uint16_t> {
    static constexpr std::uint16_t kOpaque = 65535;
    static std::uint16_t Straight(std::uint16_t c, std::uint16_t a) {
        return static_cast<std::uint16_t>(Unassociate(c, a, kFileMax16));
    }
};
template <>
struct FileScale<float> {
    static constexpr float kOpaque = 1.0f;
    static float Straight(float c, float a) { return Unassociate(c, a); }
};

// A world channel as a sample, straight.
inline std::uint8_t FileSample(A_u_char v) { return v; }
inline std::uint16_t FileSample(A_u_short v) { return HostToFile16(v); }
inline float FileSample(float v) { return v; }

template <class T>
T AssociatedSample(T c, T a) {
    if constexpr (std::is_same_v<T, float>)
        return Associate(c, a);
    else
        return static_cast<T>(Associate(c, a, FileScale<T>::kOpaque));
}

// Doubles are computed in float: each is rounded to float as it is read.
template <class Stored>
using ComputedSample = std::conditional_t<std::is_same_v<Stored, double>, float, Stored>;

// Bytes from one pixel of a row to the next, and from one channel to the
// next; either may be negative or zero.
struct SampleSteps {
    std::ptrdiff_t pixel = 0;
    std::ptrdiff_t channel = 0;
};
template <class T>
constexpr SampleSteps PackedSteps(int channels) {
    return {static_cast<std::ptrdiff_t>(sizeof(T)) * channels, static_cast<std::ptrdiff_t>(sizeof(T))};
}

// Where alpha is among `channels` samples (gray+alpha, RGBA); -1: none.
constexpr int AlphaIndex(int channels) { return channels == 2 ? 1 : channels == 4 ? 3 : -1; }

// Decodes `width` pixels of `channels` samples (1 gray, 2 gray+alpha,
// 3 RGB, 4 RGBA) into world pixels; `associated`: the colour is
// multiplied by alpha and is divided back here.
template <class Stored, class Pixel>
void DecodeRow(const unsigned char *in, SampleSteps steps, int channels, bool associated, A_long width, Pixel *out) {
    using T = ComputedSample<Stored>;
    using Scale = FileScale<T>;
    using To = ChannelFrom<Pixel>;
    const auto load = [&steps](const unsigned char *pixel, int channel) {
        Stored v;
        std::memcpy(&v, pixel + channel * steps.channel, sizeof v);
        return static_cast<T>(v);
    };
    const bool gray = channels <= 2;
    const int alpha_index = AlphaIndex(channels);
    for (A_long x = 0; x < width; ++x) {
        const unsigned char *pixel = in + x * steps.pixel;
        const T a = alpha_index >= 0 ? load(pixel, alpha_index) : Scale::kOpaque;
        T r = load(pixel, 0), g = gray ? r : load(pixel, 1), b = gray ? r : load(pixel, 2);
        if (associated) {
            r = Scale::Straight(r, a);
            g = Scale::Straight(g, a);
            b = Scale::Straight(b, a);
        }
        out[x].alpha = To::Of(a);
        out[x].red = To::Of(r);
        out[x].green = To::Of(g);
        out[x].blue = To::Of(b);
    }
}

// DecodeRow for packed 8-bit straight RGBA into 8-bit pixels, which only
// moves alpha first: four pixels at a time with SSE2, each pixel's word
// turned by a byte. The pixels go straight to memory past the caches
// where the row is aligned for it: a world is larger than the caches and
// is read again only when its frame renders.
inline void DecodeRgba8Row(const unsigned char *in, A_long width, PF_Pixel *out) {
    A_long x = 0;
    const auto one = [&] {
        out[x] = PF_Pixel{in[4 * x + 3], in[4 * x], in[4 * x + 1], in[4 * x + 2]};
        ++x;
    };
#if defined(__SSE2__)
    while (x < width && reinterpret_cast<std::uintptr_t>(out + x) % 16 != 0) one();
    for (; x + 4 <= width; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 4 * x));
        _mm_stream_si128(reinterpret_cast<__m128i *>(out + x),
                         _mm_or_si128(_mm_slli_epi32(v, 8), _mm_srli_epi32(v, 24)));
    }
    _mm_sfence();
#endif
    while (x < width) one();
}

// One sample type from another, by the conversions of PixelConversion.h;
// the same type is kept as it is.
template <class To>
struct SampleAs;
template <>
struct SampleAs<std::uint8_t> {
    static std::uint8_t Of(std::uint8_t v) { return v; }
    static std::uint8_t Of(std::uint16_t v) { return File16ToFile8(v); }
    static std::uint8_t Of(float v) { return FloatToFile8(v); }
};
template <>
struct SampleAs<std::uint16_t> {
    static std::uint16_t Of(std::uint8_t v) { return File8ToFile16(v); }
    static std::uint16_t Of(std::uint16_t v) { return v; }
    static std::uint16_t Of(float v) { return FloatToFile16(v); }
};
template <>
struct SampleAs<float> {
    static float Of(std::uint8_t v) { return File8ToFloat(v); }
    static float Of(std::uint16_t v) { return File16ToFloat(v); }
    static float Of(float v) { return v; }
};

// The finer of two sample types (8-bit < 16-bit < float): where colour is
// multiplied by alpha when the world and the file differ.
template <class A, class B>
using FinerSample = std::conditional_t<(sizeof(A) >= sizeof(B)), A, B>;

// Encodes `width` world pixels as `channels` samples each of type Stored
// (8-bit, 16-bit, float, or double for float computed): RGBA, RGB without
// alpha, or the red channel alone for gray (the three are equal whenever
// the images were gray). A world channel becomes a sample of the world's
// own depth first (what the file would hold in that depth), then the
// file's sample type by SampleAs. `associated`: the colour is multiplied
// by alpha, in the finer of the two sample types (a float result written
// as 16-bit associated is multiplied in float, then rounded).
template <class Pixel, class Stored>
void EncodeRow(const Pixel *in, A_long width, int channels, bool associated, unsigned char *out, SampleSteps steps) {
    using W = decltype(FileSample(in->alpha));  // the world's own sample type
    using F = ComputedSample<Stored>;           // the file's
    using C = FinerSample<W, F>;                // where alpha multiplies
    const auto store = [&steps](unsigned char *pixel, int channel, C value) {
        const Stored v = static_cast<Stored>(SampleAs<F>::Of(value));
        std::memcpy(pixel + channel * steps.channel, &v, sizeof v);
    };
    const int alpha_index = AlphaIndex(channels);
    for (A_long x = 0; x < width; ++x) {
        unsigned char *pixel = out + x * steps.pixel;
        const C a = SampleAs<C>::Of(FileSample(in[x].alpha));
        C r = SampleAs<C>::Of(FileSample(in[x].red)), g = SampleAs<C>::Of(FileSample(in[x].green)),
          b = SampleAs<C>::Of(FileSample(in[x].blue));
        if (associated) {
            r = AssociatedSample(r, a);
            g = AssociatedSample(g, a);
            b = AssociatedSample(b, a);
        }
        store(pixel, 0, r);
        if (channels >= 3) {
            store(pixel, 1, g);
            store(pixel, 2, b);
        }
        if (alpha_index >= 0) store(pixel, alpha_index, a);
    }
}

}  // namespace veilshadow

#endif
