// veilshadow against oiiotool, and against the codec floor, on UHD
// sequences as a pipeline would run them: both tools read COMP and LAYER
// and write OUT for every frame, so the comparison is one of reading,
// decoding, encoding and writing files.
//
// Two scenes, each resampled to 3840 x 2160 and written once per run into
// a temporary folder: `demo`, `veilshadow demo`'s scene (its layer and the
// layer over its drop shadow), and `soft`, the same icon over a wide soft
// glow, so that most of the layer is partly transparent, over its blurred,
// offset shadow. Each scene as half-float zip OpenEXR, 8 frames, and 8-bit
// PNG, 4 frames. Each tool renders the whole sequence, the two
// alternately, several times; the fastest run of each counts (other
// programs on the machine only ever slow a run down). oiiotool runs as
//   oiiotool --frames 1-N layer.#.EXT comp.#.EXT --over -o out.#.EXT
// One line per case:
//   sequence_vs_oiiotool <scene> <format> <ratio> fps <veilshadow> <oiiotool>
//     cpu_s <veilshadow> <oiiotool> peak_mib <veilshadow> <oiiotool> <bench>
// where the ratio is veilshadow's frames per second over oiiotool's, cpu_s
// the CPU time (user + system) of the fastest runs and peak_mib their peak
// resident memory, then this bench's own when it starts them: a child's
// peak reads as no less than that (see ResetPeakMemory); and the same for
// a single EXR frame:
//   frame_vs_oiiotool <scene> exr <ratio> seconds <veilshadow> <oiiotool> ...
//
// The codec floor is the time no tool that reads and writes these files
// can beat: the CPU time a codec takes, on one thread, to decode every
// COMP and LAYER and to encode every OUT (veilshadow's, in the same sample
// type and compression), divided by the machine's cores. Two floors, side
// by side: the standard one, OpenImageIO's codecs, and veilshadow's own,
// its codec path as the program takes it (ImageReader into a world of the
// file's depth, reused from frame to frame, and WriteWorld, with the
// flush to disk left out: codec time only), whichever codecs that path
// uses for the format. Measured in this process after the tools' runs,
// the fastest of as many passes as runs:
//   codec_floor <scene> <format> <share> codec_cpu_s <c> floor_s <f>
//     veilshadow_s <w> veilshadow_user_s <u> veilshadow_sys_s <s>
//     cpu_share <x> startup_s <t> cores <n>
//     own_share <share2> own_codec_cpu_s <c2> own_floor_s <f2> own_cpu_share <x2>
// where the share is the standard floor over veilshadow's fastest wall
// time (1: as fast as the standard codecs allow; above 1, faster than any
// tool built on them), user and system are that run's CPU times,
// cpu_share the codec CPU time over that run's (the share veilshadow would
// reach keeping every core busy: the steadier figure on a busy machine),
// startup_s the wall time of `veilshadow --version` (loading the program
// and its libraries, which every run pays before its first frame), and
// the own_ fields the same against veilshadow's own codec path. For a
// sequence, what a frame more costs once a run is under way:
//   sustained <scene> <format> own_share <s> share <s2> frame_s <m>
//     own_floor_frame_s <f> floor_frame_s <f2> seconds <t> <t4> frames <N> <4N>
// after each round veilshadow runs the N frames again, then the same
// frames four times over (links in long/), both on the memory the run
// before freed; m is the difference of the fastest of each over the 3N
// frames more, and the shares the floors per frame over m. Then the
// sizes of the files written, in bytes, summed over the case's frames:
//   sizes <scene> <format> veilshadow <v> oiiotool <o> standard <s>
// where standard is OpenImageIO's encoding of veilshadow's OUT pixels in
// the same sample type and compression (the standard floor's files).
//
// Options: --veilshadow PATH, --oiiotool PATH, --runs N (default 3),
// --frames-dir DIR (keep the frames there instead of a temporary folder).
#include "AtomicFile.h"
#include "Formats.h"
#include "ImageIO.h"
#include "TestProcess.h"
#include "sequence_scene.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <malloc.h>
#include <sys/resource.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef VEILSHADOW_PATH
#error "VEILSHADOW_PATH must name the veilshadow program"
#endif

namespace {

namespace fs = std::filesystem;
using renderhost::World;

struct RunStats {
    double seconds = 0, cpu_seconds = 0, user_seconds = 0, system_seconds = 0, peak_mib = 0;
    double starter_mib = 0;  // this process's resident memory as the child started
};

double Seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

// Sets this process's peak resident memory back to what it holds now,
// and returns that in MiB. A child started as RunProcess starts it
// (sharing this process's memory until it runs its program) begins its
// own peak at this process's: after the floors had decoded frames here,
// every later child's peak read as this process's 1.4 GB. Where it cannot
// be set back, peaks stay as read.
double ResetPeakMemory() {
    malloc_trim(0);  // what the floors freed
    if (std::FILE *refs = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    double kib = 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmRSS: %lf", &kib) == 1) break;
    std::fclose(status);
    return kib / 1024.0;
}

// Runs the command, its output to `log`; throws when it fails.
RunStats Run(const std::vector<std::string> &command, const fs::path &log) {
    const double starter_mib = ResetPeakMemory();
    veilshadow::ProcessSetup spec;
    spec.argv = command;
    spec.in = veilshadow::ProcessStream::kInherit;
    spec.out = veilshadow::ProcessStream::File(log.string());
    spec.err = veilshadow::ProcessStream::kStdout;
    const auto start = std::chrono::steady_clock::now();
    const veilshadow::ProcessRun result = veilshadow::RunProcess(spec);
    RunStats stats;
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stats.user_seconds = result.user_seconds;
    stats.system_seconds = result.system_seconds;
    stats.cpu_seconds = stats.user_seconds + stats.system_seconds;
    stats.peak_mib = double(result.peak_rss_kib) / 1024.0;
    stats.starter_mib = starter_mib;
    if (result.start_error != 0)
        throw std::runtime_error("cannot run " + command[0] + ": " + std::strerror(result.start_error));
    if (!result.succeeded()) throw std::runtime_error(command[0] + " failed (see " + log.string() + ")");
    return stats;
}

// The bytes of the outputs ("out*") in `dir`.
std::uintmax_t OutputBytes(const fs::path &dir) {
    std::uintmax_t bytes = 0;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("out", 0) == 0) bytes += entry.file_size();
    return bytes;
}

void RemoveOutputs(const fs::path &dir) {
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("out", 0) == 0) fs::remove(entry.path());
}

struct Case {
    const char *label;  // sequence_vs_oiiotool or frame_vs_oiiotool
    const char *format;
    int frames;
};

struct Tools {
    std::string veilshadow, oiiotool;
    int runs = 3;
    double startup_seconds = 0;  // veilshadow --version, the fastest run
};

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// Decodes the whole file in its own sample types, as veilshadow reads it
// (PNG without premultiplying).
void DecodeFile(const fs::path &path, std::vector<unsigned char> &pixels, OIIO::ImageSpec *spec = nullptr) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path.string(), &config);
    if (!in) throw std::runtime_error("cannot read " + path.string() + ": " + OIIO::geterror());
    const OIIO::ImageSpec &file = in->spec();
    pixels.resize(file.image_bytes(true));
    if (!in->read_image(0, 0, 0, file.nchannels, OIIO::TypeDesc::UNKNOWN, pixels.data()))
        throw std::runtime_error("cannot read " + path.string() + ": " + in->geterror());
    if (spec != nullptr) *spec = file;
}

// Encodes the pixels as veilshadow writes OUT: RGBA in `out`'s sample type,
// its windows, colour as given, OpenEXR with `out`'s compression.
void EncodeFile(const fs::path &path, const OIIO::ImageSpec &out, const std::vector<unsigned char> &pixels) {
    OIIO::ImageSpec spec(out.width, out.height, 4, out.format);
    spec.x = out.x;
    spec.y = out.y;
    spec.full_x = out.full_x;
    spec.full_y = out.full_y;
    spec.full_width = out.full_width;
    spec.full_height = out.full_height;
    spec.alpha_channel = 3;
    const std::string compression = out.get_string_attribute("compression");
    if (veilshadow::FormatNamed(veilshadow::OutputFormatFor(path.string())).alpha ==
        veilshadow::AlphaConvention::kStraight)
        spec.attribute("oiio:UnassociatedAlpha", 1);
    else if (!compression.empty())
        spec.attribute("compression", compression);
    auto file = OIIO::ImageOutput::create(path.string());
    if (!file || !file->open(path.string(), spec) || !file->write_image(OIIO::TypeDesc::UNKNOWN, pixels.data()) ||
        !file->close())
        throw std::runtime_error("cannot write " + path.string() + ": " + OIIO::geterror());
}

// A case's file of `kind` ("out", "comp", "layer") for `frame`.
fs::path CaseFile(const Case &c, const fs::path &dir, const char *kind, int frame) {
    char text[64];
    if (c.frames == 1 && std::strcmp(kind, "out") == 0)
        std::snprintf(text, sizeof text, "%s.%s", kind, c.format);
    else  // a single frame's inputs are frame 1 of the sequence
        std::snprintf(text, sizeof text, "%s.%04d.%s", kind, c.frames == 1 ? 1 : frame, c.format);
    return dir / text;
}

// What the floors measure: the CPU seconds of the fastest of `passes`,
// and the bytes of the OUT files the last pass encoded.
struct Floor {
    double cpu_seconds = 1e30;
    std::uintmax_t bytes = 0;
};

// OpenImageIO on one thread decoding the case's COMP and LAYER files and
// encoding its OUT files (veilshadow's, found in `dir`). OUT's pixels are
// read untimed; they are encoded into a scratch file beside them.
Floor CodecCpuSeconds(const Case &c, const fs::path &dir, int passes) {
    OIIO::attribute("threads", 1);
    OIIO::attribute("exr_threads", -1);  // OpenEXR's pool off: everything on this thread
    const auto name = [&](const char *kind, int frame) { return CaseFile(c, dir, kind, frame); };
    std::vector<std::vector<unsigned char>> outputs(static_cast<std::size_t>(c.frames));
    std::vector<OIIO::ImageSpec> specs(static_cast<std::size_t>(c.frames));
    for (int frame = 1; frame <= c.frames; ++frame)
        DecodeFile(name("out", frame), outputs[std::size_t(frame - 1)], &specs[std::size_t(frame - 1)]);
    const fs::path scratch = dir / (std::string("floor-scratch.") + c.format);
    std::vector<unsigned char> pixels;
    Floor floor;
    for (int pass = 0; pass < passes; ++pass) {
        floor.bytes = 0;
        const double start = ProcessCpuSeconds();
        for (int frame = 1; frame <= c.frames; ++frame) {
            DecodeFile(name("comp", frame), pixels);
            DecodeFile(name("layer", frame), pixels);
            EncodeFile(scratch, specs[std::size_t(frame - 1)], outputs[std::size_t(frame - 1)]);
            floor.bytes += fs::file_size(scratch);
        }
        floor.cpu_seconds = std::min(floor.cpu_seconds, ProcessCpuSeconds() - start);
    }
    fs::remove(scratch);
    return floor;
}

// The scratch files of veilshadow's own floor need not reach the disk:
// the floor is the codecs' time.
class NoDiskSync : public veilshadow::DiskSync {
public:
    int SyncFile(int, const std::string &) override { return 0; }
    int SyncFolder(int, const std::string &) override { return 0; }
};

// A world on the file's data window in the depth its sample type runs as,
// with the spare bytes its codec decodes in (as the program makes it).
World WorldFor(const veilshadow::ImageHeader &header, std::uint64_t spare = 0) {
    return World(veilshadow::WorldDepthOf(header.sample), header.data.width, header.data.height, header.data.x,
                 header.data.y, std::nullopt, static_cast<std::size_t>(spare));
}

// veilshadow's own codec path on one thread, as the program takes it:
// COMP and LAYER decoded by ImageReader into worlds kept from frame to
// frame, OUT's world (read untimed) encoded by WriteWorld as OUT was, into
// a scratch file beside it.
Floor OwnCodecCpuSeconds(const Case &c, const fs::path &dir, int passes) {
    using namespace veilshadow;
    SetLibraryThreads(1);
    OIIO::attribute("exr_threads", -1);
    NoDiskSync no_sync;
    DiskSync *const before = SetDiskSync(&no_sync);
    std::vector<World> outputs;
    std::vector<OutputSpec> specs;
    for (int frame = 1; frame <= c.frames; ++frame) {
        ImageReader out(CaseFile(c, dir, "out", frame).string(), AlphaMode::kAuto);
        const ImageHeader &header = out.header();
        OutputSpec spec;
        spec.format = header.format;
        spec.sample = header.sample;
        spec.associated = header.associated;
        spec.display = header.display;
        spec.compression = header.compression;
        specs.push_back(spec);
        outputs.push_back(WorldFor(header));
        out.ReadInto(outputs.back());
    }
    const fs::path scratch = dir / (std::string("floor-scratch.") + c.format);
    std::vector<World> comps, layers;  // one per size met, as the program keeps its buffers
    const auto read = [](const fs::path &path, std::vector<World> &kept) {
        ImageReader reader(path.string(), AlphaMode::kAuto);
        const ImageHeader &header = reader.header();
        World *world = nullptr;
        for (World &w : kept)
            if (w.width() == header.data.width && w.height() == header.data.height && w.origin_x() == header.data.x &&
                w.origin_y() == header.data.y && w.depth() == WorldDepthOf(header.sample))
                world = &w;
        if (world == nullptr) {
            kept.push_back(WorldFor(header, reader.InPlaceSpare(WorldDepthOf(header.sample))));
            world = &kept.back();
        }
        reader.ReadInto(*world);
    };
    Floor floor;
    try {
        for (int pass = 0; pass < passes; ++pass) {
            floor.bytes = 0;
            const double start = ProcessCpuSeconds();
            for (int frame = 1; frame <= c.frames; ++frame) {
                read(CaseFile(c, dir, "comp", frame), comps);
                read(CaseFile(c, dir, "layer", frame), layers);
                WriteWorld(scratch.string(), outputs[std::size_t(frame - 1)], specs[std::size_t(frame - 1)]);
                floor.bytes += fs::file_size(scratch);
            }
            floor.cpu_seconds = std::min(floor.cpu_seconds, ProcessCpuSeconds() - start);
        }
    } catch (...) {
        SetDiskSync(before);
        throw;
    }
    SetDiskSync(before);
    fs::remove(scratch);
    return floor;
}

// A long sequence is the case's frames this many times over.
constexpr int kLongRepeats = 4;

// Fills `long_dir` with links, frame F of the long sequence to the case's
// frame (F - 1) % N + 1, COMP and LAYER.
void MakeLongSequence(const Case &c, const fs::path &dir, const fs::path &long_dir) {
    fs::create_directories(long_dir);
    for (int frame = 1; frame <= c.frames * kLongRepeats; ++frame)
        for (const char *kind : {"comp", "layer"}) {
            const fs::path link = CaseFile(c, long_dir, kind, frame);
            fs::remove(link);
            fs::create_symlink(fs::absolute(CaseFile(c, dir, kind, (frame - 1) % c.frames + 1)), link);
        }
}

// The fastest of `runs` alternate runs of each tool, then the codec floor
// of the outputs veilshadow's last run left.
void Compare(const char *scene, const Case &c, const Tools &tools, const fs::path &dir) {
    const std::string ext = c.format;
    const auto path = [&](const char *name) { return (dir / name).string(); };
    // oiiotool's # is 4 digits, and so is veilshadow's ####.
    const auto pattern = [&](const fs::path &folder, const char *name, const char *digits) {
        return (folder / (std::string(name) + "." + digits + "." + ext)).string();
    };
    // veilshadow on frames 1 to `count` of the sequence in `folder`.
    const auto veilshadow_sequence = [&](const fs::path &folder, int count) -> std::vector<std::string> {
        return {tools.veilshadow,
                "-i",
                pattern(folder, "comp", "####"),
                "-l",
                pattern(folder, "layer", "####"),
                "-o",
                pattern(folder, "out", "####"),
                "--frames",
                "1-" + std::to_string(count),
                "--quiet"};
    };
    // A sequence is also run as a long one: its frames repeated in `long`,
    // each run of it right after a run of the case's own length, both on
    // the memory the run before freed.
    const fs::path long_dir = dir / "long";
    std::vector<std::string> veilshadow, oiiotool, long_veilshadow;
    if (c.frames == 1) {
        const std::string one_comp = path(("comp.0001." + ext).c_str()),
                          one_layer = path(("layer.0001." + ext).c_str());
        veilshadow = {tools.veilshadow, "-i", one_comp, "-l", one_layer, "-o", path(("out." + ext).c_str()), "--quiet"};
        oiiotool = {tools.oiiotool, one_layer, one_comp, "--over", "-o", path(("out." + ext).c_str())};
    } else {
        veilshadow = veilshadow_sequence(dir, c.frames);
        oiiotool = {tools.oiiotool,
                    "--frames",
                    "1-" + std::to_string(c.frames),
                    pattern(dir, "layer", "#"),
                    pattern(dir, "comp", "#"),
                    "--over",
                    "-o",
                    pattern(dir, "out", "#")};
        MakeLongSequence(c, dir, long_dir);
        long_veilshadow = veilshadow_sequence(long_dir, c.frames * kLongRepeats);
    }
    RunStats best_vs, best_oiio, best_warm, best_long;
    best_vs.seconds = best_oiio.seconds = best_warm.seconds = best_long.seconds = 1e30;
    std::uintmax_t vs_bytes = 0, oiio_bytes = 0;  // of the last run, veilshadow's last
    for (int run = 0; run < tools.runs; ++run) {
        for (int tool = 0; tool < 2; ++tool) {
            RemoveOutputs(dir);
            const RunStats s = Run(tool == 0 ? oiiotool : veilshadow, dir / "log.txt");
            RunStats &best = tool == 0 ? best_oiio : best_vs;
            if (s.seconds < best.seconds) best = s;
            (tool == 0 ? oiio_bytes : vs_bytes) = OutputBytes(dir);
        }
        if (long_veilshadow.empty()) continue;
        RemoveOutputs(dir);  // its outputs are veilshadow's, for the floors
        best_warm.seconds = std::min(best_warm.seconds, Run(veilshadow, dir / "log.txt").seconds);
        best_long.seconds = std::min(best_long.seconds, Run(long_veilshadow, dir / "log.txt").seconds);
        RemoveOutputs(long_dir);
    }
    const double vs_rate = c.frames / best_vs.seconds, oiio_rate = c.frames / best_oiio.seconds;
    if (c.frames == 1)
        std::printf("%s %s %s %.3f seconds %.3f %.3f", c.label, scene, c.format, best_oiio.seconds / best_vs.seconds,
                    best_vs.seconds, best_oiio.seconds);
    else
        std::printf("%s %s %s %.3f fps %.3f %.3f", c.label, scene, c.format, vs_rate / oiio_rate, vs_rate, oiio_rate);
    std::printf(" cpu_s %.2f %.2f peak_mib %.0f %.0f %.0f\n", best_vs.cpu_seconds, best_oiio.cpu_seconds,
                best_vs.peak_mib, best_oiio.peak_mib, std::max(best_vs.starter_mib, best_oiio.starter_mib));
    std::fflush(stdout);

    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const Floor standard = CodecCpuSeconds(c, dir, tools.runs);
    const Floor own = OwnCodecCpuSeconds(c, dir, tools.runs);
    const double floor = standard.cpu_seconds / cores, own_floor = own.cpu_seconds / cores;
    std::printf(
        "codec_floor %s %s %.3f codec_cpu_s %.2f floor_s %.2f veilshadow_s %.2f veilshadow_user_s %.2f "
        "veilshadow_sys_s %.2f cpu_share %.3f startup_s %.2f cores %d own_share %.3f own_codec_cpu_s %.2f "
        "own_floor_s %.2f own_cpu_share %.3f\n",
        scene, c.format, floor / best_vs.seconds, standard.cpu_seconds, floor, best_vs.seconds, best_vs.user_seconds,
        best_vs.system_seconds, standard.cpu_seconds / best_vs.cpu_seconds, tools.startup_seconds, cores,
        own_floor / best_vs.seconds, own.cpu_seconds, own_floor, own.cpu_seconds / best_vs.cpu_seconds);
    if (!long_veilshadow.empty()) {
        // What a frame more costs in a long run, once the program has
        // started and its buffers are made.
        const int more = c.frames * (kLongRepeats - 1);
        const double frame_s = (best_long.seconds - best_warm.seconds) / more;
        std::printf(
            "sustained %s %s own_share %.3f share %.3f frame_s %.4f own_floor_frame_s %.4f floor_frame_s %.4f "
            "seconds %.3f %.3f frames %d %d\n",
            scene, c.format, own_floor / c.frames / frame_s, floor / c.frames / frame_s, frame_s, own_floor / c.frames,
            floor / c.frames, best_warm.seconds, best_long.seconds, c.frames, c.frames * kLongRepeats);
    }
    std::printf("sizes %s %s veilshadow %ju oiiotool %ju standard %ju\n", scene, c.format, vs_bytes, oiio_bytes,
                standard.bytes);
    std::fflush(stdout);
    RemoveOutputs(dir);
}

}  // namespace

int main(int argc, char **argv) {
    Tools tools{VEILSHADOW_PATH, "oiiotool"};
    std::string frames_dir, only_scene, only_format;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--veilshadow" && has_value) {
            tools.veilshadow = argv[++i];
        } else if (arg == "--oiiotool" && has_value) {
            tools.oiiotool = argv[++i];
        } else if (arg == "--runs" && has_value) {
            tools.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--frames-dir" && has_value) {
            frames_dir = argv[++i];
        } else if (arg == "--scene" && has_value) {
            only_scene = argv[++i];
        } else if (arg == "--format" && has_value) {
            only_format = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--veilshadow PATH] [--oiiotool PATH] [--runs N] [--frames-dir DIR] "
                         "[--scene demo|soft] [--format exr|png]\n",
                         argv[0]);
            return 2;
        }
    }
    const Case cases[] = {
        {"sequence_vs_oiiotool", "exr", 8}, {"sequence_vs_oiiotool", "png", 4}, {"frame_vs_oiiotool", "exr", 1}};
    fs::path dir;
    try {
        if (frames_dir.empty()) {
            std::string pattern = (fs::temp_directory_path() / "veilshadow-sequence-XXXXXX").string();
            if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
            dir = pattern;
        } else {
            dir = frames_dir;
            fs::create_directories(dir);
        }
        std::printf("sequence_bench: %d x %d frames of the demo and soft scenes in %s, fastest of %d runs per tool\n",
                    benchscene::kWidth, benchscene::kHeight, dir.c_str(), tools.runs);
        std::fflush(stdout);
        tools.startup_seconds = 1e30;
        for (int run = 0; run < tools.runs; ++run)
            tools.startup_seconds =
                std::min(tools.startup_seconds, Run({tools.veilshadow, "--version"}, dir / "log.txt").seconds);
        // Every scene's frames first: the scenes' images are let go before
        // any tool runs, so that the children's peaks are their own.
        std::vector<std::string> scenes;
        for (const benchscene::SceneImages &scene : benchscene::Scenes()) {
            if (!only_scene.empty() && only_scene != scene.name) continue;
            fs::create_directories(dir / scene.name);
            benchscene::MakeFrames(scene, dir / scene.name, 8, 4);
            scenes.push_back(scene.name);
        }
        for (const std::string &scene : scenes)
            for (const Case &c : cases)
                if (only_format.empty() || only_format == c.format) Compare(scene.c_str(), c, tools, dir / scene);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sequence_bench: %s\n", e.what());
        if (frames_dir.empty() && !dir.empty()) fs::remove_all(dir);
        return 1;
    }
    if (frames_dir.empty()) fs::remove_all(dir);
    return 0;
}
