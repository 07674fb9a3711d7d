// The options of a render job, defined once: the table the program's
// command line is made from (its CLI11 set-up and --help), that the demo
// checks against, that a farm chunk's command is written from, and whose
// thread range the Python module takes. Free of OpenImageIO and of CLI11.
#ifndef VEILSHADOW_JOBOPTIONS_H
#define VEILSHADOW_JOBOPTIONS_H

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace veilshadow {

// A run's options as its command line gives them; an option left out
// keeps the value here, its default. Text values are as given: JobOf
// (Shot.h) parses them (ParseOpacity, ParseAlphaMode, the -d
// names) where they land in the job, so a chunk carries them unchanged.
struct JobOptions {
    std::string input, layer, output;   // COMP, LAYER, OUT
    std::string opacity = "0";          // PCT
    std::string alpha = "auto";         // MODE
    std::string sample;                 // -d TYPE; empty: by OUT's file type
    std::string compression;            // empty: by OUT's file type
    std::optional<std::string> frames;  // LIST; given (even empty): a sequence
    int threads = 0;                    // 0: one per core
    int downsample = 1;
    std::string plugin;  // empty: the module beside the program, else the installed one
    bool resume = false;
    bool keep_going = false;
    std::optional<long> shape_frame;
    bool quiet = false;
};

// Where an option's value is kept: text, text that is given or not, a
// whole number in a range, one that is given or not, or a flag.
using JobOptionField = std::variant<std::string JobOptions::*, std::optional<std::string> JobOptions::*,
                                    int JobOptions::*, std::optional<long> JobOptions::*, bool JobOptions::*>;

// How a farm chunk's command carries an option.
enum class ChunkRule {
    kAlways,     // --name=VALUE, its default included
    kWhenGiven,  // only when not its default
    kOn,         // a flag every chunk sets
    kShellWord,  // the job script's shell word: the chunk's frames, the task's CPUs
};

struct JobOption {
    char short_name;         // 'i', or 0
    const char *long_name;   // "input", or nullptr (-d)
    const char *value_name;  // "COMP"; nullptr for a flag
    const char *help;        // as --help prints it
    JobOptionField field;
    long min, max;  // a whole number's range, both included
    bool demo;      // veilshadow demo takes it
    ChunkRule chunk;
    int chunk_place;  // the order of a chunk's command
};

// Every option of a render job, in the order --help lists them.
const std::vector<JobOption> &JobOptionTable();

// The option named "threads" or "d" (long name first); throws
// std::logic_error for a name the table does not hold.
const JobOption &FindJobOption(const std::string &name);

// "--input", "-d": the option's name as a command line writes it.
std::string OptionName(const JobOption &option);
// "-i,--input": its names as CLI11 takes them.
std::string OptionNames(const JobOption &option);

// "Value 2000 not in range 0 to 1024": a whole number refused, written as
// given. The program says it after "--threads: ", the module after
// "threads: ".
std::string OutOfRangeMessage(const JobOption &option, const std::string &value);
// "0 to 1024".
std::string RangeText(const JobOption &option);

// Whether the option has its default value in `options`.
bool HasDefault(const JobOption &option, const JobOptions &options);
// Its value as command-line text: a flag's "" when set; nothing when a
// flag is off or an optional value is not given.
std::optional<std::string> ValueText(const JobOption &option, const JobOptions &options);
// Whether two sets of options agree on this option.
bool SameValue(const JobOption &option, const JobOptions &a, const JobOptions &b);

// veilshadow demo takes only its folder and the options the table marks
// for it; throws UsageError naming them when any other option is given.
void CheckDemoOptions(const JobOptions &options);

}  // namespace veilshadow

#endif
