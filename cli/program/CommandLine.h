// The program's command line, made from the table of job options, and
// its farm commands: their CLI11 set-up.
#ifndef VEILSHADOW_COMMANDLINE_H
#define VEILSHADOW_COMMANDLINE_H

#include "Farm.h"
#include "JobOptions.h"

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace veilshadow {

// Adds every option of the table to `app`, in the table's order, each
// parsed into its field of `options` (whole numbers checked against the
// table's range).
void AddJobOptions(CLI::App &app, JobOptions &options);

// Adds `farm slurm` with its options to the program's command line; the
// render options stay the program's own (the subcommands pass them up).
// Slurm's own option, the words for sbatch, goes to `sbatch`. Returns the
// `slurm` subcommand, to see whether it was given.
CLI::App *AddFarmCommands(CLI::App &app, FarmOptions &options, std::vector<std::string> &sbatch);

// The words after the program's name, as `app` is to read them: an
// option that takes a value, given as "--NAME=" with nothing after the
// '=', becomes "--NAME" and an empty word, so that its value is the empty
// one given (refused as empty by the option's own check) and never the
// next word, which CLI11 would otherwise take. Nothing after "--" is
// changed. In CLI11's order for App::parse (last word first).
std::vector<std::string> ArgumentsFor(const CLI::App &app, int argc, const char *const *argv);

// The options a command line's words give (the program's name left out),
// read as the program reads them: what a farm chunk's command runs with.
// Throws UsageError with the program's message.
JobOptions ParseJobOptions(const std::vector<std::string> &words);

}  // namespace veilshadow

#endif
