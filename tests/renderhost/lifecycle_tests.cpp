// The whole lifecycle: a module loaded by path, its commands in order, the
// frame's checkouts, the pre-render data's disposal, and a clean host at the
// end, also when any one host call of a frame fails.
#include "rh_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#ifndef RENDERHOST_PROBE_MODULE
#error "RENDERHOST_PROBE_MODULE must name the test module's file"
#endif

namespace {

using renderhost::Depth;
using renderhost::Effect;
using renderhost::FrameResult;
using renderhost::FrameSpec;
using renderhost::Host;
using renderhost::HostOp;
using renderhost::PluginModule;
using renderhost::World;

std::string LoadError(const std::string &path) {
    try {
        PluginModule::Load(path);
    } catch (const std::runtime_error &e) {
        return e.what();
    }
    return "";
}

TEST(PluginModule, MissingFileIsAClearError) {
    const std::string path = "/nonexistent/dir/NoSuchPlugin.so";
    const std::string error = LoadError(path);
    EXPECT_NE(error.find("cannot load plug-in module '" + path + "'"), std::string::npos) << error;
}

TEST(PluginModule, ModuleWithoutEntryPointIsAClearError) {
    const std::string path = RENDERHOST_NO_ENTRY_MODULE;
    const std::string error = LoadError(path);
    EXPECT_NE(error.find("plug-in module '" + path + "' does not export EntryPointFunc"), std::string::npos) << error;
}

TEST(PluginModule, LoadsAndMoves) {
    PluginModule module = PluginModule::Load(RENDERHOST_PROBE_MODULE);
    ASSERT_NE(module.entry(), nullptr);
    PluginModule moved = std::move(module);
    EXPECT_EQ(module.entry(), nullptr);
    EXPECT_EQ(moved.path(), RENDERHOST_PROBE_MODULE);
}

// Fills a world with a pattern that tells every pixel apart.
void Paint(World &world) {
    for (A_long y = 0; y < world.height(); ++y) {
        for (A_long x = 0; x < world.width(); ++x) {
            const int v = 1 + y * world.width() + x;
            switch (world.depth()) {
                case Depth::k8:
                    world.At<PF_Pixel>(x, y) = PF_Pixel{255, static_cast<A_u_char>(v), 2, 3};
                    break;
                case Depth::k16:
                    world.At<PF_Pixel16>(x, y) = PF_Pixel16{32768, static_cast<A_u_short>(v * 100), 2, 3};
                    break;
                case Depth::k32:
                    world.At<PF_PixelFloat>(x, y) = PF_PixelFloat{1.0f, v / 64.0f, 0.5f, 0.25f};
                    break;
            }
        }
    }
}

// Whether the output pixel at layer coordinates equals the input's there.
bool SamePixel(const World &out, A_long x, A_long y, const World &in) {
    const A_long ox = x - out.origin_x(), oy = y - out.origin_y();
    const A_long ix = x - in.origin_x(), iy = y - in.origin_y();
    switch (out.depth()) {
        case Depth::k8: {
            const PF_Pixel a = out.At<PF_Pixel>(ox, oy), b = in.At<PF_Pixel>(ix, iy);
            return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
        }
        case Depth::k16: {
            const PF_Pixel16 a = out.At<PF_Pixel16>(ox, oy), b = in.At<PF_Pixel16>(ix, iy);
            return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
        }
        case Depth::k32: {
            const PF_PixelFloat a = out.At<PF_PixelFloat>(ox, oy), b = in.At<PF_PixelFloat>(ix, iy);
            return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
        }
    }
    return false;
}

bool Transparent(const World &out, A_long ox, A_long oy) {
    switch (out.depth()) {
        case Depth::k8:
            return out.At<PF_Pixel>(ox, oy).alpha == 0 && out.At<PF_Pixel>(ox, oy).red == 0;
        case Depth::k16:
            return out.At<PF_Pixel16>(ox, oy).alpha == 0 && out.At<PF_Pixel16>(ox, oy).red == 0;
        case Depth::k32:
            return out.At<PF_PixelFloat>(ox, oy).alpha == 0 && out.At<PF_PixelFloat>(ox, oy).red == 0;
    }
    return false;
}

bool RectIs(const PF_LRect &r, A_long l, A_long t, A_long rt, A_long b) {
    return r.left == l && r.top == t && r.right == rt && r.bottom == b;
}

class ProbeLifecycle : public ::testing::TestWithParam<Depth> {
protected:
    ProbeLifecycle()
        : module(PluginModule::Load(RENDERHOST_PROBE_MODULE)),
          host(renderhost::HostOptions{3, renderhost::CallJournal::kOn}),
          effect(host, module),
          input(GetParam(), 6, 4, 2, 1),
          layer(GetParam(), 6, 4, 2, 1),
          output(GetParam(), 8, 6, 0, 0, static_cast<A_long>(renderhost::PixelBytes(GetParam()) * 9)) {
        Paint(input);
        Paint(output);  // must be cleared by the probe's fill
        frame.input = &input;
        frame.layer = &layer;
        frame.output = &output;
        frame.slider = 50 << 16;
        frame.current_time = 48;
        frame.time_step = 2;
        frame.time_scale = 24;
    }

    PluginModule module;
    Host host;
    Effect effect;
    World input, layer, output;
    FrameSpec frame;
};

TEST_P(ProbeLifecycle, RunsCleanlyFromSetupToSetdown) {
    std::string about;
    ASSERT_EQ(effect.About(&about), PF_Err_NONE);
    EXPECT_EQ(about, "RenderHostProbe v1.2");

    ASSERT_EQ(effect.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(effect.out_data().my_version, 0x10002u);
    EXPECT_TRUE(effect.out_data().out_flags2 & PF_OutFlag2_SUPPORTS_SMART_RENDER);
    const PF_Handle global = effect.in_data().global_data;
    ASSERT_NE(global, nullptr);
    ASSERT_TRUE(host.FindHandle(global).has_value());
    EXPECT_EQ(host.FindHandle(global)->lock_count, 0);
    EXPECT_EQ(*static_cast<AEGP_PluginID *>(*global), renderhost::kDefaultPluginId);

    ASSERT_EQ(effect.ParamsSetup(), PF_Err_NONE);
    EXPECT_EQ(effect.out_data().num_params, 2);
    const auto params = effect.added_params();
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].index, -1);
    EXPECT_STREQ(params[0].def.name, "Gain");
    EXPECT_EQ(params[0].def.param_type, PF_Param_FIX_SLIDER);

    for (int frame_number = 0; frame_number < 2; ++frame_number) {
        host.ClearJournal();
        const FrameResult r = effect.RenderFrame(frame);
        ASSERT_EQ(r.pre_render, PF_Err_NONE);
        ASSERT_TRUE(r.render_sent);
        ASSERT_EQ(r.render, PF_Err_NONE);
        // The slider reached the render through the pre-render data.
        EXPECT_STREQ(effect.out_data().return_msg, "gain 3276800");
        EXPECT_TRUE(RectIs(r.pre_render_output.result_rect, 2, 1, 8, 5));
        EXPECT_TRUE(RectIs(r.pre_render_output.max_result_rect, 2, 1, 8, 5));
        ASSERT_TRUE(r.layer_request.has_value());
        EXPECT_EQ(r.layer_request->preserve_rgb_of_zero_alpha, 1);
        EXPECT_EQ(r.request_after_pre_render.preserve_rgb_of_zero_alpha, 0);
        EXPECT_TRUE(RectIs(r.request.rect, 0, 0, 8, 6));

        for (A_long y = 0; y < 6; ++y)
            for (A_long x = 0; x < 8; ++x) {
                const bool inside = x >= 2 && y >= 1 && y < 5;
                EXPECT_TRUE(inside ? SamePixel(output, x, y, input) : Transparent(output, x, y))
                    << "(" << x << ", " << y << ")";
            }
        EXPECT_TRUE(output.PaddingIntact());

        // The host disposed of the pre-render data; only the global data is left.
        EXPECT_EQ(host.LiveHandles(), 1u);
        EXPECT_EQ(host.LockedHandles(), 0u);
        EXPECT_EQ(host.OutstandingSuites(), 0);
        EXPECT_EQ(host.OutstandingCheckouts(), 0);

        const std::vector<HostOp> expected = {
            // pre-render
            HostOp::AcquireSuite, HostOp::NewHandle, HostOp::LockHandle, HostOp::CheckoutParam, HostOp::CheckoutLayer,
            HostOp::CheckinParam, HostOp::ReleaseSuite,
            // render
            HostOp::AcquireSuite, HostOp::LockHandle, HostOp::Sprintf, HostOp::CheckoutLayerPixels,
            HostOp::CheckoutOutput, HostOp::AcquireSuite, HostOp::GetPixelFormat, HostOp::ReleaseSuite, HostOp::Fill,
            HostOp::CheckoutParam, HostOp::AcquireSuite, HostOp::IterateGeneric, HostOp::ReleaseSuite,
            HostOp::CheckinParam, HostOp::ReleaseSuite};
        EXPECT_EQ(host.JournalOps(), expected);
        const auto journal = host.Journal();
        EXPECT_EQ(journal[3].detail, "index 1 at 48/2/24");
        EXPECT_EQ(journal[4].detail, "layer 0 id 0 at 48/2/24");
        EXPECT_EQ(journal[13].detail, std::string(GetParam() == Depth::k8    ? "argb"
                                                  : GetParam() == Depth::k16 ? "ae16"
                                                                             : "ae32") +
                                          " of the input");
        EXPECT_EQ(journal[18].detail, "iterations 6");
    }

    ASSERT_EQ(effect.GlobalSetdown(), PF_Err_NONE);
    EXPECT_EQ(effect.in_data().global_data, nullptr);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

TEST_P(ProbeLifecycle, LayerWithoutPixelsLeavesTheOutputTransparent) {
    frame.layer = nullptr;
    const FrameResult r = effect.RenderFrame(frame);
    ASSERT_EQ(r.render, PF_Err_NONE);
    for (A_long y = 0; y < 6; ++y)
        for (A_long x = 0; x < 8; ++x) EXPECT_TRUE(Transparent(output, x, y));
    EXPECT_EQ(host.Calls(HostOp::IterateGeneric), 0);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

INSTANTIATE_TEST_SUITE_P(Depths, ProbeLifecycle, ::testing::Values(Depth::k8, Depth::k16, Depth::k32));

// Fails each host call of a frame in turn, the 1st, the 2nd, ... of its
// kind: the probe reports the error (or shrugs off the ones it ignores), and
// in every case the host is left clean after the frame.
TEST(ProbeFaults, EveryFailingCallOfAFrameLeavesTheHostClean) {
    constexpr PF_Err kInjected = 4321;
    PluginModule module = PluginModule::Load(RENDERHOST_PROBE_MODULE);
    World input(Depth::k8, 5, 5), layer(Depth::k8, 5, 5), output(Depth::k8, 5, 5);
    FrameSpec frame;
    frame.input = &input;
    frame.layer = &layer;
    frame.output = &output;

    std::vector<renderhost::JournalEntry> calls;
    {
        Host host(renderhost::HostOptions{2, renderhost::CallJournal::kOn});
        Effect effect(host, module);
        const FrameResult r = effect.RenderFrame(frame);
        ASSERT_EQ(r.render, PF_Err_NONE);
        calls = host.Journal();
    }
    ASSERT_EQ(calls.size(), 22u);

    std::map<HostOp, int> seen;
    for (const auto &call : calls) {
        const int nth = ++seen[call.op];
        SCOPED_TRACE(renderhost::ToString(call) + ", call " + std::to_string(nth) + " of its kind");
        Host host(renderhost::HostOptions{2, renderhost::CallJournal::kOn});
        Effect effect(host, module);
        host.FailOn(call.op, nth, kInjected);
        const FrameResult r = effect.RenderFrame(frame);
        const bool ignored_by_probe = call.op == HostOp::ReleaseSuite || call.op == HostOp::Sprintf;
        EXPECT_EQ(r.pre_render != PF_Err_NONE || r.render != PF_Err_NONE, !ignored_by_probe);
        int failed = 0;
        for (const auto &entry : host.Journal()) failed += entry.op == call.op && entry.result == kInjected;
        EXPECT_EQ(failed, 1);
        EXPECT_TRUE(host.IsClean()) << host.LeakReport();
    }
}

// ---- The frame as the host sends it, seen from an in-process plug-in ----

struct CheckoutCase {
    A_long in_x, in_y, in_w, in_h;
    std::optional<A_long> ref_w, ref_h;
    PF_RationalScale down_x, down_y;
    A_long expect_ref_w, expect_ref_h;
};

class PreRenderCheckout : public ::testing::TestWithParam<CheckoutCase> {};

TEST_P(PreRenderCheckout, AnswersTheInputsRectanglesAndReferenceSize) {
    const CheckoutCase &c = GetParam();
    Host host(renderhost::HostOptions{1});
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k16, c.in_w, c.in_h, c.in_x, c.in_y), output(Depth::k16, 3, 3);
    FrameSpec frame;
    frame.input = &input;
    frame.output = &output;
    frame.ref_width = c.ref_w;
    frame.ref_height = c.ref_h;
    frame.downsample_x = c.down_x;
    frame.downsample_y = c.down_y;
    PF_CheckoutResult seen{};
    PF_RationalScale seen_down_x{}, seen_down_y{};
    A_short seen_bitdepth = 0;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *in, PF_OutData *, void *extra) -> PF_Err {
        if (cmd != PF_Cmd_SMART_PRE_RENDER) return PF_Err_NONE;
        auto *pre = static_cast<PF_PreRenderExtra *>(extra);
        seen_down_x = in->downsample_x;
        seen_down_y = in->downsample_y;
        seen_bitdepth = pre->input->bitdepth;
        return pre->cb->checkout_layer(in->effect_ref, 0, 0, &pre->input->output_request, in->current_time,
                                       in->time_step, in->time_scale, &seen);
    });
    const FrameResult r = effect.RenderFrame(frame);
    EXPECT_EQ(r.pre_render, PF_Err_NONE);
    EXPECT_TRUE(RectIs(seen.result_rect, c.in_x, c.in_y, c.in_x + c.in_w, c.in_y + c.in_h));
    EXPECT_TRUE(RectIs(seen.max_result_rect, c.in_x, c.in_y, c.in_x + c.in_w, c.in_y + c.in_h));
    EXPECT_EQ(seen.ref_width, c.expect_ref_w);
    EXPECT_EQ(seen.ref_height, c.expect_ref_h);
    EXPECT_EQ(seen_down_x.num, c.down_x.num);
    EXPECT_EQ(seen_down_x.den, c.down_x.den);
    EXPECT_EQ(seen_down_y.num, c.down_y.num);
    EXPECT_EQ(seen_down_y.den, c.down_y.den);
    EXPECT_EQ(seen_bitdepth, 16);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

INSTANTIATE_TEST_SUITE_P(Cases, PreRenderCheckout,
                         ::testing::Values(CheckoutCase{0, 0, 4, 3, std::nullopt, std::nullopt, {1, 1}, {1, 1}, 4, 3},
                                           CheckoutCase{-5, 7, 4, 3, 1920, 1080, {1, 2}, {1, 2}, 1920, 1080},
                                           CheckoutCase{10, -10, 0, 0, 1000, 3, {1, 3}, {2, 3}, 1000, 3}));

TEST(Frame, LentWorldsAreValidCopiesAndLayerPixelsNeedThePreRendersCheckout) {
    Host host(renderhost::HostOptions{1});
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k32, 0, 0), output(Depth::k32, 2, 2), layer(Depth::k32, 1, 1, 4, 4);
    FrameSpec frame;
    frame.input = &input;
    frame.layer = &layer;
    frame.output = &output;
    frame.slider = 0x123456;
    PF_Err early_pixels = 0, pixels_err = -1, output_err = -1;
    std::string input_problem = "unset", output_problem = "unset", layer_problem = "unset";
    PF_Fixed slider = 0;
    PF_ParamType layer_type = -1;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *in, PF_OutData *, void *extra) -> PF_Err {
        if (cmd == PF_Cmd_SMART_PRE_RENDER) {
            auto *pre = static_cast<PF_PreRenderExtra *>(extra);
            PF_ParamDef p{};
            in->inter.checkout_param(in->effect_ref, 1, 0, 1, 1, &p);
            slider = p.u.fd.value;
            in->inter.checkin_param(in->effect_ref, &p);
            PF_CheckoutResult result{};
            return pre->cb->checkout_layer(in->effect_ref, 0, 0, &pre->input->output_request, 0, 1, 1, &result);
        }
        auto *render = static_cast<PF_SmartRenderExtra *>(extra);
        PF_EffectWorld *world = nullptr;
        early_pixels = render->cb->checkout_layer_pixels(in->effect_ref, 1, &world);  // id 1 was not asked for
        pixels_err = render->cb->checkout_layer_pixels(in->effect_ref, 0, &world);
        input_problem = world ? renderhost::WorldProblem(*world) : "null";
        world->width = -99;  // scribbling on a lent copy must not reach the host's world
        output_err = render->cb->checkout_output(in->effect_ref, &world);
        output_problem = world ? renderhost::WorldProblem(*world) : "null";
        PF_ParamDef p{};
        in->inter.checkout_param(in->effect_ref, 0, 0, 1, 1, &p);
        layer_problem = renderhost::WorldProblem(p.u.ld);
        layer_type = p.param_type;
        in->inter.checkin_param(in->effect_ref, &p);
        return PF_Err_NONE;
    });
    const FrameResult r = effect.RenderFrame(frame);
    EXPECT_EQ(r.render, PF_Err_NONE);
    EXPECT_EQ(early_pixels, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(pixels_err, PF_Err_NONE);
    EXPECT_EQ(output_err, PF_Err_NONE);
    EXPECT_EQ(input_problem, "");
    EXPECT_EQ(output_problem, "");
    EXPECT_EQ(layer_problem, "");
    EXPECT_EQ(layer_type, PF_Param_LAYER);
    EXPECT_EQ(slider, 0x123456);
    EXPECT_EQ(input.width(), 0);
    ASSERT_EQ(host.Misuses().size(), 1u);
    EXPECT_NE(host.Misuses()[0].find("id 1, which the pre-render did not check out"), std::string::npos);
}

// A pre-render that keeps a locked handle as its data and returns result.
PF_Err PreRenderKeepingHandle(PF_InData *in, void *extra, PF_Err result) {
    const auto *hs = rhtest::Acquire<PF_HandleSuite2>(in->pica_basicP, "PF Handle Suite", 2);
    PF_Handle h = hs->host_new_handle(8);
    hs->host_lock_handle(h);
    static_cast<PF_PreRenderExtra *>(extra)->output->pre_render_data = h;
    in->pica_basicP->ReleaseSuite("PF Handle Suite", 2);
    return result;
}

TEST(Frame, FailedPreRenderSendsNoRenderAndItsDataIsStillDisposed) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k8, 2, 2), output(Depth::k8, 2, 2);
    FrameSpec frame;
    frame.input = &input;
    frame.output = &output;
    int renders = 0;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *in, PF_OutData *, void *extra) -> PF_Err {
        if (cmd == PF_Cmd_SMART_RENDER) {
            ++renders;
            return PF_Err_NONE;
        }
        return PreRenderKeepingHandle(in, extra, 77);
    });
    const FrameResult r = effect.RenderFrame(frame);
    EXPECT_EQ(r.pre_render, 77);
    EXPECT_FALSE(r.render_sent);
    EXPECT_EQ(renders, 0);
    EXPECT_NE(r.pre_render_output.pre_render_data, nullptr);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

TEST(Frame, PreRenderDataIsHandedToTheRenderThenDisposed) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k8, 2, 2), output(Depth::k8, 2, 2);
    FrameSpec frame;
    frame.input = &input;
    frame.output = &output;
    frame.initial_output.flags = 0x40;  // the host's own bits are handed over as set
    void *carried = nullptr;
    std::optional<renderhost::HandleInfo> during_render;
    PF_RenderOutputFlags flags_seen = 0;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *in, PF_OutData *, void *extra) -> PF_Err {
        if (cmd == PF_Cmd_SMART_RENDER) {
            carried = static_cast<PF_SmartRenderExtra *>(extra)->input->pre_render_data;
            during_render = host.FindHandle(static_cast<PF_Handle>(carried));
            return PF_Err_NONE;
        }
        flags_seen = static_cast<PF_PreRenderExtra *>(extra)->output->flags;
        return PreRenderKeepingHandle(in, extra, PF_Err_NONE);
    });
    const FrameResult r = effect.RenderFrame(frame);
    // The frame is forgotten afterwards: its worlds are the caller's.
    PF_Err late_output = PF_Err_NONE;
    {
        rhtest::ScriptGuard late([&](PF_Cmd, PF_InData *in, PF_OutData *, void *) -> PF_Err {
            PF_EffectWorld *world = nullptr;
            late_output = host.SmartRenderCallbacks()->checkout_output(in->effect_ref, &world);
            return PF_Err_NONE;
        });
        effect.Send(PF_Cmd_SMART_RENDER, nullptr, nullptr, nullptr);
    }
    EXPECT_EQ(late_output, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(host.Misuses().size(), 1u);
    EXPECT_EQ(flags_seen, 0x40);
    EXPECT_EQ(carried, r.pre_render_output.pre_render_data);
    ASSERT_TRUE(during_render.has_value());
    EXPECT_EQ(during_render->lock_count, 1);  // still locked, as the pre-render left it
    EXPECT_EQ(host.LiveHandles(), 0u);
    EXPECT_EQ(host.OutstandingSuites(), 0);
}

void *g_deleted = nullptr;
void DeletePreRenderData(void *data) { g_deleted = data; }

TEST(Frame, PlugInsDeletionFunctionIsUsedWhenInstalled) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k8, 2, 2), output(Depth::k8, 2, 2);
    FrameSpec frame;
    frame.input = &input;
    frame.output = &output;
    static int block = 0;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *, PF_OutData *, void *extra) -> PF_Err {
        if (cmd == PF_Cmd_SMART_PRE_RENDER) {
            auto *out = static_cast<PF_PreRenderExtra *>(extra)->output;
            out->pre_render_data = &block;
            out->delete_pre_render_data_func = &DeletePreRenderData;
        }
        return PF_Err_NONE;
    });
    g_deleted = nullptr;
    effect.RenderFrame(frame);
    EXPECT_EQ(g_deleted, &block);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

TEST(Frame, UnknownPreRenderDataWithoutDeletionFunctionIsAMisuse) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k8, 2, 2), output(Depth::k8, 2, 2);
    FrameSpec frame;
    frame.input = &input;
    frame.output = &output;
    static int block = 0;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *, PF_OutData *, void *extra) -> PF_Err {
        if (cmd == PF_Cmd_SMART_PRE_RENDER) static_cast<PF_PreRenderExtra *>(extra)->output->pre_render_data = &block;
        return PF_Err_NONE;
    });
    effect.RenderFrame(frame);
    EXPECT_FALSE(host.IsClean());
}

struct BadFrame {
    const char *what;
    void (*spoil)(FrameSpec &, World &other_depth);
};
void PrintTo(const BadFrame &c, std::ostream *os) { *os << c.what; }

class FrameRefused : public ::testing::TestWithParam<BadFrame> {};

TEST_P(FrameRefused, BeforeAnythingIsSent) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    World input(Depth::k8, 2, 2), layer(Depth::k8, 2, 2), output(Depth::k8, 2, 2), deep(Depth::k16, 2, 2);
    FrameSpec frame;
    frame.input = &input;
    frame.layer = &layer;
    frame.output = &output;
    GetParam().spoil(frame, deep);
    int commands = 0;
    rhtest::ScriptGuard guard([&](PF_Cmd, PF_InData *, PF_OutData *, void *) -> PF_Err {
        ++commands;
        return PF_Err_NONE;
    });
    EXPECT_THROW(effect.RenderFrame(frame), std::invalid_argument) << GetParam().what;
    EXPECT_EQ(commands, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameRefused,
    ::testing::Values(BadFrame{"no input", [](FrameSpec &f, World &) { f.input = nullptr; }},
                      BadFrame{"no output", [](FrameSpec &f, World &) { f.output = nullptr; }},
                      BadFrame{"output is the input", [](FrameSpec &f, World &) { f.output = f.input; }},
                      BadFrame{"output is the layer", [](FrameSpec &f, World &) { f.output = f.layer; }},
                      BadFrame{"output of another depth", [](FrameSpec &f, World &d) { f.output = &d; }},
                      BadFrame{"layer of another depth", [](FrameSpec &f, World &d) { f.layer = &d; }},
                      BadFrame{"zero denominator", [](FrameSpec &f, World &) { f.downsample_y.den = 0; }},
                      BadFrame{"negative reference width", [](FrameSpec &f, World &) { f.ref_width = -1; }}));

TEST(Send, UnknownCommandsAndGlobalDataFollowTheHostsRules) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    static int global_block = 0;
    PF_Handle given = reinterpret_cast<PF_Handle>(&global_block);
    PF_Handle seen_in_setdown = nullptr;
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *in, PF_OutData *out, void *) -> PF_Err {
        if (cmd == PF_Cmd_GLOBAL_SETUP) out->global_data = given;
        if (cmd == PF_Cmd_GLOBAL_SETDOWN) seen_in_setdown = in->global_data;
        return cmd == 99 ? 5 : PF_Err_NONE;
    });
    EXPECT_EQ(effect.Send(99, nullptr, nullptr, nullptr), 5);
    EXPECT_EQ(effect.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(effect.in_data().global_data, given);
    EXPECT_EQ(effect.GlobalSetdown(), PF_Err_NONE);
    EXPECT_EQ(seen_in_setdown, given);
    EXPECT_EQ(effect.in_data().global_data, nullptr);
}

}  // namespace
