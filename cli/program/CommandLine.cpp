#include "CommandLine.h"

#include "Errors.h"
#include "FrameList.h"

#include <CLI/CLI.hpp>

namespace veilshadow {
namespace {

// CLI11's own range check, in the table's words.
template <class Number>
CLI::Validator RangeOf(const JobOption &option) {
    return CLI::Validator(
        [&option](std::string &input) {
            if (input.empty()) return "the value is empty; expected a whole number from " + RangeText(option);
            Number value{};
            if (CLI::detail::lexical_cast(input, value) && value >= option.min && value <= option.max)
                return std::string();
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

CLI::App *AddFarmCommands(CLI::App &app, FarmOptions &options, std::vector<std::string> &sbatch) {
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
    slurm->add_option("--sbatch", sbatch, "Passed to sbatch, repeatable: --sbatch=--hold")
        ->type_name("ARG")
        ->allow_extra_args(false);
    slurm->add_option("--job-dir", options.job_dir, "Script and logs (default: veilshadow-farm/ by OUT)")
        ->type_name("DIR");
    slurm->add_flag("--wait", options.wait, "Wait for the job, then check every frame");
    return slurm;
}

namespace {

// Whether `name` ("--NAME") is an option of `app` or of one of its
// subcommands that takes a value.
bool TakesValue(const CLI::App &app, const std::string &name) {
    const CLI::Option *option = app.get_option_no_throw(name);
    if (option != nullptr) return option->get_expected_min() > 0;
    for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
        if (TakesValue(*sub, name)) return true;
    return false;
}

}  // namespace

std::vector<std::string> ArgumentsFor(const CLI::App &app, int argc, const char *const *argv) {
    std::vector<std::string> words;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        options_end = options_end || word == "--";
        if (!options_end && word.size() > 3 && word.compare(0, 2, "--") == 0 && word.back() == '=' &&
            word.find('=') == word.size() - 1 && TakesValue(app, word.substr(0, word.size() - 1))) {
            words.push_back(word.substr(0, word.size() - 1));
            words.emplace_back();
        } else {
            words.push_back(word);
        }
    }
    return {words.rbegin(), words.rend()};
}

JobOptions ParseJobOptions(const std::vector<std::string> &words) {
    JobOptions options;
    CLI::App app;
    AddJobOptions(app, options);
    std::vector<const char *> argv{"veilshadow"};
    for (const std::string &word : words) argv.push_back(word.c_str());
    std::vector<std::string> reversed = ArgumentsFor(app, static_cast<int>(argv.size()), argv.data());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError &e) {
        throw UsageError(e.what());
    }
    return options;
}

}  // namespace veilshadow
