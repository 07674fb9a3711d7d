// Accounting: whatever a plug-in leaves lent out, or gives back wrongly,
// shows in the leak report; balanced use leaves the host clean.
#include "rh_test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using renderhost::Effect;
using renderhost::Host;

// Everything a case needs inside one command.
struct Ctx {
    PF_InData *in;
    const PF_HandleSuite2 *handles;
};

struct AccountingCase {
    const char *what;
    std::function<void(Ctx &)> act;
    const char *report_part;  // empty: the host must stay clean
};
void PrintTo(const AccountingCase &c, std::ostream *os) { *os << c.what; }

class Accounting : public ::testing::TestWithParam<AccountingCase> {};

TEST_P(Accounting, ReportsWhatIsLeftOrMisused) {
    const AccountingCase &c = GetParam();
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    {
        rhtest::ScriptGuard guard([&](PF_Cmd, PF_InData *in, PF_OutData *, void *) -> PF_Err {
            Ctx ctx{in, rhtest::Acquire<PF_HandleSuite2>(in->pica_basicP, "PF Handle Suite", 2)};
            c.act(ctx);
            in->pica_basicP->ReleaseSuite("PF Handle Suite", 2);
            return PF_Err_NONE;
        });
        effect.Send(PF_Cmd_SMART_RENDER, nullptr, nullptr, nullptr);
    }
    const std::string report = host.LeakReport();
    if (*c.report_part == '\0') {
        EXPECT_TRUE(host.IsClean()) << c.what << ":\n" << report;
    } else {
        EXPECT_FALSE(host.IsClean()) << c.what;
        EXPECT_NE(report.find(c.report_part), std::string::npos) << c.what << ":\n" << report;
    }
}

PF_ParamDef g_record;  // outlives the command, like a plug-in's static record

INSTANTIATE_TEST_SUITE_P(
    Cases, Accounting,
    ::testing::Values(
        AccountingCase{"balanced use",
                       [](Ctx &c) {
                           PF_Handle h = c.handles->host_new_handle(8);
                           c.handles->host_lock_handle(h);
                           c.handles->host_unlock_handle(h);
                           c.handles->host_dispose_handle(h);
                           PF_ParamDef p{};
                           c.in->inter.checkout_param(c.in->effect_ref, 1, 0, 1, 1, &p);
                           c.in->inter.checkin_param(c.in->effect_ref, &p);
                           rhtest::Acquire<PF_WorldSuite2>(c.in->pica_basicP, "PF World Suite", 2);
                           c.in->pica_basicP->ReleaseSuite("PF World Suite", 2);
                       },
                       ""},
        AccountingCase{"leaked handle", [](Ctx &c) { c.handles->host_new_handle(12); },
                       "handle #1 (12 bytes) not disposed of"},
        AccountingCase{"handle left locked", [](Ctx &c) { c.handles->host_lock_handle(c.handles->host_new_handle(4)); },
                       "handle #1 (4 bytes) not disposed of, locked 1 time"},
        AccountingCase{"unreleased suite",
                       [](Ctx &c) { rhtest::Acquire<PF_WorldSuite2>(c.in->pica_basicP, "PF World Suite", 2); },
                       "suite \"PF World Suite\" 2 acquired 1 times, released 0"},
        AccountingCase{"outstanding checkout",
                       [](Ctx &c) { c.in->inter.checkout_param(c.in->effect_ref, 1, 0, 1, 1, &g_record); },
                       "parameter 1 checked out and not checked in"},
        AccountingCase{"check-in without checkout",
                       [](Ctx &c) {
                           PF_ParamDef p{};
                           c.in->inter.checkin_param(c.in->effect_ref, &p);
                       },
                       "check-in of a parameter record that is not checked out"},
        AccountingCase{"second disposal",
                       [](Ctx &c) {
                           PF_Handle h = c.handles->host_new_handle(4);
                           c.handles->host_dispose_handle(h);
                           c.handles->host_dispose_handle(h);
                       },
                       "disposal of unknown handle, which is not live"},
        AccountingCase{"lock after disposal",
                       [](Ctx &c) {
                           PF_Handle h = c.handles->host_new_handle(4);
                           c.handles->host_dispose_handle(h);
                           c.handles->host_lock_handle(h);
                       },
                       "lock of unknown handle, which is not live"},
        AccountingCase{"unlock of an unlocked handle",
                       [](Ctx &c) {
                           PF_Handle h = c.handles->host_new_handle(4);
                           c.handles->host_unlock_handle(h);
                           c.handles->host_dispose_handle(h);
                       },
                       "unlock of handle #1, which is not locked"},
        AccountingCase{"release without acquire",
                       [](Ctx &c) { c.in->pica_basicP->ReleaseSuite("PF Iterate8 Suite", 1); },
                       "release of PF Iterate8 Suite 1, which is not acquired"},
        AccountingCase{"add_param outside params setup",
                       [](Ctx &c) {
                           PF_ParamDef p{};
                           c.in->inter.add_param(c.in->effect_ref, -1, &p);
                       },
                       "add_param outside params setup"}));

TEST(Accounting, CountsAcquiresAndReleasesPerSuite) {
    Host host;
    Host::Scope scope(host);
    const SPBasicSuite *basic = host.BasicSuite();
    rhtest::Acquire<PF_HandleSuite2>(basic, "PF Handle Suite", 2);
    rhtest::Acquire<PF_HandleSuite2>(basic, "PF Handle Suite", 2);
    rhtest::Acquire<PF_Iterate8Suite1>(basic, "PF Iterate8 Suite", 1);
    basic->ReleaseSuite("PF Handle Suite", 2);
    const auto uses = host.SuiteUses();
    ASSERT_EQ(uses.size(), 2u);
    EXPECT_EQ(uses[0].name, "PF Handle Suite");
    EXPECT_EQ(uses[0].acquired, 2);
    EXPECT_EQ(uses[0].released, 1);
    EXPECT_EQ(uses[1].name, "PF Iterate8 Suite");
    EXPECT_EQ(uses[1].outstanding(), 1);
    EXPECT_EQ(host.OutstandingSuites(), 2);
    basic->ReleaseSuite("PF Handle Suite", 2);
    basic->ReleaseSuite("PF Iterate8 Suite", 1);
    EXPECT_TRUE(host.IsClean()) << host.LeakReport();
}

TEST(Accounting, CountsOutstandingCheckoutsPerIndex) {
    Host host;
    Effect effect(host, &rhtest::ScriptedEntry);
    PF_ParamDef layer{};
    PF_ParamDef slider{};
    rhtest::ScriptGuard guard([&](PF_Cmd cmd, PF_InData *in, PF_OutData *, void *) -> PF_Err {
        if (cmd == PF_Cmd_SMART_PRE_RENDER) {
            in->inter.checkout_param(in->effect_ref, 0, 0, 1, 1, &layer);
            in->inter.checkout_param(in->effect_ref, 1, 0, 1, 1, &slider);
        } else {
            in->inter.checkin_param(in->effect_ref, &slider);
        }
        return PF_Err_NONE;
    });
    effect.Send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, nullptr);
    EXPECT_EQ(host.OutstandingCheckouts(), 2);
    EXPECT_EQ(host.OutstandingCheckouts(0), 1);
    EXPECT_EQ(host.OutstandingCheckouts(1), 1);
    effect.Send(PF_Cmd_SMART_RENDER, nullptr, nullptr, nullptr);
    EXPECT_EQ(host.OutstandingCheckouts(1), 0);
    EXPECT_EQ(host.OutstandingCheckouts(0), 1);
    EXPECT_FALSE(host.IsClean());
}

TEST(Accounting, EffectGoneWithACheckoutIsAMisuse) {
    Host host;
    {
        Effect effect(host, &rhtest::ScriptedEntry);
        rhtest::ScriptGuard guard([&](PF_Cmd, PF_InData *in, PF_OutData *, void *) -> PF_Err {
            return in->inter.checkout_param(in->effect_ref, 1, 0, 1, 1, &g_record);
        });
        EXPECT_EQ(effect.Send(PF_Cmd_SMART_PRE_RENDER, nullptr, nullptr, nullptr), PF_Err_NONE);
    }
    EXPECT_EQ(host.OutstandingCheckouts(), 0);
    EXPECT_NE(host.LeakReport().find("parameter 1 still checked out when its effect went away"), std::string::npos)
        << host.LeakReport();
}

}  // namespace
