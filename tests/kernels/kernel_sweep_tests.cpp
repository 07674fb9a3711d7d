// The kernels (the reference and every fast path) against an independent
// statement of the separation rules.
//
// The oracle below computes every single-precision step in double and rounds
// the result to float. For +, -, * and / a double result rounded to float is
// exactly the correctly rounded float operation (double carries more than
// twice float's precision plus two bits), so the oracle reproduces IEEE
// single-precision arithmetic step by step without sharing code with the
// kernels. A fused multiply-add, a dropped rounding offset, a rounding in
// place of a truncation or a changed comparison in the kernels shows up here
// as a mismatch somewhere in the sweep.
#include <cmath>
#include <limits>
#include <random>

#include "kernel_test_support.h"

namespace {

using orvane_test::AllKernels;
using orvane_test::KernelSet;
using orvane_test::RunOne;

float R(double x) { return static_cast<float>(x); }

// The over operation, integer depths, in 64-bit arithmetic.
template <class Pixel>
Pixel OracleOverInt(const Pixel &b, const Pixel &t, long long full) {
    if (b.alpha == 0 || t.alpha == full) return t;
    if (t.alpha == 0) return b;
    const long long k = (long long)b.alpha * (full - t.alpha) / full;
    const long long ra = t.alpha + k;
    auto c = [&](long long tc, long long bc) { return std::min(full, (t.alpha * tc + k * bc) / ra); };
    using Chan = decltype(t.alpha);
    return Pixel{Chan(std::min(full, ra)), Chan(c(t.red, b.red)), Chan(c(t.green, b.green)), Chan(c(t.blue, b.blue))};
}

// Integer depths: decision table and separation.
template <class Pixel>
Pixel OracleInt(const Pixel &in, const Pixel &layer, double opacity, long long full) {
    using Chan = decltype(in.alpha);
    if (layer.alpha == 0) return in;
    if (!(opacity > 0.000001)) return layer;
    if (in.alpha <= layer.alpha) return in;
    const double f = double(full);
    const float rest = R(f - double(layer.alpha));
    const float v = R(double(R(double(R(double(in.alpha - layer.alpha))) * f)) / double(rest));
    const float w = R(double(R(double(v) * double(rest))) / f);
    auto colour = [&](long long ic, long long lc) -> Chan {
        const long long n = in.alpha * ic - layer.alpha * lc;
        const float s = R(double(R(double(R(double(n))) / double(w))) + 0.5);
        if (s < 0) return 0;
        if (s > float(full)) return Chan(full);
        return Chan(std::trunc(s));
    };
    const double a = double(v) * opacity + 0.5;
    const Chan sa = a < 0 ? Chan(0) : a > f ? Chan(full) : Chan(std::trunc(a));
    const Pixel shadow{sa, colour(in.red, layer.red), colour(in.green, layer.green), colour(in.blue, layer.blue)};
    return OracleOverInt(shadow, layer, full);
}

PF_PixelFloat OracleOverFloat(const PF_PixelFloat &b, const PF_PixelFloat &t) {
    if (b.alpha == 0.0f || t.alpha == 1.0f) return t;
    if (t.alpha == 0.0f) return b;
    const float k = R(double(b.alpha) * double(R(1.0 - double(t.alpha))));
    const float ra = R(double(k) + double(t.alpha));
    auto c = [&](float tc, float bc) {
        return R(double(R(double(R(double(t.alpha) * tc)) + double(R(double(k) * bc)))) / double(ra));
    };
    return PF_PixelFloat{ra, c(t.red, b.red), c(t.green, b.green), c(t.blue, b.blue)};
}

PF_PixelFloat OracleFloat(const PF_PixelFloat &in, const PF_PixelFloat &layer, double opacity) {
    if (!(layer.alpha > 0.0f)) return in;
    if (!(opacity > 0.000001)) return layer;
    if (!(in.alpha > layer.alpha)) return in;
    const float rest = R(1.0 - double(layer.alpha));
    const float u = R(double(R(double(in.alpha) - double(layer.alpha))) / double(rest));
    const float w = R(double(u) * double(rest));
    auto colour = [&](float ic, float lc) {
        return R(double(R(double(R(double(in.alpha) * ic)) - double(R(double(layer.alpha) * lc)))) / double(w));
    };
    const double a = double(u) * opacity;
    const float sa = a < 0 ? 0.0f : a > 1.0 ? 1.0f : R(a);
    const PF_PixelFloat shadow{sa, colour(in.red, layer.red), colour(in.green, layer.green),
                               colour(in.blue, layer.blue)};
    return OracleOverFloat(shadow, layer);
}

// Bit-for-bit equality, except that any NaN matches any NaN: which NaN an
// operation returns depends on operand order, which the rules leave open.
bool SameValue(float a, float b) { return (std::isnan(a) && std::isnan(b)) || SameBits(a, b); }
bool SameValue(const PF_PixelFloat &a, const PF_PixelFloat &b) {
    return SameValue(a.alpha, b.alpha) && SameValue(a.red, b.red) && SameValue(a.green, b.green) &&
           SameValue(a.blue, b.blue);
}

const double kOpacities[] = {0.000002, 0.003, 0.25, 0.5, 0.7311, 1.0, 1.5};

// Every (input alpha, layer alpha) pair of the 8-bit depth, several colour
// pairs and opacities, one 256-pixel row per input alpha.
TEST(Sweep8, EveryAlphaPair) {
    const PF_Pixel colour_pairs[][2] = {
        {{0, 0, 128, 255}, {0, 255, 128, 0}},
        {{0, 37, 201, 99}, {0, 180, 3, 250}},
        {{0, 255, 255, 255}, {0, 0, 0, 0}},
        {{0, 1, 254, 77}, {0, 1, 254, 77}},
    };
    using orvane_test::Image;
    Image<PF_Pixel> input(256, 256), layer(256, 256), output(256, 256);
    long long mismatches = 0;
    for (const auto &cp : colour_pairs) {
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) {
                PF_Pixel i = cp[0], l = cp[1];
                i.alpha = A_u_char(y);
                l.alpha = A_u_char(x);
                input.at(x, y) = i;
                layer.at(x, y) = l;
            }
        for (double op : kOpacities)
            for (const KernelSet &kernels : AllKernels()) {
                orvane::CopyDataInfo info = orvane_test::ContextFor(input.world(), layer.world(), output.world(), op);
                orvane_test::RunAllRows<PF_Pixel>(kernels, info);
                for (int y = 0; y < 256; ++y)
                    for (int x = 0; x < 256; ++x) {
                        const PF_Pixel want = OracleInt(input.at(x, y), layer.at(x, y), op, 255);
                        if (output.at(x, y) != want && ++mismatches <= 5)
                            ADD_FAILURE() << kernels.name << ": I " << input.at(x, y) << " L " << layer.at(x, y)
                                          << " op " << op << ": got " << output.at(x, y) << ", want " << want;
                    }
            }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Sweep16, RandomPixels) {
    const std::vector<KernelSet> kernel_sets = AllKernels();
    std::mt19937 rng(16);
    std::uniform_int_distribution<int> chan(0, 32768);
    std::uniform_int_distribution<int> pick(0, 9);
    long long mismatches = 0;
    for (int n = 0; n < 200000; ++n) {
        auto px = [&] {
            PF_Pixel16 p{A_u_short(chan(rng)), A_u_short(chan(rng)), A_u_short(chan(rng)), A_u_short(chan(rng))};
            const int k = pick(rng);  // favour the edges of the range
            if (k == 0) p.alpha = 0;
            if (k == 1) p.alpha = 32768;
            if (k == 2) p.alpha = 1;
            return p;
        };
        const PF_Pixel16 in = px(), layer = px();
        const double op = kOpacities[n % 7];
        const PF_Pixel16 want = OracleInt(in, layer, op, 32768);
        for (const KernelSet &kernels : kernel_sets) {
            const PF_Pixel16 got = RunOne<PF_Pixel16>(kernels, in, layer, op);
            if (got != want && ++mismatches <= 5)
                ADD_FAILURE() << kernels.name << ": I " << in << " L " << layer << " op " << op << ": got " << got
                              << ", want " << want;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(SweepFloat, RandomPixelsIncludingSpecialValues) {
    const std::vector<KernelSet> kernel_sets = AllKernels();
    std::mt19937 rng(32);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> wide(-2.0f, 3.0f);
    std::uniform_int_distribution<int> pick(0, 19);
    const float specials[] = {0.0f,
                              -0.0f,
                              1.0f,
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::denorm_min(),
                              1e-30f,
                              0.99999994f,
                              1.0000001f};
    auto value = [&](bool alpha) {
        const int k = pick(rng);
        if (k < 4) return specials[pick(rng) % 10];
        if (k < 7) return wide(rng);
        return alpha ? unit(rng) : unit(rng) * 1.2f - 0.1f;
    };
    long long mismatches = 0;
    for (int n = 0; n < 300000; ++n) {
        const PF_PixelFloat in{value(true), value(false), value(false), value(false)};
        const PF_PixelFloat layer{value(true), value(false), value(false), value(false)};
        const double op = kOpacities[n % 7];
        const PF_PixelFloat want = OracleFloat(in, layer, op);
        for (const KernelSet &kernels : kernel_sets) {
            const PF_PixelFloat got = RunOne<PF_PixelFloat>(kernels, in, layer, op);
            if (!SameValue(got, want) && ++mismatches <= 5)
                ADD_FAILURE() << kernels.name << ": I " << in << " L " << layer << " op " << op << ": got " << got
                              << ", want " << want;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
