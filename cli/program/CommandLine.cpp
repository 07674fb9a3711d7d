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
