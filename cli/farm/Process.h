// Starting another program and waiting for it to end: the farm's Slurm
// commands (RunProcess). Plain POSIX.
//
// Everything the child needs (argument and environment arrays, its
// descriptors) is made before it is started, so the child itself only
// moves descriptors into place and executes the program. The parts of
// RunProcess are declared here too, for runners that give the child more
// than empty input and captured output (the tests' and the bench's, in
// tests/support/).
#ifndef VEILSHADOW_PROCESS_H
#define VEILSHADOW_PROCESS_H

#include <sys/resource.h>
#include <sys/types.h>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace veilshadow {

struct ProcessResult {
    // 0 when the program started; otherwise the errno of the attempt
    // (ENOENT: no such program).
    int start_error = 0;
    int exit_code = -1;  // -1 when it was ended by a signal
    int signal = 0;      // the signal that ended it; 0 when it exited
    std::string out, err;

    bool succeeded() const { return start_error == 0 && exit_code == 0; }
    // Standard error's lines joined with "; ", for a one-line message;
    // standard output's when standard error is empty.
    std::string Message() const;
};

// Runs argv (argv[0] looked up on PATH) with standard input empty and
// output and error captured, and waits for it to end. Throws RunError
// when a pipe cannot be made or the child cannot be waited for.
ProcessResult RunProcess(const std::vector<std::string> &argv);

// ---- The parts of a run ------------------------------------------------

// A descriptor of this process, closed when the holder goes.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    OwnedFd(OwnedFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    OwnedFd &operator=(OwnedFd &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~OwnedFd();
    int get() const { return fd_; }

private:
    int fd_;
};

// Throws RunError "`what`: the errno's text".
[[noreturn]] void FailWithErrno(const std::string &what);

// `fd`, opened to close on exec, as a descriptor above 2, so that moving
// one into the child's 0, 1 or 2 cannot overwrite another still to be
// moved (when this process runs with a standard stream closed). Throws
// RunError naming `what` when `fd` is not open or cannot be moved.
OwnedFd AboveStandardStreams(OwnedFd fd, const std::string &what);

// The arrays execve takes: each string's text, then a null pointer.
std::vector<char *> ExecArray(const std::vector<std::string> &strings);

// A child to start, with everything it is given.
struct ChildLaunch {
    std::vector<std::string> argv;
    bool search_path = true;               // argv[0] without a '/' is looked up on PATH
    std::vector<std::string> environment;  // the child's whole environment, "NAME=value"
    int child_fd[3] = {-1, -1, -1};        // moved to 0, 1, 2; -1: this process's own
    std::vector<OwnedFd> given;            // the child's ends, closed here once it has started
    // Descriptors read here until closed, into the result's out or err.
    std::vector<std::pair<OwnedFd, std::string ProcessResult::*>> captured;

    // A pipe whose write end becomes the child's stream `number` (1 or 2)
    // and whose read end fills `text`.
    void Capture(int number, std::string ProcessResult::*text);
};

// Starts the child; returns its id, or -1 with `error` set to the errno of
// the attempt.
using ChildStarter = std::function<pid_t(const ChildLaunch &launch, int &error)>;
// The usual start, with posix_spawn.
pid_t SpawnChild(const ChildLaunch &launch, int &error);

// Starts the child with `start`, reads its captured streams until each is
// closed (so that none fills up while another is waited on), and waits for
// it. `usage`, when given, receives the child's resource use.
ProcessResult RunChild(ChildLaunch &launch, const ChildStarter &start = SpawnChild, rusage *usage = nullptr);

}  // namespace veilshadow

#endif
