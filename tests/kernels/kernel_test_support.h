// Small worlds in plain memory for exercising the row kernels directly.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PF_Host.h"
#include "VeilShadowKernelPaths.h"
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

// One set of row kernels, one per depth: the reference kernels, the fast
// kernels as the plug-in calls them, or the fast kernels on one code path.
struct KernelSet {
    const char *name;
    PF_IterateGenericFunc k8, k16, k32;

    template <class Pixel>
    PF_IterateGenericFunc For() const {
        if constexpr (sizeof(Pixel) == sizeof(PF_Pixel)) return k8;
        if constexpr (sizeof(Pixel) == sizeof(PF_Pixel16)) return k16;
        if constexpr (sizeof(Pixel) == sizeof(PF_PixelFloat)) return k32;
    }
};
inline void PrintTo(const KernelSet &set, std::ostream *os) { *os << set.name; }

template <orvane::KernelPath kPath, orvane::OutputWrites kWrites>
KernelSet FastOn(const char *name) {
    return KernelSet{name, orvane::CopyDataOn<PF_Pixel, kPath, kWrites>, orvane::CopyDataOn<PF_Pixel16, kPath, kWrites>,
                     orvane::CopyDataOn<PF_PixelFloat, kPath, kWrites>};
}

inline const KernelSet kReferenceKernels{"reference", orvane::CopyData8Reference, orvane::CopyData16Reference,
                                         orvane::CopyData32Reference};
inline const KernelSet kFastKernels{"fast", orvane::CopyData8, orvane::CopyData16, orvane::CopyData32};

// The fast kernels on every code path this build and processor can run;
// the vector paths also with streaming stores forced on (the small test
// images would otherwise never take them).
inline std::vector<KernelSet> FastPathKernels() {
    using orvane::KernelPath;
    using orvane::OutputWrites;
    std::vector<KernelSet> sets;
    sets.push_back(FastOn<KernelPath::kScalar, OutputWrites::kBySize>("fast-scalar"));
    if (orvane::KernelPathAvailable(KernelPath::kSse2)) {
        sets.push_back(FastOn<KernelPath::kSse2, OutputWrites::kCached>("fast-sse2"));
        sets.push_back(FastOn<KernelPath::kSse2, OutputWrites::kStreaming>("fast-sse2-streaming"));
    }
    if (orvane::KernelPathAvailable(KernelPath::kAvx2)) {
        sets.push_back(FastOn<KernelPath::kAvx2, OutputWrites::kCached>("fast-avx2"));
        sets.push_back(FastOn<KernelPath::kAvx2, OutputWrites::kStreaming>("fast-avx2-streaming"));
    }
    return sets;
}

// Every kernel set the rules are checked on: the reference, the fast
// kernels as the plug-in calls them, and each fast path.
inline std::vector<KernelSet> AllKernels() {
    std::vector<KernelSet> sets{kReferenceKernels, kFastKernels};
    for (const KernelSet &set : FastPathKernels()) sets.push_back(set);
    return sets;
}

// Parameter names for suites combined over AllKernels(): "fast_sse2".
inline std::string KernelSetName(const KernelSet &set) {
    std::string name = set.name;
    for (char &c : name)
        if (c == '-') c = '_';
    return name;
}

// A world with its own memory. `pad` extra pixels at the end of every row
// (so rowbytes exceeds a row) and `guard` bytes of a known pattern before
// and after the pixels, which tests check stay untouched.
template <class Pixel>
class Image {
public:
    static constexpr unsigned char kGuard = 0xA5;

    Image(A_long width, A_long height, A_long origin_x = 0, A_long origin_y = 0, A_long pad = 0, size_t guard = 64)
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
        return reinterpret_cast<Pixel *>(static_cast<unsigned char *>(world_.data) +
                                         size_t(y) * size_t(world_.rowbytes))[x];
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
void RunAllRows(const KernelSet &kernels, orvane::CopyDataInfo &info) {
    for (A_long y = 0; y < info.output->height; ++y)
        ASSERT_EQ(kernels.For<Pixel>()(&info, 0, y, info.output->height), PF_Err_NONE);
}

// One output pixel from an optional input pixel and an optional layer pixel
// (absent = the source lies outside the output), starting from `before`.
template <class Pixel>
Pixel RunOne(const KernelSet &kernels, std::optional<Pixel> in, std::optional<Pixel> layer, double opacity,
             Pixel before = Pixel{}) {
    Image<Pixel> input(1, 1), layer_img(1, 1), output(1, 1);
    if (in) input.at(0, 0) = *in;
    if (layer) layer_img.at(0, 0) = *layer;
    output.at(0, 0) = before;
    orvane::CopyDataInfo info = ContextFor(input.world(), layer_img.world(), output.world(), opacity);
    // An absent source sits one column to the right of the output pixel.
    if (!in) info.input_area.offset_x = 1;
    if (!layer) info.layer_area.offset_x = 1;
    kernels.For<Pixel>()(&info, 7, 0, 1);
    return output.at(0, 0);
}

}  // namespace orvane_test
