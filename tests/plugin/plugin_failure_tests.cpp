// Every failure the pre-render and the render can meet, made by the render
// host's fault injection: the result code, what happened to the output, and
// that everything lent out came back.
#include "plugin_test_support.h"

namespace {

using plugin_test::Depth;
using plugin_test::HostOp;
using plugin_test::Percent;
using plugin_test::PluginTest;
using plugin_test::World;

enum class Output { kUntouched, kCleared, kDrawn };

struct Fault {
    HostOp op;
    const char *suite = nullptr;  // count only this suite's acquisitions/releases
    int nth = 1;                  // counted over the whole frame: pre-render, then render
    PF_Err code = 0;
};

struct FailureCase {
    const char *what;
    std::vector<Fault> faults;
    PF_Err pre_render;
    PF_Err render;  // when the render is sent
    Output output;
    int layer_checkins;  // check-ins of parameter 0 the render made
    bool no_layer = false;
    // PF_GetPixelFormat's answer, when forced: {code, result}
    std::optional<std::pair<PF_PixelFormat, PF_Err>> format;
    // The render is sent alone, with null pre-render data: it then acquires
    // no handle suite and locks nothing; it makes no host call at all.
    bool no_pre_render_data = false;
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.what; }

constexpr PF_Err kHostErr = 77;

const FailureCase kFailureCases[] = {
    // Pre-render. The handle suite is acquired once per command, so its
    // first acquisition is the pre-render's.
    {"pre-render: no handle suite", {{HostOp::AcquireSuite, "PF Handle Suite", 1, 3}}, 516, 0, Output::kUntouched, 0},
    {"pre-render: no handle", {{HostOp::NewHandle, nullptr, 1, 0}}, 4, 0, Output::kUntouched, 0},
    {"pre-render: lock fails", {{HostOp::LockHandle, nullptr, 1, 0}}, 4, 0, Output::kUntouched, 0},
    {"pre-render: slider checkout fails",
     {{HostOp::CheckoutParam, nullptr, 1, kHostErr}},
     kHostErr,
     0,
     Output::kUntouched,
     0},
    {"pre-render: layer checkout fails",
     {{HostOp::CheckoutLayer, nullptr, 1, kHostErr}},
     kHostErr,
     0,
     Output::kUntouched,
     0},
    {"pre-render: layer checkout and check-in fail",
     {{HostOp::CheckoutLayer, nullptr, 1, kHostErr}, {HostOp::CheckinParam, nullptr, 1, 5}},
     kHostErr,
     0,
     Output::kUntouched,
     0},
    // A check-in failure after success ends the frame before the render.
    {"pre-render: check-in fails", {{HostOp::CheckinParam, nullptr, 1, 9}}, 9, 0, Output::kUntouched, 0},

    // Render.
    {"render: no handle suite", {{HostOp::AcquireSuite, "PF Handle Suite", 2, 3}}, 0, 516, Output::kUntouched, 0},
    {"render: lock fails", {{HostOp::LockHandle, nullptr, 2, 0}}, 0, 516, Output::kUntouched, 0},
    {"render: no pre-render data", {}, 0, 516, Output::kUntouched, 0, false, std::nullopt, true},
    {"render: input checkout fails",
     {{HostOp::CheckoutLayerPixels, nullptr, 1, kHostErr}},
     0,
     516,
     Output::kUntouched,
     0},
    {"render: output checkout fails", {{HostOp::CheckoutOutput, nullptr, 1, kHostErr}}, 0, 516, Output::kUntouched, 0},
    {"render: no world suite", {{HostOp::AcquireSuite, "PF World Suite", 1, 3}}, 0, 516, Output::kUntouched, 0},
    {"render: world suite code 0, no pointer",
     {{HostOp::AcquireSuite, "PF World Suite", 1, 0}},
     0,
     516,
     Output::kUntouched,
     0},
    {"render: unknown pixel format",
     {},
     0,
     516,
     Output::kUntouched,
     0,
     false,
     std::make_pair(PF_PixelFormat(0x12345678), PF_Err(0))},
    {"render: pixel format fails leaving badf",
     {},
     0,
     516,
     Output::kUntouched,
     0,
     false,
     std::make_pair(PF_PixelFormat(PF_PixelFormat_INVALID), PF_Err(kHostErr))},
    {"render: pixel format fails leaving a known code",
     {},
     0,
     kHostErr,
     Output::kUntouched,
     0,
     false,
     std::make_pair(PF_PixelFormat(PF_PixelFormat_ARGB32), PF_Err(kHostErr))},
    {"render: fill fails", {{HostOp::Fill, nullptr, 1, kHostErr}}, 0, kHostErr, Output::kUntouched, 0},
    // Nothing was checked out, so nothing is checked in.
    {"render: layer checkout fails", {{HostOp::CheckoutParam, nullptr, 2, kHostErr}}, 0, kHostErr, Output::kCleared, 0},
    {"render: layer has no pixels", {}, 0, 0, Output::kCleared, 1, true},
    {"render: no iterate suite", {{HostOp::AcquireSuite, "PF Iterate8 Suite", 1, 3}}, 0, 516, Output::kCleared, 1},
    {"render: iteration fails", {{HostOp::IterateGeneric, nullptr, 1, kHostErr}}, 0, kHostErr, Output::kCleared, 1},
    {"render: check-in fails", {{HostOp::CheckinParam, nullptr, 2, 9}}, 0, 9, Output::kDrawn, 1},
    {"render: iteration and check-in fail",
     {{HostOp::IterateGeneric, nullptr, 1, kHostErr}, {HostOp::CheckinParam, nullptr, 2, 9}},
     0,
     kHostErr,
     Output::kCleared,
     1},
};

class RenderFailure : public PluginTest, public testing::WithParamInterface<FailureCase> {
protected:
    // The render alone, sent as by a host that lost the pre-render's data.
    renderhost::FrameResult RenderWithoutPreRenderData(const renderhost::FrameSpec &frame) {
        effect_->SetFrame(frame);
        PF_SmartRenderInput input{};
        PF_SmartRenderExtra extra{&input, host_.SmartRenderCallbacks()};
        renderhost::FrameResult r;
        r.render = effect_->Send(PF_Cmd_SMART_RENDER, nullptr, nullptr, &extra);
        r.render_sent = true;
        return r;
    }
};

TEST_P(RenderFailure, ResultOutputAndAccounting) {
    const FailureCase &c = GetParam();
    for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) {
        SCOPED_TRACE(renderhost::DepthName(depth));
        plugin_test::Scene scene = plugin_test::MakeScene(depth, 9, 7, 2, 3u);
        World out(depth, scene.input.width(), scene.input.height(), scene.input.origin_x(), scene.input.origin_y());
        World expected(depth, out.width(), out.height(), out.origin_x(), out.origin_y());
        plugin_test::FillBytes(out, 0x5A);

        host_.ClearFaults();
        host_.ClearPixelFormatAnswer();
        for (const Fault &f : c.faults) {
            if (f.suite != nullptr)
                host_.FailOnSuite(f.op, f.suite, f.nth, f.code);
            else
                host_.FailOn(f.op, f.nth, f.code);
        }
        if (c.format) host_.SetPixelFormatAnswer(c.format->first, c.format->second);
        host_.ClearJournal();

        renderhost::FrameSpec frame;
        frame.input = &scene.input;
        frame.layer = c.no_layer ? nullptr : &scene.layer;
        frame.output = &out;
        frame.slider = Percent(50);
        const renderhost::FrameResult r =
            c.no_pre_render_data ? RenderWithoutPreRenderData(frame) : effect_->RenderFrame(frame);
        host_.ClearFaults();
        host_.ClearPixelFormatAnswer();

        EXPECT_EQ(r.pre_render, c.pre_render);
        EXPECT_EQ(r.render_sent, c.pre_render == PF_Err_NONE);
        if (r.render_sent) {
            EXPECT_EQ(r.render, c.render);
        }

        switch (c.output) {
            case Output::kUntouched:
                EXPECT_TRUE(plugin_test::AllBytesAre(out, 0x5A));
                break;
            case Output::kCleared:
                EXPECT_TRUE(plugin_test::AllBytesAre(out, 0));
                break;
            case Output::kDrawn:
                plugin_test::ComputeExpected(scene.input, &scene.layer, expected, plugin_test::OpacityOf(Percent(50)));
                EXPECT_TRUE(plugin_test::SamePixels(out, expected));
                break;
        }

        int layer_checkins = 0;
        for (const auto &e : host_.Journal())
            if (e.op == HostOp::CheckinParam && e.detail.find("index 0") != std::string::npos) ++layer_checkins;
        EXPECT_EQ(layer_checkins, c.layer_checkins);
        if (c.no_pre_render_data) {
            EXPECT_EQ(host_.JournalOps(), std::vector<HostOp>{});
        }

        // Everything lent out came back; nothing was handed back unasked.
        EXPECT_EQ(host_.LiveHandles(), 1u) << "only the global data\n" << host_.LeakReport();
        EXPECT_EQ(host_.OutstandingSuites(), 0) << host_.LeakReport();
        EXPECT_EQ(host_.OutstandingCheckouts(), 0) << host_.LeakReport();
        EXPECT_TRUE(host_.Misuses().empty()) << host_.LeakReport();
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderFailure, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase> &i) { return std::to_string(i.index); });

// A missing world suite is reported to the host by flag and message.
TEST_F(PluginTest, MissingWorldSuiteLeavesAMessage) {
    World in(Depth::k8, 2, 2), layer(Depth::k8, 2, 2), out(Depth::k8, 2, 2);
    host_.FailOnSuite(HostOp::AcquireSuite, "PF World Suite", 1, 3);
    renderhost::FrameSpec f;
    f.input = &in;
    f.layer = &layer;
    f.output = &out;
    const renderhost::FrameResult r = effect_->RenderFrame(f);
    EXPECT_EQ(r.render, 516);
    EXPECT_NE(effect_->out_data().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE, 0);
    EXPECT_STREQ(effect_->out_data().return_msg, "Couldn't load suite.");
}

}  // namespace
