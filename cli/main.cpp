// veilshadow: runs the OrvaneVeilShadow effect on image files and image
// sequences through the render host.
#include "Demo.h"
#include "Errors.h"
#include "FrameRange.h"
#include "Options.h"
#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"

#include "OrvaneVersion.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <new>
#include <string>

namespace veilshadow {
namespace {

// The program carries the plug-in's version.
std::string VersionText() {
    const std::string version = std::to_string(orvane::kMajorVersion) + "." + std::to_string(orvane::kMinorVersion) +
                                "." + std::to_string(orvane::kBugVersion);
    return "veilshadow " + version + " (" + orvane::kPluginName + " plug-in " + version + ")";
}

constexpr const char kFooter[] =
    "Reads and writes PNG, TIFF and OpenEXR: 8/16-bit, half, float; gray,\n"
    "gray+alpha, RGB, RGBA. OUT gets COMP's file type, depth and data window\n"
    "and LAYER's display window. --downsample N box-filters both inputs to\n"
    "1/N, renders at that scale and writes OUT at the reduced size. In a\n"
    "sequence, # or #### (4 digits), %04d or @@@@ in the paths stands for the\n"
    "frame number; LIST is farm style: 1-48, 1-100x5 (every 5th), 1,5,10-20.\n"
    "Exit codes: 0 done, 1 a file or the render failed, 2 bad usage.\n"
    "Examples:\n"
    "  veilshadow -i comp.exr -l layer.exr -o out.exr --opacity 25\n"
    "  veilshadow -i comp.####.png -l layer.####.png -o out.####.png --frames 1-48\n"
    "  veilshadow demo -o demo-output";

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
    std::string demo_dir = "demo-output";
};

std::string FramesText(const FrameFiles &files, bool sequence) {
    return sequence ? "frame " + std::to_string(files.frame) + ": " : "";
}

int RunFiles(const CommandLine &cmd) {
    if (cmd.input.empty() || cmd.layer.empty() || cmd.output.empty())
        throw UsageError("--input COMP, --layer LAYER and -o OUT are all required (or run: veilshadow demo)");
    FrameSettings settings;
    settings.slider = ParseOpacity(cmd.opacity);
    settings.alpha = ParseAlphaMode(cmd.alpha);
    settings.downsample = cmd.downsample;

    const bool sequence = cmd.frames_given;
    std::vector<long> frames = {0};
    if (sequence) {
        frames = ParseFrameList(cmd.frames);
        if (!HasFramePattern(cmd.output))
            throw UsageError(FileMessage(cmd.output, "--frames needs a frame pattern (#### or %04d) in OUT"));
    } else {
        for (const std::string *path : {&cmd.input, &cmd.layer, &cmd.output})
            if (HasFramePattern(*path))
                throw UsageError(FileMessage(*path, "a frame pattern needs --frames"));
    }

    Renderer renderer(cmd.plugin.empty() ? DefaultPluginPath() : cmd.plugin, cmd.threads);
    Progress progress(stderr, ChooseProgressStyle(stderr, cmd.quiet), static_cast<long>(frames.size()), sequence);
    // A LAYER without a frame pattern is the same file for every frame.
    StillLayer still;
    StillLayer *const still_layer = sequence && !HasFramePattern(cmd.layer) ? &still : nullptr;
    for (const long frame : frames) {
        FrameFiles files;
        files.frame = frame;
        files.input = sequence ? ExpandFramePattern(cmd.input, frame) : cmd.input;
        files.layer = sequence ? ExpandFramePattern(cmd.layer, frame) : cmd.layer;
        files.output = sequence ? ExpandFramePattern(cmd.output, frame) : cmd.output;
        try {
            RenderFiles(renderer, files, settings, still_layer);
        } catch (const UsageError &e) {
            progress.Finish();
            throw UsageError(FramesText(files, sequence) + e.what());
        } catch (const RunError &e) {
            progress.Finish();
            throw RunError(FramesText(files, sequence) + e.what());
        } catch (...) {
            progress.Finish(); // the message goes on a line of its own
            throw;
        }
        progress.FrameDone(frame, files.output);
    }
    progress.Finish();
    renderer.Finish();
    return kExitSuccess;
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
    CLI::App app{"veilshadow: takes the see-through out of a drop shadow, with the\n"
                 "OrvaneVeilShadow effect run on image files through the render host.",
                 "veilshadow"};
    app.set_version_flag("--version", VersionText(), "Print the version and exit");
    app.footer(kFooter);
    app.get_formatter()->column_width(26);
    app.add_option("-i,--input", cmd.input, "The layer as it arrives, over its shadow")->type_name("COMP");
    app.add_option("-l,--layer", cmd.layer, "The layer's own untouched pixels")->type_name("LAYER");
    app.add_option("-o,--output", cmd.output, "The result")->type_name("OUT");
    app.add_option("--opacity", cmd.opacity, "Shadow kept under the layer, 0-100 (default 0)")->type_name("PCT");
    app.add_option("--alpha", cmd.alpha, "auto (default), straight or associated")->type_name("MODE");
    CLI::Option *frames = app.add_option("--frames", cmd.frames, "Frames of a sequence to render (see below)")->type_name("LIST");
    app.add_option("--threads", cmd.threads, "Render threads (default: one per core)")
        ->type_name("N")
        ->check(CLI::Range(0, 1024).description(""));
    app.add_option("--downsample", cmd.downsample, "Render at 1/N resolution (see below)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024).description(""));
    app.add_option("--plugin", cmd.plugin, "Plug-in module (default: next to veilshadow)")->type_name("PATH");
    app.add_flag("-q,--quiet", cmd.quiet, "No progress output");
    CLI::App *demo = app.add_subcommand("demo", "Render the built-in scene: demo [-o DIR]");
    demo->add_option("-o,--output", cmd.demo_dir, "Folder for the pictures")->type_name("DIR");
    demo->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e); // --help, --version
        throw UsageError(e.what());
    }
    cmd.frames_given = frames->count() > 0;
    if (demo->parsed()) {
        if (!cmd.input.empty() || !cmd.layer.empty() || !cmd.output.empty() || cmd.frames_given ||
            cmd.opacity != "0" || cmd.alpha != "auto" || cmd.downsample != 1)
            throw UsageError("demo takes only -o DIR, --threads, --plugin and --quiet");
        return RunDemoCommand(cmd);
    }
    return RunFiles(cmd);
}

} // namespace
} // namespace veilshadow

int main(int argc, char **argv) {
    using namespace veilshadow;
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
