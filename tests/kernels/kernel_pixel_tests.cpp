// One output pixel at a time, through the row kernels: every decision row
// and the worked examples of the separation, per depth, on the reference
// kernels and on every fast path. Pixels are written alpha first; "absent"
// means the source does not cover the output pixel.
#include <cmath>
#include <limits>

#include "kernel_test_support.h"

namespace {

using orvane_test::AllKernels;
using orvane_test::KernelSet;
using orvane_test::RunOne;

const double kNaNOpacity = std::numeric_limits<double>::quiet_NaN();

template <class Pixel>
struct PixelCase {
    const char *what;
    std::optional<Pixel> in, layer;
    double opacity;
    Pixel expected;
    Pixel before = Pixel{};  // what the output held before the call
};
template <class Pixel>
void PrintTo(const PixelCase<Pixel> &c, std::ostream *os) {
    *os << c.what;
}

// "fast_avx2_37": the kernel set and the parameter's index.
struct KernelCaseName {
    template <class Param>
    std::string operator()(const testing::TestParamInfo<Param> &info) const {
        return orvane_test::KernelSetName(std::get<0>(info.param)) + "_" + std::to_string(info.index);
    }
};

// ---------------------------------------------------------------- 8-bit

using Case8 = PixelCase<PF_Pixel>;
const PF_Pixel kI8{255, 128, 128, 128};
const PF_Pixel kL8{128, 255, 255, 255};
const PF_Pixel kMarker8{7, 7, 7, 7};

const Case8 kCases8[] = {
    // Decision row 1: a visible layer and opacity at or below the threshold.
    {"opacity 0 copies the layer", kI8, kL8, 0.0, kL8},
    {"opacity at the threshold counts as zero", kI8, kL8, 0.000001, kL8},
    {"NaN opacity counts as zero", kI8, kL8, kNaNOpacity, kL8},
    {"negative opacity counts as zero", kI8, kL8, -0.5, kL8},
    {"near-zero opacity writes the layer even with no input", std::nullopt, kL8, 0.0, kL8, kMarker8},
    // Decision row 2: visible layer, no input: output untouched.
    {"no input leaves the output", std::nullopt, kL8, 0.5, kMarker8, kMarker8},
    // Decision row 3: input alpha not above the layer's.
    {"equal alphas copy the input", PF_Pixel{100, 1, 2, 3}, PF_Pixel{100, 9, 9, 9}, 0.5, {100, 1, 2, 3}},
    {"lower input alpha copies the input", PF_Pixel{50, 1, 2, 3}, PF_Pixel{100, 9, 9, 9}, 1.0, {50, 1, 2, 3}},
    // Decision row 4: the separation, worked examples.
    {"opacity 0.000002 rounds the shadow away", kI8, kL8, 0.000002, kL8},
    {"opacity 0.25", kI8, kL8, 0.25, {159, 205, 205, 205}},
    {"opacity 0.5", kI8, kL8, 0.5, {191, 170, 170, 170}},
    {"opacity 0.75", kI8, kL8, 0.75, {223, 146, 146, 146}},
    {"opacity 1 restores the input", kI8, kL8, 1.0, kI8},
    {"negative shadow red is limited to 0",
     PF_Pixel{200, 60, 90, 120},
     PF_Pixel{100, 200, 100, 50},
     0.5,
     {149, 134, 93, 96}},
    {"shadow colour 510.5 is limited to 255",
     PF_Pixel{200, 255, 255, 255},
     PF_Pixel{100, 0, 0, 0},
     1.0,
     {200, 127, 127, 127}},
    {"black input under white half layer", PF_Pixel{255, 0, 0, 0}, kL8, 0.5, {191, 170, 170, 170}},
    {"opacity above 1 limits the shadow alpha to 255", kI8, kL8, 7.0, kI8},
    {"input alpha cannot exceed an opaque layer: input copied",
     PF_Pixel{255, 1, 2, 3},
     PF_Pixel{255, 9, 8, 7},
     1.0,
     {255, 1, 2, 3}},
    // Decision rows 5 and 6: layer not visible.
    {"transparent layer passes the input", PF_Pixel{100, 1, 2, 3}, PF_Pixel{0, 9, 9, 9}, 0.5, {100, 1, 2, 3}},
    {"transparent layer passes the input at opacity 0",
     PF_Pixel{100, 1, 2, 3},
     PF_Pixel{0, 9, 9, 9},
     0.0,
     {100, 1, 2, 3}},
    {"absent layer passes the input", PF_Pixel{100, 1, 2, 3}, std::nullopt, 0.5, {100, 1, 2, 3}},
    {"both absent leave the output", std::nullopt, std::nullopt, 0.5, kMarker8, kMarker8},
    {"transparent layer, no input", std::nullopt, PF_Pixel{0, 9, 9, 9}, 0.0, kMarker8, kMarker8},
};

class Kernel8 : public testing::TestWithParam<std::tuple<KernelSet, Case8>> {};
TEST_P(Kernel8, Pixel) {
    const auto &[kernels, c] = GetParam();
    EXPECT_EQ(RunOne<PF_Pixel>(kernels, c.in, c.layer, c.opacity, c.before), c.expected) << c.what;
}
INSTANTIATE_TEST_SUITE_P(Cases, Kernel8, testing::Combine(testing::ValuesIn(AllKernels()), testing::ValuesIn(kCases8)),
                         KernelCaseName());

// ---------------------------------------------------------------- 16-bit

using Case16 = PixelCase<PF_Pixel16>;
const PF_Pixel16 kI16{32768, 16384, 16384, 16384};
const PF_Pixel16 kL16{16384, 32768, 32768, 32768};
const PF_Pixel16 kMarker16{7, 7, 7, 7};

const Case16 kCases16[] = {
    {"opacity 0 copies the layer", kI16, kL16, 0.0, kL16},
    {"opacity 0.5", kI16, kL16, 0.5, {24576, 21845, 21845, 21845}},
    {"opacity 1", kI16, kL16, 1.0, {32768, 16384, 16384, 16384}},
    {"truncations leave full opacity one step short",
     PF_Pixel16{30000, 1000, 2000, 3000},
     PF_Pixel16{20000, 500, 700, 900},
     1.0,
     {29999, 999, 1999, 2999}},
    {"equal alphas copy the input", PF_Pixel16{9000, 1, 2, 3}, PF_Pixel16{9000, 5, 5, 5}, 1.0, {9000, 1, 2, 3}},
    {"no input leaves the output", std::nullopt, kL16, 0.5, kMarker16, kMarker16},
    {"transparent layer passes the input", PF_Pixel16{100, 1, 2, 3}, PF_Pixel16{0, 9, 9, 9}, 0.5, {100, 1, 2, 3}},
    {"input alpha cannot exceed an opaque layer: input copied",
     PF_Pixel16{32768, 1, 2, 3},
     PF_Pixel16{32768, 9, 8, 7},
     0.3,
     {32768, 1, 2, 3}},
    // Channels above 32768 never come from the host; they are limited to
    // 32768 as they are read, so copies come out valid too.
    {"input above range is limited when copied",
     PF_Pixel16{65535, 65535, 40000, 32769},
     PF_Pixel16{0, 0, 0, 0},
     0.5,
     {32768, 32768, 32768, 32768}},
    {"layer above range is limited when copied",
     kI16,
     PF_Pixel16{65535, 65535, 1, 65535},
     0.0,
     {32768, 32768, 1, 32768}},
    {"layer alpha above range is limited: input no longer above it", kI16, PF_Pixel16{40000, 5, 6, 7}, 1.0, kI16},
    {"input alpha above range separates as full scale",
     PF_Pixel16{65535, 16384, 16384, 16384},
     kL16,
     0.5,
     {24576, 21845, 21845, 21845}},
};

class Kernel16 : public testing::TestWithParam<std::tuple<KernelSet, Case16>> {};
TEST_P(Kernel16, Pixel) {
    const auto &[kernels, c] = GetParam();
    EXPECT_EQ(RunOne<PF_Pixel16>(kernels, c.in, c.layer, c.opacity, c.before), c.expected) << c.what;
}
INSTANTIATE_TEST_SUITE_P(Cases, Kernel16,
                         testing::Combine(testing::ValuesIn(AllKernels()), testing::ValuesIn(kCases16)),
                         KernelCaseName());

// Any pair of 16-bit pixels, however far out of range, gives a valid pixel
// and behaves exactly as the same pixels limited to 32768.
TEST(Kernel16, OutOfRangeBehavesAsLimited) {
    const A_u_short values[] = {0, 1, 12345, 32767, 32768, 32769, 50000, 65535};
    const double opacities[] = {0.0, 0.5, 1.0};
    for (const KernelSet &kernels : AllKernels())
        for (A_u_short ia : values)
            for (A_u_short la : values)
                for (A_u_short c : values)
                    for (double op : opacities) {
                        const PF_Pixel16 in{ia, c, A_u_short(65535 - c), 40000};
                        const PF_Pixel16 layer{la, A_u_short(65535 - c), c, 65535};
                        const PF_Pixel16 r = RunOne<PF_Pixel16>(kernels, in, layer, op);
                        const PF_Pixel16 limited =
                            RunOne<PF_Pixel16>(kernels, orvane::LimitPixel16(in), orvane::LimitPixel16(layer), op);
                        ASSERT_EQ(r, limited) << kernels.name << ": " << ia << " " << la << " " << c << " " << op;
                        ASSERT_LE(r.alpha, 32768);
                        ASSERT_LE(r.red, 32768);
                        ASSERT_LE(r.green, 32768);
                        ASSERT_LE(r.blue, 32768);
                    }
}

// ---------------------------------------------------------------- float

using CaseF = PixelCase<PF_PixelFloat>;
const PF_PixelFloat kIF{1.0f, 0.5f, 0.5f, 0.5f};
const PF_PixelFloat kLF{0.5f, 1.0f, 1.0f, 1.0f};
const PF_PixelFloat kMarkerF{0.25f, 7, 7, 7};
const float kNaN = std::numeric_limits<float>::quiet_NaN();

const CaseF kCasesF[] = {
    {"opacity 0 copies the layer", kIF, kLF, 0.0, kLF},
    {"opacity 0.5", kIF, kLF, 0.5, {0.75f, 0.6666667f, 0.6666667f, 0.6666667f}},
    {"opacity 1", kIF, kLF, 1.0, {1.0f, 0.5f, 0.5f, 0.5f}},
    {"negative shadow colour is not limited",
     PF_PixelFloat{1, 0, 0, 0},
     kLF,
     0.5,
     {0.75f, 0.33333334f, 0.33333334f, 0.33333334f}},
    {"negative layer alpha is not visible", kIF, PF_PixelFloat{-0.1f, 1, 1, 1}, 0.5, kIF},
    {"NaN layer alpha is not visible", kIF, PF_PixelFloat{kNaN, 1, 1, 1}, 0.0, kIF},
    {"opaque layer over input above 1 is copied",
     PF_PixelFloat{1.5f, 0.2f, 0.2f, 0.2f},
     PF_PixelFloat{1.0f, 0.1f, 0.2f, 0.3f},
     0.5,
     {1.0f, 0.1f, 0.2f, 0.3f}},
    {"layer alpha above 1: negative shadow alpha, layer copied",
     PF_PixelFloat{1.5f, 0.2f, 0.2f, 0.2f},
     PF_PixelFloat{1.2f, 0.1f, 0.2f, 0.3f},
     0.5,
     {1.2f, 0.1f, 0.2f, 0.3f}},
    {"no input leaves the output", std::nullopt, kLF, 0.5, kMarkerF, kMarkerF},
    {"no input, opacity 0 writes the layer", std::nullopt, kLF, 0.0, kLF, kMarkerF},
    {"both absent leave the output", std::nullopt, std::nullopt, 0.0, kMarkerF, kMarkerF},
    {"equal alphas copy the input", PF_PixelFloat{0.5f, 3, 2, 1}, kLF, 1.0, {0.5f, 3, 2, 1}},
    {"absent layer passes the input", kIF, std::nullopt, 0.5, kIF},
};

class KernelFloat : public testing::TestWithParam<std::tuple<KernelSet, CaseF>> {};
TEST_P(KernelFloat, PixelBitForBit) {
    const auto &[kernels, c] = GetParam();
    EXPECT_EQ(RunOne<PF_PixelFloat>(kernels, c.in, c.layer, c.opacity, c.before), c.expected) << c.what;
}
INSTANTIATE_TEST_SUITE_P(Cases, KernelFloat,
                         testing::Combine(testing::ValuesIn(AllKernels()), testing::ValuesIn(kCasesF)),
                         KernelCaseName());

// A NaN input alpha under a visible layer is "not greater": a copy of I.
TEST(KernelFloat, NaNInputAlphaIsCopied) {
    const PF_PixelFloat in{kNaN, 0.1f, 0.2f, 0.3f};
    for (const KernelSet &kernels : AllKernels()) {
        SCOPED_TRACE(kernels.name);
        const PF_PixelFloat r = RunOne<PF_PixelFloat>(kernels, in, kLF, 0.5);
        EXPECT_TRUE(std::isnan(r.alpha));
        EXPECT_EQ(r.red, 0.1f);
        EXPECT_EQ(r.blue, 0.3f);
    }
}

// Layer alpha exactly 1 under an input alpha above 1 divides by zero while
// separating (infinite shadow alpha, NaN colours); the blend still returns
// the layer.
TEST(KernelFloat, DivisionByZeroStillGivesTheLayer) {
    const PF_PixelFloat layer{1.0f, 0.25f, 0.5f, 0.75f};
    for (const KernelSet &kernels : AllKernels())
        EXPECT_EQ(RunOne<PF_PixelFloat>(kernels, PF_PixelFloat{2.0f, 1, 1, 1}, layer, 1.0), layer) << kernels.name;
}

// The threshold comparison is strict: exactly 0.000001 is zero, the next
// double above it is not.
TEST(KernelFloat, OpacityThresholdIsStrict) {
    const double threshold = 0.000001;
    for (const KernelSet &kernels : AllKernels()) {
        SCOPED_TRACE(kernels.name);
        EXPECT_EQ(RunOne<PF_PixelFloat>(kernels, kIF, kLF, threshold), kLF);
        const PF_PixelFloat above = RunOne<PF_PixelFloat>(kernels, kIF, kLF, std::nextafter(threshold, 1.0));
        EXPECT_NE(above, kLF);
        EXPECT_GT(above.alpha, 0.5f);
        EXPECT_LT(above.red, 1.0f);
    }
}

}  // namespace
