// Image sequences: frame patterns, progress reporting, and a failing frame
// in the middle of a run.
#include "cli_test_support.h"

#include "Errors.h"
#include "Pipeline.h"
#include "Renderer.h"
#include "FrameRange.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using clitest::Sample;
using clitest::TempDir;
using clitest::TestImage;
using renderhost::Depth;
using renderhost::World;

constexpr PF_Fixed kHalfOpacity = 50 * 65536;

// Frame f of a sequence of half-float EXRs whose data windows move from
// frame to frame.
void WriteFrame(const TempDir &dir, long frame) {
    const std::string number = veilshadow::ExpandFramePattern("####", frame);
    TestImage comp = clitest::RandomImage(Sample::kHalf, 4, -4 - int(frame), -3, 30, 22, unsigned(frame) * 2);
    TestImage layer = clitest::RandomImage(Sample::kHalf, 4, int(frame), 1, 24, 18, unsigned(frame) * 2 + 1);
    layer.full_width = 28;
    layer.full_height = 20;
    clitest::WriteTestImage(dir / ("comp." + number + ".exr"), comp);
    clitest::WriteTestImage(dir / ("layer." + number + ".exr"), layer);
}

// The expected output of one frame, from the files on disk.
std::string CompareFrame(const TempDir &dir, long frame) {
    const std::string number = veilshadow::ExpandFramePattern("####", frame);
    const World input = clitest::DecodeExpected(clitest::ReadTestImage(dir / ("comp." + number + ".exr")), Depth::k32, true);
    const World layer =
        clitest::DecodeExpected(clitest::ReadTestImage(dir / ("layer." + number + ".exr")), Depth::k32, true);
    const TestImage expected =
        clitest::EncodeExpected(clitest::KernelExpected(input, layer, kHalfOpacity), Sample::kHalf, true);
    return clitest::CompareImages(expected, clitest::ReadTestImage(dir / ("out." + number + ".exr")));
}

std::vector<std::string> SequenceArgs(const TempDir &dir, const char *pattern, const char *frames) {
    return {"--input", dir / (std::string("comp.") + pattern + ".exr"), "--layer",
            dir / (std::string("layer.") + pattern + ".exr"), "-o", dir / (std::string("out.") + pattern + ".exr"),
            "--opacity", "50", "--frames", frames};
}

struct PatternCase {
    const char *pattern;
    bool quiet;
};

void PrintTo(const PatternCase &c, std::ostream *os) { *os << c.pattern << (c.quiet ? " quiet" : ""); }

class Sequences : public ::testing::TestWithParam<PatternCase> {};

TEST_P(Sequences, EveryFrameIsRenderedAndReported) {
    TempDir dir;
    for (long frame = 8; frame <= 11; ++frame)
        WriteFrame(dir, frame);
    std::vector<std::string> args = SequenceArgs(dir, GetParam().pattern, "8-11");
    if (GetParam().quiet)
        args.push_back("--quiet");
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (long frame = 8; frame <= 11; ++frame)
        EXPECT_EQ(CompareFrame(dir, frame), "") << "frame " << frame;
    if (GetParam().quiet) {
        EXPECT_EQ(run.err, "");
    } else {
        // Not a terminal: one line per frame.
        EXPECT_EQ(clitest::CountLines(run.err), 4) << run.err;
        EXPECT_NE(run.err.find("frame 8 (1/4): wrote " + (dir / "out.0008.exr")), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("frame 11 (4/4): wrote " + (dir / "out.0011.exr")), std::string::npos) << run.err;
    }
    EXPECT_EQ(dir.Entries().size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(Patterns, Sequences,
                         ::testing::Values(PatternCase{"####", false}, PatternCase{"%04d", false},
                                           PatternCase{"#", false}, PatternCase{"@@@@", false},
                                           PatternCase{"####", true}));

TEST(Sequences, AFailingFrameStopsTheRunAndKeepsEarlierFrames) {
    TempDir dir;
    for (long frame = 1; frame <= 4; ++frame)
        WriteFrame(dir, frame);
    // Frame 3's input is cut short.
    const std::string broken = dir / "comp.0003.exr";
    std::filesystem::resize_file(broken, std::filesystem::file_size(broken) / 2);

    const clitest::RunResult run = clitest::RunVeilshadow(SequenceArgs(dir, "####", "1-4"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("veilshadow: frame 3: " + broken + ": "), std::string::npos) << run.err;
    EXPECT_EQ(CompareFrame(dir, 1), "");
    EXPECT_EQ(CompareFrame(dir, 2), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.0003.exr"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.0004.exr"));
    EXPECT_EQ(dir.Entries().size(), 10u) << "inputs and two outputs, no temporary files";
}

TEST(Sequences, AStillLayerServesEveryFrame) {
    TempDir dir;
    for (long frame = 0; frame <= 2; ++frame)
        WriteFrame(dir, frame);
    const clitest::RunResult run = clitest::RunVeilshadow({"--input", dir / "comp.####.exr", "--layer",
                                                           dir / "layer.0001.exr", "-o", dir / "out.####.exr",
                                                           "--frames", "0-2", "--quiet"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const World layer = clitest::DecodeExpected(clitest::ReadTestImage(dir / "layer.0001.exr"), Depth::k32, true);
    for (long frame = 0; frame <= 2; ++frame) {
        const std::string number = veilshadow::ExpandFramePattern("####", frame);
        const World input =
            clitest::DecodeExpected(clitest::ReadTestImage(dir / ("comp." + number + ".exr")), Depth::k32, true);
        const TestImage expected = clitest::EncodeExpected(clitest::KernelExpected(input, layer, 0), Sample::kHalf, true);
        EXPECT_EQ(clitest::CompareImages(expected, clitest::ReadTestImage(dir / ("out." + number + ".exr"))), "");
    }
}

// A still layer is read for the first frame that names it and kept: a
// later frame renders from what was read even once the file is gone, and
// a layer at another path is read afresh.
TEST(Sequences, AStillLayerIsReadOnceAndKept) {
    TempDir dir;
    WriteFrame(dir, 0);
    WriteFrame(dir, 1);
    const std::string layer0 = dir / "layer.0000.exr", layer1 = dir / "layer.0001.exr";
    const World kept = clitest::DecodeExpected(clitest::ReadTestImage(layer0), Depth::k32, true);
    auto expect_output = [&](const std::string &comp, const World &layer, const std::string &out) {
        const World input = clitest::DecodeExpected(clitest::ReadTestImage(comp), Depth::k32, true);
        const TestImage expected =
            clitest::EncodeExpected(clitest::KernelExpected(input, layer, kHalfOpacity), Sample::kHalf, true);
        EXPECT_EQ(clitest::CompareImages(expected, clitest::ReadTestImage(out)), "") << out;
    };

    veilshadow::Renderer renderer(ORVANE_PLUGIN_PATH, 2);
    veilshadow::FrameSettings settings;
    settings.slider = kHalfOpacity;
    veilshadow::StillLayer still;
    veilshadow::RenderFiles(renderer, {dir / "comp.0000.exr", layer0, dir / "a.exr", 0}, settings, &still);
    ASSERT_TRUE(still.world.has_value());
    EXPECT_EQ(still.path, layer0);
    expect_output(dir / "comp.0000.exr", kept, dir / "a.exr");

    std::filesystem::remove(layer0);
    veilshadow::RenderFiles(renderer, {dir / "comp.0001.exr", layer0, dir / "b.exr", 1}, settings, &still);
    expect_output(dir / "comp.0001.exr", kept, dir / "b.exr");

    veilshadow::RenderFiles(renderer, {dir / "comp.0001.exr", layer1, dir / "c.exr", 1}, settings, &still);
    EXPECT_EQ(still.path, layer1);
    expect_output(dir / "comp.0001.exr",
                  clitest::DecodeExpected(clitest::ReadTestImage(layer1), Depth::k32, true), dir / "c.exr");

    // Without a StillLayer every frame reads its layer: the missing file is an error.
    EXPECT_THROW(veilshadow::RenderFiles(renderer, {dir / "comp.0001.exr", layer0, dir / "d.exr", 1}, settings),
                 veilshadow::RunError);
    renderer.Finish();
}

TEST(Sequences, ATerminalGetsAProgressBar) {
    TempDir dir;
    for (long frame = 1; frame <= 3; ++frame)
        WriteFrame(dir, frame);
    const clitest::RunResult run = clitest::RunVeilshadowOnTerminal(SequenceArgs(dir, "####", "1-3"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("\r[--------"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("] 3/3 frames"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" fps "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" left"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("wrote"), std::string::npos) << "no per-frame lines on a terminal: " << run.err;
    for (long frame = 1; frame <= 3; ++frame)
        EXPECT_EQ(CompareFrame(dir, frame), "");
}

} // namespace
