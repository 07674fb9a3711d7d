#include "CommandLine.h"

#include "Errors.h"

#include <CLI/CLI.hpp>

namespace veilshadow {
namespace {

// CLI11's own range check, in the table's words.
template <class Number>
CLI::Validator RangeOf(const JobOption &option) {
    return CLI::Validator(
        [&option](std::string &input) {
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

}  // namespace veilshadow
