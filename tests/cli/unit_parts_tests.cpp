// The smaller parts of veilshadow: progress text, size limits, box
// downsampling, temporary files and the contact sheet.
#include "AtomicFile.h"
#include "CodecBuffer.h"
#include "CodecThreads.h"
#include "ContactSheet.h"
#include "Downsample.h"
#include "Errors.h"
#include "Farm.h"
#include "ImageIO.h"
#include "Limits.h"
#include "Progress.h"
#include "Sequence.h"
#include "Shot.h"
#include "TaskQueue.h"
#include "TempFileNames.h"

#include "cli_test_support.h"

#include <RenderHost/ThreadPool.h>
#include <gtest/gtest.h>
#include <libdeflate.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::Depth;
using renderhost::World;

// ---- Farm --------------------------------------------------------------

// Each chunk renders as the whole run would: its command carries OUT's
// sample type and compression when they are given, and nothing else then.
TEST(Farm, ChunkCommandCarriesTheOutputChoice) {
    ChunkCommand command{"veilshadow", ".", {}};
    command.options.opacity = "50";
    command.options.input = "c.####.exr";
    command.options.layer = "l.####.exr";
    command.options.output = "o.####.png";
    command.options.shape_frame = 1;
    const std::map<std::string, std::string> words = {{"frames", "1-9"}, {"threads", "2"}};
    const std::string plain = ChunkCommandLine(command, words);
    EXPECT_EQ(plain.find(" -d "), std::string::npos) << plain;
    EXPECT_EQ(plain.find("--compression"), std::string::npos) << plain;
    command.options.sample = "uint16";
    command.options.compression = "zip:9";
    const std::string chosen = ChunkCommandLine(command, words);
    EXPECT_NE(chosen.find(" -d uint16 "), std::string::npos) << chosen;
    EXPECT_NE(chosen.find(" --compression=zip:9 "), std::string::npos) << chosen;
}

// ---- Progress ----------------------------------------------------------

struct BarCase {
    long done, total, rendered;
    double elapsed;
    const char *text;
};

TEST(Progress, BarText) {
    const BarCase cases[] = {
        {0, 48, 0, 0.0, "[------------------------]  0/48 frames"},
        {12, 48, 12, 6.0, "[######------------------] 12/48 frames  2.0 fps  0:18 left"},
        {48, 48, 48, 10.0, "[########################] 48/48 frames  4.8 fps  0:00 left"},
        {1, 3, 1, 0.5, "[########----------------] 1/3 frames  2.0 fps  0:01 left"},
        {1, 10000, 1, 1.0, "[------------------------]     1/10000 frames  1.0 fps  2:46:39 left"},
        // Skipped and failed frames fill the bar; the speed is the rendered frames'.
        {24, 48, 4, 2.0, "[############------------] 24/48 frames  2.0 fps  0:12 left"},
        {10, 48, 0, 0.1, "[#####-------------------] 10/48 frames"},
    };
    for (const BarCase &c : cases) EXPECT_EQ(ProgressBar(c.done, c.total, c.rendered, c.elapsed), c.text);
}

TEST(Progress, Durations) {
    EXPECT_EQ(FormatDuration(0), "0:00");
    EXPECT_EQ(FormatDuration(0.2), "0:01");  // rounded up
    EXPECT_EQ(FormatDuration(59), "0:59");
    EXPECT_EQ(FormatDuration(61), "1:01");
    EXPECT_EQ(FormatDuration(3600), "1:00:00");
    EXPECT_EQ(FormatDuration(-5), "0:00");
}

std::string Captured(std::FILE *file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
}

// The frames of a run with each outcome, then the summary.
std::string Report(ProgressStyle style, bool with_failure) {
    std::FILE *file = std::tmpfile();
    {
        Progress progress(file, style, 5, true);
        progress.FrameDone(5, "out.0005.exr");
        progress.FrameSkipped(6, "out.0006.exr");
        if (with_failure) {
            progress.FrameFailed(7, "comp.0007.exr: no such file");
            progress.FrameFailed(8, "comp.0008.exr: cut short");
        }
        progress.FrameDone(9, "out.0009.exr");
        progress.Summary();
        EXPECT_EQ(progress.counts().rendered, 2);
        EXPECT_EQ(progress.counts().skipped, 1);
        EXPECT_EQ(progress.counts().failed, with_failure ? std::vector<long>({7, 8}) : std::vector<long>());
    }
    const std::string text = Captured(file);
    std::fclose(file);
    return text;
}

TEST(Progress, LinesCountSkippedAndFailedFrames) {
    EXPECT_EQ(Report(ProgressStyle::kLines, true),
              "frame 5 (1/5): wrote out.0005.exr\n"
              "frame 6 (2/5, 1 skipped): skipped, out.0006.exr is written\n"
              "veilshadow: frame 7: comp.0007.exr: no such file\n"
              "veilshadow: frame 8: comp.0008.exr: cut short\n"
              "frame 9 (5/5, 1 skipped, 2 failed): wrote out.0009.exr\n"
              "summary: 2 rendered, 1 skipped, 2 failed (frames 7-8)\n");
    // Quiet: only the bad frames and then the summary.
    EXPECT_EQ(Report(ProgressStyle::kQuiet, true),
              "veilshadow: frame 7: comp.0007.exr: no such file\n"
              "veilshadow: frame 8: comp.0008.exr: cut short\n"
              "summary: 2 rendered, 1 skipped, 2 failed (frames 7-8)\n");
    EXPECT_EQ(Report(ProgressStyle::kQuiet, false), "");
    // On a terminal a bad frame gets a line of its own and the bar goes on below.
    const std::string bar = Report(ProgressStyle::kBar, true);
    EXPECT_NE(bar.find("\nveilshadow: frame 7: comp.0007.exr: no such file\n\r["), std::string::npos) << bar;
    EXPECT_NE(bar.find("5/5 frames"), std::string::npos) << bar;
    const std::string summary = "\nsummary: 2 rendered, 1 skipped, 2 failed (frames 7-8)\n";
    EXPECT_EQ(bar.substr(bar.size() - summary.size()), summary) << bar;
}

// A single image never gets a bar, even on a terminal, nor a summary.
TEST(Progress, SingleImages) {
    for (int outcome = 0; outcome < 3; ++outcome) {
        std::FILE *single = std::tmpfile();
        {
            Progress progress(single, ProgressStyle::kBar, 1, false);
            if (outcome == 0)
                progress.FrameDone(0, "out.png");
            else if (outcome == 1)
                progress.FrameSkipped(0, "out.png");
            else
                progress.FrameFailed(0, "in.png: no such file");
            progress.Summary();
        }
        const char *expected[] = {"wrote out.png\n", "skipped, out.png is written\n",
                                  "veilshadow: in.png: no such file\n"};
        EXPECT_EQ(Captured(single), expected[outcome]);
        std::fclose(single);
    }
}

TEST(Progress, BarIsRedrawnInPlaceAndEndsItsLine) {
    std::FILE *bar = std::tmpfile();
    {
        Progress progress(bar, ProgressStyle::kBar, 2, true);
        progress.FrameDone(1, "a");
        progress.FrameDone(2, "b");
        progress.Finish();
        progress.Finish();  // a second time adds nothing
    }
    const std::string text = Captured(bar);
    std::fclose(bar);
    EXPECT_EQ(text.rfind("\r[", 0), 0u) << text;
    EXPECT_NE(text.find("2/2 frames"), std::string::npos) << text;
    EXPECT_EQ(clitest::CountLines(text), 1) << text;
    EXPECT_EQ(text.back(), '\n');
}

// ---- Reading -----------------------------------------------------------

// libtiff leaves one byte of this damaged strip (a float TIFF with the
// floating-point predictor) unwritten and reports no error. The file must
// still read the same whatever the thread read before it.
TEST(ImageReader, ADamagedTiffReadsTheSameWhateverWasReadBefore) {
    clitest::TempDir dir;
    const std::string damaged = std::string(ORVANE_IMAGE_SEEDS) + "/rgba_float_predictor_damaged.tif";
    std::vector<std::vector<unsigned char>> reads;
    for (const float fill : {0.3f, 0.7f}) {  // low bytes 0x9a and 0x33
        clitest::TestImage before;
        before.sample = clitest::Sample::kFloat;
        before.width = 9;
        before.height = 6;
        before.samples.assign(9 * 6 * 4, fill);
        clitest::WriteTestImage(dir / "before.tif", before);
        ImageReader(dir / "before.tif", AlphaMode::kAssociated).ReadWorld(Depth::k32);

        const World world = ImageReader(damaged, AlphaMode::kAssociated).ReadWorld(Depth::k32);
        std::vector<unsigned char> bytes;
        for (A_long y = 0; y < world.height(); ++y) {
            const auto *row = static_cast<const unsigned char *>(world.data()) + y * world.rowbytes();
            bytes.insert(bytes.end(), row, row + world.width() * 16);
        }
        reads.push_back(std::move(bytes));
    }
    EXPECT_EQ(reads[0], reads[1]);
}

// ---- Limits ------------------------------------------------------------

struct FitCase {
    const char *name;
    Window window;
    Depth depth;
    const char *message_part;  // empty: fits
};

TEST(Limits, WorldsThatDoNotFitAreRefusedByName) {
    const FitCase cases[] = {
        {"small", {0, 0, 64, 32}, Depth::k32, ""},
        {"negative origin", {-100, -50, 64, 32}, Depth::k8, ""},
        {"empty", {0, 0, 0, 10}, Depth::k8, "has no pixels"},
        {"far edge beyond 32 bits", {2147483600, 0, 100, 1}, Depth::k8, "32-bit coordinates"},
        {"too many pixels", {0, 0, 50000, 50000}, Depth::k8, "32-bit pixel addressing"},
        {"more bytes than a world may have", {0, 0, 40000, 40000}, Depth::k16, "the host lends one image"},
        {"just within the bytes", {0, 0, 16384, 16384}, Depth::k32, ""},
        {"just beyond the bytes", {0, 0, 16384, 16385}, Depth::k32, "the host lends one image"},
    };
    for (const FitCase &c : cases) {
        if (std::string(c.message_part).empty()) {
            EXPECT_NO_THROW(CheckWorldFits("f.exr", c.window, c.depth)) << c.name;
            continue;
        }
        try {
            CheckWorldFits("f.exr", c.window, c.depth);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const RunError &e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("f.exr: ", 0), 0u) << message;
            EXPECT_NE(message.find(c.message_part), std::string::npos) << c.name << ": " << message;
        }
    }
}

// A control group's limit, read from a folder laid out as / is: the
// groups of the process, the mounts, and limit, usage and cache files
// from the process's group up to the mount's top.
struct CgroupCase {
    const char *name;
    const char *cgroup;                                      // proc/self/cgroup
    const char *mountinfo;                                   // proc/self/mountinfo
    std::vector<std::pair<std::string, std::string>> files;  // under the root
    std::uint64_t available;
};

TEST(Limits, ControlGroupLimits) {
    constexpr const char *kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
    constexpr const char *kV1Mount =
        "31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const std::uint64_t gib = std::uint64_t{1} << 30, mib = std::uint64_t{1} << 20;
    const CgroupCase cases[] = {
        {"v2_limit_on_a_parent_less_what_it_holds_but_not_its_cache_beyond_tmpfs_files",
         "0::/job7/step0\n",
         kV2Mount,
         {{"sys/fs/cgroup/job7/step0/memory.max", "max\n"},
          {"sys/fs/cgroup/job7/memory.max", std::to_string(gib + gib / 2) + "\n"},
          {"sys/fs/cgroup/job7/memory.current", std::to_string(512 * mib) + "\n"},
          {"sys/fs/cgroup/job7/memory.stat",
           "anon 1\nfile " + std::to_string(256 * mib) + "\nshmem " + std::to_string(64 * mib) + "\n"}},
         gib + gib / 4 - 64 * mib},
        {"v2_the_least_of_two_levels",
         "0::/a/b\n",
         kV2Mount,
         {{"sys/fs/cgroup/a/b/memory.max", std::to_string(gib) + "\n"},
          {"sys/fs/cgroup/a/memory.max", std::to_string(2 * gib) + "\n"}},
         gib},
        {"v1_memory_controller_of_a_hybrid_system",
         "5:devices:/\n4:memory:/slurm/job_9\n0::/\n",
         kV1Mount,
         {{"sys/fs/cgroup/memory/slurm/job_9/memory.limit_in_bytes", "9223372036854771712\n"},
          {"sys/fs/cgroup/memory/slurm/memory.limit_in_bytes", std::to_string(gib) + "\n"},
          {"sys/fs/cgroup/memory/slurm/memory.usage_in_bytes", std::to_string(300 * mib) + "\n"},
          {"sys/fs/cgroup/memory/slurm/memory.stat", "cache 1\nshmem 1\ntotal_cache " + std::to_string(100 * mib) +
                                                         "\ntotal_shmem " + std::to_string(40 * mib) + "\n"}},
         gib - 240 * mib},
        {"v1_container_sees_its_own_group_at_the_mount",
         "4:memory:/docker/abc\n",
         "35 31 0:32 /docker/abc /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
         {{"sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(gib) + "\n"}},
         gib},
        {"a_group_over_its_limit_leaves_no_room_but_is_known",
         "0::/full\n",
         kV2Mount,
         {{"sys/fs/cgroup/full/memory.max", "1000\n"}, {"sys/fs/cgroup/full/memory.current", "5000\n"}},
         1},
        {"no_limit_anywhere", "0::/free\n", kV2Mount, {{"sys/fs/cgroup/free/memory.max", "max\n"}}, 0},
    };
    for (const CgroupCase &c : cases) {
        clitest::TempDir root;
        std::filesystem::create_directories(root / "proc/self");
        std::ofstream(root / "proc/self/cgroup") << c.cgroup;
        std::ofstream(root / "proc/self/mountinfo") << c.mountinfo;
        for (const auto &[path, text] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root / path).parent_path());
            std::ofstream(root / path) << text;
        }
        EXPECT_EQ(CgroupAvailableMemory(root.path()), c.available) << c.name;
    }
}

TEST(Limits, MemoryCheck) {
    EXPECT_NO_THROW(CheckMemory("a.png", 100, 0));  // unknown: no check
    EXPECT_NO_THROW(CheckMemory("a.png", 100, 100));
    EXPECT_THROW(CheckMemory("a.png", 101, 100), RunError);
    // Figures that would round alike are given in bytes.
    const struct {
        std::uint64_t needed, available;
        const char *says;
    } refusals[] = {
        {(100u << 20) + 1000, 100u << 20, "needs 104858600 bytes of memory, more than the 104857600 bytes available"},
        {3u << 20, 2u << 20, "needs 3.0 MiB of memory, more than the 2.0 MiB available"},
    };
    for (const auto &r : refusals) {
        try {
            CheckMemory("a.png", r.needed, r.available);
            ADD_FAILURE() << r.says;
        } catch (const RunError &e) {
            EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
        }
    }
    EXPECT_GT(AvailableMemory(), 0u);
    EXPECT_EQ(WorldBytes({5, 5, 10, 20}, Depth::k16), 1600u);
    EXPECT_EQ(FormatBytes(512), "512 bytes");
    EXPECT_EQ(FormatBytes(3u << 20), "3.0 MiB");
    EXPECT_EQ(FormatBytes(std::uint64_t{5} << 30), "5.0 GiB");
}

// Memory granted and not yet written counts against every later check
// until it is let go, so two decoders checking at once cannot both take
// what only one fits in.
TEST(Limits, GrantsCountUntilLetGo) {
    const std::uint64_t before = GrantedMemory();  // none held by other tests: they let theirs go
    MemoryGrant first = GrantMemory("comp.png", 60, before + 100);
    EXPECT_EQ(GrantedMemory(), before + 60);
    try {
        GrantMemory("layer.png", 50, before + 100);
        ADD_FAILURE() << "a grant beyond what is left";
    } catch (const RunError &e) {
        EXPECT_NE(
            std::string(e.what()).find("layer.png: rendering it needs 50 bytes of memory, more than the 40 bytes"),
            std::string::npos)
            << e.what();
    }
    EXPECT_EQ(GrantedMemory(), before + 60);  // a refused grant holds nothing
    MemoryGrant moved = std::move(first);
    EXPECT_EQ(GrantedMemory(), before + 60);
    {
        const MemoryGrant second = GrantMemory("layer.png", 40, before + 100);
        EXPECT_EQ(GrantedMemory(), before + 100);
        EXPECT_NO_THROW(GrantMemory("any.png", 1000, 0));  // unknown: no check
    }
    moved.Release();
    EXPECT_EQ(GrantedMemory(), before);
    EXPECT_EQ(GrantMemory("layer.png", 100, before + 100).bytes(), 100u);
    EXPECT_EQ(GrantedMemory(), before);
}

// ---- Shot --------------------------------------------------------------

// The farm's missing frames are those a render would not leave as they are:
// a written frame whose COMP a plain run would refuse (another size than
// the first frame's) is missing, not written.
TEST(Shot, MissingFramesAreThoseARenderWouldNotSkip) {
    clitest::TempDir dir;
    for (int frame = 1; frame <= 3; ++frame) {
        clitest::WriteTestImage(dir / ("c." + std::to_string(frame) + ".png"),
                                clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 6, 4, unsigned(frame)));
        clitest::WriteTestImage(dir / ("l." + std::to_string(frame) + ".png"),
                                clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 6, 4, unsigned(frame) + 9));
    }
    JobOptions options;
    options.input = dir / "c.%d.png";
    options.layer = dir / "l.%d.png";
    options.output = dir / "o.%d.png";
    options.frames = "1-3";
    ASSERT_EQ(clitest::RunVeilshadow(
                  {"-i", options.input, "-l", options.layer, "-o", options.output, "--frames", "1-3", "-q"})
                  .exit_code,
              0);
    const SequenceJob job = JobOf(options);
    const Shot shot(job);
    EXPECT_EQ(shot.Missing(shot.FindShape()), std::vector<long>{});
    clitest::WriteTestImage(dir / "c.2.png", clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 8, 4, 2));
    EXPECT_EQ(shot.Missing(shot.FindShape()), std::vector<long>{2});
}

// ---- Box downsampling --------------------------------------------------

struct WindowCase {
    Window in;
    int factor;
    Window out;
};

TEST(Downsample, WindowsCoverTheTouchedBlocks) {
    const WindowCase cases[] = {
        {{0, 0, 10, 6}, 2, {0, 0, 5, 3}},
        {{0, 0, 11, 7}, 2, {0, 0, 6, 4}},
        {{1, 1, 2, 2}, 2, {0, 0, 2, 2}},
        {{-3, -1, 4, 2}, 2, {-2, -1, 3, 2}},
        {{-16, -16, 372, 272}, 4, {-4, -4, 93, 68}},
        {{5, 5, 1, 1}, 1, {5, 5, 1, 1}},
    };
    for (const WindowCase &c : cases) {
        const Window w = DownsampledWindow(c.in, c.factor);
        EXPECT_EQ(w.x, c.out.x);
        EXPECT_EQ(w.y, c.out.y);
        EXPECT_EQ(w.width, c.out.width);
        EXPECT_EQ(w.height, c.out.height);
    }
}

TEST(Downsample, EightBitBlocksAreAlphaWeightedMeans) {
    // 3 x 2 at (1, 0): with factor 2 the blocks are x 0-1 and 2-3, the
    // first one having only its right column inside.
    World in(Depth::k8, 3, 2, 1, 0);
    in.At<PF_Pixel>(0, 0) = PF_Pixel{255, 200, 0, 0};
    in.At<PF_Pixel>(0, 1) = PF_Pixel{51, 0, 100, 0};
    in.At<PF_Pixel>(1, 0) = PF_Pixel{0, 9, 9, 9};
    in.At<PF_Pixel>(1, 1) = PF_Pixel{0, 3, 3, 3};
    in.At<PF_Pixel>(2, 0) = PF_Pixel{0, 10, 20, 30};
    in.At<PF_Pixel>(2, 1) = PF_Pixel{0, 20, 30, 40};
    const World out = BoxDownsample(in, 2);
    ASSERT_EQ(out.width(), 2);
    ASSERT_EQ(out.height(), 1);
    EXPECT_EQ(out.origin_x(), 0);
    const PF_Pixel &first = out.At<PF_Pixel>(0, 0);
    EXPECT_EQ(first.alpha, 77);  // (255 + 51) / 4 = 76.5
    EXPECT_EQ(first.red, 167);   // 255 * 200 / 306 = 166.7
    EXPECT_EQ(first.green, 17);  // 51 * 100 / 306 = 16.7
    EXPECT_EQ(first.blue, 0);
    const PF_Pixel &second = out.At<PF_Pixel>(1, 0);  // all transparent: plain mean
    EXPECT_EQ(second.alpha, 0);
    EXPECT_EQ(second.red, 11);    // (9 + 3 + 10 + 20) / 4 = 10.5
    EXPECT_EQ(second.green, 16);  // 62 / 4 = 15.5
    EXPECT_EQ(second.blue, 21);   // 82 / 4 = 20.5
}

TEST(Downsample, FloatAndSixteenBit) {
    World in(Depth::k32, 2, 2);
    in.At<PF_PixelFloat>(0, 0) = PF_PixelFloat{1.0f, 1.0f, 0.0f, 0.5f};
    in.At<PF_PixelFloat>(1, 0) = PF_PixelFloat{0.5f, 0.0f, 1.0f, 0.5f};
    const World out = BoxDownsample(in, 2);
    const PF_PixelFloat &p = out.At<PF_PixelFloat>(0, 0);
    EXPECT_FLOAT_EQ(p.alpha, 0.375f);
    EXPECT_FLOAT_EQ(p.red, 2.0f / 3.0f);
    EXPECT_FLOAT_EQ(p.green, 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(p.blue, 0.5f);

    World deep(Depth::k16, 2, 1);
    deep.At<PF_Pixel16>(0, 0) = PF_Pixel16{32768, 32768, 0, 100};
    deep.At<PF_Pixel16>(1, 0) = PF_Pixel16{32768, 0, 32768, 100};
    const World reduced = BoxDownsample(deep, 2);
    const PF_Pixel16 &q = reduced.At<PF_Pixel16>(0, 0);
    EXPECT_EQ(q.alpha, 16384);
    EXPECT_EQ(q.red, 16384);
    EXPECT_EQ(q.green, 16384);
    EXPECT_EQ(q.blue, 100);
}

TEST(Downsample, FactorOneCopiesExactly) {
    const clitest::TestImage file = clitest::RandomImage(clitest::Sample::kFloat, 4, -3, 2, 9, 7, 11);
    const World in = clitest::DecodeExpected(file, Depth::k32, false);
    const World out = BoxDownsample(in, 1);
    EXPECT_EQ(clitest::CompareImages(clitest::EncodeExpected(in, clitest::Sample::kFloat, false),
                                     clitest::EncodeExpected(out, clitest::Sample::kFloat, false)),
              "");
}

// On a pool the rows are shared out unevenly (151 rows over 1, 2, 3 and 7
// threads, claimed several at a time), into a world holding an earlier
// frame's pixels: every pixel is written, the same bits as on one thread.
TEST(Downsample, PoolThreadsGiveTheOneThreadResult) {
    const std::pair<clitest::Sample, Depth> depths[] = {
        {clitest::Sample::kU8, Depth::k8}, {clitest::Sample::kU16, Depth::k16}, {clitest::Sample::kFloat, Depth::k32}};
    for (const auto &[sample, depth] : depths) {
        const World in = clitest::DecodeExpected(clitest::RandomImage(sample, 4, -7, 3, 23, 301, 5), depth, false);
        for (const int factor : {2, 3}) {
            const World one = BoxDownsample(in, factor);
            const std::size_t bytes = std::size_t(one.rowbytes()) * std::size_t(one.height());
            for (const int threads : {1, 2, 3, 7}) {
                renderhost::ThreadPool pool(threads);
                World out(depth, one.width(), one.height(), one.origin_x(), one.origin_y());
                std::memset(out.data(), 0xA5, bytes);
                BoxDownsampleInto(in, factor, out, &pool);
                EXPECT_EQ(std::memcmp(out.data(), one.data(), bytes), 0) << factor << " " << threads;
            }
        }
    }
    World in(Depth::k8, 5, 4, 1, 0), moved(Depth::k8, 3, 2, 1, 0), deeper(Depth::k16, 3, 2);
    EXPECT_THROW(BoxDownsampleInto(in, 2, moved, nullptr), std::invalid_argument);
    EXPECT_THROW(BoxDownsampleInto(in, 2, deeper, nullptr), std::invalid_argument);
}

// ---- Pipeline ----------------------------------------------------------

struct InFlightCase {
    std::uint64_t source, output, available;
    bool banded;
    int sources, outputs;
};

TEST(Sequence, FramesInFlightFitTheBudget) {
    constexpr std::uint64_t MiB = 1 << 20, GiB = std::uint64_t{1} << 30;
    const InFlightCase cases[] = {
        {266 * MiB, 133 * MiB, 20 * GiB, false, 1, 2},  // UHD float: 532 MiB
        {66 * MiB, 33 * MiB, 20 * GiB, false, 1, 2},    // UHD 8-bit: 132 MiB
        {400 * MiB, 200 * MiB, 20 * GiB, false, 1, 2},  // exactly the budget
        {401 * MiB, 200 * MiB, 20 * GiB, false, 1, 1},  // {1, 2} takes 801 MiB
        {66 * MiB, 33 * MiB, 264 * MiB, false, 1, 2},   // half the memory: 132 MiB of 132
        {66 * MiB, 33 * MiB, 262 * MiB, false, 1, 1},   // 132 MiB of 131
        {401 * MiB, 200 * MiB, 0, false, 1, 1},         // memory unknown: the budget alone
        {400 * MiB, 200 * MiB, 0, false, 1, 2},
        // A banded writer fills the cores with one output world.
        {266 * MiB, 133 * MiB, 20 * GiB, true, 1, 1},
        {66 * MiB, 33 * MiB, 0, true, 1, 1},
    };
    for (const InFlightCase &c : cases) {
        const FramesInFlight in_flight = ChooseFramesInFlight(c.source, c.output, c.available, c.banded);
        const auto where = [&] {
            return std::to_string(c.source / MiB) + " " + std::to_string(c.output / MiB) + " " +
                   std::to_string(c.available / MiB) + (c.banded ? " banded" : "");
        };
        EXPECT_EQ(in_flight.sources, c.sources) << where();
        EXPECT_EQ(in_flight.outputs, c.outputs) << where();
    }
}

// The memory a frame holds, as it opens: COMP 10 x 6 and LAYER 4 x 5, half
// floats in 32-bit worlds (16 bytes a pixel); the output world on COMP's
// data window at (-3, 2), 6 x 3 at 1/2. With --downsample both inputs are
// held as decoded and filtered (LAYER's filtered one counted at full
// size); a still layer is held once for the run, not by the frame.
// A slot's world is kept while it has the shape and the spare bytes
// asked for, and made again with them when it has not.
TEST(Sequence, AWorldIsReusedOnlyWithTheSpareAskedFor) {
    std::optional<renderhost::World> slot;
    const Window window{0, 0, 6, 4};
    renderhost::World &plain = ReuseWorld(slot, renderhost::Depth::k8, window, "f.png");
    EXPECT_EQ(plain.capacity(), 6u * 4 * 4);
    renderhost::World &spared = ReuseWorld(slot, renderhost::Depth::k8, window, "f.png", 4);
    EXPECT_GE(spared.capacity(), 6u * 4 * 4 + 4);
    const void *const data = spared.data();
    EXPECT_EQ(ReuseWorld(slot, renderhost::Depth::k8, window, "f.png", 4).data(), data);
    EXPECT_EQ(ReuseWorld(slot, renderhost::Depth::k8, window, "f.png").data(), data);
    EXPECT_NE(ReuseWorld(slot, renderhost::Depth::k8, window, "f.png", 5).capacity(), 6u * 4 * 4 + 4);
}

TEST(Sequence, AnOpenedFrameCountsEveryWorldItHolds) {
    struct Case {
        int downsample;
        bool still;
        std::uint64_t sources, output;
    };
    // OUT's writer holds a room for each of a band's four chunks of 16
    // rows, half samples: the most deflate makes of them; and on each
    // thread that encodes (one here) a band's samples, a chunk three times
    // and a deflater (1 MiB at most). Reading a file
    // holds, on each thread that decodes it (one here), its chunk three
    // times and a strip of samples: 32 bytes a pixel for files of fewer
    // than 16 rows.
    const auto rooms = [](std::size_t width) {
        return 4 * libdeflate_zlib_compress_bound(nullptr, width * 8 * 16) + width * 8 * 64 + 3 * width * 8 * 16 +
               (1u << 20);
    };
    const Case cases[] = {
        {1, false, (60 + 20) * 16 + (60 + 20) * 32, 60 * 16 + rooms(10)},
        {1, true, 60 * 16 + 60 * 32, 60 * 16 + rooms(10)},
        {2, false, (60 + 18 + 2 * 20) * 16 + (60 + 20) * 32, 18 * 16 + rooms(6)},
        {2, true, (60 + 18) * 16 + 60 * 32, 18 * 16 + rooms(6)},
    };
    SetCodecCores(1);
    clitest::TempDir dir;
    const FrameFiles files{dir / "comp.exr", dir / "layer.exr", dir / "out.exr", 0};
    clitest::WriteTestImage(files.input, clitest::RandomImage(clitest::Sample::kHalf, 4, -3, 2, 10, 6, 1));
    clitest::WriteTestImage(files.layer, clitest::RandomImage(clitest::Sample::kHalf, 4, 0, 0, 4, 5, 2));
    for (const Case &c : cases) {
        FrameSettings settings;
        settings.format = "openexr";
        settings.downsample = c.downsample;
        StillLayer still;
        const OpenedFrame frame = OpenFrame(files, settings, c.still ? &still : nullptr, nullptr, nullptr);
        EXPECT_EQ(frame.memory.sources, c.sources) << c.downsample << " " << c.still;
        EXPECT_EQ(frame.memory.output, c.output) << c.downsample << " " << c.still;
    }
    SetCodecCores(0);

    // PNG files are inflated whole, and OUT deflated in bands: each frame
    // counts the file from its first IDAT chunk and the inflated rows'
    // byte a row besides the samples (8-bit RGBA is inflated in its
    // world's memory, a byte a row more); OUT's encoder its deflated bands at
    // worst (its filtered rows and 1024 bytes; an 8192th more on larger
    // ones), and a band's filtered rows twice and deflated once (the whole
    // image here). 8-bit worlds, 4 bytes a pixel.
    const FrameFiles png{dir / "comp.png", dir / "layer.png", dir / "out.png", 0};
    clitest::WriteTestImage(png.input, clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 10, 6, 1));
    clitest::WriteTestImage(png.layer, clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 4, 5, 2));
    const auto from_idat = [](const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return std::uint64_t(bytes.size() - (bytes.find("IDAT") - 4));  // the chunk starts at its length
    };
    FrameSettings settings;
    settings.format = "png";
    const OpenedFrame frame = OpenFrame(png, settings, nullptr, nullptr, nullptr);
    EXPECT_EQ(frame.memory.sources, (60 + 20) * 4 + 6 + from_idat(png.input) + 5 + from_idat(png.layer));
    OpenedFrame decoded = OpenFrame(png, settings, nullptr, nullptr, nullptr);
    SourceBuffers buffers;
    DecodeInput(decoded, settings, buffers, nullptr);
    ASSERT_TRUE(buffers.input.has_value());
    EXPECT_EQ(buffers.input->capacity(), 60u * 4 + 6);  // made with the spare its codec decodes in
    EXPECT_EQ(frame.memory.output, 60 * 4 + (246 + 1024) + 2 * 246 + (246 + 1024));
}

TEST(TaskQueue, TasksRunInOrderAndHandBackTheirErrors) {
    std::vector<int> order;
    std::vector<std::future<void>> done;
    {
        TaskQueue queue(1);
        for (int i = 0; i < 5; ++i)
            done.push_back(queue.Submit([&order, i] {
                if (i == 3) throw std::runtime_error("task 3");
                order.push_back(i);
            }));
        // Its thread keeps a task's codec buffers for the next.
        std::size_t kept = 0;
        queue.Submit([] { CodecBuffer buffer(4096); });
        queue.Submit([&kept] { kept = KeepCodecBuffers::KeptCount(); }).get();
        EXPECT_EQ(kept, 1u);
    }  // waits for the tasks still queued
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4}));
    for (int i = 0; i < 5; ++i) {
        if (i == 3)
            EXPECT_THROW(done[i].get(), std::runtime_error);
        else
            EXPECT_NO_THROW(done[i].get());
    }
}

// With one thread used, a task waits for the one before it, on the same
// thread (its kept buffers serve the next); with two, the second starts
// while the first waits for it.
TEST(TaskQueue, TasksGoToTheThreadsUsed) {
    for (const std::size_t used : {1, 2}) {
        TaskQueue queue(2);
        queue.UseThreads(used);
        std::promise<void> second_started;
        std::future<void> started = second_started.get_future();
        bool overlapped = false;
        std::thread::id first_thread, second_thread;
        std::future<void> first = queue.Submit([&] {
            first_thread = std::this_thread::get_id();
            // Ends as soon as the second starts; used alone, after a while.
            overlapped =
                started.wait_for(std::chrono::milliseconds(used == 1 ? 200 : 60000)) == std::future_status::ready;
        });
        queue
            .Submit([&] {
                second_thread = std::this_thread::get_id();
                second_started.set_value();
            })
            .get();
        first.get();
        EXPECT_EQ(overlapped, used == 2) << used;
        EXPECT_EQ(first_thread == second_thread, used == 1) << used;
    }
}

// ---- Temporary files ---------------------------------------------------

TEST(TempFile, RemovedUnlessCommitted) {
    clitest::TempDir dir;
    const std::string target = dir / "out.exr";
    std::string temp_path;
    {
        TempFile temp(target);
        temp_path = temp.path();
        EXPECT_EQ(temp_path.substr(temp_path.size() - 4), ".exr");
        EXPECT_TRUE(IsTempFileName(temp_path.substr(dir.path().size() + 1)));
        EXPECT_EQ(dir.Entries().size(), 1u);
    }
    EXPECT_TRUE(dir.Entries().empty());

    {
        TempFile temp(target);
        std::ofstream(temp.path()) << "complete";
        temp.Commit();
    }
    EXPECT_EQ(dir.Entries(), std::set<std::string>{"out.exr"});
    std::ifstream in(target);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "complete");
}

TEST(TempFile, MissingFolderIsAnErrorNamingTheTarget) {
    clitest::TempDir dir;
    const std::string target = dir / "no-such-folder/out.png";
    try {
        TempFile temp(target);
        FAIL() << "made a file in a missing folder";
    } catch (const RunError &e) {
        EXPECT_EQ(std::string(e.what()).rfind(target + ": ", 0), 0u) << e.what();
    }
}

// Several outputs are written at once: a signal removes every temporary
// file that exists, whichever thread made it.
TEST(TempFile, ASignalRemovesEveryPendingFile) {
    clitest::TempDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TempFile a(dir / "a.exr");
        std::optional<TempFile> b;
        std::thread([&] { b.emplace(dir / "b.png"); }).join();
        TempFile c(dir / "c.tif");
        raise(SIGTERM);
        _exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(dir.Entries().empty()) << dir.Entries().size();
}

// A file whose name is near the folder's limit still gets a temporary
// file: its name gives way, not the target's.
TEST(TempFile, ALongNameFits) {
    clitest::TempDir dir;
    const std::string target = dir / (std::string(251, 'n') + ".exr");
    {
        TempFile temp(target);
        EXPECT_EQ(temp.WriteAt("whole", 5, 0), 5u);
        temp.Commit();
    }
    EXPECT_EQ(dir.Entries(), std::set<std::string>{std::string(251, 'n') + ".exr"});
}

// The flushes a flusher makes, in order, with whether the target was in
// place then; the first file's flush waits until released, and the flush
// of `failing` fails with EIO.
struct HeldDiskSync : DiskSync {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::string failing;
    bool entered = false, released = false;

    int SyncFile(int, const std::string &target) override {
        std::unique_lock<std::mutex> lock(mutex);
        events.push_back("file " + std::filesystem::path(target).filename().string() +
                         (std::filesystem::exists(target) ? " in place" : ""));
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        return target == failing ? EIO : 0;
    }
    int SyncFolder(int, const std::string &) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back("folder");
        return 0;
    }
};

// Commit flushes the file before its rename and the folder after; under
// CommitLater the flusher does it on its thread, the files handed over
// during one batch making the next, with one flush of their folder; a
// failed flush fails that file only, naming it, and leaves nothing.
TEST(TempFile, FlushedBeforeItsRenameAndFoldersOncePerBatch) {
    clitest::TempDir dir;
    HeldDiskSync disk;
    disk.released = true;
    DiskSync *const before = SetDiskSync(&disk);
    const auto write = [&](const std::string &name) {
        TempFile temp(dir / name);
        temp.WriteAt(name.data(), name.size(), 0);
        temp.Commit();
    };
    write("plain.exr");
    EXPECT_EQ(disk.events, (std::vector<std::string>{"file plain.exr", "folder"}));

    disk.events.clear();
    disk.entered = disk.released = false;
    disk.failing = dir / "b.exr";
    std::vector<std::future<void>> done;
    {
        DiskFlusher flusher;
        CommitLater later(flusher);
        write("a.exr");
        {
            std::unique_lock<std::mutex> lock(disk.mutex);
            disk.changed.wait(lock, [&] { return disk.entered; });  // a's batch is under way
        }
        write("b.exr");
        write("c.exr");
        EXPECT_FALSE(std::filesystem::exists(dir / "c.exr")) << "put in place before it was flushed";
        {
            std::lock_guard<std::mutex> lock(disk.mutex);
            disk.released = true;
        }
        disk.changed.notify_all();
        done = later.Take();
    }
    SetDiskSync(before);
    ASSERT_EQ(done.size(), 3u);
    EXPECT_NO_THROW(done[0].get());
    try {
        done[1].get();
        ADD_FAILURE() << "a failed flush went unreported";
    } catch (const RunError &e) {
        EXPECT_EQ(std::string(e.what()), dir / "b.exr" + ": cannot write it to disk: Input/output error");
    }
    EXPECT_NO_THROW(done[2].get());
    EXPECT_EQ(disk.events, (std::vector<std::string>{"file a.exr", "folder", "file b.exr", "file c.exr", "folder"}));
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"plain.exr", "a.exr", "c.exr"}));
}

// A process that runs `body` in a child and waits there until told to go
// on: the child's temporary files stay open, their locks held.
class Writer {
public:
    // `body` makes the files and returns their paths, "\n"-separated.
    explicit Writer(const std::function<std::string()> &body) {
        if (pipe(report_) != 0 || pipe(release_) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            close(report_[0]);
            close(release_[1]);  // so that the parent's close is the end of the pipe
            const std::string paths = body() + "\n";
            if (write(report_[1], paths.data(), paths.size()) < 0) _exit(1);
            char go = 0;
            if (read(release_[0], &go, 1) < 0) _exit(1);
            _exit(0);  // no destructors: what is left is left unlocked
        }
        close(report_[1]);
        close(release_[0]);
        char buffer[4096];
        ssize_t n;
        while (paths_.find('\n') == std::string::npos && (n = read(report_[0], buffer, sizeof buffer)) > 0)
            paths_.append(buffer, static_cast<std::size_t>(n));
    }
    ~Writer() {
        close(release_[1]);
        close(report_[0]);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    std::string paths() const { return paths_.substr(0, paths_.find('\n')); }

private:
    int report_[2], release_[2];
    pid_t pid_ = -1;
    std::string paths_;
};

std::string FileName(const std::string &path) { return std::filesystem::path(path).filename().string(); }

// A temporary file belongs to its writer while the writer holds its lock:
// the sweep keeps a live writer's file and removes the file of one that is
// gone (found by the lock, not by the PID), and never touches a name that
// is not exactly of the form TempFile writes.
TEST(TempFile, OwnedByItsLockAndExactName) {
    clitest::TempDir dir;
    const std::string host = TempFileHost();
    // A writer that is still writing (its TempFile never destroyed), and
    // one that ended without removing its file, as a SIGKILL leaves it
    // (made second, so that the first one's sweep of the folder does not
    // find it).
    Writer writer([&] { return (new TempFile(dir / "live.png"))->path(); });
    const std::string gone = FileName(Writer([&] { return (new TempFile(dir / "gone.exr"))->path(); }).paths());
    const std::string held = FileName(writer.paths());
    ASSERT_TRUE(IsTempFileName(gone) && IsTempFileName(held)) << gone << " " << held;
    std::string wrong_check = gone;
    wrong_check[wrong_check.rfind('.') - 1] = wrong_check[wrong_check.rfind('.') - 1] == '0' ? '1' : '0';
    const std::string look_alikes[] = {
        ".notes.vs-" + host + "-4000000-zzzzzz",  // a user's file of the old form
        gone + ".keep",                           // a copy
        wrong_check,                              // check digits that do not match
        gone.substr(1),                           // no leading '.'
        ".b.vs-" + host + "x-12-abc123",
        "out.exr",
    };
    for (const std::string &name : look_alikes) {
        EXPECT_FALSE(IsTempFileName(name)) << name;
        std::ofstream(dir / name) << "x";
    }
    EXPECT_EQ(RemoveStaleTempFiles(dir.path()), 1);
    std::set<std::string> kept(std::begin(look_alikes), std::end(look_alikes));
    kept.insert(held);
    EXPECT_EQ(dir.Entries(), kept);
}

// A writer in another PID namespace (a container, a job step) has a PID
// that means nothing here, or another process's: its file is kept while
// it holds the lock. Its PID is made one that no process has here.
TEST(TempFile, AWriterInAnotherPidNamespaceIsNeverTouched) {
    if (geteuid() != 0) GTEST_SKIP() << "a PID namespace needs root";
    clitest::TempDir dir;
    pid_t free_pid = 0;
    std::ifstream pid_max_file("/proc/sys/kernel/pid_max");
    long pid_max = 32768;
    pid_max_file >> pid_max;
    for (pid_t candidate = static_cast<pid_t>(pid_max - 1); candidate > pid_max / 2 && free_pid == 0; --candidate)
        if (kill(candidate, 0) != 0 && errno == ESRCH) free_pid = candidate;
    ASSERT_NE(free_pid, 0);
    // The child enters a new PID namespace; its first child is that
    // namespace's init, which sets the namespace's last PID so that its
    // own child, the writer, gets `free_pid`.
    Writer outer([&]() -> std::string {
        if (unshare(CLONE_NEWPID) != 0) return "skip: unshare";
        int report[2], release[2];
        if (pipe(report) != 0 || pipe(release) != 0) return "skip: pipe";
        const pid_t init = fork();
        if (init == 0) {
            close(report[0]);
            close(release[1]);
            std::ofstream("/proc/sys/kernel/ns_last_pid") << free_pid - 1;
            Writer inner([&] {
                return getpid() == free_pid ? (new TempFile(dir / "out.exr"))->path() : std::string("skip: pid");
            });
            const std::string paths = inner.paths() + "\n";
            if (write(report[1], paths.data(), paths.size()) < 0) _exit(1);
            char go = 0;
            if (read(release[0], &go, 1) < 0) _exit(1);
            _exit(0);
        }
        close(report[1]);
        close(release[0]);
        char buffer[4096];
        const ssize_t n = read(report[0], buffer, sizeof buffer);
        std::string paths = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("skip: init");
        return paths.substr(0, paths.find('\n'));  // release[1] closes as this child ends, ending init
    });
    const std::string path = outer.paths();
    if (path.rfind("skip: ", 0) == 0) GTEST_SKIP() << "no PID namespace with a chosen PID here (" << path << ")";
    EXPECT_NE(path.find("-" + std::to_string(free_pid) + "-"), std::string::npos) << path;
    EXPECT_EQ(RemoveStaleTempFiles(dir.path()), 0);
    EXPECT_EQ(dir.Entries(), std::set<std::string>{FileName(path)});
}

// ---- Contact sheet -----------------------------------------------------

// Two panels of a 12 x 10 area around an 8 x 6 layer: the first image is
// opaque red on the left half of the layer, the second white at half
// alpha everywhere.
TEST(ContactSheet, PanelsShowTheirImagesOverTheCheckerboardWithLabels) {
    const Window area{-2, -2, 12, 10}, outline{0, 0, 8, 6};
    World red(Depth::k32, 4, 6, 0, 0), veil(Depth::k32, 8, 6, 0, 0);
    for (A_long y = 0; y < 6; ++y)
        for (A_long x = 0; x < 8; ++x) {
            if (x < 4) red.At<PF_PixelFloat>(x, y) = {1.0f, 1.0f, 0.0f, 0.0f};
            veil.At<PF_PixelFloat>(x, y) = {0.5f, 1.0f, 1.0f, 1.0f};
        }
    const OIIO::ImageBuf sheet = MakeContactSheet({{"Red", &red}, {"Veil", &veil}}, area, outline);
    ASSERT_EQ(sheet.spec().width, kSheetMargin + 2 * (area.width + kSheetMargin));
    ASSERT_EQ(sheet.spec().height, kSheetMargin + area.height + kSheetLabelHeight);
    // Sheet pixel of layer pixel (x, y) in panel `panel`.
    const auto at = [&](int panel, int x, int y) {
        float rgba[4];
        sheet.getpixel(kSheetMargin + panel * (area.width + kSheetMargin) + x - area.x, kSheetMargin + y - area.y, rgba,
                       4);
        return std::vector<float>(rgba, rgba + 4);
    };
    const float light = kCheckerLight, mixed = 0.5f + 0.5f * kCheckerLight;
    EXPECT_EQ(at(0, 1, 1), (std::vector<float>{1, 0, 0, 1}));
    EXPECT_EQ(at(0, 6, 1), (std::vector<float>{light, light, light, 1}));  // no image there
    EXPECT_EQ(at(1, 1, 1), (std::vector<float>{mixed, mixed, mixed, 1}));
    EXPECT_EQ(at(1, -2, -2), (std::vector<float>{light, light, light, 1}));
    EXPECT_NE(at(1, -1, -1), at(1, -2, -2)) << "the outline's first dash";
    // Each label is drawn in dark ink in the strip under its panel.
    for (int panel = 0; panel < 2; ++panel) {
        int ink = 0;
        for (int y = area.height; y < area.height + kSheetLabelHeight; ++y)
            for (int x = 0; x < area.width; ++x) ink += at(panel, area.x + x, area.y + y)[0] < 0.5f;
        EXPECT_GT(ink, 10) << "panel " << panel;
    }
}

}  // namespace
}  // namespace veilshadow
