// About, global setup and setdown, params setup, and the dispatch.
#include "plugin_test_support.h"

namespace {

using plugin_test::HostOp;
using plugin_test::Module;

// A loaded effect that has received no command yet.
class CommandTest : public testing::Test {
protected:
    void TearDown() override {
        effect_.reset();
        EXPECT_TRUE(host_.IsClean()) << host_.LeakReport();
    }
    renderhost::Host host_{renderhost::HostOptions{1, renderhost::CallJournal::kOn}};
    std::unique_ptr<renderhost::Effect> effect_ = std::make_unique<renderhost::Effect>(host_, Module());
};

TEST_F(CommandTest, AboutTextShowsNameVersionAndNotice) {
    std::string text;
    ASSERT_EQ(effect_->About(&text), PF_Err_NONE);
    const std::string head = "OrvaneVeilShadow, v1.00\r";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    EXPECT_GT(text.size(), head.size()) << "a notice follows the carriage return";
    EXPECT_EQ(text.find('\r', head.size()), std::string::npos);
    EXPECT_EQ(host_.Calls(HostOp::AcquireSuite), 0);
}

// The host's sprintf writes the text: its one call gives exactly the text,
// and when that call fails nothing is written.
TEST_F(CommandTest, AboutTextIsWrittenByTheHostsSprintf) {
    std::string text;
    ASSERT_EQ(effect_->About(&text), PF_Err_NONE);
    const auto journal = host_.Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].op, HostOp::Sprintf);
    EXPECT_EQ(journal[0].detail, text);
    host_.FailOn(HostOp::Sprintf, 1, 1);
    EXPECT_EQ(effect_->About(&text), PF_Err_NONE);
    EXPECT_EQ(text, "");
}

TEST_F(CommandTest, GlobalSetupReportsVersionAndAddsItsFlags) {
    PF_OutData &out = effect_->out_data();
    out.out_flags = 0x10;  // bits the host had set stay set
    out.out_flags2 = 0x2;
    ASSERT_EQ(effect_->GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(out.my_version, 0x80601u);
    EXPECT_EQ(out.out_flags, 0x10 | 0x02000000);
    EXPECT_EQ(out.out_flags2, 0x2 | 0x400 | 0x1000);
    ASSERT_NE(out.global_data, nullptr);
    const auto info = host_.FindHandle(out.global_data);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, 4u);
    EXPECT_EQ(info->lock_count, 0) << "global data is left unlocked";
    // The host wrote the plug-in ID into the block at registration.
    {
        renderhost::Host::Scope scope(host_);
        const void *suite = nullptr;
        ASSERT_EQ(host_.BasicSuite()->AcquireSuite("PF Handle Suite", 2, &suite), 0);
        auto *handles = static_cast<const PF_HandleSuite2 *>(suite);
        EXPECT_EQ(*static_cast<AEGP_PluginID *>(handles->host_lock_handle(out.global_data)),
                  renderhost::kDefaultPluginId);
        handles->host_unlock_handle(out.global_data);
        host_.BasicSuite()->ReleaseSuite("PF Handle Suite", 2);
    }
    EXPECT_EQ(effect_->GlobalSetdown(), PF_Err_NONE);
    EXPECT_EQ(host_.LiveHandles(), 0u);
}

TEST_F(CommandTest, GlobalSetupRegistersUnderItsName) {
    ASSERT_EQ(effect_->GlobalSetup(), PF_Err_NONE);
    bool registered = false;
    for (const auto &e : host_.Journal())
        if (e.op == HostOp::RegisterWithAEGP) registered = e.detail.find("Error!") != std::string::npos;
    EXPECT_TRUE(registered);
    // Suites are released in table order: utility (row 42) before handle (row 46).
    std::vector<std::string> releases;
    for (const auto &e : host_.Journal())
        if (e.op == HostOp::ReleaseSuite) releases.push_back(e.detail);
    ASSERT_EQ(releases.size(), 2u);
    EXPECT_NE(releases[0].find("AEGP Utility Suite"), std::string::npos);
    EXPECT_NE(releases[1].find("PF Handle Suite"), std::string::npos);
    EXPECT_EQ(effect_->GlobalSetdown(), PF_Err_NONE);
}

struct SetupFault {
    const char *what;
    HostOp op;
    const char *suite;  // for suite faults
    PF_Err code;
    PF_Err expected;
    std::vector<HostOp> calls;  // the host calls of the setup, in order
};

void PrintTo(const SetupFault &f, std::ostream *os) { *os << f.what; }

using Op = HostOp;

// Every failure of global setup leaves no global data and no live handle:
// a handle that was allocated but not stored is disposed of, after the
// unlock. A lock that failed locked nothing, so no unlock follows it (the
// host would count the unlock of a handle that is not locked as misuse).
const SetupFault kSetupFaults[] = {
    {"no handle suite", Op::AcquireSuite, "PF Handle Suite", 5, 516, {Op::AcquireSuite}},
    {"no utility suite",
     Op::AcquireSuite,
     "AEGP Utility Suite",
     5,
     516,
     {Op::AcquireSuite, Op::NewHandle, Op::LockHandle, Op::AcquireSuite, Op::UnlockHandle, Op::DisposeHandle,
      Op::ReleaseSuite}},
    {"utility suite: code 0, no pointer",
     Op::AcquireSuite,
     "AEGP Utility Suite",
     0,
     516,
     {Op::AcquireSuite, Op::NewHandle, Op::LockHandle, Op::AcquireSuite, Op::UnlockHandle, Op::DisposeHandle,
      Op::ReleaseSuite}},
    {"handle allocation fails", Op::NewHandle, nullptr, 0, 512, {Op::AcquireSuite, Op::NewHandle, Op::ReleaseSuite}},
    {"registration fails",
     Op::RegisterWithAEGP,
     nullptr,
     33,
     33,
     {Op::AcquireSuite, Op::NewHandle, Op::LockHandle, Op::AcquireSuite, Op::RegisterWithAEGP, Op::UnlockHandle,
      Op::DisposeHandle, Op::ReleaseSuite, Op::ReleaseSuite}},
    {"lock fails",
     Op::LockHandle,
     nullptr,
     0,
     0,
     {Op::AcquireSuite, Op::NewHandle, Op::LockHandle, Op::DisposeHandle, Op::ReleaseSuite}},
};

class GlobalSetupFault : public CommandTest, public testing::WithParamInterface<SetupFault> {};
TEST_P(GlobalSetupFault, LeavesNothingBehind) {
    const SetupFault &f = GetParam();
    if (f.suite != nullptr)
        host_.FailOnSuite(f.op, f.suite, 1, f.code);
    else
        host_.FailOn(f.op, 1, f.code);
    EXPECT_EQ(effect_->GlobalSetup(), f.expected);
    EXPECT_EQ(host_.JournalOps(), f.calls);
    EXPECT_EQ(effect_->out_data().global_data, nullptr);
    EXPECT_EQ(host_.LiveHandles(), 0u);
    EXPECT_EQ(host_.OutstandingSuites(), 0);
    host_.ClearFaults();
    // Setdown with no global data calls nothing but the handler's setup.
    host_.ClearJournal();
    EXPECT_EQ(effect_->GlobalSetdown(), PF_Err_NONE);
    EXPECT_TRUE(host_.Journal().empty());
}
INSTANTIATE_TEST_SUITE_P(Faults, GlobalSetupFault, testing::ValuesIn(kSetupFaults),
                         [](const testing::TestParamInfo<SetupFault> &i) { return std::to_string(i.index); });

TEST_F(CommandTest, GlobalSetdownWithoutGlobalDataCallsNothing) {
    EXPECT_EQ(effect_->GlobalSetdown(), PF_Err_NONE);
    EXPECT_TRUE(host_.Journal().empty());
}

TEST_F(CommandTest, ParamsSetupRegistersTheOpacitySlider) {
    ASSERT_EQ(effect_->ParamsSetup(), PF_Err_NONE);
    EXPECT_EQ(effect_->out_data().num_params, 2);
    const auto params = effect_->added_params();
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].index, -1);
    const PF_ParamDef &d = params[0].def;
    EXPECT_EQ(d.param_type, PF_Param_FIX_SLIDER);
    EXPECT_STREQ(d.name, "Opacity");
    EXPECT_EQ(d.id, 1);
    EXPECT_EQ(d.flags, 0x20);
    EXPECT_EQ(d.ui_flags, 0);
    EXPECT_EQ(d.u.fd.value, 0);
    EXPECT_EQ(d.u.fd.dephault, 0);
    EXPECT_EQ(d.u.fd.valid_min, 0);
    EXPECT_EQ(d.u.fd.valid_max, 0x640000);
    EXPECT_EQ(d.u.fd.slider_min, 0);
    EXPECT_EQ(d.u.fd.slider_max, 0x640000);
    EXPECT_EQ(d.u.fd.precision, 1);
    EXPECT_EQ(d.u.fd.display_flags, 0x1);
    EXPECT_STREQ(d.u.fd.value_str, "");
    EXPECT_STREQ(d.u.fd.value_desc, "");
    // Every byte of the record past the slider is zero.
    const unsigned char *end = reinterpret_cast<const unsigned char *>(&d.u.fd + 1);
    const unsigned char *record_end = reinterpret_cast<const unsigned char *>(&d + 1);
    for (const unsigned char *p = end; p < record_end; ++p) ASSERT_EQ(*p, 0);
}

TEST_F(CommandTest, ParamsSetupFailureLeavesTheCountUnset) {
    effect_->out_data().num_params = -3;
    host_.FailOn(HostOp::AddParam, 1, 21);
    EXPECT_EQ(effect_->ParamsSetup(), 21);
    EXPECT_EQ(effect_->out_data().num_params, -3);
}

TEST_F(CommandTest, UnhandledCommandsDoNothing) {
    for (PF_Cmd cmd : {2, 5, 11, 22, 25, 1000, -1}) {
        EXPECT_EQ(effect_->Send(cmd, nullptr, nullptr, nullptr), PF_Err_NONE) << cmd;
    }
    EXPECT_TRUE(host_.Journal().empty());
}

}  // namespace
