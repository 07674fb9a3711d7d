#include "Farm.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "FrameRange.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace veilshadow {
namespace {

namespace fs = std::filesystem;

// The absolute form of a path the nodes will open, with a warning for
// /tmp, which each machine has of its own.
std::string ForTheNodes(const std::string &path) {
    const std::string absolute = fs::absolute(path).lexically_normal().string();
    if (absolute == "/tmp" || absolute.rfind("/tmp/", 0) == 0)
        std::fprintf(stderr, "veilshadow: warning: %s is under /tmp, which the farm's nodes may not see\n",
                     absolute.c_str());
    return absolute;
}

// The frames whose OUT is not done, and the frame whose shape every chunk
// is held to: the sequence's first that can be read, or its first frame
// when none can yet (the inputs of a job that waits for another).
struct FrameCheck {
    std::vector<long> missing;
    long shape_frame = 0;
};

FrameCheck CheckFrames(const SequenceJob &job) {
    const Shot shot(job);
    const std::optional<FrameShape> shape = shot.FindShape();
    return FrameCheck{shot.Missing(shape), shape ? shape->frame : job.frames.front()};
}

// The jobs of the records file that are still queued or running.
std::vector<JobRecord> ActiveJobs(SlurmClient &slurm, const std::string &records) {
    std::ifstream file(records);
    std::ostringstream text;
    text << file.rdbuf();
    std::vector<JobRecord> active;
    for (JobRecord &job : ParseRecords(text.str(), records)) {
        std::string message;
        const std::optional<bool> running = slurm.JobActive(job.id, message);
        if (!running)
            throw RunError("cannot reach the Slurm cluster to ask about job " + job.id +
                           " of an earlier run: " + message);
        if (*running) active.push_back(std::move(job));
    }
    return active;
}

void WriteRecords(const std::string &records, const std::vector<JobRecord> &jobs) {
    try {
        WriteFileAtomically(records, FormatRecords(jobs));
    } catch (const RunError &e) {
        std::fprintf(stderr, "veilshadow: warning: %s\n", e.what());
    }
}

// "6 of 8 frames written; missing: 5-6". True when none is missing.
bool ReportFrames(const SequenceJob &job, const std::vector<long> &missing) {
    const std::size_t total = job.frames.size();
    std::printf("%zu of %zu frames written", total - missing.size(), total);
    if (!missing.empty()) std::printf("; missing: %s", FormatFrameList(missing).c_str());
    std::printf("\n");
    std::fflush(stdout);  // before anything on standard error
    return missing.empty();
}

}  // namespace

CLI::App *AddFarmCommands(CLI::App &app, FarmOptions &options) {
    CLI::App *farm = app.add_subcommand("farm", "Submit a sequence to Slurm: farm slurm [options]");
    farm->fallthrough();
    farm->require_subcommand(1);
    CLI::App *slurm = farm->add_subcommand("slurm", "Submit a sequence to Slurm as one array job");
    slurm->fallthrough();
    slurm->footer(
        "Takes the render options of a sequence run as well (veilshadow --help).\n"
        "Each task renders one chunk with the chunk command,\n"
        "  veilshadow ... --frames=CHUNK --resume --keep-going --threads=CPUS\n"
        "The same command again submits only the chunks that miss frames.\n"
        "Example:\n"
        "  veilshadow farm slurm -i comp.#.exr -l layer.#.exr -o out.#.exr \\\n"
        "      --frames 1-2400 --chunk 20 --sbatch=--cpus-per-task=8 --wait");
    slurm->add_option("--chunk", options.chunk, "Frames per task (default 10)")
        ->type_name("K")
        ->check(CLI::Range(1L, static_cast<long>(kMaxFrameCount)).description(""));
    slurm->add_option("--sbatch", options.sbatch, "Passed to sbatch, repeatable: --sbatch=--hold")
        ->type_name("ARG")
        ->allow_extra_args(false);
    slurm->add_option("--job-dir", options.job_dir, "Script and logs (default: veilshadow-farm/ by OUT)")
        ->type_name("DIR");
    slurm->add_flag("--wait", options.wait, "Wait for the job, then check every frame");
    return slurm;
}

int RunFarmSlurm(ChunkCommand command, const FarmOptions &options, SlurmClient &slurm, WaitClock &clock) {
    SequenceJob job = JobOf(command.options);
    if (!job.sequence) throw UsageError("farm slurm renders a sequence: give --frames LIST");
    for (const std::string &arg : options.sbatch)
        if (arg.rfind("--array", 0) == 0 || (arg.rfind("-a", 0) == 0 && arg.rfind("--", 0) != 0))
            throw UsageError("--sbatch " + arg + ": the array is veilshadow's (one task per chunk of --chunk frames)");

    // The program and the folders as every node sees them; the tasks run
    // in this folder, where the file names are as given.
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    command.program = ec ? ForTheNodes("veilshadow") : self.string();
    command.folder = ForTheNodes(".");
    const std::string output_for_the_nodes = ForTheNodes(job.output);
    for (const std::string *path : {&job.input, &job.layer}) ForTheNodes(*path);
    std::string &plugin = command.options.plugin;
    if (!plugin.empty()) plugin = ForTheNodes(plugin);
    const fs::path job_dir = options.job_dir.empty() ? fs::path(output_for_the_nodes).parent_path() / "veilshadow-farm"
                                                     : fs::path(ForTheNodes(options.job_dir));
    if (job_dir.string().find('\\') != std::string::npos)
        throw UsageError(FileMessage(job_dir.string(),
                                     "Slurm cannot name task logs in a folder whose name holds a backslash; "
                                     "choose another with --job-dir"));

    const FrameCheck check = CheckFrames(job);
    const std::vector<long> &missing = check.missing;
    job.shape_frame = command.options.shape_frame = check.shape_frame;
    if (missing.empty()) {
        std::printf("all %zu frames of %s are written: nothing to submit\n", job.frames.size(),
                    FormatFrameList(job.frames).c_str());
        return kExitSuccess;
    }
    const std::vector<std::vector<long>> chunks = SplitIntoChunks(job.frames, options.chunk);
    const Submission submission = ChunksToSubmit(chunks, missing);
    const std::vector<long> &tasks = submission.tasks;

    fs::create_directories(job_dir, ec);
    if (ec) throw RunError(FileMessage(job_dir.string(), "cannot make the job folder: " + ec.message()));
    const std::string name = FarmName(job.output, output_for_the_nodes);
    const std::string script = (job_dir / (name + ".sbatch")).string();
    const std::string records = (job_dir / (name + ".jobs")).string();
    std::vector<JobRecord> active = ActiveJobs(slurm, records);
    for (const JobRecord &earlier : active)
        if (Overlap(earlier.frames, submission.frames))
            throw RunError("job " + earlier.id + " of an earlier run still has frames " +
                           FormatFrameList(earlier.frames) + " of " + job.output +
                           " queued or rendering: let it end (squeue -j " + earlier.id + ") or cancel it (scancel " +
                           earlier.id + "), then run this again");
    WriteFileAtomically(script, JobScript(command, chunks));
    std::vector<std::string> sbatch = {"--job-name=veilshadow-" + name,
                                       "--output=" + SlurmLiteral((job_dir / name).string()) + "-%A_%a.log",
                                       "--chdir=" + command.folder};
    sbatch.insert(sbatch.end(), options.sbatch.begin(), options.sbatch.end());  // after ours, so they win
    const std::string id = slurm.Submit(sbatch, tasks, script);
    active.push_back({id, submission.frames});
    WriteRecords(records, active);

    std::printf("submitted job %s: %zu task%s of up to %ld frames (array %s) for %zu missing frame%s of %zu\n",
                id.c_str(), tasks.size(), tasks.size() == 1 ? "" : "s", options.chunk, FormatFrameList(tasks).c_str(),
                missing.size(), missing.size() == 1 ? "" : "s", job.frames.size());
    std::printf("  follow it:  squeue -j %s\n", id.c_str());
    std::printf("  task logs:  %s\n", (job_dir / (name + "-" + id + "_<task>.log")).c_str());
    std::printf("  job script: %s\n", script.c_str());
    if (!options.wait) return kExitSuccess;

    std::printf("waiting for job %s to end (stopping the wait leaves the job running)\n", id.c_str());
    std::fflush(stdout);
    WaitForJob(slurm, id, clock);
    if (ReportFrames(job, CheckFrames(job).missing)) return kExitSuccess;
    std::fprintf(stderr, "veilshadow: the task logs say why frames are missing; the same command again renders them\n");
    return kExitFailure;
}

}  // namespace veilshadow
