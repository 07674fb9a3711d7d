// The reference row kernels: the decision table, pixel by pixel.
#include "VeilShadowKernels.h"

#include "VeilShadowPixelRules.h"

namespace orvane {

namespace {

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

// One output row, pixel by pixel, by the decision table:
//   layer visible, opacity ~ 0           -> copy of the layer pixel
//   layer visible, input absent          -> output left as it is
//   layer visible, input alpha <= layer  -> copy of the input pixel
//   layer visible, input alpha > layer   -> recomposited pixel
//   layer not visible, input present     -> copy of the input pixel
//   layer not visible, input absent      -> output left as it is
template <class Pixel>
PF_Err CopyRow(const void *refcon, A_long row) {
    using Depth = typename rules::DepthRulesOf<Pixel>::type;
    const CopyDataInfo &info = *static_cast<const CopyDataInfo *>(refcon);
    const A_long width = info.output->width;
    if (width <= 0) return PF_Err_NONE;

    const double opacity = info.opacity;
    const bool opacity_is_zero = rules::OpacityIsZero(opacity);
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
                out[x] = Depth::AlphaAbove(in_px, layer_px) ? Depth::Recomposite(in_px, layer_px, opacity) : in_px;
            }
        } else if (in_p != nullptr) {
            out[x] = Depth::Load(*in_p);
        }
    }
    return PF_Err_NONE;
}

}  // namespace

PF_Err CopyData8Reference(void *refcon, A_long, A_long row, A_long) { return CopyRow<PF_Pixel>(refcon, row); }

PF_Err CopyData16Reference(void *refcon, A_long, A_long row, A_long) { return CopyRow<PF_Pixel16>(refcon, row); }

PF_Err CopyData32Reference(void *refcon, A_long, A_long row, A_long) { return CopyRow<PF_PixelFloat>(refcon, row); }

}  // namespace orvane
