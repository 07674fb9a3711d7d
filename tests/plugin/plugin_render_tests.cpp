// Whole frames through the exported entry point, in the three depths.
#include "plugin_test_support.h"

namespace {

using plugin_test::Depth;
using plugin_test::HostOp;
using plugin_test::Percent;
using plugin_test::PluginTest;
using plugin_test::World;

class RenderTest : public PluginTest {
protected:
    renderhost::FrameResult Render(World &input, World *layer, World &output, PF_Fixed slider) {
        renderhost::FrameSpec f;
        f.input = &input;
        f.layer = layer;
        f.output = &output;
        f.slider = slider;
        return effect_->RenderFrame(f);
    }
};

// The worked examples, one pixel each, alpha first.
TEST_F(RenderTest, WorkedExample8) {
    World in(Depth::k8, 1, 1), layer(Depth::k8, 1, 1), out(Depth::k8, 1, 1);
    in.At<PF_Pixel>(0, 0) = {255, 128, 128, 128};
    layer.At<PF_Pixel>(0, 0) = {128, 255, 255, 255};
    const struct {
        PF_Fixed slider;
        PF_Pixel expected;
    } cases[] = {{0, {128, 255, 255, 255}},
                 {Percent(25), {159, 205, 205, 205}},
                 {Percent(50), {191, 170, 170, 170}},
                 {Percent(75), {223, 146, 146, 146}},
                 {Percent(100), {255, 128, 128, 128}}};
    for (const auto &c : cases) {
        const renderhost::FrameResult r = Render(in, &layer, out, c.slider);
        ASSERT_EQ(r.pre_render, PF_Err_NONE);
        ASSERT_EQ(r.render, PF_Err_NONE);
        const PF_Pixel &p = out.At<PF_Pixel>(0, 0);
        EXPECT_EQ(p.alpha, c.expected.alpha) << c.slider;
        EXPECT_EQ(p.red, c.expected.red) << c.slider;
        EXPECT_EQ(p.blue, c.expected.blue) << c.slider;
    }
}

TEST_F(RenderTest, WorkedExample16) {
    World in(Depth::k16, 1, 1), layer(Depth::k16, 1, 1), out(Depth::k16, 1, 1);
    in.At<PF_Pixel16>(0, 0) = {30000, 1000, 2000, 3000};
    layer.At<PF_Pixel16>(0, 0) = {20000, 500, 700, 900};
    ASSERT_EQ(Render(in, &layer, out, Percent(100)).render, PF_Err_NONE);
    const PF_Pixel16 &p = out.At<PF_Pixel16>(0, 0);
    EXPECT_EQ(p.alpha, 29999);
    EXPECT_EQ(p.red, 999);
    EXPECT_EQ(p.green, 1999);
    EXPECT_EQ(p.blue, 2999);
}

TEST_F(RenderTest, WorkedExampleFloat) {
    World in(Depth::k32, 1, 1), layer(Depth::k32, 1, 1), out(Depth::k32, 1, 1);
    in.At<PF_PixelFloat>(0, 0) = {1.0f, 0.0f, 0.0f, 0.0f};
    layer.At<PF_PixelFloat>(0, 0) = {0.5f, 1.0f, 1.0f, 1.0f};
    ASSERT_EQ(Render(in, &layer, out, Percent(50)).render, PF_Err_NONE);
    const PF_PixelFloat &p = out.At<PF_PixelFloat>(0, 0);
    EXPECT_EQ(p.alpha, 0.75f);
    EXPECT_EQ(p.red, 0.33333334f);
    EXPECT_EQ(p.blue, 0.33333334f);
}

struct FramePlacement {
    const char *what;
    A_long grow;                        // the input exceeds the layer by this on every side
    A_long out_x, out_y, out_w, out_h;  // the output; width -1: the input's rectangle
};

const FramePlacement kFramePlacements[] = {
    {"output is the input's rectangle (drop shadow grew it)", 4, 0, 0, -1, -1},
    {"output at -10,-10 against a layer at 0,0", 12, -10, -10, 30, 25},
    {"output inside the layer", 0, 5, 7, 9, 6},
    {"output larger than everything", 2, -20, -20, 60, 50},
};

using RenderCase = std::tuple<Depth, int /*placement*/, PF_Fixed>;

class FrameRender : public RenderTest, public testing::WithParamInterface<RenderCase> {};

TEST_P(FrameRender, MatchesThePlainRules) {
    const auto [depth, placement, slider] = GetParam();
    const FramePlacement &p = kFramePlacements[placement];
    plugin_test::Scene scene = plugin_test::MakeScene(depth, 23, 17, p.grow, 77u + unsigned(placement));
    const World &in = scene.input;
    const bool use_input_rect = p.out_w < 0;
    World out(depth, use_input_rect ? in.width() : p.out_w, use_input_rect ? in.height() : p.out_h,
              use_input_rect ? in.origin_x() : p.out_x, use_input_rect ? in.origin_y() : p.out_y,
              A_long((use_input_rect ? in.width() : p.out_w) + 3) * A_long(renderhost::PixelBytes(depth)));
    World expected(depth, out.width(), out.height(), out.origin_x(), out.origin_y());
    plugin_test::FillBytes(out, 0x5A);  // the render clears it first

    const renderhost::FrameResult r = Render(scene.input, &scene.layer, out, slider);
    ASSERT_EQ(r.pre_render, PF_Err_NONE);
    ASSERT_EQ(r.render, PF_Err_NONE);
    plugin_test::ComputeExpected(scene.input, &scene.layer, expected, plugin_test::OpacityOf(slider));
    EXPECT_TRUE(plugin_test::SamePixels(out, expected)) << p.what;
    EXPECT_TRUE(out.PaddingIntact());
}

std::string FrameCaseName(const testing::TestParamInfo<RenderCase> &info) {
    const Depth depth = std::get<0>(info.param);
    return std::string(depth == Depth::k8    ? "d8"
                       : depth == Depth::k16 ? "d16"
                                             : "d32") +
           "_place" + std::to_string(std::get<1>(info.param)) + "_slider" + std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameRender,
                         testing::Combine(testing::Values(Depth::k8, Depth::k16, Depth::k32), testing::Range(0, 4),
                                          testing::Values(PF_Fixed(0), Percent(12.5), Percent(50), Percent(100))),
                         FrameCaseName);

// Downsampled frames: the worlds are smaller, the rules the same, and the
// maximum rectangle covers the scaled layer.
TEST_F(RenderTest, DownsampledFrames) {
    for (const PF_RationalScale ds : {PF_RationalScale{1, 2}, PF_RationalScale{1, 3}}) {
        for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
            const A_long full_w = 61, full_h = 44;
            const A_long w = A_long(full_w * double(ds.num) / ds.den + 0.5);
            const A_long h = A_long(full_h * double(ds.num) / ds.den + 0.5);
            plugin_test::Scene scene = plugin_test::MakeScene(depth, w, h, 2, 5u);
            World out(depth, scene.input.width(), scene.input.height(), scene.input.origin_x(), scene.input.origin_y());
            World expected(depth, out.width(), out.height(), out.origin_x(), out.origin_y());
            renderhost::FrameSpec f;
            f.input = &scene.input;
            f.layer = &scene.layer;
            f.output = &out;
            f.slider = Percent(40);
            f.downsample_x = ds;
            f.downsample_y = ds;
            f.ref_width = full_w;
            f.ref_height = full_h;
            const renderhost::FrameResult r = effect_->RenderFrame(f);
            ASSERT_EQ(r.render, PF_Err_NONE);
            plugin_test::ComputeExpected(scene.input, &scene.layer, expected, plugin_test::OpacityOf(Percent(40)));
            EXPECT_TRUE(plugin_test::SamePixels(out, expected)) << ds.den;
            // The input already covers the scaled layer: nothing widened.
            EXPECT_EQ(r.pre_render_output.flags & PF_RenderOutputFlag_RETURNS_EXTRA_PIXELS, 0);
            EXPECT_EQ(r.pre_render_output.max_result_rect.right, w + 2);
        }
    }
}

TEST_F(RenderTest, LayerWithoutPixelsGivesTransparentBlack) {
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
        World in(depth, 5, 4), out(depth, 5, 4);
        plugin_test::FillBytes(in, 0x33);
        plugin_test::FillBytes(out, 0x77);
        const renderhost::FrameResult r = Render(in, nullptr, out, Percent(50));
        EXPECT_EQ(r.render, PF_Err_NONE);
        EXPECT_TRUE(plugin_test::AllBytesAre(out, 0));
        int iterations = 0;
        for (const auto &e : host_.Journal()) iterations += e.op == HostOp::IterateGeneric;
        EXPECT_EQ(iterations, 0);
    }
}

TEST_F(RenderTest, OpacityZeroStillRunsTheKernels) {
    World in(Depth::k8, 2, 1), layer(Depth::k8, 2, 1), out(Depth::k8, 2, 1);
    in.At<PF_Pixel>(0, 0) = {200, 1, 2, 3};
    layer.At<PF_Pixel>(0, 0) = {100, 4, 5, 6};
    in.At<PF_Pixel>(1, 0) = {200, 1, 2, 3};  // layer transparent here
    ASSERT_EQ(Render(in, &layer, out, 0).render, PF_Err_NONE);
    EXPECT_EQ(out.At<PF_Pixel>(0, 0).red, 4);
    EXPECT_EQ(out.At<PF_Pixel>(1, 0).red, 1);
}

TEST_F(RenderTest, EmptyOutputIteratesZeroRows) {
    World in(Depth::k16, 4, 4), layer(Depth::k16, 4, 4), out(Depth::k16, 4, 0);
    ASSERT_EQ(Render(in, &layer, out, Percent(50)).render, PF_Err_NONE);
    bool saw = false;
    for (const auto &e : host_.Journal())
        if (e.op == HostOp::IterateGeneric) {
            saw = true;
            EXPECT_NE(e.detail.find("iterations 0"), std::string::npos) << e.detail;
        }
    EXPECT_TRUE(saw);
}

// The input is asked for its pixel format, the layer checked out at the
// frame's own time, and the input under checkout id 0, the pre-render's.
class RenderCalls : public RenderTest, public testing::WithParamInterface<plugin_test::FrameTime> {};
TEST_P(RenderCalls, HostCallsInOrder) {
    const plugin_test::FrameTime &t = GetParam();
    World in(Depth::k32, 3, 3), layer(Depth::k32, 3, 3), out(Depth::k32, 3, 3);
    renderhost::FrameSpec f;
    f.input = &in;
    f.layer = &layer;
    f.output = &out;
    f.slider = Percent(50);
    f.current_time = t.current_time;
    f.time_step = t.time_step;
    f.time_scale = t.time_scale;
    ASSERT_EQ(effect_->RenderFrame(f).render, PF_Err_NONE);
    std::vector<renderhost::JournalEntry> journal = host_.Journal();
    // The render starts after the pre-render's last release.
    size_t start = 0;
    for (size_t i = 0; i < journal.size(); ++i)
        if (journal[i].op == HostOp::CheckoutLayerPixels) {
            start = i;
            break;
        }
    ASSERT_GE(start, 2u);
    start -= 2;  // the handle suite acquisition and the lock
    std::vector<std::string> got;
    for (size_t i = start; i < journal.size(); ++i) {
        const auto &e = journal[i];
        if (e.op == HostOp::UnlockHandle) break;  // from here on the host disposes of the pre-render data
        std::string name = renderhost::HostOpName(e.op);
        if (e.op == HostOp::AcquireSuite || e.op == HostOp::ReleaseSuite || e.op == HostOp::CheckoutParam ||
            e.op == HostOp::CheckoutLayerPixels || e.op == HostOp::GetPixelFormat)
            name += " " + e.detail;
        got.push_back(name);
    }
    std::vector<std::string> ops;
    for (const auto &g : got) ops.push_back(g.substr(0, g.find(' ')));
    const std::vector<std::string> expected_ops = {
        "AcquireSuite", "LockHandle",  "CheckoutLayerPixels", "CheckoutOutput", "AcquireSuite",   "GetPixelFormat",
        "ReleaseSuite", "Fill",        "CheckoutParam",       "AcquireSuite",   "IterateGeneric", "CheckinParam",
        "ReleaseSuite", "ReleaseSuite"};
    ASSERT_EQ(ops, expected_ops) << testing::PrintToString(got);
    EXPECT_NE(got[0].find("PF Handle Suite"), std::string::npos);
    EXPECT_EQ(got[2], "CheckoutLayerPixels id 0");
    EXPECT_NE(got[4].find("PF World Suite"), std::string::npos);
    EXPECT_EQ(got[5], "GetPixelFormat ae32 of the input");
    EXPECT_NE(got[6].find("PF World Suite"), std::string::npos);
    EXPECT_EQ(got[8], "CheckoutParam index 0 at " + plugin_test::TimeText(t));
    EXPECT_NE(got[9].find("PF Iterate8 Suite"), std::string::npos);
    // Released in table order: handle suite (row 46), then iterate (row 60).
    EXPECT_NE(got[12].find("PF Handle Suite"), std::string::npos);
    EXPECT_NE(got[13].find("PF Iterate8 Suite"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(Times, RenderCalls, testing::ValuesIn(plugin_test::kFrameTimes), plugin_test::FrameTimeName);

TEST_F(RenderTest, ThousandFramesLeaveNothingBehind) {
    World in(Depth::k8, 6, 5, -1, -1), layer(Depth::k8, 4, 3), out(Depth::k8, 6, 5, -1, -1);
    plugin_test::FillBytes(in, 0x80);
    plugin_test::FillBytes(layer, 0x40);
    for (int i = 0; i < 1000; ++i) {
        const renderhost::FrameResult r = Render(in, (i % 7 == 0) ? nullptr : &layer, out, PF_Fixed(i * 6553));
        ASSERT_EQ(r.render, PF_Err_NONE) << i;
        if (i % 100 == 0) host_.ClearJournal();
    }
    EXPECT_EQ(host_.LiveHandles(), 1u) << "only the global data";
    EXPECT_EQ(host_.OutstandingSuites(), 0);
    EXPECT_EQ(host_.OutstandingCheckouts(), 0);
    EXPECT_TRUE(host_.Misuses().empty());
}

}  // namespace
