// Running another program (the Slurm commands) and collecting what it
// prints.
#ifndef VEILSHADOW_PROCESS_H
#define VEILSHADOW_PROCESS_H

#include <string>
#include <vector>

namespace veilshadow {

struct ProcessResult {
    // 0 when the program started; otherwise the errno of the attempt
    // (ENOENT: no such program on PATH).
    int start_error = 0;
    int exit_code = -1;  // -1 when it was ended by a signal
    std::string out, err;

    bool succeeded() const { return start_error == 0 && exit_code == 0; }
    // Standard error's lines joined with "; ", for a one-line message;
    // standard output's when standard error is empty.
    std::string Message() const;
};

// Runs argv[0] (looked up on PATH) with the arguments, standard input
// empty, and waits for it to end. Throws RunError only when the pipes
// cannot be made.
ProcessResult RunProcess(const std::vector<std::string> &argv);

}  // namespace veilshadow

#endif
