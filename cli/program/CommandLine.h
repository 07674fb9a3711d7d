// The program's command line, made from the table of job options: its
// CLI11 set-up.
#ifndef VEILSHADOW_COMMANDLINE_H
#define VEILSHADOW_COMMANDLINE_H

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

// The options a command line's words give (the program's name left out),
// read as the program reads them: what a farm chunk's command runs with.
// Throws UsageError with the program's message.
JobOptions ParseJobOptions(const std::vector<std::string> &words);

}  // namespace veilshadow

#endif
