// Fault injection: an operation fails on exactly its nth call, the way the
// operation documents, and the journal shows it.
#include "rh_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using renderhost::Depth;
using renderhost::Effect;
using renderhost::FrameSpec;
using renderhost::Host;
using renderhost::HostOp;
using renderhost::World;

constexpr PF_Err kInjected = 1234;

struct FaultFixture {
    Host host{renderhost::HostOptions{2, renderhost::CallJournal::kOn}};
    World input{Depth::k8, 4, 3};
    World output{Depth::k8, 4, 3};
    Effect effect{host, &rhtest::ScriptedEntry};
};

using Attempt = bool (*)(FaultFixture &, PF_InData *, PF_OutData *);

struct FaultCase {
    HostOp op;
    PF_Cmd cmd;
    Attempt attempt;  // one call of op; true when it succeeded
};
void PrintTo(const FaultCase &c, std::ostream *os) { *os << renderhost::HostOpName(c.op); }

template <class Suite>
const Suite *Get(PF_InData *in, const char *name, A_long version) {
    return rhtest::Acquire<Suite>(in->pica_basicP, name, version);
}
const PF_HandleSuite2 *Handles(PF_InData *in) { return Get<PF_HandleSuite2>(in, "PF Handle Suite", 2); }
void Release(PF_InData *in, const char *name, A_long version) { in->pica_basicP->ReleaseSuite(name, version); }

PF_Err NoOp(void *, A_long, A_long, A_long) { return PF_Err_NONE; }

const FaultCase kFaultCases[] = {
    {HostOp::AcquireSuite, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         const bool ok = Handles(in) != nullptr;
         if (ok) Release(in, "PF Handle Suite", 2);
         return ok;
     }},
    {HostOp::ReleaseSuite, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         Handles(in);
         return in->pica_basicP->ReleaseSuite("PF Handle Suite", 2) == PF_Err_NONE;
     }},
    {HostOp::NewHandle, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         const PF_HandleSuite2 *hs = Handles(in);
         PF_Handle h = hs->host_new_handle(4);
         if (h) hs->host_dispose_handle(h);
         Release(in, "PF Handle Suite", 2);
         return h != nullptr;
     }},
    {HostOp::LockHandle, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         const PF_HandleSuite2 *hs = Handles(in);
         PF_Handle h = hs->host_new_handle(4);
         void *p = hs->host_lock_handle(h);
         if (p) hs->host_unlock_handle(h);
         hs->host_dispose_handle(h);
         Release(in, "PF Handle Suite", 2);
         return p != nullptr;
     }},
    {HostOp::GetPixelFormat, PF_Cmd_SMART_RENDER,
     [](FaultFixture &f, PF_InData *in, PF_OutData *) {
         const auto *ws = Get<PF_WorldSuite2>(in, "PF World Suite", 2);
         PF_PixelFormat format = PF_PixelFormat_INVALID;
         const PF_Err err = ws->PF_GetPixelFormat(&f.input.descriptor(), &format);
         Release(in, "PF World Suite", 2);
         return err == PF_Err_NONE && format == PF_PixelFormat_ARGB32;
     }},
    {HostOp::RegisterWithAEGP, PF_Cmd_GLOBAL_SETUP,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         const auto *us = Get<AEGP_UtilitySuite7>(in, "AEGP Utility Suite", 7);
         AEGP_PluginID id = 0;
         const PF_Err err = us->AEGP_RegisterWithAEGP(nullptr, "Error!", &id);
         Release(in, "AEGP Utility Suite", 7);
         return err == PF_Err_NONE && id == renderhost::kDefaultPluginId;
     }},
    {HostOp::AddParam, PF_Cmd_PARAMS_SETUP,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         PF_ParamDef def{};
         return in->inter.add_param(in->effect_ref, -1, &def) == PF_Err_NONE;
     }},
    {HostOp::CheckoutParam, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         PF_ParamDef p{};
         const bool ok = in->inter.checkout_param(in->effect_ref, 1, 0, 1, 1, &p) == PF_Err_NONE;
         if (ok) in->inter.checkin_param(in->effect_ref, &p);
         return ok;
     }},
    {HostOp::CheckinParam, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         PF_ParamDef p{};
         in->inter.checkout_param(in->effect_ref, 0, 0, 1, 1, &p);
         return in->inter.checkin_param(in->effect_ref, &p) == PF_Err_NONE;
     }},
    {HostOp::CheckoutLayer, PF_Cmd_SMART_PRE_RENDER,
     [](FaultFixture &f, PF_InData *in, PF_OutData *) {
         PF_RenderRequest request{};
         PF_CheckoutResult result{};
         return f.host.PreRenderCallbacks()->checkout_layer(in->effect_ref, 0, 0, &request, 0, 1, 1, &result) ==
                PF_Err_NONE;
     }},
    {HostOp::CheckoutLayerPixels, PF_Cmd_SMART_RENDER,
     [](FaultFixture &f, PF_InData *in, PF_OutData *) {
         PF_EffectWorld *world = nullptr;
         const PF_Err err = f.host.SmartRenderCallbacks()->checkout_layer_pixels(in->effect_ref, 0, &world);
         return err == PF_Err_NONE && world != nullptr && world->data == f.input.data();
     }},
    {HostOp::CheckinLayerPixels, PF_Cmd_SMART_RENDER,
     [](FaultFixture &f, PF_InData *in, PF_OutData *) {
         return f.host.SmartRenderCallbacks()->checkin_layer_pixels(in->effect_ref, 0) == PF_Err_NONE;
     }},
    {HostOp::CheckoutOutput, PF_Cmd_SMART_RENDER,
     [](FaultFixture &f, PF_InData *in, PF_OutData *) {
         PF_EffectWorld *world = nullptr;
         const PF_Err err = f.host.SmartRenderCallbacks()->checkout_output(in->effect_ref, &world);
         return err == PF_Err_NONE && world != nullptr && world->data == f.output.data();
     }},
    {HostOp::Fill, PF_Cmd_SMART_RENDER,
     [](FaultFixture &f, PF_InData *in, PF_OutData *) {
         PF_EffectWorld lent = f.output.descriptor();
         const PF_Pixel white{255, 255, 255, 255};
         f.output.Clear();
         const bool ok = in->utils->fill(in->effect_ref, &white, nullptr, &lent) == PF_Err_NONE;
         return ok && f.output.At<PF_Pixel>(3, 2).alpha == 255;
     }},
    {HostOp::IterateGeneric, PF_Cmd_SMART_RENDER,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         const auto *is = Get<PF_Iterate8Suite1>(in, "PF Iterate8 Suite", 1);
         const PF_Err err = is->iterate_generic(3, nullptr, &NoOp);
         Release(in, "PF Iterate8 Suite", 1);
         return err == PF_Err_NONE;
     }},
    {HostOp::Sprintf, PF_Cmd_ABOUT,
     [](FaultFixture &, PF_InData *in, PF_OutData *out) {
         return in->utils->ansi.sprintf(out->return_msg, "%d", 5) == 1 && out->return_msg[0] == '5';
     }},
    {HostOp::Strcpy, PF_Cmd_PARAMS_SETUP,
     [](FaultFixture &, PF_InData *in, PF_OutData *) {
         char name[8] = {};
         return in->utils->ansi.strcpy(name, "abc") == name && name[2] == 'c';
     }},
};

class FailsOnNthCall : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FailsOnNthCall, ExactlyThatCallFails) {
    const FaultCase &c = GetParam();
    FaultFixture f;
    FrameSpec frame;
    frame.input = &f.input;
    frame.output = &f.output;
    f.effect.SetFrame(frame);
    // A pre-render that asks for the layer, so that the render's layer
    // checkouts are valid.
    {
        rhtest::ScriptGuard guard([&](PF_Cmd, PF_InData *in, PF_OutData *, void *) -> PF_Err {
            PF_RenderRequest request{};
            PF_CheckoutResult result{};
            return f.host.PreRenderCallbacks()->checkout_layer(in->effect_ref, 0, 0, &request, 0, 1, 1, &result);
        });
        ASSERT_EQ(f.effect.Send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, nullptr), PF_Err_NONE);
    }
    f.host.ClearJournal();
    const int calls_before = f.host.Calls(c.op);
    f.host.FailOn(c.op, 3, kInjected);

    std::vector<bool> succeeded;
    for (int i = 0; i < 4; ++i) {
        rhtest::ScriptGuard guard([&](PF_Cmd, PF_InData *in, PF_OutData *out, void *) -> PF_Err {
            succeeded.push_back(c.attempt(f, in, out));
            return PF_Err_NONE;
        });
        f.effect.Send(c.cmd, nullptr, nullptr, nullptr);
    }
    EXPECT_EQ(succeeded, (std::vector<bool>{true, true, false, true})) << HostOpName(c.op);
    EXPECT_EQ(f.host.Calls(c.op) - calls_before, 4);
    std::vector<PF_Err> results;
    for (const auto &entry : f.host.Journal())
        if (entry.op == c.op) results.push_back(entry.result);
    EXPECT_EQ(results, (std::vector<PF_Err>{0, 0, kInjected, 0})) << HostOpName(c.op);
    // Each attempt gave back what it got: a failed call lends nothing, and
    // a failed give-back still takes it back.
    EXPECT_TRUE(f.host.IsClean()) << HostOpName(c.op) << ":\n" << f.host.LeakReport();
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FailsOnNthCall, ::testing::ValuesIn(kFaultCases),
                         [](const auto &info) { return std::string(renderhost::HostOpName(info.param.op)); });

TEST(Faults, VoidOperationsReportOnlyInTheJournal) {
    Host host{renderhost::HostOptions{0, renderhost::CallJournal::kOn}};
    host.FailOn(HostOp::UnlockHandle, 1, kInjected);
    host.FailOn(HostOp::DisposeHandle, 1, kInjected);
    Host::Scope scope(host);
    const auto *hs = rhtest::Acquire<PF_HandleSuite2>(host.BasicSuite(), "PF Handle Suite", 2);
    PF_Handle h = hs->host_new_handle(4);
    hs->host_lock_handle(h);
    hs->host_unlock_handle(h);
    EXPECT_EQ(host.LockedHandles(), 0u);
    hs->host_dispose_handle(h);
    EXPECT_EQ(host.LiveHandles(), 0u);
    const auto journal = host.Journal();
    EXPECT_EQ(journal[3].op, HostOp::UnlockHandle);
    EXPECT_EQ(journal[3].result, kInjected);
    EXPECT_EQ(journal[4].op, HostOp::DisposeHandle);
    EXPECT_EQ(journal[4].result, kInjected);
}

TEST(Faults, SuiteNameNarrowsTheCount) {
    Host host;
    host.FailOnSuite(HostOp::AcquireSuite, "PF Iterate8 Suite", 2, kInjected);
    Host::Scope scope(host);
    const SPBasicSuite *basic = host.BasicSuite();
    SPErr code = -1;
    EXPECT_NE(rhtest::Acquire<PF_Iterate8Suite1>(basic, "PF Iterate8 Suite", 1), nullptr);
    EXPECT_NE(rhtest::Acquire<PF_HandleSuite2>(basic, "PF Handle Suite", 2), nullptr);
    EXPECT_NE(rhtest::Acquire<PF_HandleSuite2>(basic, "PF Handle Suite", 2), nullptr);
    EXPECT_EQ(rhtest::Acquire<PF_Iterate8Suite1>(basic, "PF Iterate8 Suite", 1, &code), nullptr);
    EXPECT_EQ(code, kInjected);
    EXPECT_NE(rhtest::Acquire<PF_Iterate8Suite1>(basic, "PF Iterate8 Suite", 1), nullptr);
}

TEST(Faults, CodeZeroGivesNullWithoutError) {
    Host host;
    host.FailOn(HostOp::AcquireSuite, 1, PF_Err_NONE);
    Host::Scope scope(host);
    SPErr code = -1;
    EXPECT_EQ(rhtest::Acquire<PF_HandleSuite2>(host.BasicSuite(), "PF Handle Suite", 2, &code), nullptr);
    EXPECT_EQ(code, PF_Err_NONE);
    EXPECT_EQ(host.OutstandingSuites(), 0);
}

TEST(Faults, CountFromArmingAndCanBeCleared) {
    Host host;
    Host::Scope scope(host);
    const auto *hs = rhtest::Acquire<PF_HandleSuite2>(host.BasicSuite(), "PF Handle Suite", 2);
    hs->host_dispose_handle(hs->host_new_handle(1));
    hs->host_dispose_handle(hs->host_new_handle(1));
    host.FailOn(HostOp::NewHandle, 1, kInjected);
    EXPECT_EQ(hs->host_new_handle(1), nullptr);  // the first call after arming
    host.FailOn(HostOp::NewHandle, 1, kInjected);
    host.ClearFaults();
    PF_Handle h = hs->host_new_handle(1);
    EXPECT_NE(h, nullptr);
    hs->host_dispose_handle(h);
    EXPECT_THROW(host.FailOn(HostOp::NewHandle, 0, kInjected), std::invalid_argument);
    EXPECT_THROW(host.FailOnSuite(HostOp::NewHandle, "PF Handle Suite", 1, kInjected), std::invalid_argument);
}

}  // namespace
