#include "Smart_Utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>
#include <random>
#include <string>

// PF_LRect lives in the global namespace, so its operators must too for
// argument-dependent lookup to find them inside the assertions.
static std::ostream &operator<<(std::ostream &os, const PF_LRect &r) {
    return os << '(' << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ')';
}

static bool operator==(const PF_LRect &a, const PF_LRect &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

namespace {

// ---------------------------------------------------------------------------
// IsEmptyRect

struct EmptyCase {
    PF_LRect rect;
    bool empty;
};

const EmptyCase kEmptyCases[] = {
    {{0, 0, 0, 10}, true},  // zero width
    {{0, 0, 10, 0}, true},  // zero height
    {{0, 0, 1, 1}, false},  // one pixel
    {{5, 0, 2, 10}, true},  // left past right
    {{0, 5, 10, 2}, true},  // top past bottom
    {{-10, -10, -5, -5}, false},
    {{-1, -1, 0, 0}, false},  // signed: -1 < 0
    {{0, 0, -1, 10}, true},
    {{INT_MIN, INT_MIN, INT_MAX, INT_MAX}, false},
    {{INT_MAX, 0, INT_MIN, 10}, true},
    {{0, 0, 0, 0}, true},
};

TEST(IsEmptyRectTest, Table) {
    for (const EmptyCase &c : kEmptyCases) {
        EXPECT_EQ(IsEmptyRect(&c.rect), c.empty) << c.rect;
    }
}

// Empty means no integer point lies inside (right and bottom exclusive).
TEST(IsEmptyRectTest, AgreesWithPointCount) {
    for (int l = -2; l <= 2; ++l)
        for (int t = -2; t <= 2; ++t)
            for (int r = -2; r <= 2; ++r)
                for (int b = -2; b <= 2; ++b) {
                    const PF_LRect rect = {l, t, r, b};
                    int inside = 0;
                    for (int x = -3; x <= 3; ++x)
                        for (int y = -3; y <= 3; ++y) inside += (x >= l && x < r && y >= t && y < b) ? 1 : 0;
                    EXPECT_EQ(IsEmptyRect(&rect), inside == 0) << rect;
                }
}

// ---------------------------------------------------------------------------
// UnionLRect

struct UnionCase {
    const char *label;
    PF_LRect src;
    PF_LRect dst;
    PF_LRect expected;
};

const UnionCase kUnionCases[] = {
    {"Overlapping", {0, 0, 10, 10}, {5, 5, 20, 20}, {0, 0, 20, 20}},
    {"SignedCoordinates", {-5, -5, 0, 0}, {0, 0, 10, 10}, {-5, -5, 10, 10}},
    {"Disjoint", {30, -40, 35, -30}, {0, 0, 10, 10}, {0, -40, 35, 10}},
    {"SrcInsideDst", {2, 2, 3, 3}, {0, 0, 10, 10}, {0, 0, 10, 10}},
    {"DstInsideSrc", {0, 0, 10, 10}, {2, 2, 3, 3}, {0, 0, 10, 10}},
    {"Extremes", {INT_MIN, 0, 1, INT_MAX}, {0, INT_MIN, INT_MAX, 1}, {INT_MIN, INT_MIN, INT_MAX, INT_MAX}},
    {"EmptyDstTakesSrc", {1, 2, 3, 4}, {0, 0, 0, 0}, {1, 2, 3, 4}},
    {"InvertedDstTakesSrc", {-3, -2, 7, 9}, {10, 10, 5, 5}, {-3, -2, 7, 9}},
    {"BothEmptyCopiesSrc", {9, 8, 7, 6}, {0, 0, 0, 0}, {9, 8, 7, 6}},
    {"EmptyZeroWidthSrcCopied", {4, 0, 4, 10}, {1, 1, 1, 5}, {4, 0, 4, 10}},
    {"EmptySrcLeavesDst", {0, 0, 0, 0}, {5, 5, 20, 20}, {5, 5, 20, 20}},
    {"InvertedSrcLeavesDst", {100, 100, -100, -100}, {5, 5, 20, 20}, {5, 5, 20, 20}},
};

void PrintTo(const UnionCase &c, std::ostream *os) { *os << c.label; }

class UnionLRectTest : public ::testing::TestWithParam<UnionCase> {};

TEST_P(UnionLRectTest, Result) {
    const UnionCase &c = GetParam();
    const PF_LRect src = c.src;
    PF_LRect dst = c.dst;
    UnionLRect(&src, &dst);
    EXPECT_EQ(dst, c.expected);
    EXPECT_EQ(src, c.src);  // the source is read only
}

INSTANTIATE_TEST_SUITE_P(Cases, UnionLRectTest, ::testing::ValuesIn(kUnionCases),
                         [](const ::testing::TestParamInfo<UnionCase> &info) { return std::string(info.param.label); });

TEST(UnionLRectAliasTest, UnionWithItselfIsUnchanged) {
    for (PF_LRect rect : {PF_LRect{-3, -4, 5, 6}, PF_LRect{5, 5, 1, 1}}) {
        const PF_LRect before = rect;
        UnionLRect(&rect, &rect);
        EXPECT_EQ(rect, before);
    }
}

// For two non-empty rectangles the union is the bounding box of every point
// either one holds, found here by visiting the points.
TEST(UnionLRectPropertyTest, BoundingBoxOfCoveredPoints) {
    std::mt19937 rng(7u);
    std::uniform_int_distribution<int> coord(-6, 6);
    auto random_nonempty = [&] {
        PF_LRect r;
        do {
            r = {coord(rng), coord(rng), coord(rng), coord(rng)};
        } while (r.left >= r.right || r.top >= r.bottom);
        return r;
    };
    for (int trial = 0; trial < 500; ++trial) {
        const PF_LRect a = random_nonempty();
        const PF_LRect b = random_nonempty();
        PF_LRect box = {INT_MAX, INT_MAX, INT_MIN, INT_MIN};
        for (int x = -7; x <= 7; ++x) {
            for (int y = -7; y <= 7; ++y) {
                const bool in_a = x >= a.left && x < a.right && y >= a.top && y < a.bottom;
                const bool in_b = x >= b.left && x < b.right && y >= b.top && y < b.bottom;
                if (in_a || in_b) {
                    box.left = std::min(box.left, x);
                    box.top = std::min(box.top, y);
                    box.right = std::max(box.right, x + 1);
                    box.bottom = std::max(box.bottom, y + 1);
                }
            }
        }
        PF_LRect dst = b;
        UnionLRect(&a, &dst);
        EXPECT_EQ(dst, box) << "src " << a << " dst " << b;
    }
}

// ---------------------------------------------------------------------------
// IsEdgePixel

struct EdgeCase {
    PF_LRect rect;
    A_long x, y;
    bool edge;
};

const EdgeCase kEdgeCases[] = {
    {{0, 0, 10, 10}, 0, 5, true},    // left side
    {{0, 0, 10, 10}, 10, 10, true},  // bottom-right corner counts
    {{0, 0, 10, 10}, 5, 5, false},   // inside
    {{0, 0, 10, 10}, 11, 5, false},  // outside, right
    {{0, 0, 10, 10}, 0, 11, false},  // on the left line, below the rectangle
    {{0, 0, 10, 10}, 10, 0, true},   // top-right corner
    {{0, 0, 10, 10}, 5, 0, true},    // top side
    {{0, 0, 10, 10}, 5, 10, true},   // bottom side
    {{0, 0, 10, 10}, 10, 7, true},   // right side
    {{0, 0, 10, 10}, -1, 5, false},
    {{0, 0, 10, 10}, 5, -1, false},
    {{0, 0, 10, 10}, 11, 10, false},  // on the bottom line, right of it
    {{0, 0, 10, 10}, 0, -1, false},   // on the left line, above it
    {{-10, -10, -2, -2}, -10, -5, true},
    {{-10, -10, -2, -2}, -6, -2, true},
    {{-10, -10, -2, -2}, -6, -6, false},
    // Inverted rectangle: on a vertical line the vertical range is empty.
    {{10, 10, 0, 0}, 10, 5, false},
    {{10, 10, 0, 0}, 5, 10, false},
};

TEST(IsEdgePixelTest, Table) {
    for (const EdgeCase &c : kEdgeCases) {
        PF_LRect rect = c.rect;
        EXPECT_EQ(IsEdgePixel(&rect, c.x, c.y), c.edge) << rect << " at (" << c.x << ", " << c.y << ")";
        EXPECT_EQ(rect, c.rect);
    }
}

}  // namespace
