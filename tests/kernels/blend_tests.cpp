// Straight-alpha "over" in the three depths. Pixels are written alpha first.
#include <cmath>
#include <limits>

#include "kernel_test_support.h"

namespace {

using orvane::blend16;
using orvane::blend32;
using orvane::blend8;

struct Blend8Case {
    const char *what;
    PF_Pixel under, top, expected;
};

const Blend8Case kBlend8Cases[] = {
    {"opaque black under half white", {255, 0, 0, 0}, {128, 255, 255, 255}, {255, 128, 128, 128}},
    {"k truncates 63.75 to 63", {128, 0, 0, 0}, {128, 255, 255, 255}, {191, 170, 170, 170}},
    {"weighted colours truncate", {100, 10, 20, 30}, {200, 40, 50, 60}, {221, 37, 47, 57}},
    {"transparent under gives top", {0, 1, 2, 3}, {0, 4, 5, 6}, {0, 4, 5, 6}},
    {"transparent under, partial top", {0, 1, 2, 3}, {77, 4, 5, 6}, {77, 4, 5, 6}},
    {"transparent top gives under", {90, 1, 2, 3}, {0, 4, 5, 6}, {90, 1, 2, 3}},
    {"opaque top over opaque under", {255, 9, 9, 9}, {255, 4, 5, 6}, {255, 4, 5, 6}},
    {"near-transparent top", {255, 200, 100, 0}, {1, 0, 255, 255}, {255, 199, 100, 1}},
    {"near-opaque top", {1, 255, 255, 255}, {254, 0, 0, 0}, {254, 0, 0, 0}},
};

void PrintTo(const Blend8Case &c, std::ostream *os) { *os << c.what; }
class Blend8 : public testing::TestWithParam<Blend8Case> {};
TEST_P(Blend8, MatchesTheRule) {
    const Blend8Case &c = GetParam();
    EXPECT_EQ(blend8(c.under, c.top), c.expected) << c.what;
}
INSTANTIATE_TEST_SUITE_P(Cases, Blend8, testing::ValuesIn(kBlend8Cases));

struct Blend16Case {
    const char *what;
    PF_Pixel16 under, top, expected;
};

const Blend16Case kBlend16Cases[] = {
    {"half over half", {16384, 0, 0, 0}, {16384, 32768, 32768, 32768}, {24576, 21845, 21845, 21845}},
    {"half over opaque", {32768, 0, 0, 0}, {16384, 32768, 32768, 32768}, {32768, 16384, 16384, 16384}},
    {"transparent under", {0, 1, 2, 3}, {0, 4, 5, 6}, {0, 4, 5, 6}},
    {"opaque top", {32768, 1, 2, 3}, {32768, 4, 5, 6}, {32768, 4, 5, 6}},
    {"transparent top", {300, 1, 2, 3}, {0, 4, 5, 6}, {300, 1, 2, 3}},
    // k = 32767 * 1 / 32768 truncates to 0: the top alone remains.
    {"k truncates to zero", {32767, 1000, 1000, 1000}, {32767, 10, 20, 30}, {32767, 10, 20, 30}},
    // 16-bit channels above 32768 are limited to 32768 before blending.
    {"alpha above full scale counts as opaque", {100, 1, 2, 3}, {65535, 4, 5, 6}, {32768, 4, 5, 6}},
    {"colours above full scale are limited",
     {32768, 65535, 0, 40000},
     {16384, 65535, 65535, 0},
     {32768, 32768, 16384, 16384}},
    {"everything at 65535", {65535, 65535, 65535, 65535}, {65535, 65535, 65535, 65535}, {32768, 32768, 32768, 32768}},
    {"under above full scale, partial top", {65535, 0, 0, 0}, {1, 32768, 32768, 32768}, {32768, 1, 1, 1}},
};

void PrintTo(const Blend16Case &c, std::ostream *os) { *os << c.what; }
class Blend16 : public testing::TestWithParam<Blend16Case> {};
TEST_P(Blend16, MatchesTheRule) {
    const Blend16Case &c = GetParam();
    EXPECT_EQ(blend16(c.under, c.top), c.expected) << c.what;
}
INSTANTIATE_TEST_SUITE_P(Cases, Blend16, testing::ValuesIn(kBlend16Cases));

// No channel value, however far out of range, leaves the 16-bit range.
TEST(Blend16, OutOfRangeChannelsStayInRange) {
    const A_u_short values[] = {0, 1, 16384, 32767, 32768, 32769, 40000, 65534, 65535};
    for (A_u_short ua : values)
        for (A_u_short ta : values)
            for (A_u_short c : values) {
                const PF_Pixel16 r = blend16({ua, c, A_u_short(65535 - c), c}, {ta, A_u_short(65535 - c), c, 1});
                EXPECT_LE(r.alpha, 32768);
                EXPECT_LE(r.red, 32768);
                EXPECT_LE(r.green, 32768);
                EXPECT_LE(r.blue, 32768);
            }
}

struct Blend32Case {
    const char *what;
    PF_PixelFloat under, top, expected;
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

const Blend32Case kBlend32Cases[] = {
    {"half over half", {0.5f, 0, 0, 0}, {0.5f, 1, 1, 1}, {0.75f, 0.6666667f, 0.6666667f, 0.6666667f}},
    {"half over opaque", {1, 0, 0, 0}, {0.5f, 1, 1, 1}, {1.0f, 0.5f, 0.5f, 0.5f}},
    {"out of range colours are kept",
     {0.5f, -1, -1, -1},
     {0.5f, 1, 1, 1},
     {0.75f, 0.33333334f, 0.33333334f, 0.33333334f}},
    {"transparent under", {0, 1, 2, 3}, {0.3f, 4, 5, 6}, {0.3f, 4, 5, 6}},
    {"opaque top", {0.5f, 1, 2, 3}, {1, 4, 5, 6}, {1, 4, 5, 6}},
    {"transparent top", {0.5f, 1, 2, 3}, {0, 4, 5, 6}, {0.5f, 1, 2, 3}},
    // 0.99999994 is not 1.0: it is blended, not copied.
    {"almost opaque top is blended",
     {1, 0, 0, 0},
     {0.99999994f, 1, 1, 1},
     {1.0f, 0.99999994f, 0.99999994f, 0.99999994f}},
    // A NaN under-alpha fails the first test and falls to the top's tests.
    {"NaN under, opaque top", {kNaN, 1, 2, 3}, {1, 4, 5, 6}, {1, 4, 5, 6}},
    {"NaN under, transparent top", {kNaN, 1, 2, 3}, {0, 4, 5, 6}, {kNaN, 1, 2, 3}},
    // Alphas outside 0..1 may make the result alpha zero: IEEE rules, no trap.
    {"zero result alpha divides to NaN/inf", {2, 0, 0, 0}, {2, 1, 0, -1}, {0, kInf, kNaN, -kInf}},
};

void PrintTo(const Blend32Case &c, std::ostream *os) { *os << c.what; }
class Blend32 : public testing::TestWithParam<Blend32Case> {};
TEST_P(Blend32, MatchesTheRuleBitForBit) {
    const Blend32Case &c = GetParam();
    const PF_PixelFloat r = blend32(c.under, c.top);
    if (std::isnan(c.expected.alpha)) {
        EXPECT_TRUE(std::isnan(r.alpha)) << c.what;
        EXPECT_EQ(r.red, c.expected.red) << c.what;
    } else if (std::isnan(c.expected.green)) {
        EXPECT_EQ(r.alpha, c.expected.alpha) << c.what;
        EXPECT_EQ(r.red, c.expected.red) << c.what;
        EXPECT_TRUE(std::isnan(r.green)) << c.what;
        EXPECT_EQ(r.blue, c.expected.blue) << c.what;
    } else {
        EXPECT_EQ(r, c.expected) << c.what;
    }
}
INSTANTIATE_TEST_SUITE_P(Cases, Blend32, testing::ValuesIn(kBlend32Cases));

// A NaN top alpha with a non-zero under alpha reaches the arithmetic: every
// channel comes out NaN rather than a copy of either pixel.
TEST(Blend32, NaNTopAlphaIsBlended) {
    const PF_PixelFloat r = blend32({0.5f, 0.1f, 0.2f, 0.3f}, {kNaN, 1, 1, 1});
    EXPECT_TRUE(std::isnan(r.alpha));
    EXPECT_TRUE(std::isnan(r.red));
}

}  // namespace
