// veilshadow: runs the OrvaneVeilShadow effect on image files and image
// sequences through the render host.
#include "Demo.h"
#include "Errors.h"
#include "Farm.h"
#include "FramePattern.h"
#include "FrameRange.h"
#include "ImageIO.h"
#include "Options.h"
#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"
#include "Sequence.h"

#include "OrvaneVersion.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <new>
#include <optional>
#include <string>

namespace veilshadow {
namespace {

// The program carries the plug-in's version.
std::string ProgramVersion() {
    const std::string version = VersionText(orvane::kPluginVersion);
    return "veilshadow " + version + " (" + orvane::kPluginName + " plug-in " + version + ")";
}

constexpr const char kFooter[] =
    "Reads PNG, TIFF and OpenEXR: 8/16-bit, half, float; gray(+alpha), RGB(A).\n"
    "OUT: its extension's file type, COMP's sample type where it holds it\n"
    "(else PNG 8-bit, TIFF float, EXR half: the effect renders in COMP's\n"
    "depth), COMP's data window, LAYER's display window; 1/N size with\n"
    "--downsample N. LIST: 1-48, 1-100x5, 1,5,10-20; with --frames, #, ####\n"
    "(4 digits), %04d or @@@@ in a path is the frame number. OUT is renamed\n"
    "into place once whole on disk; --resume renders one cut short again.\n"
    "Exit codes: 0 done, 1 a file, a frame or the render failed, 2 bad usage.\n"
    "  veilshadow -i c.#.exr -l l.#.exr -o p.#.png -d uint16 --frames 1-48 --resume";

struct CommandLine {
    std::string input, layer, output;
    std::string opacity = "0";
    std::string alpha = "auto";
    std::string frames;
    bool frames_given = false;
    int threads = 0;
    int downsample = 1;
    std::string plugin;
    bool quiet = false;
    bool resume = false;
    bool keep_going = false;
    std::optional<long> shape_frame;
    std::string demo_dir = "demo-output";
    std::string sample;  // -d
    std::string compression;
};

// The files, frames and settings the command line names, checked.
SequenceJob JobOf(const CommandLine &cmd) {
    if (cmd.input.empty() || cmd.layer.empty() || cmd.output.empty())
        throw UsageError("--input COMP, --layer LAYER and -o OUT are all required (or run: veilshadow demo)");
    SequenceJob job;
    job.input = cmd.input;
    job.layer = cmd.layer;
    job.output = cmd.output;
    job.settings.slider = ParseOpacity(cmd.opacity);
    job.settings.alpha = ParseAlphaMode(cmd.alpha);
    job.settings.downsample = cmd.downsample;
    job.settings.format = CheckOutputPath(FrameFiles{cmd.input, cmd.layer, cmd.output, 0});
    if (!cmd.sample.empty()) {
        job.settings.sample = SampleTypeNamed(cmd.sample);
        if (!job.settings.sample) throw UsageError("-d \"" + cmd.sample + "\": expected uint8, uint16, half or float");
    }
    job.settings.compression = cmd.compression;
    CheckOutputChoice(cmd.output, job.settings.format, job.settings);
    job.resume = cmd.resume;
    job.keep_going = cmd.keep_going;
    job.sequence = cmd.frames_given;
    job.shape_frame = cmd.shape_frame;
    if (job.sequence) {
        job.frames = ParseFrameList(cmd.frames);
        for (const std::string *path : {&cmd.input, &cmd.layer, &cmd.output}) CheckFramePatterns(*path);
        if (!HasFramePattern(cmd.output))
            throw UsageError(FileMessage(cmd.output, "--frames needs a frame pattern (#### or %04d) in OUT"));
    } else {
        // Without --frames every name is a file name (logo@2x.png); an
        // input that is not there but looks like a pattern gets a hint.
        std::error_code ec;
        for (const std::string *path : {&cmd.input, &cmd.layer})
            if (HasFramePattern(*path) && !std::filesystem::exists(*path, ec))
                throw UsageError(FileMessage(*path, "no such file (a frame pattern needs --frames)"));
        if (job.shape_frame) throw UsageError("--shape-frame is for a sequence: give --frames LIST");
    }
    return job;
}

int RunFiles(const CommandLine &cmd) {
    const SequenceJob job = JobOf(cmd);
    Renderer renderer(cmd.plugin.empty() ? DefaultPluginPath() : cmd.plugin, cmd.threads);
    SetLibraryThreads(cmd.threads);
    // Files are read and written on other threads meanwhile, with the
    // libraries' own chatter on standard error silenced.
    std::FILE *const messages = MessageStream();
    Progress progress(messages, ChooseProgressStyle(messages, cmd.quiet), static_cast<long>(job.frames.size()),
                      job.sequence);
    const FrameCounts counts = RunSequence(renderer, job, progress);
    renderer.Finish();
    return counts.failed.empty() ? kExitSuccess : kExitFailure;
}

int RunDemoCommand(const CommandLine &cmd) {
    DemoSettings settings;
    settings.folder = cmd.demo_dir;
    settings.plugin = cmd.plugin.empty() ? DefaultPluginPath() : cmd.plugin;
    settings.threads = cmd.threads;
    settings.log = cmd.quiet ? nullptr : stdout;
    RunDemo(settings);
    return kExitSuccess;
}

int Run(int argc, char **argv) {
    CommandLine cmd;
    CLI::App app{"veilshadow: the OrvaneVeilShadow effect on image files, by the render host.", "veilshadow"};
    app.set_version_flag("--version", ProgramVersion(), "Print the version and exit");
    app.footer(kFooter);
    app.get_formatter()->column_width(26);
    app.add_option("-i,--input", cmd.input, "The layer as it arrives, over its shadow")->type_name("COMP");
    app.add_option("-l,--layer", cmd.layer, "The layer's own untouched pixels")->type_name("LAYER");
    app.add_option("-o,--output", cmd.output, "The result")->type_name("OUT");
    app.add_option("--opacity", cmd.opacity, "Shadow kept under the layer, 0-100 (default 0)")->type_name("PCT");
    app.add_option("--alpha", cmd.alpha, "auto (default), straight or associated")->type_name("MODE");
    app.add_option("-d", cmd.sample, "OUT's samples: uint8, uint16, half or float")->type_name("TYPE");
    app.add_option("--compression", cmd.compression, "OUT's compression: zip, piz, dwaa, lzw...")->type_name("NAME");
    CLI::Option *frames =
        app.add_option("--frames", cmd.frames, "Frames of a sequence to render (see below)")->type_name("LIST");
    app.add_option("--threads", cmd.threads, "Render and file threads (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(0, 1024).description(""));
    app.add_option("--downsample", cmd.downsample, "Render at 1/N resolution (see below)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024).description(""));
    app.add_option("--plugin", cmd.plugin, "Plug-in module (default: beside it, else installed)")->type_name("PATH");
    app.add_flag("--resume", cmd.resume, "Skip frames whose OUT is written (see below)");
    app.add_flag("--keep-going", cmd.keep_going, "Report a frame with bad files, render the rest");
    app.add_option("--shape-frame", cmd.shape_frame, "Hold every frame to frame F's type and size")
        ->type_name("F")
        ->check(CLI::Range(-kMaxFrameNumber, kMaxFrameNumber).description(""));
    app.add_flag("-q,--quiet", cmd.quiet, "No progress output");
    CLI::App *demo = app.add_subcommand("demo", "Render the built-in scene: demo [-o DIR]");
    demo->add_option("-o,--output", cmd.demo_dir, "Folder for the pictures")->type_name("DIR");
    demo->fallthrough();
    FarmOptions farm_options;
    CLI::App *farm_slurm = AddFarmCommands(app, farm_options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);  // --help, --version
        throw UsageError(e.what());
    }
    cmd.frames_given = frames->count() > 0;
    if (demo->parsed()) {
        if (!cmd.input.empty() || !cmd.layer.empty() || !cmd.output.empty() || cmd.frames_given || cmd.opacity != "0" ||
            cmd.alpha != "auto" || cmd.downsample != 1 || cmd.resume || cmd.keep_going || cmd.shape_frame ||
            !cmd.sample.empty() || !cmd.compression.empty())
            throw UsageError("demo takes only -o DIR, --threads, --plugin and --quiet");
        return RunDemoCommand(cmd);
    }
    if (farm_slurm->parsed()) {
        SlurmCommands slurm;
        WaitClock clock;
        return RunFarmSlurm(ChunkCommand{{}, {}, JobOf(cmd), cmd.opacity, cmd.plugin, cmd.threads, cmd.quiet},
                            farm_options, slurm, clock);
    }
    return RunFiles(cmd);
}

}  // namespace
}  // namespace veilshadow

int main(int argc, char **argv) {
    using namespace veilshadow;
    // A reader of the progress or the output that goes away (| head) ends
    // what is written to it, not the run.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(argc, argv);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "veilshadow: %s (see veilshadow --help)\n", e.what());
        return kExitUsage;
    } catch (const RunError &e) {
        std::fprintf(stderr, "veilshadow: %s\n", e.what());
        return kExitFailure;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "veilshadow: out of memory\n");
        return kExitFailure;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "veilshadow: %s\n", e.what());
        return kExitFailure;
    }
}
