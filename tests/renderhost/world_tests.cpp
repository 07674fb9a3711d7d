// Worlds: the host never makes or lends a world a plug-in could misread.
#include "rh_test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace {

using renderhost::Depth;
using renderhost::World;

constexpr A_long kMax = std::numeric_limits<A_long>::max();

struct BadWorld {
    const char *what;
    Depth depth;
    A_long width, height, origin_x, origin_y;
    std::optional<A_long> rowbytes;
    bool length_error;  // else invalid_argument
    const char *message_part;
};
void PrintTo(const BadWorld &c, std::ostream *os) { *os << c.what; }

class WorldRefuses : public ::testing::TestWithParam<BadWorld> {};

TEST_P(WorldRefuses, WithAClearException) {
    const BadWorld &c = GetParam();
    try {
        World world(c.depth, c.width, c.height, c.origin_x, c.origin_y, c.rowbytes);
        FAIL() << c.what << " was accepted";
    } catch (const std::length_error &e) {
        EXPECT_TRUE(c.length_error) << c.what << ": " << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    } catch (const std::invalid_argument &e) {
        EXPECT_FALSE(c.length_error) << c.what << ": " << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorldRefuses,
    ::testing::Values(
        BadWorld{"negative width", Depth::k8, -1, 4, 0, 0, std::nullopt, false, "negative size"},
        BadWorld{"negative height", Depth::k32, 4, -3, 0, 0, std::nullopt, false, "negative size"},
        BadWorld{"stride below a row", Depth::k8, 10, 2, 0, 0, 39, false, "smaller than a row"},
        BadWorld{"stride below a 16-bit row", Depth::k16, 10, 2, 0, 0, 72, false, "smaller than a row"},
        BadWorld{"negative stride", Depth::k8, 0, 2, 0, 0, -4, false, "smaller than a row"},
        BadWorld{"stride not whole pixels", Depth::k32, 2, 2, 0, 0, 40, false, "multiple of the pixel size"},
        BadWorld{"row beyond 32 bits", Depth::k32, kMax / 8, 1, 0, 0, std::nullopt, true, "32-bit row stride"},
        BadWorld{"too many bytes", Depth::k8, 65536, 32768, 0, 0, std::nullopt, true, "more than"},
        BadWorld{"far edge beyond 32 bits", Depth::k8, 10, 1, kMax - 5, 0, std::nullopt, true, "far edge"}));

struct GoodWorld {
    Depth depth;
    A_long width, height;
    std::optional<A_long> rowbytes;
    A_long expected_rowbytes;
    A_long expected_flags;
};

class WorldAccepts : public ::testing::TestWithParam<GoodWorld> {};

TEST_P(WorldAccepts, WithAValidDescriptor) {
    const GoodWorld &c = GetParam();
    World world(c.depth, c.width, c.height, -3, 5, c.rowbytes);
    const PF_EffectWorld &d = world.descriptor();
    EXPECT_EQ(renderhost::WorldProblem(d), "");
    EXPECT_NE(d.data, nullptr);
    EXPECT_EQ(d.rowbytes, c.expected_rowbytes);
    EXPECT_EQ(d.world_flags, c.expected_flags);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_EQ(d.origin_x, -3);
    EXPECT_EQ(d.origin_y, 5);
    const PF_LRect r = world.LayerRect();
    EXPECT_EQ(r.left, -3);
    EXPECT_EQ(r.top, 5);
    EXPECT_EQ(r.right, -3 + c.width);
    EXPECT_EQ(r.bottom, 5 + c.height);
    EXPECT_TRUE(world.PaddingIntact());
}

INSTANTIATE_TEST_SUITE_P(Cases, WorldAccepts,
                         ::testing::Values(GoodWorld{Depth::k8, 7, 3, std::nullopt, 28, 0},
                                           GoodWorld{Depth::k16, 7, 3, 64, 64, PF_WorldFlag_DEEP},
                                           GoodWorld{Depth::k32, 7, 3, std::nullopt, 112, PF_WorldFlag_FLOAT},
                                           GoodWorld{Depth::k32, 0, 0, std::nullopt, 0, PF_WorldFlag_FLOAT},
                                           GoodWorld{Depth::k8, 0, 5, std::nullopt, 0, 0},
                                           GoodWorld{Depth::k8, 5, 0, 32, 32, 0}));

TEST(World, TypedAccessChecksDepthAndBounds) {
    World world(Depth::k16, 4, 2, 0, 0, 48);
    world.At<PF_Pixel16>(3, 1) = PF_Pixel16{32768, 1, 2, 3};
    EXPECT_EQ(world.Row<PF_Pixel16>(1)[3].alpha, 32768);
    EXPECT_EQ(reinterpret_cast<char *>(world.Row<PF_Pixel16>(1)) - reinterpret_cast<char *>(world.data()), 48);
    EXPECT_THROW(world.Row<PF_Pixel>(0), std::logic_error);
    EXPECT_THROW(world.Row<PF_PixelFloat>(0), std::logic_error);
    EXPECT_THROW(world.Row<PF_Pixel16>(2), std::out_of_range);
    EXPECT_THROW(world.Row<PF_Pixel16>(-1), std::out_of_range);
    EXPECT_THROW(world.At<PF_Pixel16>(4, 0), std::out_of_range);
    EXPECT_TRUE(world.PaddingIntact());
}

TEST(World, PaddingCatchesWritesPastTheRow) {
    World world(Depth::k8, 3, 2, 0, 0, 16);
    world.Row<PF_Pixel>(0)[2] = PF_Pixel{255, 255, 255, 255};  // last pixel: fine
    EXPECT_TRUE(world.PaddingIntact());
    world.Row<PF_Pixel>(0)[3] = PF_Pixel{1, 1, 1, 1};  // one past the row: in the padding
    EXPECT_FALSE(world.PaddingIntact());
}

TEST(World, ClearKeepsPadding) {
    World world(Depth::k32, 2, 2, 0, 0, 48);
    world.At<PF_PixelFloat>(1, 1) = PF_PixelFloat{1, 1, 1, 1};
    world.Clear();
    EXPECT_EQ(world.At<PF_PixelFloat>(1, 1).alpha, 0.0f);
    EXPECT_TRUE(world.PaddingIntact());
}

// A new world's pixels are zero, also where its memory is a large
// world's just given back (mapped afresh, or cleared), small or large,
// padded or not; large ones start on a 2 MiB boundary.
TEST(World, NewPixelsAreZeroEvenAfterAWorldOfTheSameSize) {
    for (const A_long height : {A_long{4}, A_long{1100}})
        for (const std::optional<A_long> rowbytes : {std::optional<A_long>{}, std::optional<A_long>{4000 * 4 + 16}}) {
            for (int round = 0; round < 2; ++round) {
                World world(Depth::k8, 4000, height, 0, 0, rowbytes);
                const auto *bytes = static_cast<const unsigned char *>(world.data());
                const std::size_t size = std::size_t(world.descriptor().rowbytes) * std::size_t(height);
                if (size >= (std::size_t{16} << 20)) {
                    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % (std::size_t{2} << 20), 0u);
                }
                for (A_long y = 0; y < height; ++y)
                    for (A_long x = 0; x < 4000; ++x)
                        ASSERT_EQ(std::memcmp(&world.At<PF_Pixel>(x, y), "\0\0\0\0", 4), 0)
                            << height << " rows, round " << round << ", pixel " << x << ", " << y;
                EXPECT_TRUE(world.PaddingIntact());
                for (A_long y = 0; y < height; ++y) std::memset(world.Row<PF_Pixel>(y), 0xff, 4000 * sizeof(PF_Pixel));
            }
        }
}

// A world's spare bytes are memory past its rows, which a move carries.
TEST(World, SpareBytesFollowTheRows) {
    World world(Depth::k16, 3, 2, 0, 0, 32, 7);
    EXPECT_EQ(world.capacity(), 2u * 32 + 7);
    World moved(std::move(world));
    EXPECT_EQ(moved.capacity(), 2u * 32 + 7);
    EXPECT_EQ(world.capacity(), 0u);
    EXPECT_TRUE(moved.PaddingIntact());
}

TEST(World, MovedFromWorldIsEmptyButValid) {
    World a(Depth::k8, 4, 4);
    a.At<PF_Pixel>(2, 2).red = 9;
    World b(std::move(a));
    EXPECT_EQ(b.At<PF_Pixel>(2, 2).red, 9);
    EXPECT_EQ(a.width(), 0);
    EXPECT_EQ(renderhost::WorldProblem(a.descriptor()), "");
}

struct DescriptorCase {
    const char *what;
    A_long flags, width, height, rowbytes;
    bool has_data;
    const char *problem_part;  // empty: valid
};
void PrintTo(const DescriptorCase &c, std::ostream *os) { *os << c.what; }

class WorldProblems : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(WorldProblems, AreNamed) {
    const DescriptorCase &c = GetParam();
    PF_Pixel pixels[8] = {};
    PF_EffectWorld d{};
    d.world_flags = c.flags;
    d.width = c.width;
    d.height = c.height;
    d.rowbytes = c.rowbytes;
    d.data = c.has_data ? pixels : nullptr;
    const std::string problem = renderhost::WorldProblem(d);
    if (*c.problem_part == '\0')
        EXPECT_EQ(problem, "") << c.what;
    else
        EXPECT_NE(problem.find(c.problem_part), std::string::npos) << c.what << ": " << problem;
}

INSTANTIATE_TEST_SUITE_P(Cases, WorldProblems,
                         ::testing::Values(DescriptorCase{"valid 8-bit", 0, 2, 2, 8, true, ""},
                                           DescriptorCase{"two depths", PF_WorldFlag_DEEP | PF_WorldFlag_FLOAT, 1, 1,
                                                          16, true, "two"},
                                           DescriptorCase{"negative height", 0, 1, -1, 4, true, "negative"},
                                           DescriptorCase{"short stride", PF_WorldFlag_DEEP, 2, 1, 12, true, "smaller"},
                                           DescriptorCase{"odd stride", 0, 1, 1, 6, true, "multiple"},
                                           DescriptorCase{"null data, empty", 0, 0, 0, 0, false, "no pixel memory"},
                                           DescriptorCase{"null data", 0, 2, 2, 8, false, "no pixel memory"}));

}  // namespace
