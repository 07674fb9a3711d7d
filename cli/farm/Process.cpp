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

// Both ends close on exec, so the child keeps only the ends dup2 gives it.
void MakePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw RunError(std::string("cannot make a pipe: ") + std::strerror(errno));
}

// Reads both pipes until both are closed, so that neither can fill up
// while the other is waited on.
void ReadBoth(int out_fd, int err_fd, std::string &out, std::string &err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *texts[2] = {&out, &err};
    int open_count = 2;
    char buffer[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

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
    int out_pipe[2], err_pipe[2];
    MakePipe(out_pipe);
    try {
        MakePipe(err_pipe);
    } catch (...) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        throw;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    ProcessResult result;
    pid_t pid = 0;
    result.start_error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (result.start_error == 0) {
        ReadBoth(out_pipe[0], err_pipe[0], result.out, result.err);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
}

}  // namespace veilshadow
