#include "JobOptions.h"

#include "Errors.h"
#include "Limits.h"  // kMaxFrameNumber

#include <stdexcept>

namespace veilshadow {

const std::vector<JobOption> &JobOptionTable() {
    using R = ChunkRule;
    using O = JobOptions;
    // short, long, value name, help, field, range, demo, chunk rule and place
    static const std::vector<JobOption> table = {
        {'i', "input", "COMP", "The layer as it arrives, over its shadow", &O::input, 0, 0, false, R::kAlways, 0},
        {'l', "layer", "LAYER", "The layer's own untouched pixels", &O::layer, 0, 0, false, R::kAlways, 1},
        {'o', "output", "OUT", "The result", &O::output, 0, 0, false, R::kAlways, 2},
        {0, "opacity", "PCT", "Shadow kept under the layer, 0-100 (default 0)", &O::opacity, 0, 0, false, R::kAlways,
         3},
        {0, "alpha", "MODE", "auto (default), straight or associated", &O::alpha, 0, 0, false, R::kAlways, 4},
        {'d', nullptr, "TYPE", "OUT's samples: uint8, uint16, half or float", &O::sample, 0, 0, false, R::kWhenGiven,
         6},
        {0, "compression", "NAME", "OUT's compression: zip, piz, dwaa, lzw...", &O::compression, 0, 0, false,
         R::kWhenGiven, 7},
        {0, "frames", "LIST", "Frames of a sequence to render (see below)", &O::frames, 0, 0, false, R::kShellWord, 10},
        {0, "threads", "N", "Render and file threads (default: one per core)", &O::threads, 0, 1024, true,
         R::kShellWord, 14},
        {0, "downsample", "N", "Render at 1/N resolution (see below)", &O::downsample, 1, 1024, false, R::kAlways, 5},
        {0, "plugin", "PATH", "Plug-in module (default: beside it, else installed)", &O::plugin, 0, 0, true,
         R::kWhenGiven, 8},
        {0, "resume", nullptr, "Skip frames whose OUT is written (see below)", &O::resume, 0, 0, false, R::kOn, 12},
        {0, "keep-going", nullptr, "Report a frame with bad files, render the rest", &O::keep_going, 0, 0, false,
         R::kOn, 13},
        {0, "shape-frame", "F", "Hold every frame to frame F's type and size", &O::shape_frame, -kMaxFrameNumber,
         kMaxFrameNumber, false, R::kWhenGiven, 11},
        {'q', "quiet", nullptr, "No progress output", &O::quiet, 0, 0, true, R::kWhenGiven, 9},
    };
    return table;
}

const JobOption &FindJobOption(const std::string &name) {
    for (const JobOption &option : JobOptionTable())
        if (option.long_name != nullptr ? name == option.long_name : name == std::string(1, option.short_name))
            return option;
    throw std::logic_error("no render option named " + name);
}

std::string OptionName(const JobOption &option) {
    return option.long_name != nullptr ? std::string("--") + option.long_name : std::string("-") + option.short_name;
}

std::string OptionNames(const JobOption &option) {
    if (option.short_name == 0 || option.long_name == nullptr) return OptionName(option);
    return std::string("-") + option.short_name + ",--" + option.long_name;
}

std::string OutOfRangeMessage(const JobOption &option, const std::string &value) {
    return "Value " + value + " not in range " + RangeText(option);
}

std::string RangeText(const JobOption &option) {
    return std::to_string(option.min) + " to " + std::to_string(option.max);
}

bool HasDefault(const JobOption &option, const JobOptions &options) {
    static const JobOptions defaults;
    return SameValue(option, options, defaults);
}

namespace {

std::optional<std::string> Text(const std::string &value) { return value; }
std::optional<std::string> Text(const std::optional<std::string> &value) { return value; }
std::optional<std::string> Text(int value) { return std::to_string(value); }
std::optional<std::string> Text(const std::optional<long> &value) {
    return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
}
std::optional<std::string> Text(bool value) { return value ? std::optional<std::string>("") : std::nullopt; }

}  // namespace

std::optional<std::string> ValueText(const JobOption &option, const JobOptions &options) {
    return std::visit([&options](auto field) { return Text(options.*field); }, option.field);
}

bool SameValue(const JobOption &option, const JobOptions &a, const JobOptions &b) {
    return std::visit([&a, &b](auto field) { return a.*field == b.*field; }, option.field);
}

void CheckDemoOptions(const JobOptions &options) {
    std::vector<std::string> taken;
    bool refused = false;
    for (const JobOption &option : JobOptionTable()) {
        if (option.demo) taken.push_back(OptionName(option));
        refused = refused || (!option.demo && !HasDefault(option, options));
    }
    if (!refused) return;
    std::string list = "-o DIR";
    for (std::size_t i = 0; i < taken.size(); ++i) list += (i + 1 == taken.size() ? " and " : ", ") + taken[i];
    throw UsageError("demo takes only " + list);
}

}  // namespace veilshadow
