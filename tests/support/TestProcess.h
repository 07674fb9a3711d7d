// The tests' and the bench's process runner: the product's (Process.h)
// with every way of giving the child its standard streams (files,
// descriptors, a pseudo-terminal), its environment and a file-size limit,
// and the child's resource use reported.
//
// A file-size limit, which posix_spawn cannot set, is the one case started
// with fork, whose child then makes only async-signal-safe calls (and
// setrlimit, a bare system call in glibc).
#ifndef VEILSHADOW_TESTS_TESTPROCESS_H
#define VEILSHADOW_TESTS_TESTPROCESS_H

#include "Process.h"

#include <sys/resource.h>
#include <string>
#include <vector>

namespace veilshadow {

// Where one of the child's standard streams goes.
struct ProcessStream {
    enum Kind {
        kNull,      // /dev/null
        kInherit,   // this process's stream of the same number
        kCapture,   // a pipe, read into ProcessResult::out or err
        kTerminal,  // a pseudo-terminal, read as kCapture is
        kFile,      // `path`; created or emptied for output
        kFd,        // `fd`, left open here
        kStdout,    // standard error only: wherever standard output goes
    };
    Kind kind;
    std::string path;
    int fd = -1;

    ProcessStream(Kind stream_kind) : kind(stream_kind) {}  // NOLINT: implicit, so `spec.err = ProcessStream::kStdout`
    static ProcessStream File(std::string path);
    static ProcessStream Fd(int fd);
};

struct ProcessSetup {
    std::vector<std::string> argv;  // argv[0] is the program
    bool search_path = true;        // argv[0] without a '/' is looked up on PATH
    // The child's environment: this process's (or none), with each
    // "NAME=value" here replacing NAME's value or added.
    bool inherit_environment = true;
    std::vector<std::string> environment;
    // Standard input takes kNull, kInherit, kFile or kFd.
    ProcessStream in = ProcessStream::kNull;
    ProcessStream out = ProcessStream::kCapture;
    ProcessStream err = ProcessStream::kCapture;
    rlim_t file_size_limit = 0;  // RLIMIT_FSIZE in bytes (soft and hard); 0: this process's
};

struct ProcessRun : ProcessResult {
    double user_seconds = 0, system_seconds = 0;  // the child's CPU time
    long peak_rss_kib = 0;                        // its largest resident set
};

// Starts the program, reads what it prints into captured streams, and
// waits for it to end. Throws RunError when a pipe, terminal or file
// cannot be made or opened, or the child cannot be waited for.
ProcessRun RunProcess(const ProcessSetup &spec);

}  // namespace veilshadow

#endif
