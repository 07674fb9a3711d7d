// The half conversions on each path against Imath's, bit for bit: every
// half to float, and floats at the edges of rounding, range and NaN.
#include "HalfConversion.h"
#include "SampleCodec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace veilshadow {
namespace {

std::uint32_t Bits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

float FromBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

class HalfPaths : public ::testing::TestWithParam<HalfPath> {
protected:
    void SetUp() override {
        if (!HalfPathAvailable(GetParam())) GTEST_SKIP() << "this processor does not run the path";
    }
};

TEST_P(HalfPaths, EveryHalfBecomesImathsFloat) {
    std::vector<Imath::half> halves(65536);
    for (std::uint32_t b = 0; b < 65536; ++b) halves[b].setBits(static_cast<std::uint16_t>(b));
    std::vector<float> floats(halves.size());
    // 13 at a time: a block of 8 and a tail of 5 on the F16C path.
    for (std::size_t i = 0; i < halves.size(); i += 13)
        ASSERT_TRUE(HalvesToFloatsOn(GetParam(), &halves[i], &floats[i], std::min<std::size_t>(13, halves.size() - i)));
    for (std::uint32_t b = 0; b < 65536; ++b)
        ASSERT_EQ(Bits(floats[b]), Bits(static_cast<float>(halves[b]))) << std::hex << "half 0x" << b;
}

TEST_P(HalfPaths, FloatsRoundAsImathRoundsThem) {
    const std::uint32_t kFloats[] = {
        0x00000000, 0x80000000, 0x3f800000, 0xbf800000, 0x3dcccccd,  // zeros, ones, 0.1
        0x3f801000, 0x3f803000, 0x3f801001, 0x3f800fff,              // halfway to even, above, below
        0x477fe000, 0x477fefff, 0x477ff000, 0xc77ff000, 0x501502f9,  // largest half, up to and past overflow
        0x7f800000, 0xff800000,                                      // infinities
        0x7fc00000, 0xffc00000, 0x7fc02000, 0x7fc00001,              // quiet NaNs, payloads high and low
        0x7f800001, 0x7fa00000, 0xff802000,                          // signalling NaNs
        0x33800000, 0x33000000, 0x33c00000, 0x33000001,              // smallest denormal half, ties around it
        0x387fc000, 0x387fe000, 0x38800000,                          // largest denormal, tie to smallest normal
        0x00000001, 0x80000001,                                      // float denormals
    };
    const std::size_t n = sizeof kFloats / sizeof kFloats[0];
    std::vector<float> in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = FromBits(kFloats[i]);
    std::vector<Imath::half> out(n);
    ASSERT_TRUE(FloatsToHalvesOn(GetParam(), in.data(), out.data(), n));
    for (std::size_t i = 0; i < n; ++i)
        EXPECT_EQ(out[i].bits(), Imath::half(in[i]).bits()) << std::hex << "float 0x" << kFloats[i];
}

// Half RGBA to the host's float pixels in one pass gives what converting
// and then decoding the row gives: every half as colour, over alphas of
// each kind (zero of both signs, denormal, normal, one, largest,
// infinite, negative, NaN), straight and associated; rows of 13 pixels,
// so that the F16C path's pairs end in a lone pixel.
TEST_P(HalfPaths, RgbaPixelsAreThoseOfTheRowDecoded) {
    const std::uint16_t kAlphas[] = {0x0000, 0x8000, 0x0001, 0x03ff, 0x3800, 0x3c00,
                                     0x7bff, 0x7c00, 0xbc00, 0x7e00, 0x7c01, 0xfe00};
    constexpr std::size_t kWidth = 13;
    std::vector<Imath::half> row(4 * kWidth);
    std::vector<float> floats(row.size());
    PF_PixelFloat ours[kWidth], reference[kWidth];
    for (const bool associated : {false, true})
        for (const std::uint16_t alpha : kAlphas)
            for (std::uint32_t first = 0; first < 65536; first += kWidth) {
                for (std::size_t x = 0; x < kWidth; ++x) {
                    const std::uint32_t b = (first + x) & 0xffff;
                    row[4 * x].setBits(static_cast<std::uint16_t>(b));
                    row[4 * x + 1].setBits(static_cast<std::uint16_t>(b * 7 + 3));
                    row[4 * x + 2].setBits(static_cast<std::uint16_t>(~b));
                    row[4 * x + 3].setBits(x == 5 ? std::uint16_t{0x3c00} : alpha);
                }
                ASSERT_TRUE(HalfRgbaToPixelsOn(GetParam(), row.data(), associated, kWidth, ours));
                for (std::size_t i = 0; i < row.size(); ++i) floats[i] = static_cast<float>(row[i]);
                DecodeRow<float>(reinterpret_cast<const unsigned char *>(floats.data()), PackedSteps<float>(4), 4,
                                 associated, kWidth, reference);
                ASSERT_EQ(std::memcmp(ours, reference, sizeof ours), 0)
                    << std::hex << "colour 0x" << first << " alpha 0x" << alpha << " associated " << associated;
            }
}

INSTANTIATE_TEST_SUITE_P(Paths, HalfPaths, ::testing::Values(HalfPath::kPortable, HalfPath::kF16c),
                         [](const ::testing::TestParamInfo<HalfPath> &info) {
                             return info.param == HalfPath::kF16c ? "f16c" : "portable";
                         });

// The processor's features as the kernel lists them ("flags" in
// /proc/cpuinfo), read apart from the conversion's own CPUID check.
std::optional<std::set<std::string>> KernelCpuFlags() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("flags", 0) != 0 || line.find(':') == std::string::npos) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        return std::set<std::string>(std::istream_iterator<std::string>(words), {});
    }
    return std::nullopt;
}

// Each path is offered exactly where it runs: the portable one always, the
// F16C one on an x86-64 build where the processor has AVX and F16C (the
// kernel lists AVX only where it saves the 256-bit registers). A wrong
// answer either way fails: offered where it would fault, or withheld so
// its cases above are skipped and the files take the slow path.
TEST(HalfPathChoice, OfferedWhereTheProcessorRunsIt) {
    EXPECT_TRUE(HalfPathAvailable(HalfPath::kPortable));
#if defined(__x86_64__)
    const std::optional<std::set<std::string>> flags = KernelCpuFlags();
    if (!flags) GTEST_SKIP() << "no flags line in /proc/cpuinfo";
    const bool f16c = flags->count("avx") != 0 && flags->count("f16c") != 0;
#else
    const bool f16c = false;
#endif
    EXPECT_EQ(HalfPathAvailable(HalfPath::kF16c), f16c);
    const float in[1] = {1.0f};
    Imath::half out[1] = {Imath::half(0.0f)};
    EXPECT_EQ(FloatsToHalvesOn(HalfPath::kF16c, in, out, 1), f16c);
    EXPECT_EQ(out[0].bits(), f16c ? 0x3c00 : 0x0000) << "written only where the path runs";
}

}  // namespace
}  // namespace veilshadow
