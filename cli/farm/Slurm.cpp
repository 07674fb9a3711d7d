#include "Slurm.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "FrameList.h"
#include "Process.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <utility>

namespace veilshadow {
namespace {

namespace fs = std::filesystem;

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

// sbatch's long options that take no value, or one only after '=': a word
// naming one of these alone does not take the word after it.
constexpr std::initializer_list<const char *> kSbatchFlags = {
    "contiguous", "exclusive",  "get-user-env",  "help",          "hold",      "ignore-pbs", "nice",   "no-kill",
    "no-requeue", "overcommit", "oversubscribe", "parsable",      "propagate", "quiet",      "reboot", "requeue",
    "spread-job", "test-only",  "usage",         "use-min-nodes", "verbose",   "version",    "wait"};
// sbatch's short options that take a value (joined, or the next word).
constexpr const char *kSbatchShortWithValue = "AabBcCdDeFGiJLmMnNopqStwx";

}  // namespace

void CheckSbatchOptions(const std::vector<std::string> &words) {
    for (const std::string &word : words) {
        const auto refuse = [&word](const std::string &why) { throw UsageError("--sbatch " + word + ": " + why); };
        const std::string array = "the array is veilshadow's (one task per chunk of --chunk frames)";
        if (word.size() < 2 || word[0] != '-')
            refuse(
                "not an sbatch option (sbatch would take it as the job script); give each option in one word, "
                "with its value: --sbatch=--partition=render");
        if (word == "--") refuse("sbatch would take the words after it as the job script");
        // One argument: sbatch would read "--partition render" as an option
        // of that whole name.
        if (word.find_first_of(" \t\n") != std::string::npos)
            refuse("an option and its value are one word joined by '=': --sbatch=--partition=render");
        if (word.rfind("--", 0) == 0) {
            // getopt_long takes any unambiguous prefix of a long option,
            // so every prefix of --array is refused, --a included.
            const std::string name = word.substr(2, word.find('=') - 2);
            if (std::string("array").rfind(name, 0) == 0) refuse(array);
            if (word.find('=') != std::string::npos) continue;
            bool flag = false;
            for (const char *known : kSbatchFlags) flag = flag || std::string(known).rfind(name, 0) == 0;
            if (!flag) refuse("give the option's value in the same word: --sbatch=" + word + "=VALUE");
            continue;
        }
        // A cluster of short options: flags, then at most one that takes
        // the rest of the word as its value.
        for (std::size_t i = 1; i < word.size(); ++i) {
            if (word[i] == 'a') refuse(array);
            if (std::strchr(kSbatchShortWithValue, word[i]) == nullptr) continue;
            if (i + 1 == word.size()) refuse("give the option's value in the same word: --sbatch=" + word + "VALUE");
            break;
        }
    }
}

bool SlurmCommands::Cancel(const std::string &id, std::string &message) {
    const ProcessResult result = RunSlurm({"scancel", id});
    if (result.succeeded()) return true;
    message = result.Message();
    if (message.empty()) message = "scancel failed without a message";
    return false;
}

std::optional<bool> SlurmCommands::JobActive(const std::string &id, std::string &message) {
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

std::string SlurmCommands::Submit(const std::vector<std::string> &options, const std::vector<long> &tasks,
                                  const std::string &script) {
    // The array last: a later option wins over an earlier one in sbatch,
    // and over the script's #SBATCH lines and SBATCH_ARRAY_INX.
    std::vector<std::string> sbatch = {"sbatch", "--parsable"};
    sbatch.insert(sbatch.end(), options.begin(), options.end());
    sbatch.push_back("--array=" + FormatFrameList(tasks));
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

std::string SlurmLiteral(const std::string &path) {
    std::string escaped;
    for (const char c : path) escaped += c == '%' ? std::string("%%") : std::string(1, c);
    return escaped;
}

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
    const int threads = command.options.threads;
    const std::string cpus =
        threads > 0 ? std::to_string(threads) : "\"${SLURM_CPUS_PER_TASK:-${SLURM_CPUS_ON_NODE:-0}}\"";
    // The file names are as given, relative to the folder of the
    // submission: frame patterns are expanded in them alone.
    return script + "cd -- " + ShellQuote(command.folder) + " || exit 1\n" + "exec " +
           ChunkCommandLine(command, {{"frames", "\"$frames\""}, {"threads", cpus}}) + "\n";
}

namespace {

std::string ScriptPath(const FarmJob &job) { return (fs::path(job.folder) / (job.name + ".sbatch")).string(); }

}  // namespace

SlurmScheduler::SlurmScheduler(SlurmClient &client, std::vector<std::string> sbatch)
    : Scheduler({"farm slurm", "the Slurm cluster", "squeue", "squeue -j ", "scancel "}),
      client_(client),
      sbatch_(std::move(sbatch)) {}

void SlurmScheduler::CheckOptions() const { CheckSbatchOptions(sbatch_); }

void SlurmScheduler::CheckFolder(const std::string &folder) const {
    if (folder.find('\\') != std::string::npos)
        throw UsageError(FileMessage(folder,
                                     "Slurm cannot name task logs in a folder whose name holds a backslash; "
                                     "choose another with --job-dir"));
}

void SlurmScheduler::Prepare(const FarmJob &job) {
    WriteFileAtomically(ScriptPath(job), JobScript(job.command, job.chunks));
}

SubmittedJob SlurmScheduler::Submit(const FarmJob &job) {
    std::vector<std::string> sbatch = {
        "--job-name=veilshadow-" + job.name,
        "--output=" + SlurmLiteral((fs::path(job.folder) / job.name).string()) + "-%A_%a.log",
        "--chdir=" + job.command.folder};
    sbatch.insert(sbatch.end(), sbatch_.begin(), sbatch_.end());  // after ours, so they win
    const std::string script = ScriptPath(job);
    const std::string id = client_.Submit(sbatch, job.tasks, script);
    return {id, "  task logs:  " + (fs::path(job.folder) / (job.name + "-" + id + "_<task>.log")).string() +
                    "\n  job script: " + script + "\n"};
}

std::optional<bool> SlurmScheduler::JobActive(const std::string &id, std::string &message) {
    return client_.JobActive(id, message);
}

bool SlurmScheduler::Cancel(const std::string &id, std::string &message) { return client_.Cancel(id, message); }

}  // namespace veilshadow
