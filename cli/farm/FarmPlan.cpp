#include "FarmPlan.h"

#include "FramePattern.h"
#include "Hash.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <stdexcept>

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

std::string FarmName(const std::string &job_output_pattern) {
    const std::string file = StripFramePatterns(std::filesystem::path(job_output_pattern).filename().string());
    std::string name;
    for (const char c : file) {
        if (c == '.' && (name.empty() || name.back() == '.')) continue;  // the separators around a pattern become one
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.';
        name += plain ? c : '_';
    }
    while (!name.empty() && (name.back() == '.' || name.back() == '_' || name.back() == '-')) name.pop_back();
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08x", Fnv1a(job_output_pattern));
    return (name.empty() ? "frames" : name) + suffix;
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
std::string ChunkCommandLine(const ChunkCommand &command, const std::map<std::string, std::string> &shell_words) {
    std::vector<const JobOption *> options;
    for (const JobOption &option : JobOptionTable()) options.push_back(&option);
    std::sort(options.begin(), options.end(),
              [](const JobOption *a, const JobOption *b) { return a->chunk_place < b->chunk_place; });
    std::string line = ShellQuote(command.program);
    for (const JobOption *option : options) {
        const bool takes_value = option->value_name != nullptr;
        std::optional<std::string> word = ValueText(*option, command.options);
        if (option->chunk == ChunkRule::kWhenGiven && HasDefault(*option, command.options)) continue;
        if (option->chunk == ChunkRule::kOn) word = "";
        if (option->chunk == ChunkRule::kShellWord) {
            const auto given = option->long_name == nullptr ? shell_words.end() : shell_words.find(option->long_name);
            if (given == shell_words.end()) throw std::logic_error("no shell word for " + OptionName(*option));
            word = given->second;
        } else if (word && takes_value) {
            word = ShellQuote(*word);
        }
        if (!word) continue;  // a flag that is off, a value not given
        line += " " + OptionName(*option);
        if (takes_value) line += (option->long_name != nullptr ? "=" : " ") + *word;
    }
    return line;
}

}  // namespace veilshadow
