// The two ways a run of veilshadow can fail, and their exit codes.
#ifndef VEILSHADOW_ERRORS_H
#define VEILSHADOW_ERRORS_H

#include <stdexcept>
#include <string>

namespace veilshadow {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a file, the plug-in or the machine failed
inline constexpr int kExitUsage = 2;    // the program was called wrongly

// A mistake in the command line: a bad option or option value.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Anything else that stops a run. The message names the file it is about.
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A RunError about one frame's input files: missing, unreadable, corrupt,
// too large for the host, or not matching the rest of the sequence. With
// --keep-going the frame is reported and the run goes on.
class InputError : public RunError {
public:
    using RunError::RunError;
};

// A RunError about writing one frame's OUT: the disk is full, the file is
// too large, the folder is gone. The frame is not written; with
// --keep-going it is reported and the run goes on.
class OutputError : public RunError {
public:
    using RunError::RunError;
};

// A RunError about the program itself rather than any file: a module of
// its own that cannot be loaded. It stops the run (no frame is at fault),
// and a check of what is done or missing never takes it for a file's
// refusal.
class ModuleError : public RunError {
public:
    using RunError::RunError;
};

// "PATH: problem", the shape of every message about a file.
inline std::string FileMessage(const std::string &path, const std::string &problem) { return path + ": " + problem; }

// A thread the system would not start (`reason`: what std::thread threw),
// which the run cannot do without.
inline RunError ThreadStartError(const char *reason) {
    return RunError(std::string("cannot start a thread (") + reason +
                    "): too little memory or too many processes (ulimit -v, ulimit -u)");
}

}  // namespace veilshadow

#endif
