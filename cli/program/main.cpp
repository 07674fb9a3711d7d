// veilshadow: runs the OrvaneVeilShadow effect on image files and image
// sequences through the render host.
#include "CodecBuffer.h"
#include "CommandLine.h"
#include "Demo.h"
#include "Errors.h"
#include "Farm.h"
#include "Formats.h"
#include "ImageIO.h"
#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"
#include "Sequence.h"
#include "Slurm.h"

#include "OrvaneVersion.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <system_error>
#include <vector>

namespace veilshadow {
namespace {

// The program carries the plug-in's version.
std::string ProgramVersion() {
    const std::string version = VersionText(orvane::kPluginVersion);
    return "veilshadow " + version + " (" + orvane::kPluginName + " plug-in " + version + ")";
}

// The formats and their sample types without -d come from the formats'
// rows (Formats.h).
std::string Footer() {
    return "Reads " + ReadFormatLabels() +
           ": 8/16-bit, half, float; gray(+alpha), RGB(A).\n"
           "OUT: its extension's file type, COMP's sample type where it holds it\n"
           "(else " +
           FallbackSampleList() +
           ": the effect renders in COMP's\n"
           "depth), COMP's data window, LAYER's display window; 1/N size with\n"
           "--downsample N. LIST: 1-48, 1-100x5, 1,5,10-20; with --frames, #, ####\n"
           "(4 digits), %04d or @@@@ in a file name is the frame number. OUT is\n"
           "renamed into place once whole on disk; --resume renders one cut short again.\n"
           "Exit codes: 0 done, 1 a file, a frame or the render failed, 2 bad usage.\n"
           "  veilshadow -i c.#.exr -l l.#.exr -o p.#.png -d uint16 --frames 1-48 --resume";
}

int RunFiles(const JobOptions &options) {
    const SequenceJob job = JobOf(options);
    Renderer renderer(options.plugin.empty() ? DefaultPluginPath() : options.plugin, options.threads);
    SetLibraryThreads(options.threads);
    // Files are read and written on other threads meanwhile, with the
    // libraries' own chatter on standard error silenced.
    std::FILE *const messages = MessageStream();
    Progress progress(messages, ChooseProgressStyle(messages, options.quiet), static_cast<long>(job.frames.size()),
                      job.sequence);
    const FrameCounts counts = RunSequence(renderer, job, progress);
    renderer.Finish();
    return counts.failed.empty() ? kExitSuccess : kExitFailure;
}

int RunDemoCommand(const JobOptions &options, const std::string &folder) {
    CheckDemoOptions(options);
    DemoSettings settings;
    settings.folder = folder;
    settings.plugin = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
    settings.threads = options.threads;
    settings.log = options.quiet ? nullptr : stdout;
    SetLibraryThreads(options.threads);
    RunDemo(settings);
    return kExitSuccess;
}

int Run(int argc, char **argv) {
    CLI::App app{"veilshadow: the OrvaneVeilShadow effect on image files, by the render host.", "veilshadow"};
    app.set_version_flag("--version", ProgramVersion(), "Print the version and exit");
    app.footer(Footer());
    app.get_formatter()->column_width(26);
    JobOptions options;
    AddJobOptions(app, options);
    CLI::App *demo = app.add_subcommand("demo", "Render the built-in scene: demo [-o DIR]");
    std::string demo_folder = "demo-output";
    demo->add_option("-o,--output", demo_folder, "Folder for the pictures")->type_name("DIR");
    demo->fallthrough();
    FarmOptions farm_options;
    std::vector<std::string> sbatch;
    CLI::App *farm_slurm = AddFarmCommands(app, farm_options, sbatch);

    try {
        std::vector<std::string> words = ArgumentsFor(app, argc, argv);
        app.parse(words);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);  // --help, --version
        throw UsageError(e.what());
    }
    if (demo->parsed()) return RunDemoCommand(options, demo_folder);
    if (farm_slurm->parsed()) {
        SlurmCommands commands;
        SlurmScheduler slurm(commands, sbatch);
        WaitClock clock;
        return RunFarm(ChunkCommand{{}, {}, options}, farm_options, slurm, clock);
    }
    return RunFiles(options);
}

}  // namespace
}  // namespace veilshadow

int main(int argc, char **argv) {
    using namespace veilshadow;
    // Before anything is opened: a closed standard descriptor would be
    // given to the first file opened, and what is printed there would land
    // in it. Without /dev/null the run cannot be made safe: it stops.
    if (!HoldStandardDescriptors()) return kExitFailure;
    // A reader of the progress or the output that goes away (| head) ends
    // what is written to it, not the run.
    std::signal(SIGPIPE, SIG_IGN);
    // A sequence's frames reuse the memory the frame before freed.
    KeepFreedMemory();
    ShareHeapsUnderAddressLimit();
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
    } catch (const std::system_error &e) {
        // A thread the system would not start, where a library started it.
        const bool thread = e.code() == std::errc::resource_unavailable_try_again;
        std::fprintf(stderr, "veilshadow: %s\n", thread ? ThreadStartError(e.what()).what() : e.what());
        return kExitFailure;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "veilshadow: %s\n", e.what());
        return kExitFailure;
    }
}
