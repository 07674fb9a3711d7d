// The per-pixel rules of the row kernels, one statement per family of
// depths. The reference kernels apply them pixel by pixel; the fast kernels
// use them for their scalar path and their row tails, and their vector code
// must give exactly what these give.
//
// Internal to the kernel sources.
#ifndef ORVANE_PLUGIN_VEILSHADOW_PIXEL_RULES_H
#define ORVANE_PLUGIN_VEILSHADOW_PIXEL_RULES_H

#include "PF_Host.h"
#include "VeilShadowKernels.h"
#include "VeilShadowPixels.h"

namespace orvane {

// The first pixel of a world's row: pixel number row * stride + column is
// formed in pointer-sized arithmetic, so a world whose stride times height
// exceeds 2^31 is still addressed correctly.
template <class Pixel>
Pixel *PixelRow(const PF_EffectWorld &world, long long row) {
    const ptrdiff_t stride = ptrdiff_t(world.rowbytes) / ptrdiff_t(sizeof(Pixel));
    return static_cast<Pixel *>(world.data) + ptrdiff_t(row) * stride;
}

namespace rules {

// The 8-bit and 16-bit depths: integer channels with a rounding offset of
// 0.5 and limits to 0..kFull before narrowing.
template <class Pixel, A_long kFull, Pixel (*kBlend)(const Pixel &, const Pixel &)>
struct IntegerDepth {
    using Chan = decltype(Pixel::alpha);

    // 16-bit channels above 32768 never come from the host; should one
    // arrive, it is limited to 32768 as it is read, so the arithmetic stays
    // in range and every pixel written (copies included) is a valid pixel.
    static Pixel Load(const Pixel &p) {
        if constexpr (kFull == PF_MAX_CHAN16) {
            return LimitPixel16(p);
        } else {
            return p;
        }
    }
    static bool Visible(const Pixel &p) { return p.alpha != 0; }
    static bool AlphaAbove(const Pixel &in, const Pixel &layer) { return in.alpha > layer.alpha; }

    // Solves in = layer over shadow for the shadow, scales the shadow's
    // alpha by `opacity` and lays the layer over it again.
    static Pixel Recomposite(const Pixel &in, const Pixel &layer, double opacity) {
        const float full = float(kFull);
        const float uncovered = full - float(layer.alpha);
        const float v = float(A_long(in.alpha) - A_long(layer.alpha)) * full / uncovered;
        const float w = v * uncovered / full;
        auto colour = [&](A_long in_c, A_long layer_c) -> Chan {
            const A_long n = A_long(in.alpha) * in_c - A_long(layer.alpha) * layer_c;
            const float s = float(n) / w + 0.5f;
            if (s < 0.0f) return 0;
            if (s > full) return Chan(kFull);
            return Chan(s);
        };
        const double a = double(v) * opacity + 0.5;
        Pixel shadow;
        shadow.alpha = a < 0.0 ? Chan(0) : a > double(kFull) ? Chan(kFull) : Chan(a);
        shadow.red = colour(in.red, layer.red);
        shadow.green = colour(in.green, layer.green);
        shadow.blue = colour(in.blue, layer.blue);
        return kBlend(shadow, layer);
    }
};

using Depth8 = IntegerDepth<PF_Pixel, PF_MAX_CHAN8, blend8>;
using Depth16 = IntegerDepth<PF_Pixel16, PF_MAX_CHAN16, blend16>;

// The float depth differs from the integer ones in three visible ways: no
// rounding offset, no limiting of the shadow colour, and a layer alpha that
// is negative or NaN counts as not visible.
struct DepthFloat {
    static PF_PixelFloat Load(const PF_PixelFloat &p) { return p; }
    static bool Visible(const PF_PixelFloat &p) { return p.alpha > 0.0f; }
    static bool AlphaAbove(const PF_PixelFloat &in, const PF_PixelFloat &layer) { return in.alpha > layer.alpha; }
    static PF_PixelFloat Recomposite(const PF_PixelFloat &in, const PF_PixelFloat &layer, double opacity) {
        const float uncovered = 1.0f - layer.alpha;
        const float u = (in.alpha - layer.alpha) / uncovered;
        const float w = u * uncovered;
        auto colour = [&](float in_c, float layer_c) -> float {
            const float i = in.alpha * in_c;
            const float l = layer.alpha * layer_c;
            const float n = i - l;
            return n / w;
        };
        const double a = double(u) * opacity;
        PF_PixelFloat shadow;
        shadow.alpha = a < 0.0 ? 0.0f : a > 1.0 ? 1.0f : float(a);
        shadow.red = colour(in.red, layer.red);
        shadow.green = colour(in.green, layer.green);
        shadow.blue = colour(in.blue, layer.blue);
        return blend32(shadow, layer);
    }
};

// The rules of a pixel type's depth: Depth8, Depth16 or DepthFloat.
template <class Pixel>
struct DepthRulesOf;
template <>
struct DepthRulesOf<PF_Pixel> {
    using type = Depth8;
};
template <>
struct DepthRulesOf<PF_Pixel16> {
    using type = Depth16;
};
template <>
struct DepthRulesOf<PF_PixelFloat> {
    using type = DepthFloat;
};

// Whether an opacity counts as zero: not greater than the threshold, NaN
// included.
inline bool OpacityIsZero(double opacity) { return !(opacity > kOpacityEpsilon); }

// Decision rows 3 and 4 for a pixel where both sources are present and the
// opacity is not zero: whether the pixel is recomposited (the layer is
// visible and the input's alpha is above the layer's) rather than copied
// from the input.
template <class Pixel>
bool NeedsRecomposite(const Pixel &in, const Pixel &layer) {
    using Depth = typename DepthRulesOf<Pixel>::type;
    return Depth::Visible(layer) && Depth::AlphaAbove(Depth::Load(in), Depth::Load(layer));
}

}  // namespace rules
}  // namespace orvane

#endif
