// Small worlds in plain memory for exercising the row kernels directly.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "PF_Host.h"
#include "VeilShadowKernels.h"
#include "VeilShadowPixels.h"

// Pixel comparisons live in the global namespace, beside the host's records,
// so gtest finds them by argument-dependent lookup.
inline bool operator==(const PF_Pixel &a, const PF_Pixel &b) {
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}
inline bool operator==(const PF_Pixel16 &a, const PF_Pixel16 &b) {
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}
// Float pixels compare bit for bit, so NaN equals the same NaN and 0.0 and
// -0.0 differ: the kernels must reproduce the rules exactly.
inline bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool operator==(const PF_PixelFloat &a, const PF_PixelFloat &b) {
    return SameBits(a.alpha, b.alpha) && SameBits(a.red, b.red) && SameBits(a.green, b.green) &&
           SameBits(a.blue, b.blue);
}
inline bool operator!=(const PF_Pixel &a, const PF_Pixel &b) { return !(a == b); }
inline bool operator!=(const PF_Pixel16 &a, const PF_Pixel16 &b) { return !(a == b); }
inline bool operator!=(const PF_PixelFloat &a, const PF_PixelFloat &b) { return !(a == b); }

inline std::ostream &operator<<(std::ostream &os, const PF_Pixel &p) {
    return os << "(" << int(p.alpha) << ", " << int(p.red) << ", " << int(p.green) << ", " << int(p.blue) << ")";
}
inline std::ostream &operator<<(std::ostream &os, const PF_Pixel16 &p) {
    return os << "(" << p.alpha << ", " << p.red << ", " << p.green << ", " << p.blue << ")";
}
inline std::ostream &operator<<(std::ostream &os, const PF_PixelFloat &p) {
    os.precision(9);
    return os << "(" << p.alpha << ", " << p.red << ", " << p.green << ", " << p.blue << ")";
}

namespace orvane_test {

template <class Pixel>
struct DepthOf;
template <>
struct DepthOf<PF_Pixel> {
    static constexpr auto kernel = &orvane::CopyData8;
};
template <>
struct DepthOf<PF_Pixel16> {
    static constexpr auto kernel = &orvane::CopyData16;
};
template <>
struct DepthOf<PF_PixelFloat> {
    static constexpr auto kernel = &orvane::CopyData32;
};

// A world with its own memory. `pad` extra pixels at the end of every row
// (so rowbytes exceeds a row) and `guard` bytes of a known pattern before
// and after the pixels, which tests check stay untouched.
template <class Pixel>
class Image {
public:
    static constexpr unsigned char kGuard = 0xA5;

    Image(A_long width, A_long height, A_long origin_x = 0, A_long origin_y = 0, A_long pad = 0,
          size_t guard = 64)
        : guard_(guard) {
        const size_t stride = size_t(width + pad);
        storage_.assign(guard + stride * sizeof(Pixel) * size_t(height) + guard, kGuard);
        world_ = PF_EffectWorld{};
        world_.data = storage_.data() + guard;
        world_.rowbytes = A_long(stride * sizeof(Pixel));
        world_.width = width;
        world_.height = height;
        world_.origin_x = origin_x;
        world_.origin_y = origin_y;
        Fill(Pixel{});
    }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    PF_EffectWorld *world() { return &world_; }
    Pixel &at(A_long x, A_long y) {
        return reinterpret_cast<Pixel *>(static_cast<unsigned char *>(world_.data) + size_t(y) * size_t(world_.rowbytes))[x];
    }
    // Every pixel, padding included.
    void Fill(const Pixel &p) {
        const A_long stride = world_.rowbytes / A_long(sizeof(Pixel));
        for (A_long y = 0; y < world_.height; ++y)
            for (A_long x = 0; x < stride; ++x) at(x, y) = p;
    }
    bool GuardsIntact() const {
        for (size_t i = 0; i < guard_; ++i)
            if (storage_[i] != kGuard || storage_[storage_.size() - 1 - i] != kGuard) return false;
        return true;
    }

private:
    size_t guard_;
    std::vector<unsigned char> storage_;
    PF_EffectWorld world_;
};

inline orvane::SourceArea AreaFor(const PF_EffectWorld &out, const PF_EffectWorld &src) {
    return orvane::SourceArea{out.origin_x - src.origin_x, out.origin_y - src.origin_y, src.width, src.height};
}

// Row context as the smart render fills it: offsets from the origins.
inline orvane::CopyDataInfo ContextFor(PF_EffectWorld *input, PF_EffectWorld *layer, PF_EffectWorld *output,
                                       double opacity) {
    orvane::CopyDataInfo info{};
    info.input = input;
    info.input_area = AreaFor(*output, *input);
    info.layer = layer;
    info.layer_area = AreaFor(*output, *layer);
    info.output = output;
    info.opacity = opacity;
    return info;
}

template <class Pixel>
void RunAllRows(orvane::CopyDataInfo &info) {
    for (A_long y = 0; y < info.output->height; ++y)
        ASSERT_EQ(DepthOf<Pixel>::kernel(&info, 0, y, info.output->height), PF_Err_NONE);
}

// One output pixel from an optional input pixel and an optional layer pixel
// (absent = the source lies outside the output), starting from `before`.
template <class Pixel>
Pixel RunOne(std::optional<Pixel> in, std::optional<Pixel> layer, double opacity, Pixel before = Pixel{}) {
    Image<Pixel> input(1, 1), layer_img(1, 1), output(1, 1);
    if (in) input.at(0, 0) = *in;
    if (layer) layer_img.at(0, 0) = *layer;
    output.at(0, 0) = before;
    orvane::CopyDataInfo info = ContextFor(input.world(), layer_img.world(), output.world(), opacity);
    // An absent source sits one column to the right of the output pixel.
    if (!in) info.input_area.offset_x = 1;
    if (!layer) info.layer_area.offset_x = 1;
    DepthOf<Pixel>::kernel(&info, 7, 0, 1);
    return output.at(0, 0);
}

}  // namespace orvane_test
