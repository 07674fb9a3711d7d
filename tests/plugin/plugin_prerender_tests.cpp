// Smart pre-render: the opacity handed to the render, the request, and the
// rectangles reported to the host.
#include <climits>
#include <cstdint>

#include "plugin_test_support.h"

namespace {

using plugin_test::Depth;
using plugin_test::HostOp;
using plugin_test::PluginTest;
using plugin_test::World;

struct PreRenderOutcome {
    PF_Err err = PF_Err_NONE;
    PF_PreRenderOutput output{};
    bool has_data = false;
    double opacity = -1.0;
    std::vector<renderhost::JournalEntry> journal;  // the command's own host calls
};

class PreRenderTest : public PluginTest {
protected:
    // Sends the pre-render alone, reads the opacity the plug-in stored in
    // its handle, then lets the host dispose of the handle. The downsampling
    // goes into in_data past the host's check of the frame, so that factors
    // no host sends (a zero denominator) reach the plug-in too.
    PreRenderOutcome PreRender(const renderhost::FrameSpec &frame, PF_RenderRequest request = {},
                               PF_PreRenderCallbacks *callbacks = nullptr) {
        renderhost::FrameSpec checked = frame;
        checked.downsample_x = checked.downsample_y = PF_RationalScale{1, 1};
        effect_->SetFrame(checked);
        effect_->in_data().downsample_x = frame.downsample_x;
        effect_->in_data().downsample_y = frame.downsample_y;
        PF_PreRenderInput input{};
        input.output_request = request;
        PreRenderOutcome r;
        r.output = frame.initial_output;
        PF_PreRenderExtra extra{&input, &r.output, callbacks ? callbacks : host_.PreRenderCallbacks()};
        host_.ClearJournal();
        r.err = effect_->Send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, &extra);
        r.journal = host_.Journal();
        if (r.output.pre_render_data != nullptr) {
            r.has_data = true;
            renderhost::Host::Scope scope(host_);
            const void *suite = nullptr;
            EXPECT_EQ(host_.BasicSuite()->AcquireSuite("PF Handle Suite", 2, &suite), 0);
            auto *handles = static_cast<const PF_HandleSuite2 *>(suite);
            PF_Handle h = static_cast<PF_Handle>(r.output.pre_render_data);
            const auto info = host_.FindHandle(h);
            EXPECT_TRUE(info.has_value());
            if (info) {
                EXPECT_EQ(info->lock_count, 1) << "the plug-in leaves its pre-render data locked";
                EXPECT_EQ(info->size, sizeof(double));
            }
            r.opacity = *static_cast<const double *>(handles->host_lock_handle(h));
            handles->host_unlock_handle(h);
            host_.BasicSuite()->ReleaseSuite("PF Handle Suite", 2);
        }
        effect_->DisposePreRenderData(r.output);
        return r;
    }

    World input_{Depth::k8, 8, 6, 0, 0};
    World output_{Depth::k8, 8, 6, 0, 0};
    renderhost::FrameSpec Frame(PF_Fixed slider) {
        renderhost::FrameSpec f;
        f.input = &input_;
        f.layer = &input_;
        f.output = &output_;
        f.slider = slider;
        return f;
    }
};

struct OpacityCase {
    PF_Fixed slider;
    double expected;
};

// The slider's 16.16 value over 65536, times 0.01 (not divided by 100: the
// two differ in the last bit, as the raw value 35 shows).
const OpacityCase kOpacityCases[] = {
    {0x640000, 1.0}, {0x320000, 0.5}, {0xC8000, 0.125}, {0, 0.0}, {1, 1.52587890625e-07}, {35, 5.3405761718750005e-06},
};

class PreRenderOpacity : public PreRenderTest, public testing::WithParamInterface<OpacityCase> {};
TEST_P(PreRenderOpacity, SliderBecomesAFraction) {
    const OpacityCase &c = GetParam();
    const PreRenderOutcome r = PreRender(Frame(c.slider));
    ASSERT_EQ(r.err, PF_Err_NONE);
    ASSERT_TRUE(r.has_data);
    EXPECT_EQ(r.opacity, c.expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, PreRenderOpacity, testing::ValuesIn(kOpacityCases),
                         [](const testing::TestParamInfo<OpacityCase> &i) {
                             return "slider_" + std::to_string(i.param.slider);
                         });

TEST_F(PreRenderTest, MultipliesByAHundredthRatherThanDividing) {
    const PreRenderOutcome r = PreRender(Frame(35));
    EXPECT_NE(r.opacity, 35 / 65536.0 / 100.0);
}

struct RectCase {
    const char *what;
    A_long ref_w, ref_h;
    PF_RationalScale dx, dy;
    PF_LRect input;  // the input world's rectangle at this downsampling
    PF_LRect expected_max;
    bool extra_pixels;
};

// The maximum rectangle is widened to cover the whole layer at the frame's
// downsampling: ref size * factor + 0.5, truncated.
const RectCase kRectCases[] = {
    {"widened to the scaled layer", 1920, 1080, {1, 2}, {1, 2}, {10, 10, 500, 400}, {0, 0, 960, 540}, true},
    {"already covering", 1920, 1080, {1, 2}, {1, 2}, {-20, -20, 1000, 600}, {-20, -20, 1000, 600}, false},
    {"only top triggers", 1920, 1080, {1, 2}, {1, 2}, {-20, 5, 1000, 600}, {-20, 0, 1000, 600}, true},
    {"1921 at 1/2 is 961", 1921, 1080, {1, 2}, {1, 2}, {0, 0, 960, 540}, {0, 0, 961, 540}, true},
    {"1000 at 1/3 is 333", 1000, 1000, {1, 3}, {1, 3}, {-5, -5, -1, -1}, {-5, -5, 333, 333}, true},
    {"1000 at 2/3 is 667", 1000, 1000, {2, 3}, {2, 3}, {-5, -5, -1, -1}, {-5, -5, 667, 667}, true},
    {"3 at 1/4 is 1", 3, 3, {1, 4}, {1, 4}, {-5, -5, -1, -1}, {-5, -5, 1, 1}, true},
    {"1 at 1/4 is 0", 1, 1, {1, 4}, {1, 4}, {-5, -5, -1, -1}, {-5, -5, 0, 0}, true},
    {"full resolution", 40, 30, {1, 1}, {1, 1}, {0, 0, 40, 29}, {0, 0, 40, 30}, true},
    {"different factors per axis", 900, 900, {1, 1}, {1, 3}, {0, 0, 10, 10}, {0, 0, 900, 300}, true},
    {"empty input is not widened", 1920, 1080, {1, 2}, {1, 2}, {10, 10, 10, 400}, {10, 10, 10, 400}, false},
    // Factors a host does not send, and sizes past 32 bits: no undefined
    // conversion, but a size of 0 where the factor is not a number and the
    // 32-bit limit where the size exceeds it.
    {"0/0 gives 0", 1920, 1080, {0, 0}, {0, 0}, {-5, -5, -1, -1}, {-5, -5, 0, 0}, true},
    {"0 at 1/0 gives 0", 0, 0, {1, 0}, {1, 0}, {-5, -5, -1, -1}, {-5, -5, 0, 0}, true},
    {"10 at 1/0 is limited", 10, 10, {1, 0}, {1, 0}, {0, 0, 8, 6}, {0, 0, INT_MAX, INT_MAX}, true},
    {"2^30 at 3/1 is limited", 1 << 30, 1 << 30, {3, 1}, {3, 1}, {0, 0, 8, 6}, {0, 0, INT_MAX, INT_MAX}, true},
};

class PreRenderRects : public PreRenderTest, public testing::WithParamInterface<RectCase> {};
TEST_P(PreRenderRects, MaximumRectangleCoversTheLayer) {
    const RectCase &c = GetParam();
    World input(Depth::k8, c.input.right - c.input.left, c.input.bottom - c.input.top, c.input.left, c.input.top);
    renderhost::FrameSpec f = Frame(0);
    f.input = &input;
    f.ref_width = c.ref_w;
    f.ref_height = c.ref_h;
    f.downsample_x = c.dx;
    f.downsample_y = c.dy;
    f.initial_output.flags = 0x40;  // other bits the host set stay set
    const PreRenderOutcome r = PreRender(f);
    ASSERT_EQ(r.err, PF_Err_NONE) << c.what;
    const PF_LRect &m = r.output.max_result_rect;
    EXPECT_EQ(m.left, c.expected_max.left) << c.what;
    EXPECT_EQ(m.top, c.expected_max.top) << c.what;
    EXPECT_EQ(m.right, c.expected_max.right) << c.what;
    EXPECT_EQ(m.bottom, c.expected_max.bottom) << c.what;
    EXPECT_EQ(r.output.flags, c.extra_pixels ? 0x41 : 0x40) << c.what;
    // The result rectangle is the input's, copied into the empty output one.
    EXPECT_EQ(r.output.result_rect.left, c.input.left);
    EXPECT_EQ(r.output.result_rect.top, c.input.top);
    EXPECT_EQ(r.output.result_rect.right, c.input.right);
    EXPECT_EQ(r.output.result_rect.bottom, c.input.bottom);
}
INSTANTIATE_TEST_SUITE_P(Cases, PreRenderRects, testing::ValuesIn(kRectCases),
                         [](const testing::TestParamInfo<RectCase> &i) { return std::to_string(i.index); });

TEST_F(PreRenderTest, RectanglesAreUnitedWithTheHostsOwn) {
    World input(Depth::k8, 10, 10, 5, 5);  // (5, 5, 15, 15)
    renderhost::FrameSpec f = Frame(0);
    f.input = &input;
    f.ref_width = 15;
    f.ref_height = 15;
    f.initial_output.result_rect = {-3, 7, 8, 30};
    f.initial_output.max_result_rect = {20, 20, 40, 40};
    const PreRenderOutcome r = PreRender(f);
    ASSERT_EQ(r.err, PF_Err_NONE);
    const PF_LRect &res = r.output.result_rect;
    EXPECT_EQ(res.left, -3);
    EXPECT_EQ(res.top, 5);
    EXPECT_EQ(res.right, 15);
    EXPECT_EQ(res.bottom, 30);
    // max: input widened to (0, 0, 15, 15), united with (20, 20, 40, 40).
    const PF_LRect &m = r.output.max_result_rect;
    EXPECT_EQ(m.left, 0);
    EXPECT_EQ(m.top, 0);
    EXPECT_EQ(m.right, 40);
    EXPECT_EQ(m.bottom, 40);
}

// A check-in that fails after everything else succeeded is the result, yet
// the opacity, both rectangles and the extra-pixels flag are written.
TEST_F(PreRenderTest, FailedFinalCheckinComesAfterEverythingIsWritten) {
    World input(Depth::k8, 18, 17, 2, 3);  // (2, 3, 20, 20), inside the 40 x 30 layer
    renderhost::FrameSpec f = Frame(0x320000);
    f.input = &input;
    f.ref_width = 40;
    f.ref_height = 30;
    f.initial_output.flags = 0x40;
    host_.FailOn(HostOp::CheckinParam, 1, 9);
    const PreRenderOutcome r = PreRender(f);
    EXPECT_EQ(r.err, 9);
    EXPECT_EQ(r.opacity, 0.5);
    EXPECT_EQ(r.output.flags, 0x41);
    const auto corners = [](const PF_LRect &rect) {
        return std::vector<A_long>{rect.left, rect.top, rect.right, rect.bottom};
    };
    EXPECT_EQ(corners(r.output.result_rect), (std::vector<A_long>{2, 3, 20, 20}));
    EXPECT_EQ(corners(r.output.max_result_rect), (std::vector<A_long>{0, 0, 40, 30}));
}

TEST_F(PreRenderTest, RequestIsCopiedWithTransparentColourPreserved) {
    World input(Depth::k8, 8, 6, 0, 0);
    renderhost::FrameSpec f = Frame(0x320000);
    PF_RenderRequest request{};
    request.rect = {1, 2, 7, 5};
    request.field = 2;
    request.channel_mask = 0xB;
    request.preserve_rgb_of_zero_alpha = 0;
    request.reserved[2] = 77;
    f.request = request;
    const renderhost::FrameResult r = effect_->RenderFrame(f);
    ASSERT_EQ(r.pre_render, PF_Err_NONE);
    EXPECT_EQ(r.request_after_pre_render.preserve_rgb_of_zero_alpha, 0) << "the host's own request is not changed";
    ASSERT_TRUE(r.layer_request.has_value());
    const PF_RenderRequest &asked = *r.layer_request;
    EXPECT_EQ(asked.preserve_rgb_of_zero_alpha, 1);
    EXPECT_EQ(asked.rect.left, 1);
    EXPECT_EQ(asked.rect.top, 2);
    EXPECT_EQ(asked.rect.right, 7);
    EXPECT_EQ(asked.rect.bottom, 5);
    EXPECT_EQ(asked.field, 2);
    EXPECT_EQ(asked.channel_mask, 0xB);
    EXPECT_EQ(asked.reserved[2], 77);
}

// Both checkouts ask for the frame's own time, and the layer under checkout
// id 0, the id the render asks for.
class PreRenderCalls : public PreRenderTest, public testing::WithParamInterface<plugin_test::FrameTime> {};
TEST_P(PreRenderCalls, HostCallsInOrder) {
    const plugin_test::FrameTime &t = GetParam();
    renderhost::FrameSpec f = Frame(0x320000);
    f.current_time = t.current_time;
    f.time_step = t.time_step;
    f.time_scale = t.time_scale;
    const PreRenderOutcome r = PreRender(f);
    ASSERT_EQ(r.err, PF_Err_NONE);
    std::vector<HostOp> ops;
    for (const auto &e : r.journal) ops.push_back(e.op);
    const std::vector<HostOp> expected = {HostOp::AcquireSuite,  HostOp::NewHandle,     HostOp::LockHandle,
                                          HostOp::CheckoutParam, HostOp::CheckoutLayer, HostOp::CheckinParam,
                                          HostOp::ReleaseSuite};
    ASSERT_EQ(ops, expected);
    EXPECT_EQ(r.journal[3].detail, "index 1 at " + plugin_test::TimeText(t));
    EXPECT_EQ(r.journal[4].detail, "layer 0 id 0 at " + plugin_test::TimeText(t));
}
INSTANTIATE_TEST_SUITE_P(Times, PreRenderCalls, testing::ValuesIn(plugin_test::kFrameTimes),
                         plugin_test::FrameTimeName);

// A layer checkout that fills the result as for a layer of 2 x 2 pixels out
// of 40 x 30, then fails.
PF_Err CheckoutLayerThenFail(PF_ProgPtr, PF_ParamIndex, A_long, const PF_RenderRequest *, A_long, A_long, A_u_long,
                             PF_CheckoutResult *result) {
    result->result_rect = result->max_result_rect = {0, 0, 2, 2};
    result->ref_width = 40;
    result->ref_height = 30;
    return 77;
}

// A failed checkout ends the pre-render with the handle stored (the host
// disposes of it), its opacity unwritten (the host's new blocks hold 0xA5
// bytes), and the rectangles and flags as the host gave them, although the
// layer would have widened them.
struct CheckoutFailure {
    const char *what;
    bool layer_fails;  // else the slider's checkout fails
};
void PrintTo(const CheckoutFailure &c, std::ostream *os) { *os << c.what; }
class PreRenderCheckoutFailure : public PreRenderTest, public testing::WithParamInterface<CheckoutFailure> {};
TEST_P(PreRenderCheckoutFailure, LeavesOpacityRectanglesAndFlags) {
    World input(Depth::k8, 2, 2);
    renderhost::FrameSpec f = Frame(0x320000);
    f.input = &input;
    f.ref_width = 40;
    f.ref_height = 30;
    f.initial_output.flags = 0x10;
    f.initial_output.result_rect = {1, 2, 3, 4};
    f.initial_output.max_result_rect = {5, 6, 7, 8};
    PF_PreRenderCallbacks failing_layer{&CheckoutLayerThenFail};
    if (!GetParam().layer_fails) host_.FailOn(HostOp::CheckoutParam, 1, 77);
    const PreRenderOutcome r = PreRender(f, {}, GetParam().layer_fails ? &failing_layer : nullptr);
    EXPECT_EQ(r.err, 77);
    ASSERT_TRUE(r.has_data);
    std::uint64_t opacity_bits = 0;
    std::memcpy(&opacity_bits, &r.opacity, sizeof opacity_bits);
    EXPECT_EQ(opacity_bits, 0xA5A5A5A5A5A5A5A5u);
    EXPECT_EQ(r.output.flags, 0x10);
    const auto corners = [](const PF_LRect &rect) {
        return std::vector<A_long>{rect.left, rect.top, rect.right, rect.bottom};
    };
    EXPECT_EQ(corners(r.output.result_rect), (std::vector<A_long>{1, 2, 3, 4}));
    EXPECT_EQ(corners(r.output.max_result_rect), (std::vector<A_long>{5, 6, 7, 8}));
}
INSTANTIATE_TEST_SUITE_P(Checkouts, PreRenderCheckoutFailure,
                         testing::Values(CheckoutFailure{"slider", false}, CheckoutFailure{"layer", true}),
                         [](const testing::TestParamInfo<CheckoutFailure> &i) { return i.param.what; });

}  // namespace
