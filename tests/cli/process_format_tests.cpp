// OUT in another file type or sample type than COMP's: the world rendered
// in COMP's depth, converted as it is written, compared with a plain
// conversion of the plain kernels' result.
#include "cli_test_support.h"

#include <Imath/half.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using clitest::Sample;
using clitest::TestImage;
using renderhost::Depth;
using renderhost::World;

struct FormatCase {
    const char *name;
    const char *comp_ext;
    Sample comp_sample;
    const char *out_ext;
    std::vector<std::string> options;
    Sample out_sample;
    bool out_associated;
    const char *compression;  // as OUT's header gives it; null: not checked
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }

double MaxOf(Sample sample) { return sample == Sample::kU8 ? 255.0 : sample == Sample::kU16 ? 65535.0 : 1.0; }
bool IsFloat(Sample sample) { return sample == Sample::kHalf || sample == Sample::kFloat; }

// The world's straight samples in its own type, converted to `to`: where
// either side is float, by way of float (integers divided by their full
// scale, colour multiplied by alpha there, floats rounded half away from
// zero onto an integer scale); integers to integers rounded to nearest.
TestImage ConvertExpected(const World &world, Sample to, bool associated) {
    const Sample own = world.depth() == Depth::k8    ? Sample::kU8
                       : world.depth() == Depth::k16 ? Sample::kU16
                                                     : Sample::kFloat;
    TestImage file = clitest::EncodeExpected(world, own, false);
    file.sample = to;
    for (std::size_t p = 0; p < file.samples.size(); p += 4) {
        float *px = &file.samples[p];
        if (!IsFloat(own) && !IsFloat(to)) {
            for (int c = 0; c < 4; ++c) px[c] = std::floor(px[c] * MaxOf(to) / MaxOf(own) + 0.5);
            continue;
        }
        for (int c = 0; c < 4; ++c) px[c] = px[c] / static_cast<float>(MaxOf(own));
        if (associated && px[3] > 0)
            for (int c = 0; c < 3; ++c) px[c] *= px[3];
        for (int c = 0; c < 4; ++c) {
            if (to == Sample::kHalf) px[c] = static_cast<float>(Imath::half(px[c]));
            if (!IsFloat(to))
                px[c] =
                    std::clamp(std::round(px[c] * static_cast<float>(MaxOf(to))), 0.0f, static_cast<float>(MaxOf(to)));
        }
    }
    return file;
}

class WriteFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(WriteFormats, OutputIsTheRenderConverted) {
    const FormatCase &c = GetParam();
    clitest::TempDir dir;
    const std::string comp = dir / (std::string("comp.") + c.comp_ext);
    const std::string layer = dir / (std::string("layer.") + c.comp_ext);
    const std::string out = dir / (std::string("out.") + c.out_ext);
    clitest::WriteTestImage(comp, clitest::RandomImage(c.comp_sample, 4, 0, 0, 36, 28, 11));
    clitest::WriteTestImage(layer, clitest::RandomImage(c.comp_sample, 4, 0, 0, 30, 24, 12));
    std::vector<std::string> args = {"-i", comp, "-l", layer, "-o", out, "--opacity", "50"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;

    const Depth depth = IsFloat(c.comp_sample) ? Depth::k32 : c.comp_sample == Sample::kU16 ? Depth::k16 : Depth::k8;
    const bool comp_associated = std::string(c.comp_ext) == "exr";
    const World rendered = clitest::KernelExpected(
        clitest::DecodeExpected(clitest::ReadTestImage(comp), depth, comp_associated),
        clitest::DecodeExpected(clitest::ReadTestImage(layer), depth, comp_associated), 3276800);
    const TestImage actual = clitest::ReadTestImage(out);
    EXPECT_EQ(actual.sample, c.out_sample);
    EXPECT_EQ(clitest::CompareImages(ConvertExpected(rendered, c.out_sample, c.out_associated), actual), "");
    if (c.compression != nullptr) {
        auto in = OIIO::ImageInput::open(out);
        ASSERT_TRUE(in);
        EXPECT_EQ(in->spec().get_string_attribute("compression"), c.compression);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, WriteFormats,
    ::testing::Values(
        FormatCase{"exr_half_to_png_straight_8bit", "exr", Sample::kHalf, "png", {}, Sample::kU8, false, nullptr},
        FormatCase{"exr_float_to_tiff16_associated", "exr", Sample::kFloat, "tif", {"-d", "uint16"}, Sample::kU16,
                   true, nullptr},
        FormatCase{"png8_to_exr_half_associated", "png", Sample::kU8, "exr", {}, Sample::kHalf, true, "zip"},
        FormatCase{"png16_to_png8", "png", Sample::kU16, "png", {"-d", "uint8"}, Sample::kU8, false, nullptr},
        FormatCase{"tiff8_to_tiff_float_lzw", "tif", Sample::kU8, "tif", {"-d", "float", "--compression", "lzw"},
                   Sample::kFloat, false, "lzw"},
        FormatCase{"exr_half_piz", "exr", Sample::kHalf, "exr", {"--compression", "piz"}, Sample::kHalf, true, "piz"},
        FormatCase{"png16_same_type_asked", "png", Sample::kU16, "png", {"-d", "uint16"}, Sample::kU16, false,
                   nullptr}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
