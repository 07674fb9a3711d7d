// Every host call of the plug-in's lifecycle made to fail in turn: the 1st,
// 2nd, ... nth call of each operation, once with an error code and, for the
// calls that hand out a pointer, once with no pointer and no error. Each
// run is checked against the failure rules: the result of every command,
// which commands the host still sends, what each output looks like, and
// that everything lent out came back.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>

#include "lifecycle.h"

namespace {

using reliability::CommandRecord;
using reliability::Frame;
using reliability::HostOp;
using reliability::LifecycleRun;
using reliability::Output;
using reliability::Phase;

constexpr PF_Err kInjected = 4321;
// In a rule: the result is the code the host's failing call gave.
constexpr PF_Err kHostCode = -1;
// In a rule: this way of failing does not apply to the call.
constexpr PF_Err kNotApplicable = -2;

renderhost::PluginModule &Module() {
    static renderhost::PluginModule module = renderhost::PluginModule::Load(ORVANE_PLUGIN_PATH);
    return module;
}

// How a call is made to fail.
enum class Mode {
    kErrorCode,  // the call reports kInjected (and hands out nothing)
    kNoPointer,  // the call reports no error but hands out a null pointer
};

const char *ModeName(Mode mode) { return mode == Mode::kErrorCode ? "error code" : "no pointer, no error"; }

// The calls for which "no error but no pointer" differs from an error.
bool HasNoPointerMode(HostOp op) {
    return op == HostOp::AcquireSuite || op == HostOp::CheckoutLayerPixels || op == HostOp::CheckoutOutput;
}

// What must follow when a call of the lifecycle fails.
struct Rule {
    Phase phase;
    HostOp op;
    const char *detail;  // part of the call's journal detail; null: any
    PF_Err on_error;     // the command's result for Mode::kErrorCode
    PF_Err on_no_pointer;
    Output output;  // the frame's output, for faults in a frame
    // The global data handle stays live: the plug-in had no handle suite to
    // dispose of it with.
    bool global_data_stays = false;
};

// Calls that report an error but have already given back what they took
// (releases, unlocks, disposals) do not change any result.
const Rule kRules[] = {
    // Global setup.
    {Phase::kGlobalSetup, HostOp::AcquireSuite, "PF Handle Suite", 516, 516, Output::kDrawn},
    {Phase::kGlobalSetup, HostOp::NewHandle, nullptr, 512, kNotApplicable, Output::kDrawn},
    // Without a locked block there is nothing to register: the setup
    // succeeds without global data.
    {Phase::kGlobalSetup, HostOp::LockHandle, nullptr, 0, kNotApplicable, Output::kDrawn},
    {Phase::kGlobalSetup, HostOp::AcquireSuite, "AEGP Utility Suite", 516, 516, Output::kDrawn},
    {Phase::kGlobalSetup, HostOp::RegisterWithAEGP, nullptr, kHostCode, kNotApplicable, Output::kDrawn},
    {Phase::kGlobalSetup, HostOp::UnlockHandle, nullptr, 0, kNotApplicable, Output::kDrawn},
    {Phase::kGlobalSetup, HostOp::ReleaseSuite, nullptr, 0, kNotApplicable, Output::kDrawn},
    // Params setup.
    {Phase::kParamsSetup, HostOp::Strcpy, nullptr, 0, kNotApplicable, Output::kDrawn},
    {Phase::kParamsSetup, HostOp::AddParam, nullptr, kHostCode, kNotApplicable, Output::kDrawn},
    // Pre-render: a failure ends the frame before the render.
    {Phase::kPreRender, HostOp::AcquireSuite, "PF Handle Suite", 516, 516, Output::kUntouched},
    {Phase::kPreRender, HostOp::NewHandle, nullptr, 4, kNotApplicable, Output::kUntouched},
    {Phase::kPreRender, HostOp::LockHandle, nullptr, 4, kNotApplicable, Output::kUntouched},
    {Phase::kPreRender, HostOp::CheckoutParam, "index 1", kHostCode, kNotApplicable, Output::kUntouched},
    {Phase::kPreRender, HostOp::CheckoutLayer, nullptr, kHostCode, kNotApplicable, Output::kUntouched},
    {Phase::kPreRender, HostOp::CheckinParam, "index 1", kHostCode, kNotApplicable, Output::kUntouched},
    {Phase::kPreRender, HostOp::ReleaseSuite, nullptr, 0, kNotApplicable, Output::kDrawn},
    // Render.
    {Phase::kRender, HostOp::AcquireSuite, "PF Handle Suite", 516, 516, Output::kUntouched},
    {Phase::kRender, HostOp::LockHandle, nullptr, 516, kNotApplicable, Output::kUntouched},
    {Phase::kRender, HostOp::CheckoutLayerPixels, nullptr, 516, 516, Output::kUntouched},
    {Phase::kRender, HostOp::CheckoutOutput, nullptr, 516, 516, Output::kUntouched},
    {Phase::kRender, HostOp::AcquireSuite, "PF World Suite", 516, 516, Output::kUntouched},
    // The format stays "badf", which no kernel draws.
    {Phase::kRender, HostOp::GetPixelFormat, nullptr, 516, kNotApplicable, Output::kUntouched},
    {Phase::kRender, HostOp::Fill, nullptr, kHostCode, kNotApplicable, Output::kUntouched},
    {Phase::kRender, HostOp::CheckoutParam, "index 0", kHostCode, kNotApplicable, Output::kCleared},
    {Phase::kRender, HostOp::AcquireSuite, "PF Iterate8 Suite", 516, 516, Output::kCleared},
    {Phase::kRender, HostOp::IterateGeneric, nullptr, kHostCode, kNotApplicable, Output::kCleared},
    {Phase::kRender, HostOp::CheckinParam, "index 0", kHostCode, kNotApplicable, Output::kDrawn},
    {Phase::kRender, HostOp::ReleaseSuite, nullptr, 0, kNotApplicable, Output::kDrawn},
    // Global setdown.
    {Phase::kGlobalSetdown, HostOp::AcquireSuite, "PF Handle Suite", 516, 516, Output::kDrawn, true},
    {Phase::kGlobalSetdown, HostOp::DisposeHandle, nullptr, 0, kNotApplicable, Output::kDrawn},
    {Phase::kGlobalSetdown, HostOp::ReleaseSuite, nullptr, 0, kNotApplicable, Output::kDrawn},
};

const Rule *FindRule(Phase phase, const renderhost::JournalEntry &call) {
    for (const Rule &rule : kRules)
        if (rule.phase == phase && rule.op == call.op &&
            (rule.detail == nullptr || call.detail.find(rule.detail) != std::string::npos))
            return &rule;
    return nullptr;
}

// One call of the clean lifecycle: the nth of its operation.
struct Call {
    renderhost::JournalEntry entry;
    int nth;
    Phase phase;
    int frame;
};

std::string Describe(const Call &call) {
    std::ostringstream s;
    s << PhaseName(call.phase);
    if (call.frame >= 0) s << " of frame " << call.frame;
    s << ": " << renderhost::ToString(call.entry) << ", call " << call.nth << " of its kind";
    return s.str();
}

std::vector<Call> CallsOf(const LifecycleRun &run) {
    std::vector<Call> calls;
    std::map<HostOp, int> seen;
    for (const CommandRecord &command : run.commands)
        for (std::size_t i = command.first; i < command.last; ++i)
            calls.push_back(Call{run.journal[i], ++seen[run.journal[i].op], command.phase, command.frame});
    return calls;
}

// The commands, with results, that must follow when `failed` ends with
// `result`: the clean lifecycle's, minus what the host no longer sends.
std::vector<CommandRecord> ExpectedCommands(const LifecycleRun &clean, const Call &failed, PF_Err result) {
    std::vector<CommandRecord> expected;
    for (const CommandRecord &c : clean.commands) {
        const bool is_failed = c.phase == failed.phase && c.frame == failed.frame;
        CommandRecord e = c;
        e.result = is_failed ? result : PF_Err_NONE;
        if (result != PF_Err_NONE) {
            if (failed.phase == Phase::kGlobalSetup && !is_failed) continue;  // the host drops the plug-in
            if (failed.phase == Phase::kParamsSetup && (c.phase == Phase::kPreRender || c.phase == Phase::kRender))
                continue;  // no frames, straight to setdown
            if (failed.phase == Phase::kPreRender && c.phase == Phase::kRender && c.frame == failed.frame)
                continue;  // the render follows a successful pre-render only
        }
        expected.push_back(e);
    }
    return expected;
}

std::string Summary(const std::vector<CommandRecord> &commands) {
    std::ostringstream s;
    for (const CommandRecord &c : commands) {
        s << PhaseName(c.phase);
        if (c.frame >= 0) s << "[" << c.frame << "]";
        s << "=" << c.result << " ";
    }
    return s.str();
}

class FaultSweep : public testing::TestWithParam<Mode> {
protected:
    static void SetUpTestSuite() {
        frames_ = new std::vector<Frame>(reliability::StandardFrames());
        renderhost::Host host(reliability::LifecycleHost());
        clean_ = new LifecycleRun(reliability::RunLifecycle(host, Module().entry(), *frames_));
        clean_problems_ = reliability::AccountingProblems(host);
    }
    static void TearDownTestSuite() {
        delete frames_;
        delete clean_;
        frames_ = nullptr;
        clean_ = nullptr;
    }

    static std::vector<Frame> *frames_;
    static LifecycleRun *clean_;
    static std::string clean_problems_;
};

std::vector<Frame> *FaultSweep::frames_ = nullptr;
LifecycleRun *FaultSweep::clean_ = nullptr;
std::string FaultSweep::clean_problems_;

// The clean lifecycle the sweep counts its calls from: every command sent,
// every result 0, every frame drawn, nothing left over.
TEST_P(FaultSweep, CleanLifecycleDrawsEveryFrame) {
    ASSERT_EQ(clean_->commands.size(), 3 + 2 * frames_->size()) << Summary(clean_->commands);
    for (const CommandRecord &c : clean_->commands) EXPECT_EQ(c.result, PF_Err_NONE) << PhaseName(c.phase);
    for (const Frame &f : *frames_) EXPECT_TRUE(reliability::OutputIs(f, Output::kDrawn));
    EXPECT_EQ(clean_problems_, "");
}

TEST_P(FaultSweep, EveryCallFailingInTurnGivesTheDocumentedOutcome) {
    const Mode mode = GetParam();
    const std::vector<Call> calls = CallsOf(*clean_);
    ASSERT_GT(calls.size(), 60u);
    std::map<std::string, int> coverage;  // "phase: op" -> calls failed
    int runs = 0;

    for (const Call &call : calls) {
        const HostOp op = call.entry.op;
        if (mode == Mode::kNoPointer && !HasNoPointerMode(op)) continue;
        SCOPED_TRACE(Describe(call) + ", failing with " + ModeName(mode));
        const Rule *rule = FindRule(call.phase, call.entry);
        ASSERT_NE(rule, nullptr) << "no failure rule covers this call";
        const PF_Err rule_result = mode == Mode::kErrorCode ? rule->on_error : rule->on_no_pointer;
        ASSERT_NE(rule_result, kNotApplicable);
        const PF_Err result = rule_result == kHostCode ? kInjected : rule_result;

        renderhost::Host host(reliability::LifecycleHost());
        host.FailOn(op, call.nth, mode == Mode::kErrorCode ? kInjected : PF_Err_NONE);
        const LifecycleRun run = reliability::RunLifecycle(host, Module().entry(), *frames_);
        ++runs;
        ++coverage[std::string(PhaseName(call.phase)) + ": " + renderhost::HostOpName(op)];

        // The failure was made, once.
        if (mode == Mode::kErrorCode) {
            int failed = 0;
            for (const auto &entry : run.journal) failed += entry.op == op && entry.result == kInjected;
            EXPECT_EQ(failed, 1);
        }

        // Results, and which commands the host went on to send.
        const std::vector<CommandRecord> expected = ExpectedCommands(*clean_, call, result);
        EXPECT_EQ(Summary(run.commands), Summary(expected));

        // Outputs: frames never sent stay untouched, the failed frame is as
        // the rule says, every other frame is drawn in full.
        const bool frames_sent = run.Find(Phase::kPreRender, 0) != nullptr;
        for (std::size_t i = 0; i < frames_->size(); ++i) {
            Output want = Output::kDrawn;
            if (!frames_sent)
                want = Output::kUntouched;
            else if (call.frame == int(i))
                want = rule->output;
            EXPECT_TRUE(reliability::OutputIs((*frames_)[i], want)) << "frame " << i << " is not " << OutputName(want);
        }

        // Everything lent out came back and nothing was handed back unasked.
        EXPECT_EQ(reliability::AccountingProblems(host, rule->global_data_stays ? 1 : 0), "");
    }

    std::cout << "[ sweep    ] " << ModeName(mode) << ": " << runs << " lifecycles, each failing one call\n";
    for (const auto &[what, n] : coverage) std::cout << "[ sweep    ]   " << what << " x " << n << "\n";
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultSweep, testing::Values(Mode::kErrorCode, Mode::kNoPointer),
                         [](const testing::TestParamInfo<Mode> &info) {
                             return info.param == Mode::kErrorCode ? std::string("ErrorCode")
                                                                   : std::string("NoPointer");
                         });

// A suite the host does not serve at all, for a whole lifecycle: every
// command that needs it fails the documented way, the others go on.
struct SuiteCase {
    const char *what;
    const char *suite;
    A_long version;
    renderhost::SuiteAnswer answer;
    PF_Err global_setup;
    PF_Err render_with_layer;     // every frame whose layer has pixels
    PF_Err render_without_layer;  // the frame whose layer has none
    Output with_layer, without_layer;
};

void PrintTo(const SuiteCase &c, std::ostream *os) { *os << c.what; }

using renderhost::SuiteAnswer;
const SuiteCase kSuiteCases[] = {
    {"no handle suite", "PF Handle Suite", 2, SuiteAnswer::kRefuse, 516, 0, 0, Output::kUntouched, Output::kUntouched},
    {"handle suite null without error", "PF Handle Suite", 2, SuiteAnswer::kNullWithoutError, 516, 0, 0,
     Output::kUntouched, Output::kUntouched},
    {"no utility suite", "AEGP Utility Suite", 7, SuiteAnswer::kRefuse, 516, 0, 0, Output::kUntouched,
     Output::kUntouched},
    {"utility suite null without error", "AEGP Utility Suite", 7, SuiteAnswer::kNullWithoutError, 516, 0, 0,
     Output::kUntouched, Output::kUntouched},
    // The suite handler counts a suite that comes with an error code as
    // missing, and gives it straight back.
    {"utility suite served with an error code", "AEGP Utility Suite", 7, SuiteAnswer::kServeWithError, 516, 0, 0,
     Output::kUntouched, Output::kUntouched},
    {"iterate suite served with an error code", "PF Iterate8 Suite", 1, SuiteAnswer::kServeWithError, 0, 516, 0,
     Output::kCleared, Output::kCleared},
    {"no world suite", "PF World Suite", 2, SuiteAnswer::kRefuse, 0, 516, 516, Output::kUntouched, Output::kUntouched},
    {"world suite null without error", "PF World Suite", 2, SuiteAnswer::kNullWithoutError, 0, 516, 516,
     Output::kUntouched, Output::kUntouched},
    // The world suite is judged by its pointer alone.
    {"world suite served with an error code", "PF World Suite", 2, SuiteAnswer::kServeWithError, 0, 0, 0,
     Output::kDrawn, Output::kDrawn},
    {"no iterate suite", "PF Iterate8 Suite", 1, SuiteAnswer::kRefuse, 0, 516, 0, Output::kCleared, Output::kCleared},
    {"iterate suite null without error", "PF Iterate8 Suite", 1, SuiteAnswer::kNullWithoutError, 0, 516, 0,
     Output::kCleared, Output::kCleared},
};

class SuiteMissing : public testing::TestWithParam<SuiteCase> {};

TEST_P(SuiteMissing, CommandsThatNeedItFailAndNothingLeaks) {
    const SuiteCase &c = GetParam();
    std::vector<Frame> frames = reliability::StandardFrames(7);
    renderhost::Host host(reliability::LifecycleHost());
    host.SetSuiteAnswer(c.suite, c.version, c.answer);
    const LifecycleRun run = reliability::RunLifecycle(host, Module().entry(), frames);

    ASSERT_FALSE(run.commands.empty());
    EXPECT_EQ(run.commands.front().result, c.global_setup);
    if (c.global_setup != PF_Err_NONE) {
        EXPECT_EQ(run.commands.size(), 1u) << Summary(run.commands);
    } else {
        ASSERT_EQ(run.commands.size(), 3 + 2 * frames.size()) << Summary(run.commands);
        for (const CommandRecord &cmd : run.commands) {
            PF_Err want = PF_Err_NONE;
            if (cmd.phase == Phase::kRender)
                want = frames[cmd.frame].layer ? c.render_with_layer : c.render_without_layer;
            EXPECT_EQ(cmd.result, want) << PhaseName(cmd.phase) << " " << cmd.frame;
        }
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Output want = c.global_setup != PF_Err_NONE ? Output::kUntouched
                            : frames[i].layer             ? c.with_layer
                                                          : c.without_layer;
        EXPECT_TRUE(reliability::OutputIs(frames[i], want)) << "frame " << i << " is not " << OutputName(want);
    }
    EXPECT_EQ(reliability::AccountingProblems(host), "");
}

INSTANTIATE_TEST_SUITE_P(Suites, SuiteMissing, testing::ValuesIn(kSuiteCases),
                         [](const testing::TestParamInfo<SuiteCase> &i) { return std::to_string(i.index); });

}  // namespace
