// Starting another program and waiting for it to end: the Slurm commands,
// the bench's tools, the tests' runs of veilshadow. Plain POSIX.
//
// Everything the child needs (argument and environment arrays, opened
// files, pipes) is made before it is started, so the child itself only
// moves descriptors into place and executes the program. It is started
// with posix_spawn; a file-size limit, which posix_spawn cannot set, is
// the one case started with fork, whose child then makes only
// async-signal-safe calls (and setrlimit, a bare system call in glibc).
#ifndef VEILSHADOW_PROCESS_H
#define VEILSHADOW_PROCESS_H

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

struct ProcessSpec {
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

struct ProcessResult {
    // 0 when the program started; otherwise the errno of the attempt
    // (ENOENT: no such program).
    int start_error = 0;
    int exit_code = -1;  // -1 when it was ended by a signal
    int signal = 0;      // the signal that ended it; 0 when it exited
    std::string out, err;
    double user_seconds = 0, system_seconds = 0;  // its CPU time
    long peak_rss_kib = 0;                        // its largest resident set

    bool succeeded() const { return start_error == 0 && exit_code == 0; }
    // Standard error's lines joined with "; ", for a one-line message;
    // standard output's when standard error is empty.
    std::string Message() const;
};

// Starts the program, reads what it prints into captured streams, and
// waits for it to end. Throws RunError when a pipe, terminal or file
// cannot be made or opened, or the child cannot be waited for.
ProcessResult RunProcess(const ProcessSpec &spec);
// argv[0] looked up on PATH, standard input empty, output and error
// captured.
ProcessResult RunProcess(const std::vector<std::string> &argv);

}  // namespace veilshadow

#endif
