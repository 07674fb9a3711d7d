// Half samples to float and back, for the files' half samples. Each result
// equals Imath's conversion (and OpenImageIO's) bit for bit, NaNs and
// their payloads included; the F16C path converts 8 samples at a time
// where the processor has it.
#ifndef VEILSHADOW_HALFCONVERSION_H
#define VEILSHADOW_HALFCONVERSION_H

#include <Imath/half.h>
#include <PF_Host.h>

#include <cstddef>

namespace veilshadow {

enum class HalfPath {
    kPortable,  // Imath's conversion, one sample at a time
    kF16c,      // x86-64 with AVX and F16C
};

// Whether this build has the path and the processor runs it.
bool HalfPathAvailable(HalfPath path);

// On the fastest available path, chosen once.
void HalvesToFloats(const Imath::half *in, float *out, std::size_t n);
void FloatsToHalves(const float *in, Imath::half *out, std::size_t n);

// On the given path, for tests and benchmarks: false, and nothing
// written, where it is not available.
bool HalvesToFloatsOn(HalfPath path, const Imath::half *in, float *out, std::size_t n);
bool FloatsToHalvesOn(HalfPath path, const float *in, Imath::half *out, std::size_t n);

// `width` pixels of four half samples (RGBA) to the render host's float
// pixels, the colour divided by alpha where `associated` and alpha is
// above 0: what HalvesToFloats and then DecodeRow give, bit for bit, in
// one pass.
void HalfRgbaToPixels(const Imath::half *in, bool associated, std::size_t width, PF_PixelFloat *out);
bool HalfRgbaToPixelsOn(HalfPath path, const Imath::half *in, bool associated, std::size_t width, PF_PixelFloat *out);

}  // namespace veilshadow

#endif
