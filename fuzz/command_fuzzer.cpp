// Fuzzes the plug-in's command layer: the real module, loaded by path into
// the render host, runs a whole lifecycle (global setup, params setup, four
// frames in all depths, global setdown) under a random schedule of host
// faults: which operation fails, on which of its calls, with which code or
// with no pointer; suites the host refuses or hands out null; pixel-format
// answers no kernel draws; and the number of iteration threads.
//
// Checks, besides the sanitizers' own:
//  - every command's result is 0, 4, 512, 516 or a code the host gave;
//  - a frame whose pre-render failed is untouched; a frame whose two
//    commands succeeded is drawn by the plain rules; any other frame is
//    untouched, cleared or drawn, never something in between;
//  - at the end no handle, suite or checkout is outstanding and the host
//    saw no misuse. The one handle allowed to stay is the global data
//    when global setdown could not get the handle suite to dispose of it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "lifecycle.h"

namespace {

using reliability::Frame;
using reliability::HostOp;
using reliability::Output;
using reliability::Phase;

[[noreturn]] void Fail(const std::string &what, const reliability::LifecycleRun &run) {
    std::fprintf(stderr, "command_fuzzer: %s\n", what.c_str());
    for (const reliability::CommandRecord &c : run.commands) {
        std::fprintf(stderr, "  %s (frame %d) -> %d\n", reliability::PhaseName(c.phase), c.frame, c.result);
        for (std::size_t i = c.first; i < c.last; ++i)
            std::fprintf(stderr, "      %s -> %d\n", renderhost::ToString(run.journal[i]).c_str(),
                         run.journal[i].result);
    }
    std::abort();
}

renderhost::PluginModule &Module() {
    static renderhost::PluginModule module = renderhost::PluginModule::Load(ORVANE_PLUGIN_PATH);
    return module;
}

std::vector<Frame> &Frames() {
    static std::vector<Frame> frames = reliability::StandardFrames();
    return frames;
}

// The suites the plug-in asks for, by name and version.
struct SuiteName {
    const char *name;
    A_long version;
};
constexpr SuiteName kSuites[] = {
    {"PF Handle Suite", 2}, {"AEGP Utility Suite", 7}, {"PF World Suite", 2}, {"PF Iterate8 Suite", 1}};

PF_Err ConsumeCode(FuzzedDataProvider &fdp) {
    constexpr PF_Err kCodes[] = {1, 4, 512, 516, -1, 77, 2001, -2147483647 - 1, 2147483647};
    const std::uint8_t pick = fdp.ConsumeIntegral<std::uint8_t>();
    if (pick < sizeof kCodes / sizeof kCodes[0]) return kCodes[pick];
    const PF_Err code = fdp.ConsumeIntegral<PF_Err>();
    return code != 0 ? code : 1;
}

bool ReturnsPointer(HostOp op) { return reliability::ReturnsPointer(op); }

}  // namespace

// The module is loaded before the first input, so that its coverage counts
// from the start, and stays loaded, as a host keeps a plug-in.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Module();
    Frames();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    constexpr int kThreads[] = {1, 2, 4};
    // The journal kept: the lifecycle reads each command's calls from it.
    renderhost::Host host(
        renderhost::HostOptions{kThreads[fdp.ConsumeIntegralInRange<int>(0, 2)], renderhost::CallJournal::kOn});

    // Codes a host call may have given back, which a result may carry.
    std::set<PF_Err> allowed = {0, 4, 512, 516};

    const int faults = fdp.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < faults; ++i) {
        const HostOp op = HostOp(fdp.ConsumeIntegralInRange<int>(0, renderhost::kHostOpCount - 1));
        const int nth = fdp.ConsumeIntegralInRange<int>(1, 30);
        // No error but no pointer, for calls that hand one out; any other
        // call reports an error (a host that reports success but does
        // nothing is not a host the plug-in can be judged against).
        const PF_Err code = ReturnsPointer(op) && fdp.ConsumeBool() ? PF_Err_NONE : ConsumeCode(fdp);
        allowed.insert(code);
        if ((op == HostOp::AcquireSuite || op == HostOp::ReleaseSuite) && fdp.ConsumeBool()) {
            const SuiteName &suite = kSuites[fdp.ConsumeIntegralInRange<int>(0, 3)];
            host.FailOnSuite(op, suite.name, nth, code);
        } else {
            host.FailOn(op, nth, code);
        }
    }
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
        const SuiteName &suite = kSuites[fdp.ConsumeIntegralInRange<int>(0, 3)];
        // Refused, null without an error, or served with an error code.
        const renderhost::SuiteAnswer answer = renderhost::SuiteAnswer(fdp.ConsumeIntegralInRange<int>(1, 3));
        host.SetSuiteAnswer(suite.name, suite.version, answer, ConsumeCode(fdp));
    }
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
        // A format no kernel draws, or a known one together with an error.
        PF_PixelFormat format = fdp.ConsumeIntegral<PF_PixelFormat>();
        PF_Err result = fdp.ConsumeBool() ? PF_Err_NONE : ConsumeCode(fdp);
        if (format == PF_PixelFormat_ARGB32 || format == PF_PixelFormat_ARGB64 || format == PF_PixelFormat_ARGB128) {
            if (result == PF_Err_NONE) result = 1;
        }
        allowed.insert(result);
        host.SetPixelFormatAnswer(format, result);
    }

    std::vector<Frame> &frames = Frames();
    const reliability::LifecycleRun run = reliability::RunLifecycle(host, Module().entry(), frames);

    for (const reliability::CommandRecord &c : run.commands)
        if (allowed.count(c.result) == 0)
            Fail(std::string(reliability::PhaseName(c.phase)) + " returned the undocumented code " +
                     std::to_string(c.result),
                 run);

    for (std::size_t i = 0; i < frames.size(); ++i) {
        const reliability::CommandRecord *pre = run.Find(Phase::kPreRender, int(i));
        const reliability::CommandRecord *render = run.Find(Phase::kRender, int(i));
        const Frame &f = frames[i];
        const std::string which = "frame " + std::to_string(i);
        if (pre == nullptr || pre->result != PF_Err_NONE) {
            if (!reliability::OutputIs(f, Output::kUntouched)) Fail(which + ": written without a render", run);
        } else if (render != nullptr && render->result == PF_Err_NONE) {
            if (!reliability::OutputIs(f, Output::kDrawn)) Fail(which + ": rendered without error but not drawn", run);
        } else if (!reliability::OutputIs(f, Output::kUntouched) && !reliability::OutputIs(f, Output::kCleared) &&
                   !reliability::OutputIs(f, Output::kDrawn)) {
            Fail(which + ": half drawn", run);
        }
    }

    const reliability::CommandRecord *setdown = run.Find(Phase::kGlobalSetdown);
    const std::size_t stays = setdown != nullptr && setdown->result == PF_Err_BAD_CALLBACK_PARAM ? 1 : 0;
    const std::string problems = reliability::AccountingProblems(host, stays);
    if (!problems.empty()) Fail("the host's books are not clean:\n" + problems, run);
    return 0;
}
