#include "FarmPlan.h"

#include "AtomicFile.h"
#include "FramePattern.h"
#include "FrameRange.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>

namespace veilshadow {

std::vector<std::vector<long>> SplitIntoChunks(const std::vector<long> &frames, long chunk) {
    std::vector<std::vector<long>> chunks;
    const auto size = static_cast<std::ptrdiff_t>(frames.size());
    for (std::ptrdiff_t i = 0; i < size; i += chunk)
        chunks.emplace_back(frames.begin() + i, frames.begin() + std::min(size, i + chunk));
    return chunks;
}

Submission ChunksToSubmit(const std::vector<std::vector<long>> &chunks, const std::vector<long> &missing) {
    Submission submission;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (Overlap(chunks[i], missing)) {
            submission.tasks.push_back(static_cast<long>(i));
            submission.frames.insert(submission.frames.end(), chunks[i].begin(), chunks[i].end());
        }
    }
    return submission;
}

bool Overlap(const std::vector<long> &a, const std::vector<long> &b) {
    std::vector<long> both;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
    return !both.empty();
}

std::string FarmName(const std::string &output, const std::string &output_for_the_nodes) {
    const std::string file = StripFramePatterns(std::filesystem::path(output).filename().string());
    std::string name;
    for (const char c : file) {
        if (c == '.' && (name.empty() || name.back() == '.')) continue;  // the separators around a pattern become one
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        name += plain ? c : '_';
    }
    while (!name.empty() && (name.back() == '.' || name.back() == '_' || name.back() == '-')) name.pop_back();
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", Fnv1a(output_for_the_nodes));
    return (name.empty() ? "frames" : name) + suffix;
}

std::string SlurmLiteral(const std::string &path) {
    std::string escaped;
    for (const char c : path) escaped += c == '%' ? std::string("%%") : std::string(1, c);
    return escaped;
}

std::string ShellQuote(const std::string &text) {
    if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789_-.,/+:=%@") == std::string::npos)
        return text;
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Values go as --option=VALUE, so that one starting with '-' (a negative
// frame) is not read as an option.
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

std::string FormatRecords(const std::vector<JobRecord> &jobs) {
    std::string text;
    for (const JobRecord &job : jobs) text += job.id + " " + FormatFrameList(job.frames) + "\n";
    return text;
}

std::vector<JobRecord> ParseRecords(const std::string &text, const std::string &source) {
    std::vector<JobRecord> jobs;
    std::istringstream lines(text);
    std::string id, frames;
    while (lines >> id >> frames) jobs.push_back({id, ParseFrameList(frames, source)});
    return jobs;
}

}  // namespace veilshadow
