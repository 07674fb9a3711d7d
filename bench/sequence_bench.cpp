// veilshadow against oiiotool on UHD sequences, as a pipeline would run
// them: both tools read COMP and LAYER and write OUT for every frame, so
// the comparison is one of reading, decoding, encoding and writing files.
//
// The frames are `veilshadow demo`'s scene (its layer and the layer over
// its drop shadow) resampled to 3840 x 2160, written once per run into a
// temporary folder: half-float zip OpenEXR, 8 frames, and 8-bit PNG, 4
// frames. Each tool renders the whole sequence, the two alternately,
// several times; the fastest run of each counts (other programs on the
// machine only ever slow a run down). oiiotool runs as
//   oiiotool --frames 1-N layer.#.EXT comp.#.EXT --over -o out.#.EXT
// One line per case:
//   sequence_vs_oiiotool <format> <ratio> fps <veilshadow> <oiiotool>
//     cpu_s <veilshadow> <oiiotool> peak_mib <veilshadow> <oiiotool>
// where the ratio is veilshadow's frames per second over oiiotool's, cpu_s
// the CPU time (user + system) of the fastest runs and peak_mib their peak
// resident memory; and the same for a single EXR frame:
//   frame_vs_oiiotool exr <ratio> seconds <veilshadow> <oiiotool> ...
//
// Options: --veilshadow PATH, --oiiotool PATH, --runs N (default 3),
// --frames-dir DIR (keep the frames there instead of a temporary folder).
#include "Demo.h"
#include "ImageIO.h"

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VEILSHADOW_PATH
#error "VEILSHADOW_PATH must name the veilshadow program"
#endif

namespace {

namespace fs = std::filesystem;
using renderhost::World;

constexpr int kWidth = 3840;
constexpr int kHeight = 2160;

// The scene's world (straight colour) as associated RGBA over `window`,
// transparent where the world does not reach.
OIIO::ImageBuf Associated(const World &world, const veilshadow::Window &window) {
    OIIO::ImageSpec spec(window.width, window.height, 4, OIIO::TypeDesc::FLOAT);
    spec.x = spec.full_x = window.x;
    spec.y = spec.full_y = window.y;
    spec.full_width = window.width;
    spec.full_height = window.height;
    spec.alpha_channel = 3;
    OIIO::ImageBuf buf(spec);
    OIIO::ImageBufAlgo::zero(buf);
    for (A_long y = 0; y < world.height(); ++y)
        for (A_long x = 0; x < world.width(); ++x) {
            const PF_PixelFloat &p = world.At<PF_PixelFloat>(x, y);
            const float rgba[4] = {p.red * p.alpha, p.green * p.alpha, p.blue * p.alpha, p.alpha};
            buf.setpixel(world.origin_x() + x, world.origin_y() + y, rgba, 4);
        }
    return buf;
}

// Writes frame 1 of COMP and LAYER in both formats and copies it to the
// other frames.
void MakeFrames(const fs::path &dir, int exr_frames, int png_frames) {
    const veilshadow::DemoScene scene = veilshadow::BuildDemoScene();
    const veilshadow::Window window{scene.input.origin_x(), scene.input.origin_y(), scene.input.width(),
                                    scene.input.height()};
    const OIIO::ROI uhd(0, kWidth, 0, kHeight, 0, 1, 0, 4);
    const std::pair<const char *, const World *> images[] = {{"comp", &scene.input}, {"layer", &scene.layer}};
    for (const auto &image : images) {
        OIIO::ImageBuf big = OIIO::ImageBufAlgo::resize(Associated(*image.second, window), "", 0.0f, uhd);
        if (big.has_error()) throw std::runtime_error("cannot resample the scene: " + big.geterror());
        big.specmod().attribute("compression", "zip");
        const std::pair<const char *, OIIO::TypeDesc> formats[] = {{"exr", OIIO::TypeDesc::HALF},
                                                                   {"png", OIIO::TypeDesc::UINT8}};
        for (const auto &format : formats) {
            const fs::path first = dir / (std::string(image.first) + ".0001." + format.first);
            big.set_write_format(format.second);
            if (!big.write(first.string()))
                throw std::runtime_error("cannot write " + first.string() + ": " + big.geterror());
            const int frames = std::string(format.first) == "exr" ? exr_frames : png_frames;
            for (int frame = 2; frame <= frames; ++frame) {
                char name[64];
                std::snprintf(name, sizeof name, "%s.%04d.%s", image.first, frame, format.first);
                fs::copy_file(first, dir / name, fs::copy_options::overwrite_existing);
            }
        }
    }
}

struct RunStats {
    double seconds = 0, cpu_seconds = 0, peak_mib = 0;
};

double Seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

// Runs the command, its output to `log`; throws when it fails.
RunStats Run(const std::vector<std::string> &command, const fs::path &log) {
    std::vector<char *> argv;
    for (const std::string &arg : command) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    RunStats stats;
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stats.cpu_seconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    stats.peak_mib = double(usage.ru_maxrss) / 1024.0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(command[0] + " failed (see " + log.string() + ")");
    return stats;
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
};

// The fastest of `runs` alternate runs of each tool.
void Compare(const Case &c, const Tools &tools, const fs::path &dir) {
    const std::string ext = c.format;
    const auto path = [&](const char *name) { return (dir / name).string(); };
    // oiiotool's # is 4 digits, and so is veilshadow's ####.
    const auto pattern = [&](const char *name, const char *digits) {
        return path((std::string(name) + "." + digits + "." + ext).c_str());
    };
    const std::string frames = "1-" + std::to_string(c.frames);
    std::vector<std::string> veilshadow, oiiotool;
    if (c.frames == 1) {
        const std::string one_comp = path(("comp.0001." + ext).c_str()),
                          one_layer = path(("layer.0001." + ext).c_str());
        veilshadow = {tools.veilshadow, "-i", one_comp, "-l", one_layer, "-o", path(("out." + ext).c_str()), "--quiet"};
        oiiotool = {tools.oiiotool, one_layer, one_comp, "--over", "-o", path(("out." + ext).c_str())};
    } else {
        veilshadow = {tools.veilshadow,
                      "-i",
                      pattern("comp", "####"),
                      "-l",
                      pattern("layer", "####"),
                      "-o",
                      pattern("out", "####"),
                      "--frames",
                      frames,
                      "--quiet"};
        oiiotool = {tools.oiiotool,       "--frames", frames, pattern("layer", "#"),
                    pattern("comp", "#"), "--over",   "-o",   pattern("out", "#")};
    }
    RunStats best_vs, best_oiio;
    best_vs.seconds = best_oiio.seconds = 1e30;
    for (int run = 0; run < tools.runs; ++run) {
        for (int tool = 0; tool < 2; ++tool) {
            RemoveOutputs(dir);
            const RunStats s = Run(tool == 0 ? veilshadow : oiiotool, dir / "log.txt");
            RunStats &best = tool == 0 ? best_vs : best_oiio;
            if (s.seconds < best.seconds) best = s;
        }
    }
    RemoveOutputs(dir);
    const double vs_rate = c.frames / best_vs.seconds, oiio_rate = c.frames / best_oiio.seconds;
    if (c.frames == 1)
        std::printf("%s %s %.3f seconds %.3f %.3f", c.label, c.format, best_oiio.seconds / best_vs.seconds,
                    best_vs.seconds, best_oiio.seconds);
    else
        std::printf("%s %s %.3f fps %.3f %.3f", c.label, c.format, vs_rate / oiio_rate, vs_rate, oiio_rate);
    std::printf(" cpu_s %.2f %.2f peak_mib %.0f %.0f\n", best_vs.cpu_seconds, best_oiio.cpu_seconds, best_vs.peak_mib,
                best_oiio.peak_mib);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    Tools tools{VEILSHADOW_PATH, "oiiotool"};
    std::string frames_dir;
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
        } else {
            std::fprintf(stderr, "usage: %s [--veilshadow PATH] [--oiiotool PATH] [--runs N] [--frames-dir DIR]\n",
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
        std::printf("sequence_bench: %d x %d frames of the demo scene in %s, fastest of %d runs per tool\n", kWidth,
                    kHeight, dir.c_str(), tools.runs);
        std::fflush(stdout);
        MakeFrames(dir, 8, 4);
        for (const Case &c : cases) Compare(c, tools, dir);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sequence_bench: %s\n", e.what());
        if (frames_dir.empty() && !dir.empty()) fs::remove_all(dir);
        return 1;
    }
    if (frames_dir.empty()) fs::remove_all(dir);
    return 0;
}
