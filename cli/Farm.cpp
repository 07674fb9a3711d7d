#include "Farm.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "FrameRange.h"
#include "Process.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace veilshadow {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// How long --wait goes on asking a cluster that does not answer.
constexpr auto kLostContactLimit = std::chrono::minutes(5);

// ---- Frames and names ----------------------------------------------------

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
    FrameCheck check;
    const std::optional<FrameShape> shape = FindShape(job);
    check.shape_frame = shape ? shape->frame : job.frames.front();
    for (const long frame : job.frames)
        if (!shape || !FrameDone(job, *shape, frame)) check.missing.push_back(frame);
    return check;
}

bool Overlap(const std::vector<long> &a, const std::vector<long> &b) {
    std::vector<long> both;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
    return !both.empty();
}

// The frames in runs of `chunk` (the last one may be shorter).
std::vector<std::vector<long>> SplitIntoChunks(const std::vector<long> &frames, long chunk) {
    std::vector<std::vector<long>> chunks;
    const auto size = static_cast<std::ptrdiff_t>(frames.size());
    for (std::ptrdiff_t i = 0; i < size; i += chunk)
        chunks.emplace_back(frames.begin() + i, frames.begin() + std::min(size, i + chunk));
    return chunks;
}

// The name of the job's files: OUT's file name without its frame pattern
// and a hash of the whole OUT pattern as the nodes open it, since names
// that read alike ("x y.#.png", "x_y.#.png") are other jobs:
// "/shots/out.####.exr" gives "out.exr-1c9e5a07".
std::string FarmName(const std::string &output, const std::string &output_for_the_nodes) {
    const std::string file = StripFramePatterns(fs::path(output).filename().string());
    std::string name;
    for (const char c : file) {
        if (c == '.' && (name.empty() || name.back() == '.')) continue;  // the separators around a pattern become one
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        name += plain ? c : '_';
    }
    while (!name.empty() && (name.back() == '.' || name.back() == '_' || name.back() == '-')) name.pop_back();
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char c : output_for_the_nodes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", hash);
    return (name.empty() ? "frames" : name) + suffix;
}

// `path` as Slurm's --output takes it: '%' starts a replacement there.
std::string SlurmLiteral(const std::string &path) {
    std::string escaped;
    for (const char c : path) escaped += c == '%' ? std::string("%%") : std::string(1, c);
    return escaped;
}

// ---- The job script --------------------------------------------------------

// `text` as one word of a POSIX shell command line.
std::string ShellQuote(const std::string &text) {
    if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789_-.,/+:=%@") == std::string::npos)
        return text;
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The job script: the chunk of each array index, then the chunk command
// on the CPUs Slurm gave the task (--threads when given).
std::string JobScript(const ChunkCommand &command, const std::vector<std::vector<long>> &chunks) {
    std::string script =
        "#!/bin/bash\n"
        "# Written by veilshadow farm slurm. Each task of the array job renders the\n"
        "# chunk of frames its index names, with the chunk command below, which\n"
        "# leaves out frames written already and goes on past bad ones.\n"
        "case \"${SLURM_ARRAY_TASK_ID:-}\" in\n";
    for (std::size_t i = 0; i < chunks.size(); ++i)
        script += std::to_string(i) + ") frames=" + FormatFrameList(chunks[i]) + " ;;\n";
    script +=
        "*) echo \"veilshadow farm: no chunk '${SLURM_ARRAY_TASK_ID:-}': submit this script with sbatch "
        "--array=0-" +
        std::to_string(chunks.size() - 1) + "\" >&2; exit 2 ;;\nesac\n";
    const std::string threads =
        command.threads > 0 ? std::to_string(command.threads) : "\"${SLURM_CPUS_PER_TASK:-${SLURM_CPUS_ON_NODE:-0}}\"";
    // The file names are as given, relative to the folder of the
    // submission: frame patterns are expanded in them alone.
    return script + "cd -- " + ShellQuote(command.folder) + " || exit 1\n" + "exec " +
           ChunkCommandLine(command, "\"$frames\"", threads) + "\n";
}

// ---- Slurm -----------------------------------------------------------------

// Runs a Slurm command; only a command that cannot be started throws.
ProcessResult RunSlurm(const std::vector<std::string> &argv) {
    ProcessResult result = RunProcess(argv);
    if (result.start_error == ENOENT)
        throw RunError(argv[0] + " not found: Slurm's commands are not installed or not on PATH");
    if (result.start_error != 0) throw RunError("cannot run " + argv[0] + ": " + std::strerror(result.start_error));
    return result;
}

// Whether sbatch's message says the cluster could not be reached (no
// configuration, controller or credential daemon down) rather than that
// it refused the job.
bool IsUnreachable(const std::string &slurm_message) {
    static const char *const kSigns[] = {"Unable to contact slurm controller",
                                         "configuration source",
                                         "configuration file",
                                         "Connection refused",
                                         "Socket timed out",
                                         "Zero Bytes were transmitted",
                                         "Communication connection failure",
                                         "Munge",
                                         "munge"};
    for (const char *sign : kSigns)
        if (slurm_message.find(sign) != std::string::npos) return true;
    return false;
}

// Whether a job still has tasks queued or running; empty when the cluster
// did not answer (`message` then says why).
std::optional<bool> JobActive(const std::string &id, std::string &message) {
    const ProcessResult result = RunSlurm({"squeue", "-j", id, "-h", "-o", "%T"});
    if (!result.succeeded()) {
        message = result.Message();
        if (message.find("Invalid job id") != std::string::npos) return false;  // ended long enough ago to be forgotten
        return std::nullopt;
    }
    static const char *const kEnded[] = {"COMPLETED", "CANCELLED", "FAILED",        "TIMEOUT",  "NODE_FAIL",
                                         "PREEMPTED", "BOOT_FAIL", "OUT_OF_MEMORY", "DEADLINE", "REVOKED"};
    std::istringstream states(result.out);
    std::string state;
    while (states >> state)
        if (std::find(std::begin(kEnded), std::end(kEnded), state) == std::end(kEnded)) return true;
    return false;
}

// Waits until the job has no task queued or running, asking squeue less
// often as the wait grows (every tenth of the time waited, 1 s to 30 s).
void WaitForJob(const std::string &id) {
    const Clock::time_point start = Clock::now();
    Clock::time_point answered = start;
    for (;;) {
        std::string message;
        const std::optional<bool> running = JobActive(id, message);
        const Clock::time_point now = Clock::now();
        if (running) {
            if (!*running) return;
            answered = now;
        } else if (now - answered > kLostContactLimit) {
            throw RunError("lost contact with the Slurm cluster while waiting for job " + id + " (" + message +
                           "); the job may still be running: squeue -j " + id);
        }
        std::this_thread::sleep_for(
            std::clamp<Clock::duration>((now - start) / 10, std::chrono::seconds(1), std::chrono::seconds(30)));
    }
}

// The jobs submitted from a job folder for one OUT that have not been seen
// to end, one line each in a records file: "ID FRAMES". A run that would
// submit frames such a job still holds submits nothing.
struct JobRecord {
    std::string id;
    std::vector<long> frames;
};

std::vector<JobRecord> ActiveJobs(const std::string &records) {
    std::vector<JobRecord> active;
    std::ifstream file(records);
    std::string id, frames;
    while (file >> id >> frames) {
        std::string message;
        const std::optional<bool> running = JobActive(id, message);
        if (!running)
            throw RunError("cannot reach the Slurm cluster to ask about job " + id + " of an earlier run: " + message);
        if (*running) active.push_back({id, ParseFrameList(frames, records)});
    }
    return active;
}

void WriteRecords(const std::string &records, const std::vector<JobRecord> &jobs) {
    std::string text;
    for (const JobRecord &job : jobs) text += job.id + " " + FormatFrameList(job.frames) + "\n";
    try {
        WriteFileAtomically(records, text);
    } catch (const RunError &e) {
        std::fprintf(stderr, "veilshadow: warning: %s\n", e.what());
    }
}

// Submits the job script as one array job of the given chunks, once: a
// failure is reported as it is, never tried again. Returns the job id.
std::string Submit(const std::vector<std::string> &options, const std::vector<long> &tasks, const std::string &script) {
    std::vector<std::string> sbatch = {"sbatch", "--parsable", "--array=" + FormatFrameList(tasks)};
    sbatch.insert(sbatch.end(), options.begin(), options.end());
    sbatch.push_back(script);
    const ProcessResult submitted = RunSlurm(sbatch);
    const std::string message = submitted.Message();
    if (!submitted.succeeded())
        throw RunError(std::string(IsUnreachable(message) ? "cannot reach the Slurm cluster"
                                                          : "the Slurm cluster refused the job") +
                       ": " + (message.empty() ? "sbatch failed without a message" : message));
    // --parsable prints "ID" or "ID;CLUSTER".
    const std::string id = submitted.out.substr(0, submitted.out.find_first_of(";\n"));
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
        throw RunError("sbatch printed no job id (\"" + message + "\"); see squeue before running this again");
    return id;
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

// Values go as --option=VALUE, so that one starting with '-' (a negative
// frame) is not read as an option; -d's never does.
std::string ChunkCommandLine(const ChunkCommand &command, const std::string &frames, const std::string &threads) {
    const SequenceJob &job = command.job;
    std::string line = ShellQuote(command.program);
    const auto add = [&line](const std::string &option, const std::string &word) {
        line += " " + option + (word.empty() ? "" : "=" + word);
    };
    add("--input", ShellQuote(job.input));
    add("--layer", ShellQuote(job.layer));
    add("--output", ShellQuote(job.output));
    add("--opacity", ShellQuote(command.opacity));
    add("--alpha", AlphaModeName(job.settings.alpha));
    add("--downsample", std::to_string(job.settings.downsample));
    if (job.settings.sample) line += std::string(" -d ") + SampleTypeOptionName(*job.settings.sample);
    if (!job.settings.compression.empty()) add("--compression", ShellQuote(job.settings.compression));
    if (!command.plugin.empty()) add("--plugin", ShellQuote(command.plugin));
    if (command.quiet) add("--quiet", "");
    add("--frames", frames);
    add("--shape-frame", std::to_string(*job.shape_frame));
    add("--resume", "");
    add("--keep-going", "");
    add("--threads", threads);
    return line;
}

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

int RunFarmSlurm(ChunkCommand command, const FarmOptions &options) {
    SequenceJob &job = command.job;
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
    if (!command.plugin.empty()) command.plugin = ForTheNodes(command.plugin);
    const fs::path job_dir = options.job_dir.empty() ? fs::path(output_for_the_nodes).parent_path() / "veilshadow-farm"
                                                     : fs::path(ForTheNodes(options.job_dir));
    if (job_dir.string().find('\\') != std::string::npos)
        throw UsageError(FileMessage(job_dir.string(),
                                     "Slurm cannot name task logs in a folder whose name holds a backslash; "
                                     "choose another with --job-dir"));

    const FrameCheck check = CheckFrames(job);
    const std::vector<long> &missing = check.missing;
    job.shape_frame = check.shape_frame;
    if (missing.empty()) {
        std::printf("all %zu frames of %s are written: nothing to submit\n", job.frames.size(),
                    FormatFrameList(job.frames).c_str());
        return kExitSuccess;
    }
    // The chunks are the same from run to run; those that miss a frame go.
    const std::vector<std::vector<long>> chunks = SplitIntoChunks(job.frames, options.chunk);
    std::vector<long> tasks, task_frames;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (Overlap(chunks[i], missing)) {
            tasks.push_back(static_cast<long>(i));
            task_frames.insert(task_frames.end(), chunks[i].begin(), chunks[i].end());
        }
    }

    fs::create_directories(job_dir, ec);
    if (ec) throw RunError(FileMessage(job_dir.string(), "cannot make the job folder: " + ec.message()));
    const std::string name = FarmName(job.output, output_for_the_nodes);
    const std::string script = (job_dir / (name + ".sbatch")).string();
    const std::string records = (job_dir / (name + ".jobs")).string();
    std::vector<JobRecord> active = ActiveJobs(records);
    for (const JobRecord &earlier : active)
        if (Overlap(earlier.frames, task_frames))
            throw RunError("job " + earlier.id + " of an earlier run still has frames " +
                           FormatFrameList(earlier.frames) + " of " + job.output +
                           " queued or rendering: let it end (squeue -j " + earlier.id + ") or cancel it (scancel " +
                           earlier.id + "), then run this again");
    WriteFileAtomically(script, JobScript(command, chunks));
    std::vector<std::string> sbatch = {"--job-name=veilshadow-" + name,
                                       "--output=" + SlurmLiteral((job_dir / name).string()) + "-%A_%a.log",
                                       "--chdir=" + command.folder};
    sbatch.insert(sbatch.end(), options.sbatch.begin(), options.sbatch.end());  // after ours, so they win
    const std::string id = Submit(sbatch, tasks, script);
    active.push_back({id, task_frames});
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
    WaitForJob(id);
    if (ReportFrames(job, CheckFrames(job).missing)) return kExitSuccess;
    std::fprintf(stderr, "veilshadow: the task logs say why frames are missing; the same command again renders them\n");
    return kExitFailure;
}

}  // namespace veilshadow
