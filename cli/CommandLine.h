// The program's command line, made from the table of job options: its
// CLI11 set-up and the job it names.
#ifndef VEILSHADOW_COMMANDLINE_H
#define VEILSHADOW_COMMANDLINE_H

#include "JobOptions.h"
#include "Sequence.h"

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

// The options a command line's words give (the program's name left out),
// read as the program reads them: what a farm chunk's command runs with.
// Throws UsageError with the program's message.
JobOptions ParseJobOptions(const std::vector<std::string> &words);

// The files, frames and settings the options name, checked: each value
// parsed (with the message that names its option) where it lands in the
// job, then OUT's file type and choice and the frame patterns.
SequenceJob JobOf(const JobOptions &options);

}  // namespace veilshadow

#endif
