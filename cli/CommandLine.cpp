#include "CommandLine.h"

#include "Errors.h"
#include "FrameRange.h"
#include "ImageIO.h"
#include "Options.h"

#include <CLI/CLI.hpp>

#include <filesystem>

namespace veilshadow {
namespace {

// CLI11's own range check, in the table's words.
template <class Number>
CLI::Validator RangeOf(const JobOption &option) {
    return CLI::Validator(
        [&option](std::string &input) {
            Number value{};
            if (CLI::detail::lexical_cast(input, value) && value >= option.min && value <= option.max) return std::string();
            return OutOfRangeMessage(option, input);
        },
        "");
}

CLI::Option *Add(CLI::App &app, const JobOption &option, JobOptions &options, std::string JobOptions::*field) {
    return app.add_option(OptionNames(option), options.*field, option.help);
}

CLI::Option *Add(CLI::App &app, const JobOption &option, JobOptions &options,
                 std::optional<std::string> JobOptions::*field) {
    // Given with any text, even none, the option counts as given.
    return app.add_option_function<std::string>(
        OptionNames(option), [&options, field](const std::string &text) { options.*field = text; }, option.help);
}

CLI::Option *Add(CLI::App &app, const JobOption &option, JobOptions &options, int JobOptions::*field) {
    return app.add_option(OptionNames(option), options.*field, option.help)->check(RangeOf<int>(option));
}

CLI::Option *Add(CLI::App &app, const JobOption &option, JobOptions &options, std::optional<long> JobOptions::*field) {
    return app.add_option(OptionNames(option), options.*field, option.help)->check(RangeOf<long>(option));
}

CLI::Option *Add(CLI::App &app, const JobOption &option, JobOptions &options, bool JobOptions::*field) {
    return app.add_flag(OptionNames(option), options.*field, option.help);
}

}  // namespace

void AddJobOptions(CLI::App &app, JobOptions &options) {
    for (const JobOption &option : JobOptionTable()) {
        CLI::Option *added = std::visit([&](auto field) { return Add(app, option, options, field); }, option.field);
        if (option.value_name != nullptr) added->type_name(option.value_name);
    }
}

JobOptions ParseJobOptions(const std::vector<std::string> &words) {
    JobOptions options;
    CLI::App app;
    AddJobOptions(app, options);
    std::vector<std::string> reversed(words.rbegin(), words.rend());  // CLI11 takes them last first
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError &e) {
        throw UsageError(e.what());
    }
    return options;
}

SequenceJob JobOf(const JobOptions &options) {
    if (options.input.empty() || options.layer.empty() || options.output.empty())
        throw UsageError("--input COMP, --layer LAYER and -o OUT are all required (or run: veilshadow demo)");
    SequenceJob job;
    job.input = options.input;
    job.layer = options.layer;
    job.output = options.output;
    job.settings.slider = ParseOpacity(options.opacity);
    job.settings.alpha = ParseAlphaMode(options.alpha);
    job.settings.downsample = options.downsample;
    job.settings.format = CheckOutputPath(FrameFiles{options.input, options.layer, options.output, 0});
    if (!options.sample.empty()) {
        job.settings.sample = SampleTypeNamed(options.sample);
        if (!job.settings.sample)
            throw UsageError("-d \"" + options.sample + "\": expected uint8, uint16, half or float");
    }
    job.settings.compression = options.compression;
    CheckOutputChoice(options.output, job.settings.format, job.settings);
    job.resume = options.resume;
    job.keep_going = options.keep_going;
    job.sequence = options.frames.has_value();
    job.shape_frame = options.shape_frame;
    if (job.sequence) {
        job.frames = ParseFrameList(*options.frames);
        for (const std::string *path : {&options.input, &options.layer, &options.output}) CheckFramePatterns(*path);
        if (!HasFramePattern(options.output))
            throw UsageError(FileMessage(options.output, "--frames needs a frame pattern (#### or %04d) in OUT"));
    } else {
        // Without --frames every name is a file name (logo@2x.png); an
        // input that is not there but looks like a pattern gets a hint.
        std::error_code ec;
        for (const std::string *path : {&options.input, &options.layer})
            if (HasFramePattern(*path) && !std::filesystem::exists(*path, ec))
                throw UsageError(FileMessage(*path, "no such file (a frame pattern needs --frames)"));
        if (job.shape_frame) throw UsageError("--shape-frame is for a sequence: give --frames LIST");
    }
    return job;
}

}  // namespace veilshadow
