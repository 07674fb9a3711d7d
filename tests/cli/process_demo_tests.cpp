// `veilshadow demo`: the scene, its renders and the contact sheet.
#include "cli_test_support.h"

#include "ContactSheet.h"
#include "Demo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>

namespace {

using clitest::Sample;
using clitest::TestImage;
using renderhost::Depth;
using renderhost::World;

TEST(Demo, SceneHasOpaqueAndPartlyTransparentPartsAndALargerInput) {
    const veilshadow::DemoScene scene = veilshadow::BuildDemoScene();
    int opaque = 0, partial = 0, clear = 0;
    for (A_long y = 0; y < scene.layer.height(); ++y)
        for (A_long x = 0; x < scene.layer.width(); ++x) {
            const float a = scene.layer.At<PF_PixelFloat>(x, y).alpha;
            opaque += a == 1.0f;
            partial += a > 0.0f && a < 1.0f;
            clear += a == 0.0f;
        }
    EXPECT_GT(opaque, 1000);
    EXPECT_GT(partial, 10000);
    EXPECT_GT(clear, 1000);
    // The input reaches past the layer on every side, so the origins differ.
    EXPECT_LT(scene.input.origin_x(), scene.layer.origin_x());
    EXPECT_LT(scene.input.origin_y(), scene.layer.origin_y());
    EXPECT_GT(scene.input.origin_x() + scene.input.width(), scene.layer.origin_x() + scene.layer.width());
    EXPECT_GT(scene.input.origin_y() + scene.input.height(), scene.layer.origin_y() + scene.layer.height());
    // Where the layer is transparent the input holds the shadow alone,
    // and somewhere the shadow lies beyond the layer's bounds.
    int shadow_outside = 0;
    for (A_long y = 0; y < scene.input.height(); ++y)
        for (A_long x = 0; x < scene.input.width(); ++x) {
            const A_long lx = scene.input.origin_x() + x, ly = scene.input.origin_y() + y;
            const bool outside = lx < 0 || ly < 0 || lx >= scene.layer.width() || ly >= scene.layer.height();
            shadow_outside += outside && scene.input.At<PF_PixelFloat>(x, y).alpha > 0.1f;
        }
    EXPECT_GT(shadow_outside, 100);
}

TEST(Demo, WritesThePicturesAndTheRendersMatchThePlainKernels) {
    clitest::TempDir dir;
    const std::string folder = dir / "pictures";
    const clitest::RunResult run = clitest::RunVeilshadow({"demo", "-o", folder});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(clitest::CountLines(run.out), 6) << run.out;

    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"layer.exr", "input.exr", "output-000.exr", "output-050.exr",
                                            "output-100.exr", "contact.png"}));

    const TestImage input_file = clitest::ReadTestImage(folder + "/input.exr");
    const TestImage layer_file = clitest::ReadTestImage(folder + "/layer.exr");
    EXPECT_NE(input_file.x, layer_file.x);
    const World input = clitest::DecodeExpected(input_file, Depth::k32, true);
    const World layer = clitest::DecodeExpected(layer_file, Depth::k32, true);
    const struct {
        const char *name;
        PF_Fixed slider;
    } renders[] = {{"output-000.exr", 0}, {"output-050.exr", 50 * 65536}, {"output-100.exr", 100 * 65536}};
    for (const auto &render : renders) {
        const TestImage expected =
            clitest::EncodeExpected(clitest::KernelExpected(input, layer, render.slider), Sample::kFloat, true);
        EXPECT_EQ(clitest::CompareImages(expected, clitest::ReadTestImage(folder + "/" + render.name)), "")
            << render.name;
    }

    // Five panels of the input's data window side by side, each with its
    // label strip beneath. Within the layer's frame every panel pixel is
    // its file's pixel over one of the checkerboard's two greys.
    using veilshadow::kSheetMargin;
    const TestImage sheet = clitest::ReadTestImage(folder + "/contact.png");
    EXPECT_EQ(sheet.sample, Sample::kU8);
    ASSERT_EQ(sheet.width, kSheetMargin + 5 * (input_file.width + kSheetMargin));
    ASSERT_EQ(sheet.height, kSheetMargin + input_file.height + veilshadow::kSheetLabelHeight);
    const char *shown[] = {"layer.exr", "input.exr", "output-000.exr", "output-050.exr", "output-100.exr"};
    for (int i = 0; i < 5; ++i) {
        const World image = clitest::DecodeExpected(clitest::ReadTestImage(folder + "/" + shown[i]), Depth::k32, true);
        int wrong = 0;
        for (int y = 0; y < layer.height(); ++y)
            for (int x = 0; x < layer.width(); ++x) {
                const int sx = kSheetMargin + i * (input_file.width + kSheetMargin) + x - input_file.x;
                const int sy = kSheetMargin + y - input_file.y;
                const PF_PixelFloat &p = image.At<PF_PixelFloat>(x - image.origin_x(), y - image.origin_y());
                const float colour[3] = {p.red, p.green, p.blue};
                bool over_a_grey = false;
                for (float board : {veilshadow::kCheckerLight, veilshadow::kCheckerDark}) {
                    bool same = true;
                    for (int c = 0; c < 3; ++c) {
                        const float v = std::clamp(p.alpha * colour[c] + (1.0f - p.alpha) * board, 0.0f, 1.0f);
                        same = same && std::abs(sheet.at(sx, sy, c) - v * 255.0f) <= 0.501f;
                    }
                    over_a_grey = over_a_grey || same;
                }
                wrong += !over_a_grey;
            }
        EXPECT_EQ(wrong, 0) << shown[i];
    }
}

}  // namespace
