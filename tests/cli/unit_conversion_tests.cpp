// The exact conversions between file samples and host channel values.
#include "PixelConversion.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace veilshadow {
namespace {

TEST(Depth16Mapping, EndpointsAndRange) {
    EXPECT_EQ(FileToHost16(0), 0);
    EXPECT_EQ(FileToHost16(65535), 32768);
    EXPECT_EQ(HostToFile16(0), 0);
    EXPECT_EQ(HostToFile16(32768), 65535);
    for (std::uint32_t v = 0; v <= 65535; ++v)
        ASSERT_LE(FileToHost16(static_cast<std::uint16_t>(v)), 32768) << "v = " << v;
}

TEST(Depth16Mapping, MatchesTheIntegerFormulas) {
    // The formulas in 64-bit arithmetic, so an overflow in the 32-bit
    // implementation would show.
    for (std::uint64_t v = 0; v <= 65535; ++v)
        ASSERT_EQ(FileToHost16(static_cast<std::uint16_t>(v)), (v * 32768 + 32767) / 65535) << "v = " << v;
    for (std::uint64_t h = 0; h <= 32768; ++h)
        ASSERT_EQ(HostToFile16(static_cast<std::uint16_t>(h)), (h * 65535 + 16384) / 32768) << "h = " << h;
}

TEST(Depth16Mapping, BothDirectionsAreMonotonic) {
    for (std::uint32_t v = 1; v <= 65535; ++v)
        ASSERT_GE(FileToHost16(static_cast<std::uint16_t>(v)), FileToHost16(static_cast<std::uint16_t>(v - 1)));
    for (std::uint32_t h = 1; h <= 32768; ++h)
        ASSERT_GT(HostToFile16(static_cast<std::uint16_t>(h)), HostToFile16(static_cast<std::uint16_t>(h - 1)));
}

// Every host value survives the trip out to a file and back.
TEST(Depth16Mapping, HostValuesRoundTripExactly) {
    for (std::uint32_t h = 0; h <= 32768; ++h) {
        const auto v = HostToFile16(static_cast<std::uint16_t>(h));
        ASSERT_EQ(FileToHost16(v), h) << "h = " << h << ", v = " << v;
    }
}

// 65536 file values cannot all fit 32769 host values: a file value comes
// back at most one step away, and every host value is reached.
TEST(Depth16Mapping, FileValuesComeBackWithinOneStep) {
    int exact = 0;
    for (std::uint32_t v = 0; v <= 65535; ++v) {
        const int back = HostToFile16(FileToHost16(static_cast<std::uint16_t>(v)));
        ASSERT_LE(std::abs(back - static_cast<int>(v)), 1) << "v = " << v;
        exact += back == static_cast<int>(v);
    }
    EXPECT_EQ(exact, 32769);  // exactly one file value per host value is kept
}

TEST(Depth16Mapping, ValuesAboveFullScaleAreLimited) {
    EXPECT_EQ(HostToFile16(32769), 65535);
    EXPECT_EQ(HostToFile16(65535), 65535);
}

struct CrossDepthCase {
    const char *name;
    double got;
    double expected;
};

TEST(CrossDepth, RoundsToNearestAndLimits) {
    const CrossDepthCase cases[] = {
        {"8 to 16: 0", double(File8ToHost16(0)), 0},
        {"8 to 16: 255", double(File8ToHost16(255)), 32768},
        {"8 to 16: 128 (16448.25)", double(File8ToHost16(128)), 16448},
        {"8 to 16: 1 (128.5)", double(File8ToHost16(1)), 129},
        {"16 to 8: 65535", double(File16ToHost8(65535)), 255},
        {"16 to 8: 128 (0.498)", double(File16ToHost8(128)), 0},
        {"16 to 8: 129 (0.502)", double(File16ToHost8(129)), 1},
        {"float to 8: 0.5", double(FloatToHost8(0.5f)), 128},
        {"float to 8: below 0", double(FloatToHost8(-0.25f)), 0},
        {"float to 8: above 1", double(FloatToHost8(7.0f)), 255},
        {"float to 8: NaN", double(FloatToHost8(std::nanf(""))), 0},
        {"float to 16: 0.5", double(FloatToHost16(0.5f)), 16384},
        {"float to 16: 1", double(FloatToHost16(1.0f)), 32768},
        {"float to 16: above 1", double(FloatToHost16(1.5f)), 32768},
        {"float to 16: NaN", double(FloatToHost16(std::nanf(""))), 0},
        {"8 to float: 51", double(File8ToFloat(51)), 0.2f},
        {"16 to float: 65535", double(File16ToFloat(65535)), 1.0f},
    };
    for (const CrossDepthCase &c : cases) EXPECT_EQ(c.got, c.expected) << c.name;
}

struct AlphaCase {
    std::uint32_t c, a, max;
    std::uint32_t straight;    // Unassociate(c, a, max)
    std::uint32_t associated;  // Associate(straight, a, max)
};

TEST(IntegerAlpha, DividesAndMultipliesWithRounding) {
    const AlphaCase cases[] = {
        {100, 200, 255, 128, 100},  // 127.5 rounds up; 128 * 200 / 255 = 100.39
        {0, 0, 255, 0, 0},          // transparent stays as it is
        {37, 0, 255, 37, 37},       // colour of a transparent pixel is kept
        {255, 255, 255, 255, 255},
        {200, 100, 255, 255, 100},  // more colour than alpha: limited
        {30000, 65535, 65535, 30000, 30000},
        {1000, 3000, 65535, 21845, 1000},
    };
    for (const AlphaCase &c : cases) {
        EXPECT_EQ(Unassociate(c.c, c.a, c.max), c.straight) << c.c << " / " << c.a;
        EXPECT_EQ(Associate(c.straight, c.a, c.max), c.associated) << c.straight << " * " << c.a;
    }
}

TEST(IntegerAlpha, StraightValuesSurviveAssociationAtFullAlpha) {
    for (std::uint32_t c = 0; c <= 255; ++c) {
        ASSERT_EQ(Associate(c, 255, 255), c);
        ASSERT_EQ(Unassociate(c, 255, 255), c);
    }
}

TEST(FloatAlpha, DividesOnlyWherePositive) {
    EXPECT_EQ(Unassociate(0.25f, 0.5f), 0.5f);
    EXPECT_EQ(Associate(0.5f, 0.5f), 0.25f);
    EXPECT_EQ(Unassociate(0.3f, 0.0f), 0.3f);
    EXPECT_EQ(Associate(0.3f, 0.0f), 0.3f);
    EXPECT_EQ(Unassociate(0.3f, -1.0f), 0.3f);
    EXPECT_EQ(Unassociate(2.0f, 0.5f), 4.0f);  // float colour is not limited
}

// The conversions of an output written in another sample type equal
// OpenImageIO's own (the library's, as oiiotool -d converts), every
// integer and a sweep of floats with each rounding tie, the ends, beyond
// them and NaN.
template <class From, class To, class Convert>
void ExpectOpenImageIOConversion(const std::vector<From> &in, Convert convert) {
    std::vector<To> library(in.size());
    ASSERT_TRUE(OIIO::convert_pixel_values(OIIO::TypeDescFromC<From>::value(), in.data(),
                                           OIIO::TypeDescFromC<To>::value(), library.data(), int(in.size())));
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (!std::isnan(static_cast<float>(in[i]))) {
            ASSERT_EQ(convert(in[i]), library[i]) << "value " << +in[i];
        }
    }
}

TEST(FileSampleConversion, AsOpenImageIOConverts) {
    std::vector<std::uint8_t> all8(256);
    std::vector<std::uint16_t> all16(65536);
    for (std::size_t v = 0; v < all16.size(); ++v) {
        all16[v] = static_cast<std::uint16_t>(v);
        if (v < 256) all8[v] = static_cast<std::uint8_t>(v);
    }
    std::vector<float> floats = {-1.0f, -0.0f, 1.0f, 1.5f, 1e30f, std::numeric_limits<float>::quiet_NaN()};
    for (int k = 0; k <= 65535 * 2; ++k) {
        floats.push_back(static_cast<float>(k) / 131070.0f);  // ties of the 16-bit scale
        if (k <= 510) floats.push_back(static_cast<float>(k) / 510.0f);
        floats.push_back(std::nextafter(static_cast<float>(k) / 131070.0f, 1.0f));
    }
    ExpectOpenImageIOConversion<std::uint8_t, std::uint16_t>(all8, File8ToFile16);
    ExpectOpenImageIOConversion<std::uint16_t, std::uint8_t>(all16, File16ToFile8);
    ExpectOpenImageIOConversion<float, std::uint8_t>(floats, FloatToFile8);
    ExpectOpenImageIOConversion<float, std::uint16_t>(floats, FloatToFile16);
    EXPECT_EQ(FloatToFile8(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(FloatToFile16(-0.25f), 0);
    EXPECT_EQ(FloatToFile16(7.0f), 65535);
    // Integers to float: a correctly rounded division, which reads back.
    for (int v = 0; v <= 255; ++v) EXPECT_EQ(FloatToFile8(File8ToFloat(std::uint8_t(v))), v);
}

}  // namespace
}  // namespace veilshadow
