// veilshadow run as a process on files written here, its output compared
// sample by sample with the plain kernels run on the same worlds.
#include "cli_test_support.h"

#include "Downsample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

using clitest::Sample;
using clitest::TestImage;
using renderhost::Depth;
using renderhost::World;

struct Rect {
    int x, y, width, height;
};

struct RenderCase {
    const char *name;
    const char *comp_ext;
    Sample comp_sample;
    int comp_channels;
    Rect comp;
    const char *layer_ext;
    Sample layer_sample;
    int layer_channels;
    Rect layer;
    Rect layer_display;  // 0 x 0: none
    const char *opacity;
    PF_Fixed slider;
    const char *alpha;     // --alpha value, or null for the default
    bool comp_associated;  // how the files' colour is read
    bool layer_associated;
    int downsample;
    const char *threads;  // --threads value, or null
    int tile = 0;         // both files tiled, tile x tile
};

Depth DepthOf(Sample sample) {
    return sample == Sample::kU8 ? Depth::k8 : sample == Sample::kU16 ? Depth::k16 : Depth::k32;
}

TestImage MakeImage(Sample sample, int channels, const Rect &rect, const Rect &display, unsigned seed, int tile) {
    TestImage image = clitest::RandomImage(sample, channels, rect.x, rect.y, rect.width, rect.height, seed);
    image.tile = tile;
    image.full_x = display.x;
    image.full_y = display.y;
    image.full_width = display.width;
    image.full_height = display.height;
    return image;
}

void PrintTo(const RenderCase &c, std::ostream *os) { *os << c.name; }

class RenderFiles : public ::testing::TestWithParam<RenderCase> {};

TEST_P(RenderFiles, OutputMatchesThePlainKernels) {
    const RenderCase &c = GetParam();
    clitest::TempDir dir;
    const std::string comp = dir / (std::string("comp.") + c.comp_ext);
    const std::string layer = dir / (std::string("layer.") + c.layer_ext);
    const std::string out = dir / (std::string("out.") + c.comp_ext);
    const unsigned seed = static_cast<unsigned>(std::hash<std::string>{}(c.name));
    clitest::WriteTestImage(comp, MakeImage(c.comp_sample, c.comp_channels, c.comp, Rect{0, 0, 0, 0}, seed, c.tile));
    clitest::WriteTestImage(layer,
                            MakeImage(c.layer_sample, c.layer_channels, c.layer, c.layer_display, seed + 1, c.tile));

    std::vector<std::string> args = {"--input", comp, "--layer", layer, "-o", out, "--opacity", c.opacity};
    if (c.alpha != nullptr) args.insert(args.end(), {"--alpha", c.alpha});
    if (c.downsample != 1) args.insert(args.end(), {"--downsample", std::to_string(c.downsample)});
    if (c.threads != nullptr) args.insert(args.end(), {"--threads", c.threads});
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "wrote " + out + "\n");
    EXPECT_EQ(dir.Entries(),
              (std::set<std::string>{"comp." + std::string(c.comp_ext), "layer." + std::string(c.layer_ext),
                                     "out." + std::string(c.comp_ext)}));

    // The expected output, from the files as they were written.
    const TestImage comp_file = clitest::ReadTestImage(comp);
    const TestImage layer_file = clitest::ReadTestImage(layer);
    // The files hold values across the range, not only its ends.
    for (const TestImage *file : {&comp_file, &layer_file}) {
        const float full = file->sample == Sample::kU8 ? 255.0f : file->sample == Sample::kU16 ? 65535.0f : 1.0f;
        const auto between =
            std::count_if(file->samples.begin(), file->samples.end(), [full](float v) { return v > 0.0f && v < full; });
        ASSERT_GT(between, static_cast<long>(file->samples.size() / 2));
    }
    const Depth depth = DepthOf(c.comp_sample);
    World input = clitest::DecodeExpected(comp_file, depth, c.comp_associated);
    World layer_world = clitest::DecodeExpected(layer_file, depth, c.layer_associated);
    if (c.downsample != 1) {
        input = veilshadow::BoxDownsample(input, c.downsample);
        layer_world = veilshadow::BoxDownsample(layer_world, c.downsample);
    }
    const World rendered = clitest::KernelExpected(input, layer_world, c.slider);
    const TestImage expected = clitest::EncodeExpected(rendered, c.comp_sample, c.comp_associated);
    const TestImage actual = clitest::ReadTestImage(out);
    EXPECT_EQ(clitest::CompareImages(expected, actual), "");

    // The display window is the layer's as its file gives it (at the
    // render's scale), where the output format keeps one.
    if (std::string(c.comp_ext) != "png") {
        const veilshadow::Window scaled = veilshadow::DownsampledWindow(
            veilshadow::Window{layer_file.full_x, layer_file.full_y, layer_file.full_width, layer_file.full_height},
            c.downsample);
        EXPECT_EQ(actual.full_x, scaled.x);
        EXPECT_EQ(actual.full_y, scaled.y);
        EXPECT_EQ(actual.full_width, scaled.width);
        EXPECT_EQ(actual.full_height, scaled.height);
        if (c.layer_display.width > 0) {
            EXPECT_EQ(layer_file.full_width, c.layer_display.width) << "the test's own file lost its display window";
        }
    }
}

constexpr Rect kNone{0, 0, 0, 0};

// One case a row.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Formats, RenderFiles,
    ::testing::Values(
        RenderCase{"png8", "png", Sample::kU8, 4, {0, 0, 40, 30}, "png", Sample::kU8, 4, {0, 0, 40, 30}, kNone,
                   "50", 3276800, nullptr, false, false, 1, nullptr},
        RenderCase{"png8_full_opacity", "png", Sample::kU8, 4, {0, 0, 24, 20}, "png", Sample::kU8, 4, {0, 0, 30, 16},
                   kNone, "100", 6553600, nullptr, false, false, 1, nullptr},
        RenderCase{"png16", "png", Sample::kU16, 4, {0, 0, 37, 23}, "png", Sample::kU16, 4, {0, 0, 30, 20}, kNone,
                   "25", 1638400, nullptr, false, false, 1, nullptr},
        RenderCase{"png16_gray_alpha_8bit_layer", "png", Sample::kU16, 4, {0, 0, 35, 21}, "png", Sample::kU8, 2,
                   {0, 0, 33, 25}, kNone, "62.5", 4096000, nullptr, false, false, 1, nullptr},
        RenderCase{"tiff8_data_windows", "tif", Sample::kU8, 4, {3, 2, 40, 30}, "tif", Sample::kU8, 4, {7, 5, 30, 20},
                   {0, 0, 50, 40}, "75", 4915200, nullptr, false, false, 1, nullptr},
        RenderCase{"tiff16_rgb_input", "tif", Sample::kU16, 3, {0, 0, 36, 28}, "tif", Sample::kU16, 4, {4, 6, 30, 20},
                   kNone, "40", 2621440, nullptr, false, false, 1, nullptr},
        RenderCase{"tiff16_zero_opacity", "tif", Sample::kU16, 4, {2, 0, 30, 26}, "tif", Sample::kU16, 4,
                   {0, 3, 28, 20}, kNone, "0", 0, nullptr, false, false, 1, nullptr},
        RenderCase{"exr_half_data_windows", "exr", Sample::kHalf, 4, {-6, -4, 48, 36}, "exr", Sample::kHalf, 4,
                   {0, 0, 40, 30}, {0, 0, 40, 30}, "50", 3276800, nullptr, true, true, 1, nullptr},
        RenderCase{"exr_float_data_windows", "exr", Sample::kFloat, 4, {-3, -5, 50, 40}, "exr", Sample::kFloat, 4,
                   {2, 1, 30, 25}, {-10, -10, 64, 48}, "12.5", 819200, nullptr, true, true, 1, "1"},
        RenderCase{"exr_float_with_8bit_png_layer", "exr", Sample::kFloat, 4, {-4, -2, 44, 34}, "png", Sample::kU8,
                   4, {0, 0, 36, 30}, kNone, "33.3", 2182349, nullptr, true, false, 1, nullptr},
        RenderCase{"exr_half_straight", "exr", Sample::kHalf, 4, {-2, -2, 30, 30}, "exr", Sample::kHalf, 4,
                   {0, 0, 26, 26}, {0, 0, 26, 26}, "80", 5242880, "straight", false, false, 1, nullptr},
        RenderCase{"png8_associated", "png", Sample::kU8, 4, {0, 0, 32, 24}, "png", Sample::kU8, 4, {0, 0, 32, 24},
                   kNone, "50", 3276800, "associated", true, true, 1, nullptr},
        RenderCase{"exr_float_downsample_2", "exr", Sample::kFloat, 4, {-5, -3, 41, 33}, "exr", Sample::kFloat, 4,
                   {1, 2, 30, 25}, {0, 0, 32, 28}, "50", 3276800, nullptr, true, true, 2, nullptr},
        RenderCase{"png16_downsample_3", "png", Sample::kU16, 4, {0, 0, 31, 29}, "png", Sample::kU16, 4,
                   {0, 0, 31, 29}, kNone, "70", 4587520, nullptr, false, false, 3, "2"},
        // Tiled files, in more than one strip of decoding (tiles 16 high).
        RenderCase{"exr_half_tiled", "exr", Sample::kHalf, 4, {-5, -3, 37, 290}, "exr", Sample::kHalf, 4,
                   {1, 2, 30, 280}, {0, 0, 32, 284}, "50", 3276800, nullptr, true, true, 1, nullptr, 16},
        RenderCase{"tiff8_tiled", "tif", Sample::kU8, 4, {0, 0, 21, 270}, "tif", Sample::kU8, 3, {0, 0, 18, 275},
                   kNone, "30", 1966080, nullptr, false, false, 1, nullptr, 16}),
    [](const ::testing::TestParamInfo<RenderCase> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
