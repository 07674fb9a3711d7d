// The half conversions on each path against Imath's, bit for bit: every
// half to float, and floats at the edges of rounding, range and NaN.
#include "HalfConversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

INSTANTIATE_TEST_SUITE_P(Paths, HalfPaths, ::testing::Values(HalfPath::kPortable, HalfPath::kF16c),
                         [](const ::testing::TestParamInfo<HalfPath> &info) {
                             return info.param == HalfPath::kF16c ? "f16c" : "portable";
                         });

TEST(HalfPathChoice, PortableRunsEverywhere) { EXPECT_TRUE(HalfPathAvailable(HalfPath::kPortable)); }

}  // namespace
}  // namespace veilshadow
