#include "VeilShadowKernels.h"

#include "VeilShadowPixels.h"

namespace orvane {

namespace {

// Pixel number row * stride + column, in pointer-sized arithmetic so that a
// world whose stride times height exceeds 2^31 is still addressed correctly.
template <class Pixel>
Pixel *PixelRow(const PF_EffectWorld &world, long long row) {
    const ptrdiff_t stride = ptrdiff_t(world.rowbytes) / ptrdiff_t(sizeof(Pixel));
    return static_cast<Pixel *>(world.data) + ptrdiff_t(row) * stride;
}

// One source world seen along one output row: answers the source pixel under
// an output column, or null where the source is absent. Positions are formed
// in 64 bits, so no offset can overflow into a wrong but "present" position.
template <class Pixel>
class SourceRow {
public:
    SourceRow(const PF_EffectWorld *world, const SourceArea &area, A_long out_row)
        : offset_x_(area.offset_x), width_(area.width) {
        const long long row = (long long)out_row + area.offset_y;
        if (world != nullptr && row >= 0 && row < area.height) pixels_ = PixelRow<const Pixel>(*world, row);
    }
    const Pixel *At(A_long out_column) const {
        if (pixels_ == nullptr) return nullptr;
        const long long column = (long long)out_column + offset_x_;
        if (column < 0 || column >= width_) return nullptr;
        return pixels_ + ptrdiff_t(column);
    }

private:
    const Pixel *pixels_ = nullptr;
    A_long offset_x_;
    A_long width_;
};

// The 8-bit and 16-bit depths: integer channels with a rounding offset of
// 0.5 and limits to 0..kFull before narrowing.
template <class Pixel, A_long kFull, Pixel (*kBlend)(const Pixel &, const Pixel &)>
struct IntegerDepth {
    using Chan = decltype(Pixel::alpha);

    static Pixel Load(const Pixel &p);
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

template <>
PF_Pixel IntegerDepth<PF_Pixel, PF_MAX_CHAN8, blend8>::Load(const PF_Pixel &p) {
    return p;
}
// 16-bit channels above 32768 never come from the host; should one arrive,
// it is limited to 32768 as it is read, so the arithmetic stays in range and
// every pixel written (copies included) is a valid 16-bit pixel.
template <>
PF_Pixel16 IntegerDepth<PF_Pixel16, PF_MAX_CHAN16, blend16>::Load(const PF_Pixel16 &p) {
    return LimitPixel16(p);
}

using Depth8 = IntegerDepth<PF_Pixel, PF_MAX_CHAN8, blend8>;
using Depth16 = IntegerDepth<PF_Pixel16, PF_MAX_CHAN16, blend16>;

// The float depth differs from the integer ones in three visible ways: no
// rounding offset, no limiting of the shadow colour, and a layer alpha that
// is negative or NaN counts as not visible.
struct DepthFloat {
    static PF_PixelFloat Load(const PF_PixelFloat &p) { return p; }
    static bool Visible(const PF_PixelFloat &p) { return p.alpha > 0.0f; }
    static bool AlphaAbove(const PF_PixelFloat &in, const PF_PixelFloat &layer) {
        return in.alpha > layer.alpha;
    }
    static PF_PixelFloat Recomposite(const PF_PixelFloat &in, const PF_PixelFloat &layer,
                                     double opacity) {
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

// One output row, pixel by pixel, by the decision table:
//   layer visible, opacity ~ 0           -> copy of the layer pixel
//   layer visible, input absent          -> output left as it is
//   layer visible, input alpha <= layer  -> copy of the input pixel
//   layer visible, input alpha > layer   -> recomposited pixel
//   layer not visible, input present     -> copy of the input pixel
//   layer not visible, input absent      -> output left as it is
template <class Pixel, class Depth>
PF_Err CopyRow(const void *refcon, A_long row) {
    const CopyDataInfo &info = *static_cast<const CopyDataInfo *>(refcon);
    const A_long width = info.output->width;
    if (width <= 0) return PF_Err_NONE;

    const double opacity = info.opacity;
    const bool opacity_is_zero = !(opacity > kOpacityEpsilon);  // NaN counts as zero
    const SourceRow<Pixel> input(info.input, info.input_area, row);
    const SourceRow<Pixel> layer(info.layer, info.layer_area, row);
    Pixel *out = PixelRow<Pixel>(*info.output, row);

    for (A_long x = 0; x < width; ++x) {
        const Pixel *in_p = input.At(x);
        const Pixel *layer_p = layer.At(x);
        if (layer_p != nullptr && Depth::Visible(*layer_p)) {
            const Pixel layer_px = Depth::Load(*layer_p);
            if (opacity_is_zero) {
                out[x] = layer_px;
            } else if (in_p == nullptr) {
                continue;
            } else {
                const Pixel in_px = Depth::Load(*in_p);
                out[x] = Depth::AlphaAbove(in_px, layer_px)
                             ? Depth::Recomposite(in_px, layer_px, opacity)
                             : in_px;
            }
        } else if (in_p != nullptr) {
            out[x] = Depth::Load(*in_p);
        }
    }
    return PF_Err_NONE;
}

}  // namespace

PF_Err CopyData8(void *refcon, A_long, A_long row, A_long) {
    return CopyRow<PF_Pixel, Depth8>(refcon, row);
}

PF_Err CopyData16(void *refcon, A_long, A_long row, A_long) {
    return CopyRow<PF_Pixel16, Depth16>(refcon, row);
}

PF_Err CopyData32(void *refcon, A_long, A_long row, A_long) {
    return CopyRow<PF_PixelFloat, DepthFloat>(refcon, row);
}

}  // namespace orvane
