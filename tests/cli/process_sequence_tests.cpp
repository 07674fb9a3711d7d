// Image sequences: frame patterns, progress reporting, bad frames in the
// middle of a run, and resuming a run.
#include "cli_test_support.h"

#include "AtomicFile.h"
#include "Downsample.h"
#include "Errors.h"
#include "FrameList.h"
#include "FramePattern.h"
#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"
#include "Sequence.h"
#include "Shot.h"
#include "TempFileNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

using clitest::Sample;
using clitest::TempDir;
using clitest::TestImage;
using renderhost::Depth;
using renderhost::World;

constexpr PF_Fixed kHalfOpacity = 50 * 65536;

// Frame f of a sequence of half-float EXRs whose data windows move from
// frame to frame (COMP's display window is its data window, 30 x 22
// unless asked otherwise).
void WriteFrame(const TempDir &dir, long frame, int comp_width = 30) {
    const std::string number = veilshadow::ExpandFramePattern("####", frame);
    TestImage comp = clitest::RandomImage(Sample::kHalf, 4, -4 - int(frame), -3, comp_width, 22, unsigned(frame) * 2);
    TestImage layer = clitest::RandomImage(Sample::kHalf, 4, int(frame), 1, 24, 18, unsigned(frame) * 2 + 1);
    layer.full_width = 28;
    layer.full_height = 20;
    clitest::WriteTestImage(dir / ("comp." + number + ".exr"), comp);
    clitest::WriteTestImage(dir / ("layer." + number + ".exr"), layer);
}

// The expected output of one frame, from the files on disk.
std::string CompareFrame(const TempDir &dir, long frame, int downsample = 1) {
    const std::string number = veilshadow::ExpandFramePattern("####", frame);
    World input = clitest::DecodeExpected(clitest::ReadTestImage(dir / ("comp." + number + ".exr")), Depth::k32, true);
    World layer = clitest::DecodeExpected(clitest::ReadTestImage(dir / ("layer." + number + ".exr")), Depth::k32, true);
    if (downsample > 1) {
        input = veilshadow::BoxDownsample(input, downsample);
        layer = veilshadow::BoxDownsample(layer, downsample);
    }
    const TestImage expected =
        clitest::EncodeExpected(clitest::KernelExpected(input, layer, kHalfOpacity), Sample::kHalf, true);
    return clitest::CompareImages(expected, clitest::ReadTestImage(dir / ("out." + number + ".exr")));
}

std::vector<std::string> SequenceArgs(const TempDir &dir, const char *pattern, const char *frames) {
    return {"--input",   dir / (std::string("comp.") + pattern + ".exr"),
            "--layer",   dir / (std::string("layer.") + pattern + ".exr"),
            "-o",        dir / (std::string("out.") + pattern + ".exr"),
            "--opacity", "50",
            "--frames",  frames};
}

struct PatternCase {
    const char *pattern;
    bool quiet;
};

void PrintTo(const PatternCase &c, std::ostream *os) { *os << c.pattern << (c.quiet ? " quiet" : ""); }

class Sequences : public ::testing::TestWithParam<PatternCase> {};

TEST_P(Sequences, EveryFrameIsRenderedAndReported) {
    TempDir dir;
    for (long frame = 8; frame <= 11; ++frame) WriteFrame(dir, frame);
    std::vector<std::string> args = SequenceArgs(dir, GetParam().pattern, "8-11");
    if (GetParam().quiet) args.push_back("--quiet");
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (long frame = 8; frame <= 11; ++frame) EXPECT_EQ(CompareFrame(dir, frame), "") << "frame " << frame;
    if (GetParam().quiet) {
        EXPECT_EQ(run.err, "");
    } else {
        // Not a terminal: one line per frame, then the summary.
        EXPECT_EQ(clitest::CountLines(run.err), 5) << run.err;
        EXPECT_NE(run.err.find("frame 8 (1/4): wrote " + (dir / "out.0008.exr")), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("frame 11 (4/4): wrote " + (dir / "out.0011.exr") +
                               "\nsummary: 4 rendered, 0 skipped, 0 failed\n"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(dir.Entries().size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(Patterns, Sequences,
                         ::testing::Values(PatternCase{"####", false}, PatternCase{"%04d", false},
                                           PatternCase{"#", false}, PatternCase{"@@@@", false},
                                           PatternCase{"####", true}));

TEST(Sequences, AFailingFrameStopsTheRunAndKeepsEarlierFrames) {
    TempDir dir;
    for (long frame = 1; frame <= 4; ++frame) WriteFrame(dir, frame);
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

// Box-filtered worlds are kept from frame to frame too: data windows that
// move change the filtered worlds' size or place, or keep both.
TEST(Sequences, DownsampledFramesFollowTheirDataWindows) {
    TempDir dir;
    for (long frame = 1; frame <= 6; ++frame) WriteFrame(dir, frame);
    std::vector<std::string> args = SequenceArgs(dir, "####", "1-6");
    args.insert(args.end(), {"--downsample", "3", "--threads", "3"});
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    for (long frame = 1; frame <= 6; ++frame) EXPECT_EQ(CompareFrame(dir, frame, 3), "") << "frame " << frame;
}

// Frames of one size reuse their worlds from frame to frame: every pixel
// of each frame must come from that frame, whatever channels its files
// have (a layer without alpha, a gray input), at full size and at 1/3.
// 300 rows: more than one strip of decoding and encoding.
TEST(Sequences, FramesOfOneSizeRenderFromTheirOwnPixels) {
    TempDir dir;
    const int channels[][2] = {{4, 4}, {4, 4}, {4, 3}, {2, 4}, {4, 4}};  // COMP, LAYER per frame
    for (int frame = 1; frame <= 5; ++frame) {
        const std::string number = veilshadow::ExpandFramePattern("#", frame);
        clitest::WriteTestImage(dir / ("comp." + number + ".png"),
                                clitest::RandomImage(Sample::kU8, channels[frame - 1][0], 0, 0, 40, 300, frame * 7));
        clitest::WriteTestImage(
            dir / ("layer." + number + ".png"),
            clitest::RandomImage(Sample::kU8, channels[frame - 1][1], 0, 0, 40, 300, frame * 7 + 1));
    }
    for (const int downsample : {1, 3}) {
        const clitest::RunResult run = clitest::RunVeilshadow(
            {"-i", dir / "comp.#.png", "-l", dir / "layer.#.png", "-o", dir / "out.#.png", "--frames", "1-5",
             "--opacity", "25", "--quiet", "--downsample", std::to_string(downsample)});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        for (int frame = 1; frame <= 5; ++frame) {
            const std::string number = veilshadow::ExpandFramePattern("#", frame);
            const World input = veilshadow::BoxDownsample(
                clitest::DecodeExpected(clitest::ReadTestImage(dir / ("comp." + number + ".png")), Depth::k8, false),
                downsample);
            const World layer = veilshadow::BoxDownsample(
                clitest::DecodeExpected(clitest::ReadTestImage(dir / ("layer." + number + ".png")), Depth::k8, false),
                downsample);
            const TestImage expected =
                clitest::EncodeExpected(clitest::KernelExpected(input, layer, 25 * 65536), Sample::kU8, false);
            EXPECT_EQ(clitest::CompareImages(expected, clitest::ReadTestImage(dir / ("out." + number + ".png"))), "")
                << "frame " << frame << " at 1/" << downsample;
        }
    }
}

std::size_t TempFiles(const TempDir &dir) {
    std::size_t count = 0;
    for (const std::string &name : dir.Entries()) count += veilshadow::IsTempFileName(name) ? 1 : 0;
    return count;
}

// Frames 1-7 with a missing, a corrupt and a wrong-sized frame in the
// middle: --keep-going writes the good frames and lists the bad ones in
// frame order; once they are mended, --resume renders only those.
TEST(Sequences, KeepGoingThenResume) {
    TempDir dir;
    for (long frame = 1; frame <= 7; ++frame) WriteFrame(dir, frame, frame == 5 ? 40 : 30);
    std::filesystem::remove(dir / "comp.0003.exr");
    std::filesystem::resize_file(dir / "comp.0004.exr", std::filesystem::file_size(dir / "comp.0004.exr") / 2);
    std::vector<std::string> args = SequenceArgs(dir, "####", "1-7");
    args.push_back("--keep-going");

    const clitest::RunResult run = clitest::RunVeilshadow(args);
    EXPECT_EQ(run.exit_code, 1) << run.err;
    const std::string bad[] = {
        "veilshadow: frame 3: " + (dir / "comp.0003.exr") + ": no such file\n",
        "veilshadow: frame 4: " + (dir / "comp.0004.exr") + ": cannot read its pixels",
        "veilshadow: frame 5: " + (dir / "comp.0005.exr") + ": frame size 40 x 22, but frame 1 is 30 x 22\n"};
    std::size_t position = run.err.find("frame 2 (2/7): wrote");
    for (const std::string &line : bad) {
        const std::size_t found = run.err.find(line);
        EXPECT_NE(found, std::string::npos) << line << "\n" << run.err;
        EXPECT_GT(found, position) << "out of frame order: " << line << "\n" << run.err;
        position = found;
    }
    EXPECT_GT(run.err.find("frame 6 (6/7, 3 failed): wrote"), position) << run.err;
    EXPECT_NE(run.err.find("\nsummary: 4 rendered, 0 skipped, 3 failed (frames 3-5)\n"), std::string::npos) << run.err;
    for (long frame : {1, 2, 6, 7}) EXPECT_EQ(CompareFrame(dir, frame), "") << "frame " << frame;
    for (const char *name : {"out.0003.exr", "out.0004.exr", "out.0005.exr"})
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
    EXPECT_EQ(TempFiles(dir), 0u);

    // Mend the bad frames. Of the written frames one stays as it is (its
    // time set back, so a second write would show); one is emptied and one
    // cut short, as a full disk or a killed program leaves files: those are
    // not written frames, and render again.
    for (long frame = 3; frame <= 5; ++frame) WriteFrame(dir, frame);
    const auto earlier = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::filesystem::last_write_time(dir / "out.0002.exr", earlier);
    std::filesystem::resize_file(dir / "out.0006.exr", 0);
    std::filesystem::resize_file(dir / "out.0007.exr", std::filesystem::file_size(dir / "out.0007.exr") - 10);
    args.push_back("--resume");
    const clitest::RunResult resumed = clitest::RunVeilshadow(args);
    EXPECT_EQ(resumed.exit_code, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("frame 2 (2/7, 2 skipped): skipped, " + (dir / "out.0002.exr") + " is written\n"),
              std::string::npos)
        << resumed.err;
    EXPECT_NE(resumed.err.find("\nsummary: 5 rendered, 2 skipped, 0 failed\n"), std::string::npos) << resumed.err;
    for (long frame = 3; frame <= 7; ++frame) EXPECT_EQ(CompareFrame(dir, frame), "") << "frame " << frame;
    EXPECT_EQ(std::filesystem::last_write_time(dir / "out.0002.exr"), earlier);
    EXPECT_EQ(TempFiles(dir), 0u);
    EXPECT_EQ(dir.Entries().size(), 21u);
}

// A frame's OUT is written when it is a whole file of the type the run
// writes: --resume leaves out files of the sample type asked for, and
// renders again those of another.
TEST(Sequences, ResumeJudgesOutByTheChosenType) {
    TempDir dir;
    for (long frame = 1; frame <= 2; ++frame) WriteFrame(dir, frame);
    std::vector<std::string> args = SequenceArgs(dir, "####", "1-2");
    args.insert(args.end(), {"--resume", "-d", "float"});
    for (const char *expected : {"summary: 2 rendered, 0 skipped", "summary: 0 rendered, 2 skipped"}) {
        const clitest::RunResult run = clitest::RunVeilshadow(args);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    }
    EXPECT_EQ(clitest::ReadTestImage(dir / "out.0001.exr").sample, Sample::kFloat);
    args.back() = "half";
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    EXPECT_NE(run.err.find("summary: 2 rendered, 0 skipped"), std::string::npos) << run.err;
    EXPECT_EQ(clitest::ReadTestImage(dir / "out.0002.exr").sample, Sample::kHalf);
}

// --resume leaves out only frames the plain run would write: a refusal
// still comes, whichever frames are written already.
struct RefusalCase {
    const char *name;
    std::vector<std::string> args;  // after the inputs' patterns: {COMP, LAYER, OUT, FRAMES, extra...}
    int exit_code;
    const char *message;
};

void PrintTo(const RefusalCase &c, std::ostream *os) { *os << c.name; }

class ResumeNeverHidesARefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ResumeNeverHidesARefusal, AsThePlainRunRefuses) {
    // Frames 1-2 of 30 x 22, 3-4 of 40 x 22; frame 1 written already.
    TempDir dir;
    for (long frame = 1; frame <= 4; ++frame) WriteFrame(dir, frame, frame <= 2 ? 30 : 40);
    ASSERT_EQ(clitest::RunVeilshadow(SequenceArgs(dir, "####", "1")).exit_code, 0);
    const RefusalCase &c = GetParam();
    std::vector<std::string> args = {"-i",       dir / c.args[0], "-l",      dir / c.args[1], "-o", dir / c.args[2],
                                     "--frames", c.args[3],       "--resume"};
    args.insert(args.end(), c.args.begin() + 4, c.args.end());
    for (const bool resume : {false, true}) {
        if (!resume) args.erase(std::find(args.begin(), args.end(), "--resume"));
        const clitest::RunResult run = clitest::RunVeilshadow(args);
        EXPECT_EQ(run.exit_code, c.exit_code) << (resume ? "--resume: " : "") << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        if (!resume) args.push_back("--resume");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "out.0003.exr"));
    EXPECT_EQ(TempFiles(dir), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResumeNeverHidesARefusal,
    ::testing::Values(RefusalCase{"output_is_the_input",
                                  {"comp.####.exr", "layer.####.exr", "comp.####.exr", "1"},
                                  2,
                                  "the output would overwrite an input file"},
                      RefusalCase{"output_is_the_layer",
                                  {"comp.####.exr", "layer.####.exr", "layer.####.exr", "1-2"},
                                  2,
                                  "the output would overwrite an input file"},
                      RefusalCase{"a_sample_type_the_format_cannot_take",
                                  {"comp.####.exr", "layer.####.exr", "out.####.exr", "1", "-d", "uint8"},
                                  2,
                                  "-d uint8: OpenEXR files take half or float"},
                      // Frame 1 is left out, yet frame 3 is held to its size.
                      RefusalCase{"a_frame_of_another_size",
                                  {"comp.####.exr", "layer.####.exr", "out.####.exr", "1,3"},
                                  1,
                                  "comp.0003.exr: frame size 40 x 22, but frame 1 is 30 x 22"},
                      // A farm's chunk holds its frames to the sequence's first.
                      RefusalCase{"a_chunk_of_another_size",
                                  {"comp.####.exr", "layer.####.exr", "out.####.exr", "3-4", "--shape-frame", "1"},
                                  1,
                                  "comp.0003.exr: frame size 40 x 22, but frame 1 is 30 x 22"}),
    [](const ::testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

// A shot is checked whole before anything is written: an OUT that names
// any frame's input in any spelling, two frames that would write one
// file, and names that are no pattern are refused, and nothing is written.
struct ShotCase {
    const char *name;
    const char *layer, *out;                        // in the folder of frames 0-12 of x.%d.png
    std::function<void(const TempDir &dir)> links;  // more files, made before the run
    const char *message;
};

void PrintTo(const ShotCase &c, std::ostream *os) { *os << c.name; }

class ShotRefusals : public ::testing::TestWithParam<ShotCase> {};

// Frames 0-12 of a PNG sequence x.N.png (and a still l.png).
std::vector<std::string> PngFrames(const TempDir &dir, const std::string &folder = "") {
    for (long frame = 0; frame <= 12; ++frame)
        clitest::WriteTestImage(dir / (folder + "x." + std::to_string(frame) + ".png"),
                                clitest::RandomImage(Sample::kU8, 4, 0, 0, 6, 4, unsigned(frame)));
    clitest::WriteTestImage(dir / "l.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 6, 4, 99));
    return {"-i", dir / (folder + "x.%d.png"), "-l", dir / "l.png", "--frames", "0-12"};
}

TEST_P(ShotRefusals, NothingIsWritten) {
    TempDir dir;
    const ShotCase &c = GetParam();
    std::vector<std::string> args = PngFrames(dir);
    args[3] = dir / c.layer;
    args.insert(args.end(), {"-o", dir / c.out});
    c.links(dir);
    const std::set<std::string> before = dir.Entries();
    std::map<std::string, std::uintmax_t> sizes;
    for (const std::string &name : before)
        if (std::filesystem::is_regular_file(dir / name)) sizes[name] = std::filesystem::file_size(dir / name);
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    EXPECT_EQ(run.exit_code, 2) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(dir.Entries(), before);
    for (const auto &[name, size] : sizes) EXPECT_EQ(std::filesystem::file_size(dir / name), size) << name;
}

namespace fs = std::filesystem;

INSTANTIATE_TEST_SUITE_P(
    Table, ShotRefusals,
    ::testing::Values(
        // Frame 0 would write x.10.png before frame 10 reads it.
        ShotCase{"an_out_that_is_a_later_comp", "l.png", "x.1%d.png", [](const TempDir &) {},
                 "x.10.png: the output would overwrite an input file, COMP of frame 10"},
        // The same through a linked folder.
        ShotCase{"an_out_that_is_a_later_comp_through_a_link", "l.png", "link/x.1%d.png",
                 [](const TempDir &dir) { fs::create_directory_symlink(dir.path(), dir / "link"); },
                 "link/x.10.png: the output would overwrite an input file, COMP of frame 10"},
        ShotCase{"an_out_that_is_a_hard_link_of_an_input", "l.png", "o.####.png",
                 [](const TempDir &dir) { fs::create_hard_link(dir / "x.3.png", dir / "o.0007.png"); },
                 "o.0007.png: the output would overwrite an input file, COMP of frame 3"},
        // COMP of frame 12 links to frame 1's OUT, which is not written yet.
        ShotCase{"a_comp_that_links_to_an_out_not_yet_written", "l.png", "o.####.png",
                 [](const TempDir &dir) {
                     fs::remove(dir / "x.12.png");
                     fs::create_symlink("o.0001.png", dir / "x.12.png");
                 },
                 "o.0001.png: the output would overwrite an input file, COMP of frame 12"},
        ShotCase{"two_patterns_in_one_name", "l.png", "me@host.####.png", [](const TempDir &) {},
                 "me@host.####.png: the file name holds 2 frame patterns (\"@\" and \"####\")"},
        ShotCase{"a_printf_width_that_pads_with_spaces", "l.png", "o.%5d.png", [](const TempDir &) {},
                 "\"%5d\" is no frame pattern (only zeros pad a frame number); use ####"},
        // A still LAYER named with a pattern that is also a sequence: which
        // is meant is not clear.
        ShotCase{"a_layer_that_is_a_file_and_a_sequence", "logo@2x.png", "o.####.png",
                 [](const TempDir &dir) {
                     fs::copy_file(dir / "l.png", dir / "logo@2x.png");
                     fs::copy_file(dir / "l.png", dir / "logo52x.png");
                 },
                 "logo@2x.png: LAYER exists as a file of this name and as frame 5 ("}),
    [](const ::testing::TestParamInfo<ShotCase> &info) { return std::string(info.param.name); });

// Frame patterns live in the file name only: a folder named like a
// pattern is a folder, and a still LAYER given with --frames is the file
// the user named.
TEST(Sequences, FoldersAndStillLayersAreTakenAsNamed) {
    TempDir dir;
    std::filesystem::create_directory(dir / "v@");
    std::filesystem::create_directory(dir / "v1");
    std::vector<std::string> args = PngFrames(dir, "v@/");
    std::filesystem::rename(dir / "l.png", dir / "v@/logo@2x.png");
    args[3] = dir / "v@/logo@2x.png";
    args.insert(args.end(), {"-o", dir / "v@/o.####.png"});
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    for (long frame = 0; frame <= 12; ++frame)
        EXPECT_TRUE(std::filesystem::exists(dir / ("v@/o." + veilshadow::ExpandFramePattern("####", frame) + ".png")));
    EXPECT_TRUE(dir.Entries().count("v1") == 1 && std::filesystem::is_empty(dir / "v1"));
}

// Frames linked to one file (hold frames) are each renamed into place
// under their own name: the links are replaced, their target is kept.
TEST(Sequences, HoldFramesLinkedToOneFileAreEachWritten) {
    TempDir dir;
    std::vector<std::string> args = PngFrames(dir);
    args.insert(args.end(), {"-o", dir / "o.####.png"});
    std::filesystem::copy_file(dir / "x.1.png", dir / "held.png");
    std::filesystem::create_hard_link(dir / "held.png", dir / "o.0002.png");
    std::filesystem::create_symlink("held.png", dir / "o.0003.png");
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "o.0003.png"));
    EXPECT_EQ(clitest::CompareImages(clitest::ReadTestImage(dir / "x.1.png"), clitest::ReadTestImage(dir / "held.png")),
              "");
}

// "Done" is "a render would write exactly this": with --resume a frame
// whose OUT is written is left out only when a render of it would pass
// every check, and an OUT that is not what the render writes is written
// again.
struct DoneCase {
    const char *name;
    const char *out;                                 // OUT's pattern
    std::function<void(const TempDir &dir)> change;  // after frames 1-4 are written
    int exit_code;                                   // of the plain run and of --resume alike
    const char *message;                             // on standard error of --resume (and the plain run, on failure)
};

void PrintTo(const DoneCase &c, std::ostream *os) { *os << c.name; }

class DoneIsWhatARenderWrites : public ::testing::TestWithParam<DoneCase> {};

TEST_P(DoneIsWhatARenderWrites, ResumeAgreesWithThePlainRun) {
    TempDir dir;
    for (long frame = 1; frame <= 4; ++frame) WriteFrame(dir, frame);
    const DoneCase &c = GetParam();
    std::vector<std::string> args = SequenceArgs(dir, "####", "1-4");
    args[5] = dir / c.out;
    ASSERT_EQ(clitest::RunVeilshadow(args).exit_code, 0);
    c.change(dir);
    args.push_back("--resume");
    const clitest::RunResult resumed = clitest::RunVeilshadow(args);
    EXPECT_EQ(resumed.exit_code, c.exit_code) << resumed.err;
    EXPECT_NE(resumed.err.find(c.message), std::string::npos) << resumed.err;
    if (c.exit_code == 0) return;
    args.pop_back();
    const clitest::RunResult plain = clitest::RunVeilshadow(args);
    EXPECT_EQ(plain.exit_code, c.exit_code) << plain.err;
    EXPECT_NE(plain.err.find(c.message), std::string::npos) << plain.err;
}

// Frame 3's COMP or LAYER rewritten unlike the others.
void RewriteComp(const TempDir &dir, Sample sample, int width) {
    clitest::WriteTestImage(dir / "comp.0003.exr", clitest::RandomImage(sample, 4, -7, -3, width, 22, 6));
}

INSTANTIATE_TEST_SUITE_P(Table, DoneIsWhatARenderWrites,
                         ::testing::Values(DoneCase{"a_comp_of_another_size", "out.####.exr",
                                                    [](const TempDir &dir) { RewriteComp(dir, Sample::kHalf, 40); }, 1,
                                                    "comp.0003.exr: frame size 40 x 22, but frame 1 is 30 x 22"},
                                           DoneCase{"a_comp_of_another_sample_type", "out.####.exr",
                                                    [](const TempDir &dir) { RewriteComp(dir, Sample::kFloat, 30); }, 1,
                                                    "comp.0003.exr: float samples, but frame 1 has half"},
                                           DoneCase{"a_layer_of_another_size", "out.####.exr",
                                                    [](const TempDir &dir) {
                                                        TestImage layer =
                                                            clitest::RandomImage(Sample::kHalf, 4, 3, 1, 24, 18, 7);
                                                        layer.full_width = 26;
                                                        layer.full_height = 20;
                                                        clitest::WriteTestImage(dir / "layer.0003.exr", layer);
                                                    },
                                                    1, "layer.0003.exr: frame size 26 x 20, but frame 1 is 28 x 20"}),
                         [](const ::testing::TestParamInfo<DoneCase> &info) { return std::string(info.param.name); });

// A frame written whole but of another sample type than the run writes
// (a float EXR where COMP is half) is foreign: --resume renders it again.
TEST(Sequences, ResumeRendersAForeignFileAgain) {
    TempDir dir;
    WriteFrame(dir, 1);
    TestImage foreign = clitest::ReadTestImage(dir / "comp.0001.exr");
    foreign.sample = Sample::kFloat;
    clitest::WriteTestImage(dir / "out.0001.exr", foreign);
    std::vector<std::string> args = SequenceArgs(dir, "####", "1");
    args.push_back("--resume");
    const clitest::RunResult run = clitest::RunVeilshadow(args);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("summary: 1 rendered, 0 skipped"), std::string::npos) << run.err;
    EXPECT_EQ(CompareFrame(dir, 1), "");
}

// A reader of the progress that goes away (veilshadow ... 2>&1 | head -1)
// ends the progress, not the run; and without --frames a name with '@' or
// '#' in it is a file name.
TEST(Sequences, AClosedProgressStreamEndsOnlyTheProgress) {
    TempDir dir;
    for (long frame = 1; frame <= 3; ++frame) WriteFrame(dir, frame);
    const clitest::RunResult run = clitest::RunVeilshadow(SequenceArgs(dir, "####", "1-3"), {false, 0, true, {}, {}});
    EXPECT_EQ(run.exit_code, 0);
    for (long frame = 1; frame <= 3; ++frame) EXPECT_EQ(CompareFrame(dir, frame), "") << "frame " << frame;
    EXPECT_EQ(TempFiles(dir), 0u);

    std::filesystem::copy_file(dir / "comp.0001.exr", dir / "logo@2x#1.exr");
    const clitest::RunResult single =
        clitest::RunVeilshadow({"-i", dir / "logo@2x#1.exr", "-l", dir / "layer.0001.exr", "-o", dir / "out@2x#1.exr"});
    EXPECT_EQ(single.exit_code, 0) << single.err;
    EXPECT_EQ(single.err, "wrote " + (dir / "out@2x#1.exr") + "\n");
}

// A farm's frame list: every 3rd frame and negative frames, each file
// named with the frame padded as %04d pads it.
TEST(Sequences, FarmFrameListsPickTheirFrames) {
    TempDir dir;
    for (long frame = -2; frame <= 7; ++frame) WriteFrame(dir, frame);
    const clitest::RunResult run = clitest::RunVeilshadow(SequenceArgs(dir, "#", "-2--1,1-7x3,4"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("frame -2 (1/5): wrote " + (dir / "out.-002.exr")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("summary: 5 rendered, 0 skipped, 0 failed"), std::string::npos) << run.err;
    for (long frame : {-2, -1, 1, 4, 7}) EXPECT_EQ(CompareFrame(dir, frame), "") << "frame " << frame;
    for (long frame : {0, 2, 3, 5, 6})
        EXPECT_FALSE(std::filesystem::exists(dir / ("out." + veilshadow::ExpandFramePattern("####", frame) + ".exr")))
            << "frame " << frame;
}

// An output that cannot be written fails its frame: without --keep-going
// the run stops there, with it the rest are written. Either way the
// frames before it are written and reported, the error names the frame
// and the file, and no temporary file is left behind.
TEST(Sequences, AnOutputThatCannotBeWrittenFailsItsFrame) {
    for (const bool keep_going : {false, true}) {
        TempDir dir;
        for (long frame = 1; frame <= 5; ++frame) WriteFrame(dir, frame);
        std::filesystem::create_directories(dir / "out.0003.exr/in-the-way");
        std::vector<std::string> args = SequenceArgs(dir, "####", "1-5");
        if (keep_going) args.push_back("--keep-going");
        const clitest::RunResult run = clitest::RunVeilshadow(args);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_NE(run.err.find("frame 2 (2/5): wrote"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("veilshadow: frame 3: " + (dir / "out.0003.exr") + ": "), std::string::npos) << run.err;
        EXPECT_EQ(CompareFrame(dir, 1), "");
        EXPECT_EQ(CompareFrame(dir, 2), "");
        if (keep_going) {
            EXPECT_NE(run.err.find("summary: 4 rendered, 0 skipped, 1 failed (frames 3)"), std::string::npos)
                << run.err;
            EXPECT_EQ(CompareFrame(dir, 5), "");
        } else {
            EXPECT_EQ(run.err.find("frame 4 ("), std::string::npos) << "reported past the failing frame: " << run.err;
        }
        EXPECT_TRUE(std::filesystem::is_directory(dir / "out.0003.exr"));
        EXPECT_EQ(TempFiles(dir), 0u);
    }
}

// Without --keep-going, a wrong-sized frame stops the run like any bad
// frame; the frames before it stay written.
TEST(Sequences, AWrongSizedFrameStopsTheRun) {
    TempDir dir;
    for (long frame = 1; frame <= 3; ++frame) WriteFrame(dir, frame, frame == 2 ? 31 : 30);
    const clitest::RunResult run = clitest::RunVeilshadow(SequenceArgs(dir, "####", "1-3"));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("veilshadow: frame 2: " + (dir / "comp.0002.exr") + ": frame size 31 x 22"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("summary"), std::string::npos) << run.err;
    EXPECT_EQ(CompareFrame(dir, 1), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.0002.exr"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.0003.exr"));
}

// OUT's file type is checked once for the shot, but whether it holds a
// frame's windows is each frame's own: a COMP that lies elsewhere fails
// its frame as the frame opens, with --resume too.
TEST(Sequences, AFrameWhoseWindowsOutCannotHoldFailsAlone) {
    TempDir dir;
    for (long frame = 1; frame <= 3; ++frame) {
        WriteFrame(dir, frame);
        clitest::WriteTestImage(
            dir / ("comp.000" + std::to_string(frame) + ".exr"),
            clitest::RandomImage(Sample::kHalf, 4, frame == 2 ? 3 : 0, frame == 2 ? 5 : 0, 30, 22, unsigned(frame)));
    }
    std::vector<std::string> args = SequenceArgs(dir, "####", "1-3");
    args[5] = dir / "out.####.png";
    args.push_back("--keep-going");
    for (const char *summary : {"summary: 2 rendered, 0 skipped, 1 failed (frames 2)",
                                "summary: 0 rendered, 2 skipped, 1 failed (frames 2)"}) {
        const clitest::RunResult run = clitest::RunVeilshadow(args);
        EXPECT_EQ(run.exit_code, 1) << run.err;
        EXPECT_NE(
            run.err.find("veilshadow: frame 2: " + (dir / "out.0002.png") + ": cannot hold a data window at (3, 5)"),
            std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find(summary), std::string::npos) << run.err;
        EXPECT_TRUE(std::filesystem::exists(dir / "out.0003.png"));
        EXPECT_FALSE(std::filesystem::exists(dir / "out.0002.png"));
        args.push_back("--resume");
    }
}

TEST(Sequences, AStillLayerServesEveryFrame) {
    TempDir dir;
    for (long frame = 0; frame <= 2; ++frame) WriteFrame(dir, frame);
    const clitest::RunResult run =
        clitest::RunVeilshadow({"--input", dir / "comp.####.exr", "--layer", dir / "layer.0001.exr", "-o",
                                dir / "out.####.exr", "--frames", "0-2", "--quiet"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    const World layer = clitest::DecodeExpected(clitest::ReadTestImage(dir / "layer.0001.exr"), Depth::k32, true);
    for (long frame = 0; frame <= 2; ++frame) {
        const std::string number = veilshadow::ExpandFramePattern("####", frame);
        const World input =
            clitest::DecodeExpected(clitest::ReadTestImage(dir / ("comp." + number + ".exr")), Depth::k32, true);
        const TestImage expected =
            clitest::EncodeExpected(clitest::KernelExpected(input, layer, 0), Sample::kHalf, true);
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
    expect_output(dir / "comp.0001.exr", clitest::DecodeExpected(clitest::ReadTestImage(layer1), Depth::k32, true),
                  dir / "c.exr");

    // Without a StillLayer every frame reads its layer: the missing file is an error.
    EXPECT_THROW(veilshadow::RenderFiles(renderer, {dir / "comp.0001.exr", layer0, dir / "d.exr", 1}, settings),
                 veilshadow::RunError);
    renderer.Finish();
}

// ---- Frames on disk before they are reported --------------------------

// What a run did, in order: each write to its progress stream ("progress
// TEXT") and each flush to disk ("file TARGET", "folder FOLDER"), the
// flushes coming from the flusher's thread. The flush of `failing` (a
// target, or "folders" for every folder) fails with EIO.
struct DiskEvents : veilshadow::DiskSync {
    std::mutex mutex;
    std::vector<std::string> events;
    std::string failing;

    int Record(const std::string &event, bool fail) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        return fail ? EIO : 0;
    }
    int SyncFile(int, const std::string &target) override { return Record("file " + target, target == failing); }
    int SyncFolder(int, const std::string &folder) override { return Record("folder " + folder, failing == "folders"); }
    // The index of the first event that contains `text`, or -1.
    long Find(const std::string &text) {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i].find(text) != std::string::npos) return long(i);
        return -1;
    }
};

ssize_t WriteProgress(void *cookie, const char *data, std::size_t size) {
    static_cast<DiskEvents *>(cookie)->Record("progress " + std::string(data, size), false);
    return ssize_t(size);
}

struct DurableCase {
    const char *failing;  // "": none; a frame's OUT ("out.0002.exr"); "folders"
    bool keep_going;
    long failed_frame;    // the frame whose flush fails; 0: none
    const char *problem;  // its error after "frame F: OUT: "
};

class FramesOnDisk : public ::testing::TestWithParam<DurableCase> {};

// Every frame reported written was flushed, and its folder after its
// rename, before its line; a flush that fails fails its frame, with an
// error that names OUT, stops the run (or, going on, fails the run's
// count), and its frame is never reported written.
TEST_P(FramesOnDisk, BeforeTheyAreReported) {
    const DurableCase &c = GetParam();
    TempDir dir;
    for (long frame = 1; frame <= 4; ++frame) WriteFrame(dir, frame);
    const auto out = [&](long frame) {
        return dir / ("out." + veilshadow::ExpandFramePattern("####", frame) + ".exr");
    };
    veilshadow::JobOptions options;
    options.input = dir / "comp.####.exr";
    options.layer = dir / "layer.####.exr";
    options.output = dir / "out.####.exr";
    options.opacity = "50";
    options.frames = "1-4";
    options.keep_going = c.keep_going;
    const veilshadow::SequenceJob job = veilshadow::JobOf(options);

    DiskEvents disk;
    disk.failing = std::string(c.failing) == "folders" ? "folders" : *c.failing ? dir / c.failing : "";
    veilshadow::DiskSync *const before = veilshadow::SetDiskSync(&disk);
    std::FILE *stream = fopencookie(&disk, "w", cookie_io_functions_t{nullptr, WriteProgress, nullptr, nullptr});
    ASSERT_NE(stream, nullptr);
    std::string error;
    veilshadow::FrameCounts counts;
    {
        veilshadow::Renderer renderer(ORVANE_PLUGIN_PATH, 2);
        veilshadow::Progress progress(stream, veilshadow::ProgressStyle::kLines, 4, true);
        try {
            counts = veilshadow::RunSequence(renderer, job, progress);
        } catch (const veilshadow::RunError &e) {
            error = e.what();
        }
        renderer.Finish();
    }
    std::fclose(stream);
    veilshadow::SetDiskSync(before);
    EXPECT_EQ(veilshadow::GrantedMemory(), 0u) << "every world's memory grant let go";

    const std::string failure =
        c.failed_frame == 0 ? ""
                            : "frame " + std::to_string(c.failed_frame) + ": " + out(c.failed_frame) + ": " + c.problem;
    if (c.keep_going) {
        EXPECT_EQ(error, "");
        EXPECT_GE(disk.Find("veilshadow: " + failure + "\n"), 0) << "the failed frame is reported";
        EXPECT_EQ(counts.failed, std::vector<long>{c.failed_frame});
        EXPECT_EQ(counts.rendered, 3);
    } else {
        EXPECT_EQ(error, failure);
        if (c.failed_frame == 0) {
            EXPECT_EQ(counts.rendered, 4);
        }
    }
    for (long frame = 1; frame <= 4; ++frame) {
        const long reported = disk.Find("wrote " + out(frame)), flushed = disk.Find("file " + out(frame));
        if (frame == c.failed_frame) {
            EXPECT_LT(reported, 0) << out(frame) << " reported written";
            if (*c.failing != 'f') {
                EXPECT_FALSE(std::filesystem::exists(out(frame)));
            }
            continue;
        }
        if (reported < 0) {
            EXPECT_TRUE(c.failed_frame != 0 && !c.keep_going) << out(frame) << " never reported";
            continue;
        }
        ASSERT_GE(flushed, 0) << out(frame) << " reported written, never flushed";
        bool folder = false;
        for (long i = flushed + 1; i < reported; ++i)
            folder = folder || disk.events[std::size_t(i)] == "folder " + dir.path();
        EXPECT_TRUE(folder) << out(frame) << " reported before it and its folder were flushed";
        EXPECT_EQ(CompareFrame(dir, frame), "");
    }
    for (const std::string &name : dir.Entries()) EXPECT_NE(name[0], '.') << "left behind: " << name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FramesOnDisk,
    ::testing::Values(DurableCase{"", false, 0, ""},
                      DurableCase{"out.0002.exr", false, 2, "cannot write it to disk: Input/output error"},
                      DurableCase{"out.0002.exr", true, 2, "cannot write it to disk: Input/output error"},
                      DurableCase{"folders", false, 1,
                                  "written, but its folder cannot be flushed to disk: Input/output error"}));

TEST(Sequences, ATerminalGetsAProgressBar) {
    TempDir dir;
    for (long frame = 1; frame <= 3; ++frame) WriteFrame(dir, frame);
    const clitest::RunResult run = clitest::RunVeilshadowOnTerminal(SequenceArgs(dir, "####", "1-3"));
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("\r[--------"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("] 3/3 frames"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" fps "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" left"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("wrote"), std::string::npos) << "no per-frame lines on a terminal: " << run.err;
    for (long frame = 1; frame <= 3; ++frame) EXPECT_EQ(CompareFrame(dir, frame), "");
}

}  // namespace
