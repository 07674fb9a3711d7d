// The fast kernels against the reference kernels, byte for byte, on every
// code path this processor can run (scalar, SSE2, AVX2): whole output rows,
// padding included, must come out identical, and guard bytes around the
// pixels untouched.
//
// Float NaNs are compared by their bits as well, with one exception: where
// the layer's colour channel is NaN and the shadow's is NaN too (from a
// NaN input colour, or made by the separation, as an infinite input alpha
// times a zero colour), the blend adds two NaNs, and which of the two
// comes out depends on the operand order the compiler picks for that
// (commutative) addition, in the reference as much as in the vector code.
// There only NaN-ness is required.
//
// Also checked here: the exact divisions that replace the divider, over
// their whole 8-bit domain and the edges of the 16-bit one.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_test_support.h"

namespace {

using orvane::KernelPath;
using orvane_test::FastPathKernels;
using orvane_test::KernelSet;
using orvane_test::kFastKernels;
using orvane_test::kReferenceKernels;

// ------------------------------------------------------------ worlds

// A world in its own buffer whose data pointer sits `misalign` bytes past a
// 64-byte boundary, with guard bytes before and after and `pad` pixels of
// padding at the end of every row.
template <class Pixel>
class RawWorld {
public:
    static constexpr size_t kGuard = 64;

    RawWorld(A_long width, A_long height, A_long origin_x, A_long origin_y, A_long pad, size_t misalign)
        : width_(width), height_(height) {
        const size_t stride_bytes = size_t(width + pad) * sizeof(Pixel);
        bytes_.assign(kGuard + misalign + stride_bytes * size_t(height) + kGuard + 64, 0x5A);
        unsigned char *base = bytes_.data();
        const size_t skew = (64 - reinterpret_cast<uintptr_t>(base) % 64) % 64;
        data_offset_ = skew + kGuard + misalign;
        world_ = PF_EffectWorld{};
        world_.data = bytes_.data() + data_offset_;
        world_.rowbytes = A_long(stride_bytes);
        world_.width = width;
        world_.height = height;
        world_.origin_x = origin_x;
        world_.origin_y = origin_y;
    }
    RawWorld(const RawWorld &) = delete;
    RawWorld &operator=(const RawWorld &) = delete;

    PF_EffectWorld *world() { return &world_; }
    Pixel *Row(A_long y) {
        return reinterpret_cast<Pixel *>(bytes_.data() + data_offset_ + size_t(y) * size_t(world_.rowbytes));
    }
    A_long width() const { return width_; }
    A_long height() const { return height_; }
    A_long stride() const { return world_.rowbytes / A_long(sizeof(Pixel)); }
    // Every byte of the buffer, guards and padding included.
    const std::vector<unsigned char> &bytes() const { return bytes_; }
    size_t data_offset() const { return data_offset_; }
    // Whether the bytes before the first pixel and after the last row's
    // padding still hold the fill pattern.
    bool GuardsIntact() const {
        const size_t end = data_offset_ + size_t(world_.rowbytes) * size_t(height_);
        for (size_t i = 0; i < bytes_.size(); ++i)
            if ((i < data_offset_ || i >= end) && bytes_[i] != 0x5A) return false;
        return true;
    }

private:
    A_long width_, height_;
    std::vector<unsigned char> bytes_;
    size_t data_offset_ = 0;
    PF_EffectWorld world_;
};

// ------------------------------------------------------------ pixels

std::uniform_int_distribution<int> Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi); }

// The kinds of layer pixel a frame has, chosen run by run.
enum class Kind { kTransparent, kOpaque, kPartial, kEqualAlpha, kAnything };

Kind PickKind(std::mt19937 &rng) {
    const int k = Uniform(0, 9)(rng);
    if (k < 2) return Kind::kTransparent;
    if (k < 4) return Kind::kOpaque;
    if (k < 8) return Kind::kPartial;
    if (k < 9) return Kind::kEqualAlpha;
    return Kind::kAnything;
}

template <class Pixel>
struct PixelPair {
    Pixel in, layer;
};

PixelPair<PF_Pixel> MakePair8(std::mt19937 &rng, Kind kind) {
    auto chan = [&] { return A_u_char(Uniform(0, 255)(rng)); };
    PF_Pixel in{chan(), chan(), chan(), chan()}, layer{chan(), chan(), chan(), chan()};
    switch (kind) {
        case Kind::kTransparent:
            layer.alpha = 0;
            break;
        case Kind::kOpaque:
            layer.alpha = 255;
            break;
        case Kind::kPartial:
            layer.alpha = A_u_char(Uniform(1, 254)(rng));
            in.alpha = A_u_char(Uniform(layer.alpha, 255)(rng));
            break;
        case Kind::kEqualAlpha:
            in.alpha = layer.alpha;
            break;
        case Kind::kAnything:
            break;
    }
    return {in, layer};
}

A_u_short Chan16(std::mt19937 &rng) {
    const int k = Uniform(0, 19)(rng);
    if (k == 0) return 0;
    if (k == 1) return 32768;
    if (k == 2) return 32767;
    if (k == 3) return A_u_short(Uniform(32769, 65535)(rng));  // never from the host; limited as read
    return A_u_short(Uniform(0, 32768)(rng));
}

PixelPair<PF_Pixel16> MakePair16(std::mt19937 &rng, Kind kind) {
    PF_Pixel16 in{Chan16(rng), Chan16(rng), Chan16(rng), Chan16(rng)};
    PF_Pixel16 layer{Chan16(rng), Chan16(rng), Chan16(rng), Chan16(rng)};
    switch (kind) {
        case Kind::kTransparent:
            layer.alpha = 0;
            break;
        case Kind::kOpaque:
            layer.alpha = Uniform(0, 3)(rng) == 0 ? A_u_short(Uniform(32768, 65535)(rng)) : A_u_short(32768);
            break;
        case Kind::kPartial:
            layer.alpha = A_u_short(Uniform(1, 32767)(rng));
            in.alpha = A_u_short(Uniform(layer.alpha, 32768)(rng));
            break;
        case Kind::kEqualAlpha:
            in.alpha = layer.alpha;
            break;
        case Kind::kAnything:
            break;
    }
    return {in, layer};
}

float FloatFromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Ordinary values most of the time; now and then one of the values where
// floating point goes its own way.
float ChanF(std::mt19937 &rng) {
    static const float kSpecials[] = {
        0.0f,
        -0.0f,
        1.0f,
        -1.0f,
        0.99999994f,
        1.0000001f,
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN(),
        FloatFromBits(0xFFC00000u),  // the processor's default NaN
        FloatFromBits(0x7FC12345u),  // quiet NaNs with payloads, both signs
        FloatFromBits(0xFFD54321u),
        FloatFromBits(0x7F800001u),  // a signalling NaN
        std::numeric_limits<float>::denorm_min(),
        -std::numeric_limits<float>::denorm_min(),
        1e-40f,  // denormal
        -3e-39f,
        std::numeric_limits<float>::min(),
        std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(),
        1e-30f,
        1e30f,
    };
    constexpr int kSpecialCount = int(sizeof kSpecials / sizeof kSpecials[0]);
    const int k = Uniform(0, 15)(rng);
    if (k == 0) return kSpecials[Uniform(0, kSpecialCount - 1)(rng)];
    if (k == 1) return std::uniform_real_distribution<float>(-3.0f, 4.0f)(rng);
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
}

PixelPair<PF_PixelFloat> MakePairF(std::mt19937 &rng, Kind kind) {
    PF_PixelFloat in{ChanF(rng), ChanF(rng), ChanF(rng), ChanF(rng)};
    PF_PixelFloat layer{ChanF(rng), ChanF(rng), ChanF(rng), ChanF(rng)};
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    switch (kind) {
        case Kind::kTransparent:
            layer.alpha = Uniform(0, 3)(rng) == 0 ? -unit(rng) : 0.0f;
            break;
        case Kind::kOpaque:
            layer.alpha = 1.0f;
            break;
        case Kind::kPartial:
            layer.alpha = unit(rng);
            in.alpha = layer.alpha + (1.0f - layer.alpha) * unit(rng);
            break;
        case Kind::kEqualAlpha:
            in.alpha = layer.alpha;
            break;
        case Kind::kAnything:
            break;
    }
    return {in, layer};
}

template <class Pixel>
PixelPair<Pixel> MakePair(std::mt19937 &rng, Kind kind);
template <>
PixelPair<PF_Pixel> MakePair(std::mt19937 &rng, Kind kind) {
    return MakePair8(rng, kind);
}
template <>
PixelPair<PF_Pixel16> MakePair(std::mt19937 &rng, Kind kind) {
    return MakePair16(rng, kind);
}
template <>
PixelPair<PF_PixelFloat> MakePair(std::mt19937 &rng, Kind kind) {
    return MakePairF(rng, kind);
}

// Fills input and layer with runs of one kind each (1..20 pixels), over
// every pixel of the worlds including the padding; where the two overlap
// (the same layer coordinates) the pair is made together. partial_only:
// every run is of partly transparent layer pixels, so that the rows are
// mostly recomposited.
template <class Pixel>
void FillScene(std::mt19937 &rng, RawWorld<Pixel> &input, RawWorld<Pixel> &layer, bool partial_only = false) {
    const PF_EffectWorld &iw = *input.world();
    const PF_EffectWorld &lw = *layer.world();
    for (A_long y = 0; y < input.height(); ++y)
        for (A_long x = 0; x < input.stride(); ++x) input.Row(y)[x] = MakePair<Pixel>(rng, Kind::kAnything).in;
    for (A_long y = 0; y < layer.height(); ++y) {
        Kind kind = partial_only ? Kind::kPartial : PickKind(rng);
        int run = 0;
        for (A_long x = 0; x < layer.stride(); ++x) {
            if (run-- <= 0) {
                kind = partial_only ? Kind::kPartial : PickKind(rng);
                run = Uniform(1, 20)(rng);
            }
            const PixelPair<Pixel> pair = MakePair<Pixel>(rng, kind);
            layer.Row(y)[x] = pair.layer;
            // The input pixel at the same spot of the layer, if there is one.
            const long long ix = (long long)x + lw.origin_x - iw.origin_x;
            const long long iy = (long long)y + lw.origin_y - iw.origin_y;
            if (x < layer.width() && ix >= 0 && iy >= 0 && ix < input.width() && iy < input.height())
                input.Row(A_long(iy))[ix] = pair.in;
        }
    }
}

template <class Pixel>
void FillMarker(RawWorld<Pixel> &w, std::mt19937 &rng) {
    for (A_long y = 0; y < w.height(); ++y)
        for (A_long x = 0; x < w.stride(); ++x) w.Row(y)[x] = MakePair<Pixel>(rng, Kind::kAnything).layer;
}

std::string PixelText(const PF_Pixel &p) {
    return "(" + std::to_string(p.alpha) + ", " + std::to_string(p.red) + ", " + std::to_string(p.green) + ", " +
           std::to_string(p.blue) + ")";
}
std::string PixelText(const PF_Pixel16 &p) {
    return "(" + std::to_string(p.alpha) + ", " + std::to_string(p.red) + ", " + std::to_string(p.green) + ", " +
           std::to_string(p.blue) + ")";
}
std::string PixelText(const PF_PixelFloat &p) {
    auto bits = [](float f) {
        uint32_t b;
        std::memcpy(&b, &f, sizeof b);
        char text[48];
        std::snprintf(text, sizeof text, "%.9g [%08x]", double(f), unsigned(b));
        return std::string(text);
    };
    return "(" + bits(p.alpha) + ", " + bits(p.red) + ", " + bits(p.green) + ", " + bits(p.blue) + ")";
}

bool IsNaN(float f) { return f != f; }

// Whether two output pixels agree: bit for bit, except for a float colour
// channel that is NaN in both where the layer's was NaN (see the top of
// the file).
bool SamePixel(const PF_Pixel &a, const PF_Pixel &b, const PF_Pixel *, const PF_Pixel *) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
bool SamePixel(const PF_Pixel16 &a, const PF_Pixel16 &b, const PF_Pixel16 *, const PF_Pixel16 *) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
bool SamePixel(const PF_PixelFloat &a, const PF_PixelFloat &b, const PF_PixelFloat *in, const PF_PixelFloat *layer) {
    const float *pa = &a.alpha, *pb = &b.alpha;
    for (int c = 0; c < 4; ++c) {
        if (std::memcmp(pa + c, pb + c, sizeof(float)) == 0) continue;
        const bool layer_nan = in != nullptr && layer != nullptr && c > 0 && IsNaN((&layer->alpha)[c]);
        if (!(layer_nan && IsNaN(pa[c]) && IsNaN(pb[c]))) return false;
    }
    return true;
}

// Runs every row with both kernel sets on copies of one output world and
// compares the two, pixel by pixel over whole rows, padding included.
// Reports the first pixel that differs, with its sources.
template <class Pixel>
::testing::AssertionResult SameAsReference(const KernelSet &fast, RawWorld<Pixel> &input, RawWorld<Pixel> &layer,
                                           RawWorld<Pixel> &out_ref, RawWorld<Pixel> &out_fast, double opacity) {
    for (const auto &[kernels, out] : {std::pair<const KernelSet *, RawWorld<Pixel> *>{&kReferenceKernels, &out_ref},
                                       std::pair<const KernelSet *, RawWorld<Pixel> *>{&fast, &out_fast}}) {
        orvane::CopyDataInfo info = orvane_test::ContextFor(input.world(), layer.world(), out->world(), opacity);
        for (A_long y = 0; y < out->height(); ++y)
            if (kernels->template For<Pixel>()(&info, 0, y, out->height()) != PF_Err_NONE)
                return ::testing::AssertionFailure() << kernels->name << " returned an error";
    }
    if (!out_fast.GuardsIntact()) return ::testing::AssertionFailure() << fast.name << " wrote outside the rows";
    if (!out_ref.GuardsIntact()) return ::testing::AssertionFailure() << "the reference wrote outside the rows";
    const PF_EffectWorld &ow = *out_ref.world();
    auto source = [](RawWorld<Pixel> &src, long long x, long long y) -> const Pixel * {
        const PF_EffectWorld &w = *src.world();
        if (x < 0 || y < 0 || x >= w.width || y >= w.height) return nullptr;
        return &src.Row(A_long(y))[x];
    };
    for (A_long y = 0; y < out_ref.height(); ++y)
        for (A_long x = 0; x < out_ref.stride(); ++x) {
            const long long lx = (long long)x + ow.origin_x, ly = (long long)y + ow.origin_y;
            const Pixel *in =
                x < ow.width ? source(input, lx - input.world()->origin_x, ly - input.world()->origin_y) : nullptr;
            const Pixel *lay =
                x < ow.width ? source(layer, lx - layer.world()->origin_x, ly - layer.world()->origin_y) : nullptr;
            if (SamePixel(out_ref.Row(y)[x], out_fast.Row(y)[x], in, lay)) continue;
            auto result = ::testing::AssertionFailure();
            result << "pixel " << x << "," << y << " at opacity " << opacity << ": reference "
                   << PixelText(out_ref.Row(y)[x]) << ", " << fast.name << " " << PixelText(out_fast.Row(y)[x]);
            if (in != nullptr) result << "; input " << PixelText(*in);
            if (lay != nullptr) result << "; layer " << PixelText(*lay);
            return result;
        }
    return ::testing::AssertionSuccess();
}

const double kOpacities[] = {0.0,
                             0.000001,
                             0.0000011,
                             0.003,
                             0.25,
                             0.5,
                             0.7311,
                             1.0,
                             1.5,
                             1e300,
                             std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             -0.5};

// ------------------------------------------------------------ suites

class FastVsReference : public testing::TestWithParam<KernelSet> {};

// The fast kernels as the plug-in calls them, and each path by name.
std::vector<KernelSet> FastKernelsUnderTest() {
    std::vector<KernelSet> sets{kFastKernels};
    for (const KernelSet &set : FastPathKernels()) sets.push_back(set);
    return sets;
}

INSTANTIATE_TEST_SUITE_P(Paths, FastVsReference, testing::ValuesIn(FastKernelsUnderTest()),
                         [](const testing::TestParamInfo<KernelSet> &info) {
                             return orvane_test::KernelSetName(info.param);
                         });

// Every (input alpha, layer alpha) pair of the 8-bit depth, one 256-pixel
// row per input alpha, with colours changing from pixel to pixel.
TEST_P(FastVsReference, EveryAlphaPair8) {
    std::mt19937 rng(8);
    RawWorld<PF_Pixel> input(256, 256, 0, 0, 0, 0), layer(256, 256, 0, 0, 0, 0);
    RawWorld<PF_Pixel> out_ref(256, 256, 0, 0, 0, 0), out_fast(256, 256, 0, 0, 0, 0);
    for (int colours = 0; colours < 4; ++colours) {
        for (A_long y = 0; y < 256; ++y)
            for (A_long x = 0; x < 256; ++x) {
                auto chan = [&] {
                    // Extremes and ordinary values.
                    const int k = Uniform(0, 3)(rng);
                    return A_u_char(k == 0 ? 0 : k == 1 ? 255 : Uniform(0, 255)(rng));
                };
                input.Row(y)[x] = PF_Pixel{A_u_char(y), chan(), chan(), chan()};
                layer.Row(y)[x] = PF_Pixel{A_u_char(x), chan(), chan(), chan()};
            }
        for (double opacity : kOpacities) {
            FillMarker(out_ref, rng);
            std::memcpy(out_fast.Row(0), out_ref.Row(0), size_t(256) * 256 * sizeof(PF_Pixel));
            ASSERT_TRUE(SameAsReference(GetParam(), input, layer, out_ref, out_fast, opacity));
        }
    }
}

// A 256 x 256 grid, the input pixels of row y made by make(y) and the
// layer pixels of column x by make(x), against the reference at every
// opacity that is a power of two and not counted as zero (2^-19 to 1).
template <class Pixel, class Make>
::testing::AssertionResult GridAtPowerOfTwoOpacities(const KernelSet &fast, std::mt19937 &rng, Make make) {
    RawWorld<Pixel> input(256, 256, 0, 0, 0, 0), layer(256, 256, 0, 0, 0, 0);
    RawWorld<Pixel> out_ref(256, 256, 0, 0, 0, 0), out_fast(256, 256, 0, 0, 0, 0);
    for (A_long y = 0; y < 256; ++y)
        for (A_long x = 0; x < 256; ++x) {
            input.Row(y)[x] = make(int(y));
            layer.Row(y)[x] = make(int(x));
        }
    for (int k = 0; k <= 19; ++k) {
        const double opacity = std::ldexp(1.0, -k);
        FillMarker(out_ref, rng);
        std::memcpy(out_fast.Row(0), out_ref.Row(0), size_t(256) * 256 * sizeof(Pixel));
        ::testing::AssertionResult same = SameAsReference(fast, input, layer, out_ref, out_fast, opacity);
        if (!same) return same << " (opacity 2^-" << k << ")";
    }
    return ::testing::AssertionSuccess();
}

// Every (input alpha, layer alpha) pair at those opacities: the 8-bit
// kernels take a shorter road for the shadow alpha there.
TEST_P(FastVsReference, EveryAlphaPairAtPowerOfTwoOpacities8) {
    std::mt19937 rng(9);
    auto chan = [&] { return A_u_char(Uniform(0, 255)(rng)); };
    EXPECT_TRUE(GridAtPowerOfTwoOpacities<PF_Pixel>(GetParam(), rng, [&](int alpha) {
        return PF_Pixel{A_u_char(alpha), chan(), chan(), chan()};
    }));
}

// The 16-bit kernels take the same shorter road at those opacities. 256
// alphas: the ends of the scale, the middle, and values spread over the
// rest, with full-scale and random colours.
TEST_P(FastVsReference, AlphaPairsAtPowerOfTwoOpacities16) {
    std::mt19937 rng(11);
    std::vector<int> alphas = {0, 1, 2, 3, 255, 256, 16383, 16384, 16385, 32766, 32767, 32768};
    while (alphas.size() < 256) alphas.push_back(Uniform(0, 32768)(rng));
    auto chan = [&] { return A_u_short(Uniform(0, 3)(rng) == 0 ? 32768 : Uniform(0, 32768)(rng)); };
    EXPECT_TRUE(GridAtPowerOfTwoOpacities<PF_Pixel16>(GetParam(), rng, [&](int index) {
        return PF_Pixel16{A_u_short(alphas[size_t(index)]), chan(), chan(), chan()};
    }));
}

// Opacities that put the shadow alpha a = v * opacity + 0.5 a hair's
// breadth from an integer, on either side, where single precision alone
// would truncate it wrongly: v as the rule computes it for an alpha pair,
// opacity = (n - 0.5) / v moved by a few units in its last place.
TEST_P(FastVsReference, ShadowAlphaNextToAnInteger8) {
    RawWorld<PF_Pixel> input(16, 1, 0, 0, 0, 0), layer(16, 1, 0, 0, 0, 0);
    RawWorld<PF_Pixel> out_ref(16, 1, 0, 0, 0, 0), out_fast(16, 1, 0, 0, 0, 0);
    std::mt19937 rng(10);
    for (int la : {1, 2, 17, 100, 128, 200, 254}) {
        for (int ia = la + 1; ia <= 255; ++ia) {
            const float full = 255.0f, uncovered = full - float(la);
            const float v = float(ia - la) * full / uncovered;
            for (int x = 0; x < 16; ++x) {
                input.Row(0)[x] = PF_Pixel{A_u_char(ia), A_u_char(Uniform(0, 255)(rng)), 40, 200};
                layer.Row(0)[x] = PF_Pixel{A_u_char(la), 90, A_u_char(Uniform(0, 255)(rng)), 7};
            }
            for (double n : {1.0, std::floor(double(v) * 0.5) + 1.0, std::floor(double(v) + 0.5)}) {
                const double centre = (n - 0.5) / double(v);
                if (!(centre > 0.000002) || centre > 1.0) continue;
                for (int step = -3; step <= 3; ++step) {
                    double opacity = centre;
                    for (int i = 0; i < std::abs(step); ++i) opacity = std::nextafter(opacity, step < 0 ? 0.0 : 2.0);
                    FillMarker(out_ref, rng);
                    std::memcpy(out_fast.Row(0), out_ref.Row(0), 16 * sizeof(PF_Pixel));
                    ASSERT_TRUE(SameAsReference(GetParam(), input, layer, out_ref, out_fast, opacity))
                        << "alphas " << ia << "/" << la << ", opacity " << opacity;
                }
            }
        }
    }
}

// Pixels where the blend adds the layer's NaN to another one: a NaN input
// colour, and a NaN the separation makes (infinite input alpha times a
// zero colour). Every bit but those NaNs' must agree.
TEST_P(FastVsReference, NaNsMeetingInTheBlendFloat) {
    const float nan_l = FloatFromBits(0x7FC12345u), nan_i = FloatFromBits(0xFFD54321u);
    const float inf = std::numeric_limits<float>::infinity();
    const PF_PixelFloat cases[][2] = {{{1.0f, nan_i, nan_i, 0.25f}, {0x1p-125f, -inf, nan_l, nan_l}},
                                      {{inf, 0.0f, 0.0f, 0.0f}, {0.5f, nan_l, nan_l, nan_l}}};
    RawWorld<PF_PixelFloat> input(16, 2, 0, 0, 0, 0), layer(16, 2, 0, 0, 0, 0);
    RawWorld<PF_PixelFloat> out_ref(16, 2, 0, 0, 0, 0), out_fast(16, 2, 0, 0, 0, 0);
    for (A_long y = 0; y < 2; ++y)
        for (A_long x = 0; x < 16; ++x) {
            input.Row(y)[x] = cases[y][0];
            layer.Row(y)[x] = cases[y][1];
        }
    ASSERT_TRUE(SameAsReference(GetParam(), input, layer, out_ref, out_fast, 0.12));
    for (A_long y = 0; y < 2; ++y) EXPECT_TRUE(std::isnan(out_fast.Row(y)[0].green)) << "case " << y;
}

// Rows of every length from 0 to 67 and every start of the data within a
// 32-byte vector that the pixel type allows (whole channels), with each of
// the three worlds placed differently.
template <class Pixel>
void EveryLengthAndAlignment(const KernelSet &fast, unsigned seed) {
    constexpr size_t kChannel = sizeof(Pixel) / 4;
    std::mt19937 rng(seed);
    for (A_long width = 0; width <= 67; ++width) {
        for (size_t misalign = 0; misalign < 32; misalign += kChannel) {
            const size_t in_skew = misalign;
            const size_t layer_skew = (misalign * 7) % 32 / kChannel * kChannel;
            const size_t out_skew = (misalign * 13 + 4) % 32 / kChannel * kChannel;
            RawWorld<Pixel> input(width, 2, 0, 0, 1, in_skew), layer(width, 2, 0, 0, 2, layer_skew);
            RawWorld<Pixel> out_ref(width, 2, 0, 0, 3, out_skew), out_fast(width, 2, 0, 0, 3, out_skew);
            FillScene(rng, input, layer);
            const double opacity = kOpacities[Uniform(0, int(std::size(kOpacities)) - 1)(rng)];
            FillMarker(out_ref, rng);
            for (A_long y = 0; y < 2; ++y)
                std::memcpy(out_fast.Row(y), out_ref.Row(y), size_t(out_ref.stride()) * sizeof(Pixel));
            ASSERT_TRUE(SameAsReference(fast, input, layer, out_ref, out_fast, opacity))
                << "width " << width << ", data " << in_skew << "/" << layer_skew << "/" << out_skew
                << " bytes past a vector boundary";
        }
    }
}

TEST_P(FastVsReference, EveryLengthAndAlignment8) { EveryLengthAndAlignment<PF_Pixel>(GetParam(), 81); }
TEST_P(FastVsReference, EveryLengthAndAlignment16) { EveryLengthAndAlignment<PF_Pixel16>(GetParam(), 82); }
TEST_P(FastVsReference, EveryLengthAndAlignmentFloat) { EveryLengthAndAlignment<PF_PixelFloat>(GetParam(), 83); }

// Sources placed anywhere around the output: partly clipped on either side,
// wholly outside, or covering it; rows of the sources above and below the
// output; random contents in runs; every opacity.
template <class Pixel>
void ClippedSources(const KernelSet &fast, unsigned seed, int scenes) {
    std::mt19937 rng(seed);
    for (int n = 0; n < scenes; ++n) {
        const A_long out_w = Uniform(0, 70)(rng), out_h = Uniform(1, 4)(rng);
        auto place = [&](A_long &ox, A_long &oy, A_long &w, A_long &h) {
            w = Uniform(0, 80)(rng);
            h = Uniform(0, 6)(rng);
            ox = Uniform(-90, 75)(rng);
            oy = Uniform(-4, 4)(rng);
        };
        A_long ix, iy, iw, ih, lx, ly, lw, lh;
        place(ix, iy, iw, ih);
        place(lx, ly, lw, lh);
        if (Uniform(0, 2)(rng) == 0) {  // the usual case: input covers the layer
            ix = lx - Uniform(0, 9)(rng);
            iy = ly;
            iw = lw + Uniform(0, 18)(rng);
            ih = lh;
        }
        RawWorld<Pixel> input(iw, ih, ix, iy, Uniform(0, 3)(rng), size_t(Uniform(0, 7)(rng)) * sizeof(Pixel) / 4);
        RawWorld<Pixel> layer(lw, lh, lx, ly, Uniform(0, 3)(rng), size_t(Uniform(0, 7)(rng)) * sizeof(Pixel) / 4);
        const A_long pad = Uniform(0, 3)(rng);
        RawWorld<Pixel> out_ref(out_w, out_h, 0, 0, pad, 0), out_fast(out_w, out_h, 0, 0, pad, 0);
        FillScene(rng, input, layer);
        FillMarker(out_ref, rng);
        for (A_long y = 0; y < out_h; ++y)
            std::memcpy(out_fast.Row(y), out_ref.Row(y), size_t(out_ref.stride()) * sizeof(Pixel));
        const double opacity = kOpacities[Uniform(0, int(std::size(kOpacities)) - 1)(rng)];
        ASSERT_TRUE(SameAsReference(fast, input, layer, out_ref, out_fast, opacity))
            << "scene " << n << ": input " << iw << "x" << ih << " at " << ix << "," << iy << ", layer " << lw << "x"
            << lh << " at " << lx << "," << ly << ", output " << out_w << "x" << out_h;
    }
}

TEST_P(FastVsReference, ClippedSources8) { ClippedSources<PF_Pixel>(GetParam(), 91, 3000); }
TEST_P(FastVsReference, ClippedSources16) { ClippedSources<PF_Pixel16>(GetParam(), 92, 3000); }
TEST_P(FastVsReference, ClippedSourcesFloat) { ClippedSources<PF_PixelFloat>(GetParam(), 93, 3000); }

// Long random rows: many vectors per row, so runs of copies and of
// recomposited pixels meet at every position within a vector.
template <class Pixel>
void LongRandomRows(const KernelSet &fast, unsigned seed) {
    std::mt19937 rng(seed);
    const A_long width = 1000, height = 64;
    RawWorld<Pixel> input(width + 40, height, -20, 0, 0, 0), layer(width, height, 0, 0, 5, 0);
    RawWorld<Pixel> out_ref(width, height, 0, 0, 0, 0), out_fast(width, height, 0, 0, 0, 0);
    FillScene(rng, input, layer);
    for (double opacity : kOpacities) {
        FillMarker(out_ref, rng);
        for (A_long y = 0; y < height; ++y)
            std::memcpy(out_fast.Row(y), out_ref.Row(y), size_t(out_ref.stride()) * sizeof(Pixel));
        ASSERT_TRUE(SameAsReference(fast, input, layer, out_ref, out_fast, opacity));
    }
}

TEST_P(FastVsReference, LongRandomRows8) { LongRandomRows<PF_Pixel>(GetParam(), 101); }
TEST_P(FastVsReference, LongRandomRows16) { LongRandomRows<PF_Pixel16>(GetParam(), 102); }
TEST_P(FastVsReference, LongRandomRowsFloat) { LongRandomRows<PF_PixelFloat>(GetParam(), 103); }

// An output from the streaming size on, as the plug-in's kernels see it in
// a UHD frame: they switch to streaming stores there, except for 8-bit and
// 16-bit rows that are mostly recomposited. Mixed rows, and rows of partly
// transparent layer pixels only; the data sits off a vector boundary; the
// sources cover the first rows, partly clipped, and the rows below them
// stay as they were.
template <class Pixel>
void OutputFromTheStreamingSizeOn(unsigned seed, bool partial_only) {
    std::mt19937 rng(seed);
    const A_long width = A_long(16384 / sizeof(Pixel)) + 3, height = 1024;
    ASSERT_GE((unsigned long long)(width + 1) * sizeof(Pixel) * height, orvane::kStreamingOutputBytes);
    RawWorld<Pixel> input(width + 9, 12, -5, 0, 0, 0), layer(width - 20, 10, 7, 1, 2, 4 * sizeof(Pixel) / 4);
    RawWorld<Pixel> out_ref(width, height, 0, 0, 1, 12 / (16 / sizeof(Pixel)) * 4);
    RawWorld<Pixel> out_fast(width, height, 0, 0, 1, 12 / (16 / sizeof(Pixel)) * 4);
    FillScene(rng, input, layer, partial_only);
    for (double opacity : {0.0, 0.5, 1.0}) {
        FillMarker(out_ref, rng);
        std::memcpy(out_fast.Row(0), out_ref.Row(0), size_t(out_ref.stride()) * sizeof(Pixel) * size_t(height));
        ASSERT_TRUE(SameAsReference(kFastKernels, input, layer, out_ref, out_fast, opacity))
            << (partial_only ? "partly transparent layer only" : "mixed layer");
    }
}

template <class Pixel>
void OutputFromTheStreamingSizeOn(unsigned seed) {
    OutputFromTheStreamingSizeOn<Pixel>(seed, false);
    OutputFromTheStreamingSizeOn<Pixel>(seed + 1, true);
}

TEST(FastKernelsAsCalled, OutputFromTheStreamingSizeOn8) { OutputFromTheStreamingSizeOn<PF_Pixel>(111); }
TEST(FastKernelsAsCalled, OutputFromTheStreamingSizeOn16) { OutputFromTheStreamingSizeOn<PF_Pixel16>(113); }
TEST(FastKernelsAsCalled, OutputFromTheStreamingSizeOnFloat) { OutputFromTheStreamingSizeOn<PF_PixelFloat>(115); }

// ------------------------------------------------------------ exact division

class ExactDivision : public testing::TestWithParam<KernelPath> {};

std::vector<KernelPath> AvailablePaths() {
    std::vector<KernelPath> paths;
    for (int p = 0; p < orvane::kKernelPathCount; ++p)
        if (orvane::KernelPathAvailable(KernelPath(p))) paths.push_back(KernelPath(p));
    return paths;
}

INSTANTIATE_TEST_SUITE_P(Paths, ExactDivision, testing::ValuesIn(AvailablePaths()),
                         [](const testing::TestParamInfo<KernelPath> &info) {
                             return std::string(orvane::KernelPathName(info.param));
                         });

// Every numerator 0..65535 by every divisor 1..255: more than the 8-bit
// blend ever divides (its numerators are at most 255 times the divisor).
TEST_P(ExactDivision, Every8BitQuotient) {
    std::vector<A_long> num(65536), den(65536), q(65536);
    for (A_long n = 0; n < 65536; ++n) num[size_t(n)] = n;
    long long wrong = 0;
    for (A_long d = 1; d <= 255; ++d) {
        std::fill(den.begin(), den.end(), d);
        ASSERT_EQ(orvane::Quotients8On(GetParam(), num.data(), den.data(), q.data(), ptrdiff_t(num.size())),
                  PF_Err_NONE);
        for (A_long n = 0; n < 65536; ++n)
            if (q[size_t(n)] != n / d && ++wrong <= 5)
                ADD_FAILURE() << n << " / " << d << " gave " << q[size_t(n)] << ", not " << n / d;
    }
    EXPECT_EQ(wrong, 0);
}

// Every divisor 1..32768 with numerators at and beside multiples of it, at
// small quotients, random ones and the largest (32768), where a rounded
// estimate is most likely to land on the wrong side.
TEST_P(ExactDivision, Edges16BitQuotients) {
    std::mt19937 rng(16);
    std::vector<A_long> num, den;
    for (A_long d = 1; d <= 32768; ++d) {
        const A_long quotients[] = {0,     1,     2,    3, 255, 256, Uniform(0, 32768)(rng), Uniform(0, 32768)(rng),
                                    32766, 32767, 32768};
        for (A_long q : quotients)
            for (A_long extra : {A_long(-1), A_long(0), A_long(1), d - 1}) {
                const long long n = (long long)q * d + extra;
                if (n < 0 || n > 32768LL * d || n / d > 32768) continue;
                num.push_back(A_long(n));
                den.push_back(d);
            }
    }
    std::vector<A_long> q(num.size());
    ASSERT_EQ(orvane::Quotients16On(GetParam(), num.data(), den.data(), q.data(), ptrdiff_t(num.size())), PF_Err_NONE);
    long long wrong = 0;
    for (size_t i = 0; i < num.size(); ++i)
        if (q[i] != num[i] / den[i] && ++wrong <= 5)
            ADD_FAILURE() << num[i] << " / " << den[i] << " gave " << q[i] << ", not " << num[i] / den[i];
    EXPECT_EQ(wrong, 0);
}

// ------------------------------------------------------------ path choice

// Whether each path should run here, read apart from the plug-in's own
// detection: on x86-64 built by GCC or clang, the compiler's run-time
// check of the processor (which also asks whether the system saves the
// 256-bit registers); elsewhere, the vector paths not being built, only
// the scalar path, whatever the processor has.
bool RunsHere(KernelPath path) {
    switch (path) {
        case KernelPath::kScalar:
            return true;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
        case KernelPath::kSse2:
            return true;  // the x86-64 baseline
        case KernelPath::kAvx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
        default:
            return false;
    }
}

// The detected features and the paths offered agree with that reading: a
// path withheld would leave its kernels untested by every suite here (they
// run only the paths offered), and one offered wrongly would fault.
TEST(KernelPaths, OfferedWhereTheProcessorRunsThem) {
    const unsigned features = orvane::DetectedCpuFeatures();
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    const bool state = (features & orvane::kCpuAvxState) != 0;
    EXPECT_TRUE(features & orvane::kCpuSse2);
    EXPECT_EQ(state, bool(__builtin_cpu_supports("avx")));
    EXPECT_EQ(state && (features & orvane::kCpuAvx2) != 0, bool(__builtin_cpu_supports("avx2")));
    EXPECT_EQ(state && (features & orvane::kCpuFma) != 0, bool(__builtin_cpu_supports("fma")));
#else
    EXPECT_EQ(features, 0u);
#endif
    KernelPath widest = KernelPath::kScalar;
    for (int p = 0; p <= orvane::kKernelPathCount; ++p) {
        const KernelPath path = KernelPath(p);
        EXPECT_EQ(orvane::KernelPathAvailable(path), RunsHere(path)) << orvane::KernelPathName(path);
        if (RunsHere(path)) widest = path;
    }
    EXPECT_STREQ(orvane::KernelPathName(orvane::PreferredKernelPath()), orvane::KernelPathName(widest));
}

// The path each set of features leads to: every feature a path needs is
// checked, and a path this build lacks is never chosen.
TEST(KernelPaths, WidestPathForFeatures) {
    constexpr unsigned kSse2 = orvane::kCpuSse2, kAvx2 = orvane::kCpuAvx2, kFma = orvane::kCpuFma,
                       kState = orvane::kCpuAvxState;
#if defined(__x86_64__) || defined(_M_X64)
    const KernelPath sse2 = KernelPath::kSse2, avx2 = KernelPath::kAvx2;
#else
    const KernelPath sse2 = KernelPath::kScalar, avx2 = KernelPath::kScalar;
#endif
    const struct {
        unsigned features;
        KernelPath path;
    } cases[] = {
        {0, KernelPath::kScalar},
        {kAvx2 | kFma | kState, KernelPath::kScalar},
        {kSse2, sse2},
        {kSse2 | kAvx2 | kFma, sse2},
        {kSse2 | kAvx2 | kState, sse2},
        {kSse2 | kFma | kState, sse2},
        {kSse2 | kAvx2 | kFma | kState, avx2},
        {~0u, avx2},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(orvane::KernelPathName(orvane::WidestKernelPath(c.features)), orvane::KernelPathName(c.path))
            << "features " << c.features;
}

template <class Pixel>
PF_Err CopyRowOn(KernelPath path, orvane::CopyDataInfo &info) {
    if constexpr (sizeof(Pixel) == sizeof(PF_Pixel)) return orvane::CopyData8On(path, &info, 0);
    if constexpr (sizeof(Pixel) == sizeof(PF_Pixel16)) return orvane::CopyData16On(path, &info, 0);
    if constexpr (sizeof(Pixel) == sizeof(PF_PixelFloat)) return orvane::CopyData32On(path, &info, 0);
}

// A row of input pixels over a transparent layer (so copies of the input)
// on `path`: written where the path is available, else refused with an
// error and the output left as it was.
template <class Pixel>
void RowWrittenOnlyOnAvailablePath(KernelPath path) {
    const bool available = RunsHere(path);
    RawWorld<Pixel> input(8, 1, 0, 0, 0, 0), layer(8, 1, 0, 0, 0, 0), output(8, 1, 0, 0, 0, 0);
    std::memset(input.Row(0), 0x11, 8 * sizeof(Pixel));
    std::memset(layer.Row(0), 0, 8 * sizeof(Pixel));
    orvane::CopyDataInfo info = orvane_test::ContextFor(input.world(), layer.world(), output.world(), 0.5);
    EXPECT_EQ(CopyRowOn<Pixel>(path, info), available ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM);
    const auto *bytes = reinterpret_cast<const unsigned char *>(output.Row(0));
    EXPECT_EQ(std::count(bytes, bytes + 8 * sizeof(Pixel), available ? 0x11 : 0x5A), long(8 * sizeof(Pixel)))
        << sizeof(Pixel) << "-byte pixels";
}

// A path that is not available is refused with an error, and nothing is
// written; KernelPath(kKernelPathCount) names no path at all.
TEST(KernelPaths, UnavailablePathIsRefused) {
    for (int p = 0; p <= orvane::kKernelPathCount; ++p) {
        const KernelPath path = KernelPath(p);
        SCOPED_TRACE(orvane::KernelPathName(path));
        RowWrittenOnlyOnAvailablePath<PF_Pixel>(path);
        RowWrittenOnlyOnAvailablePath<PF_Pixel16>(path);
        RowWrittenOnlyOnAvailablePath<PF_PixelFloat>(path);
        const bool available = RunsHere(path);
        const PF_Err expected = available ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM;
        const A_long num[1] = {10}, den[1] = {3};
        A_long q[1] = {-1};
        EXPECT_EQ(orvane::Quotients8On(path, num, den, q, 1), expected);
        EXPECT_EQ(orvane::Quotients16On(path, num, den, q, 1), expected);
        EXPECT_EQ(q[0], available ? 3 : -1);
    }
    EXPECT_STREQ(orvane::KernelPathName(KernelPath(orvane::kKernelPathCount)), "none");
}

}  // namespace
