// Frames drawn by the host's iteration on 1, 2, 8 and 16 threads in every
// depth. Each must equal the plain rules' result bit for bit, whatever the
// number of threads; under ThreadSanitizer (the tsan preset) any data race
// between row calls fails the test.
#include <gtest/gtest.h>

#include "lifecycle.h"

namespace {

using reliability::Depth;
using reliability::Frame;
using reliability::FramePlan;

renderhost::PluginModule &Module() {
    static renderhost::PluginModule module = renderhost::PluginModule::Load(ORVANE_PLUGIN_PATH);
    return module;
}

struct ThreadCase {
    int threads;
    Depth depth;
};

void PrintTo(const ThreadCase &c, std::ostream *os) {
    *os << c.threads << " threads, " << renderhost::DepthName(c.depth);
}

class PoolThreads : public testing::TestWithParam<ThreadCase> {};

TEST_P(PoolThreads, FramesEqualThePlainRules) {
    const ThreadCase &c = GetParam();
    // Rows of different kinds: the output clips the input and the layer on
    // every side, so rows have absent sources at both ends and rows above
    // and below the layer have none at all. Sliders at both ends and in
    // between. Heights well above 16 give every thread rows to share.
    constexpr PF_Fixed kSliders[] = {0, 375 << 15, 100 << 16};
    std::vector<Frame> frames;
    unsigned seed = 11 + unsigned(c.depth) * 5;
    for (PF_Fixed slider : kSliders) {
        const FramePlan plan{c.depth, true, slider, 67, 45, 3, -5, -4, 75, 52, 0, -7, -6, 83, 61, 2};
        frames.push_back(reliability::MakeFrame(plan, seed++));
    }
    // And one whose output lies mostly outside both sources.
    frames.push_back(
        reliability::MakeFrame({c.depth, true, 50 << 16, 30, 40, 0, 0, 0, 30, 40, 1, 20, -10, 40, 60, 0}, seed++));

    renderhost::Host host(renderhost::HostOptions{c.threads});
    ASSERT_EQ(host.threads(), c.threads);
    {
        renderhost::Effect effect(host, Module());
        ASSERT_EQ(effect.GlobalSetup(), PF_Err_NONE);
        ASSERT_EQ(effect.ParamsSetup(), PF_Err_NONE);
        for (int round = 0; round < 3; ++round) {
            for (std::size_t i = 0; i < frames.size(); ++i) {
                Frame &f = frames[i];
                reliability::FillPixelBytes(f.output, reliability::kUntouchedByte);
                renderhost::FrameSpec spec;
                spec.input = &f.input;
                spec.layer = &*f.layer;
                spec.output = &f.output;
                spec.slider = f.slider;
                const renderhost::FrameResult r = effect.RenderFrame(spec);
                EXPECT_EQ(r.pre_render, PF_Err_NONE);
                EXPECT_EQ(r.render, PF_Err_NONE);
                EXPECT_TRUE(reliability::OutputIs(f, reliability::Output::kDrawn))
                    << "frame " << i << ", round " << round;
            }
        }
        EXPECT_EQ(effect.GlobalSetdown(), PF_Err_NONE);
    }
    EXPECT_EQ(reliability::AccountingProblems(host), "");
}

std::vector<ThreadCase> AllCases() {
    std::vector<ThreadCase> cases;
    for (int threads : {1, 2, 8, 16})
        for (Depth depth : {Depth::k8, Depth::k16, Depth::k32}) cases.push_back({threads, depth});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Threads, PoolThreads, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<ThreadCase> &i) {
                             const char *depth = i.param.depth == Depth::k8    ? "8bit"
                                                 : i.param.depth == Depth::k16 ? "16bit"
                                                                               : "float";
                             return std::to_string(i.param.threads) + "threads_" + depth;
                         });

}  // namespace
