#include "Process.h"

#include "Errors.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <sstream>

extern char **environ;

namespace veilshadow {
namespace {

// Reads every captured stream until each is closed (a terminal reports EIO
// once the child's side is).
void ReadAll(ChildLaunch &launch, ProcessResult &result) {
    std::vector<pollfd> fds;
    for (const auto &[fd, text] : launch.captured) fds.push_back({fd.get(), POLLIN, 0});
    std::size_t open_count = fds.size();
    char buffer[65536];
    while (open_count > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (result.*launch.captured[i].second).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

OwnedFd::~OwnedFd() {
    if (fd_ >= 0) close(fd_);
}

void FailWithErrno(const std::string &what) { throw RunError(what + ": " + std::strerror(errno)); }

OwnedFd AboveStandardStreams(OwnedFd fd, const std::string &what) {
    if (fd.get() < 0) FailWithErrno(what);
    if (fd.get() > STDERR_FILENO) return fd;
    OwnedFd moved(fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (moved.get() < 0) FailWithErrno(what);
    return moved;
}

std::vector<char *> ExecArray(const std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (const std::string &s : strings) pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

void ChildLaunch::Capture(int number, std::string ProcessResult::*text) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) FailWithErrno("cannot make a pipe");
    OwnedFd read_end(fds[0]), write_end(fds[1]);
    captured.emplace_back(AboveStandardStreams(std::move(read_end), "cannot make a pipe"), text);
    given.push_back(AboveStandardStreams(std::move(write_end), "cannot make a pipe"));
    child_fd[number] = given.back().get();
}

pid_t SpawnChild(const ChildLaunch &launch, int &error) {
    const std::vector<char *> argv = ExecArray(launch.argv), envp = ExecArray(launch.environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int number = 0; number < 3; ++number)
        if (launch.child_fd[number] >= 0) posix_spawn_file_actions_adddup2(&actions, launch.child_fd[number], number);
    pid_t pid = -1;
    error =
        (launch.search_path ? posix_spawnp : posix_spawn)(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

ProcessResult RunChild(ChildLaunch &launch, const ChildStarter &start, rusage *usage) {
    if (launch.argv.empty()) throw RunError("no program to run");
    ProcessResult result;
    const pid_t pid = start(launch, result.start_error);
    launch.given.clear();  // the child's ends: the captures end when the child's copies close
    if (pid < 0) return result;
    ReadAll(launch, result);
    int status = 0;
    rusage ignored{};
    while (wait4(pid, &status, 0, usage != nullptr ? usage : &ignored) < 0)
        if (errno != EINTR) FailWithErrno("cannot wait for " + launch.argv[0]);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

std::string ProcessResult::Message() const {
    std::istringstream lines(err.empty() ? out : err);
    std::string line, joined;
    while (std::getline(lines, line)) {
        line.erase(line.find_last_not_of(" \r") + 1);  // all of it when blank
        if (!line.empty()) joined += (joined.empty() ? "" : "; ") + line;
    }
    return joined;
}

ProcessResult RunProcess(const std::vector<std::string> &argv) {
    ChildLaunch launch;
    launch.argv = argv;
    for (char **variable = environ; *variable != nullptr; ++variable) launch.environment.emplace_back(*variable);
    launch.given.push_back(
        AboveStandardStreams(OwnedFd(open("/dev/null", O_RDONLY | O_CLOEXEC)), "cannot open /dev/null"));
    launch.child_fd[STDIN_FILENO] = launch.given.back().get();
    launch.Capture(STDOUT_FILENO, &ProcessResult::out);
    launch.Capture(STDERR_FILENO, &ProcessResult::err);
    return RunChild(launch);
}

}  // namespace veilshadow
