// Option values: opacity, alpha mode, frame ranges and frame patterns.
#include "Errors.h"
#include "Options.h"
#include "Sequence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace veilshadow {
namespace {

struct OpacityCase {
    const char *text;
    PF_Fixed slider;
};

class OpacityAccepted : public ::testing::TestWithParam<OpacityCase> {};

TEST_P(OpacityAccepted, GivesTheRoundedSliderValue) {
    EXPECT_EQ(ParseOpacity(GetParam().text), GetParam().slider) << GetParam().text;
}

// PCT * 65536 rounded to nearest, halves up.
INSTANTIATE_TEST_SUITE_P(
    Table, OpacityAccepted,
    ::testing::Values(OpacityCase{"0", 0}, OpacityCase{"100", 6553600}, OpacityCase{"50", 3276800},
                      OpacityCase{"12.5", 819200}, OpacityCase{"33.3", 2182349}, // 2182348.8
                      OpacityCase{"0.001", 66},                                 // 65.536
                      OpacityCase{"0.0000076293945", 0},                        // 0.49999999...
                      OpacityCase{"0.00000762939453125", 1},                    // exactly 0.5: up
                      OpacityCase{"0.000007629394531249999999", 0},             // just below the halfway point
                      OpacityCase{"99.99999999", 6553600},                      // 6553599.99
                      OpacityCase{"100.000", 6553600}, OpacityCase{"007", 458752},
                      OpacityCase{".5", 32768}, OpacityCase{"5.", 327680}, OpacityCase{"25%", 1638400}));

// The exact decimal result agrees with a double computation wherever the
// double is far from a halfway point.
TEST(Opacity, AgreesWithDoubleArithmeticAwayFromHalfwayPoints) {
    for (int thousandths = 0; thousandths <= 100000; thousandths += 7) {
        const double pct = thousandths / 1000.0;
        const double scaled = pct * 65536.0;
        if (std::fabs(scaled - std::floor(scaled) - 0.5) < 1e-6)
            continue;
        char text[32];
        std::snprintf(text, sizeof text, "%d.%03d", thousandths / 1000, thousandths % 1000);
        ASSERT_EQ(ParseOpacity(text), static_cast<PF_Fixed>(std::floor(scaled + 0.5))) << text;
    }
}

class OpacityRejected : public ::testing::TestWithParam<const char *> {};

TEST_P(OpacityRejected, IsAUsageErrorNamingTheOption) {
    try {
        ParseOpacity(GetParam());
        FAIL() << "accepted \"" << GetParam() << "\"";
    } catch (const UsageError &e) {
        EXPECT_NE(std::string(e.what()).find("--opacity"), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, OpacityRejected,
                         ::testing::Values("", "-1", "+5", "100.0001", "101", "1000", "abc", "5x", "nan", "inf",
                                           "1e2", "5,5", " 5", "5 ", ".", "%", "50%%", "0x10", "99999999999999999999"));

TEST(AlphaMode, NamesAndRejections) {
    EXPECT_EQ(ParseAlphaMode("auto"), AlphaMode::kAuto);
    EXPECT_EQ(ParseAlphaMode("straight"), AlphaMode::kStraight);
    EXPECT_EQ(ParseAlphaMode("associated"), AlphaMode::kAssociated);
    for (const char *bad : {"", "Auto", "premultiplied", "unassociated"})
        EXPECT_THROW(ParseAlphaMode(bad), UsageError) << bad;
}

struct RangeCase {
    const char *text;
    long first, last;
};

TEST(FrameRange, AcceptedForms) {
    const RangeCase cases[] = {{"1-48", 1, 48}, {"0-0", 0, 0}, {"7", 7, 7}, {"0010-0012", 10, 12},
                               {"999999999-999999999", 999999999, 999999999}};
    for (const RangeCase &c : cases) {
        const FrameRange range = ParseFrameRange(c.text);
        EXPECT_EQ(range.first, c.first) << c.text;
        EXPECT_EQ(range.last, c.last) << c.text;
        EXPECT_EQ(range.count(), c.last - c.first + 1) << c.text;
    }
}

TEST(FrameRange, RejectedForms) {
    for (const char *bad : {"", "-", "5-", "-5", "5-2", "a-b", "1-2-3", "1..5", "1 - 5", "1000000000", "1-1000000000",
                            "1,5"})
        EXPECT_THROW(ParseFrameRange(bad), UsageError) << bad;
}

struct PatternCase {
    const char *path;
    long frame;
    const char *expanded;
    bool has_pattern;
};

TEST(FramePattern, Expansion) {
    const PatternCase cases[] = {
        {"comp.####.exr", 7, "comp.0007.exr", true},
        {"comp.%04d.exr", 7, "comp.0007.exr", true},
        {"comp.%d.exr", 7, "comp.7.exr", true},
        {"comp.##.exr", 123, "comp.123.exr", true}, // wider than the pattern: in full
        {"comp.#.png", 3, "comp.3.png", true},
        {"comp.%06d.tif", 42, "comp.000042.tif", true},
        {"shots/s####/f####.exr", 12, "shots/s0012/f0012.exr", true},
        {"comp.exr", 5, "comp.exr", false},
        {"100%.png", 5, "100%.png", false},   // a lone % is no pattern
        {"a%5d.png", 5, "a%5d.png", false},   // only %d and %0Nd
        {"a%0d.png", 5, "a%0d.png", false},
    };
    for (const PatternCase &c : cases) {
        EXPECT_EQ(HasFramePattern(c.path), c.has_pattern) << c.path;
        EXPECT_EQ(ExpandFramePattern(c.path, c.frame), c.expanded) << c.path;
    }
}

} // namespace
} // namespace veilshadow
