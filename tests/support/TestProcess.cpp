#include "TestProcess.h"

#include "Errors.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <utility>

extern char **environ;

namespace veilshadow {
namespace {

std::vector<std::string> Environment(const ProcessSetup &spec) {
    std::vector<std::string> env;
    const auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    for (char **variable = environ; spec.inherit_environment && *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        bool replaced = false;
        for (const std::string &change : spec.environment) replaced = replaced || name_of(change) == name_of(entry);
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), spec.environment.begin(), spec.environment.end());
    return env;
}

// A pseudo-terminal: the master read here, the slave given to the child.
void OpenTerminal(OwnedFd &master, OwnedFd &slave) {
    master =
        AboveStandardStreams(OwnedFd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)), "cannot open a pseudo-terminal");
    char name[128];
    if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 || ptsname_r(master.get(), name, sizeof name) != 0)
        FailWithErrno("cannot open a pseudo-terminal");
    slave =
        AboveStandardStreams(OwnedFd(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)), std::string("cannot open ") + name);
}

void Place(ChildLaunch &launch, int number, const ProcessStream &stream) {
    int &target = launch.child_fd[number];
    const auto give = [&](OwnedFd fd) {
        target = fd.get();
        launch.given.push_back(std::move(fd));
    };
    std::string ProcessResult::*const text = number == STDOUT_FILENO ? &ProcessResult::out : &ProcessResult::err;
    switch (stream.kind) {
        case ProcessStream::kInherit:
            break;
        case ProcessStream::kNull:
            give(AboveStandardStreams(OwnedFd(open("/dev/null", (number == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC)),
                                      "cannot open /dev/null"));
            break;
        case ProcessStream::kFile: {
            const int flags = number == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
            give(AboveStandardStreams(OwnedFd(open(stream.path.c_str(), flags | O_CLOEXEC, 0644)),
                                      "cannot open " + stream.path));
            break;
        }
        case ProcessStream::kFd:
            if (stream.fd == number) break;  // already in place
            if (stream.fd <= STDERR_FILENO)
                give(AboveStandardStreams(OwnedFd(fcntl(stream.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)),
                                          "cannot copy a descriptor"));
            else
                target = stream.fd;
            break;
        case ProcessStream::kStdout:
            if (number != STDERR_FILENO) throw RunError("only standard error can go where standard output goes");
            target = STDOUT_FILENO;  // moved last, so the child's own standard output
            break;
        case ProcessStream::kCapture:
            if (number == STDIN_FILENO) throw RunError("standard input cannot be captured");
            launch.Capture(number, text);
            break;
        case ProcessStream::kTerminal: {
            if (number == STDIN_FILENO) throw RunError("standard input cannot be captured");
            OwnedFd master, slave;
            OpenTerminal(master, slave);
            launch.captured.emplace_back(std::move(master), text);
            give(std::move(slave));
            break;
        }
    }
}

// The program's path for execve: argv[0] itself, or the first executable
// file of that name in PATH's folders. Empty with `error` set when none is.
std::string FindProgram(const ChildLaunch &launch, int &error) {
    const std::string &name = launch.argv[0];
    if (!launch.search_path || name.find('/') != std::string::npos) return name;
    const char *path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/bin:/usr/bin");
    std::string folder;
    error = ENOENT;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat status;
        if (stat(candidate.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        if (access(candidate.c_str(), X_OK) == 0) {
            error = 0;
            return candidate;
        }
        error = EACCES;
    }
    return {};
}

// The child after fork, until exec: async-signal-safe calls only.
[[noreturn]] void ExecChild(const ChildLaunch &launch, const char *program, char *const *argv, char *const *envp,
                            const rlimit &limit, const sigset_t &mask, int report) {
    // A handler of this process would run on the child's copy of its
    // state: every handled signal goes back to its default, as posix_spawn
    // does.
    for (int number = 1; number < NSIG; ++number) {
        struct sigaction action;
        if (sigaction(number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN || action.sa_handler == SIG_DFL)
            continue;
        action.sa_handler = SIG_DFL;
        action.sa_flags = 0;
        sigemptyset(&action.sa_mask);
        sigaction(number, &action, nullptr);
    }
    int error = 0;
    for (int number = 0; number < 3 && error == 0; ++number)
        if (launch.child_fd[number] >= 0 && dup2(launch.child_fd[number], number) < 0) error = errno;
    if (error == 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0) error = errno;
    if (error == 0) {
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        execve(program, argv, envp);
        error = errno;
    }
    // The parent learns why from the report pipe (closed on exec otherwise).
    if (write(report, &error, sizeof error) < 0) _exit(127);
    _exit(127);
}

// Starts the child with a file-size limit; returns its id, or -1 with
// `error` set.
pid_t ForkWithLimit(const ChildLaunch &launch, rlim_t file_size_limit, int &error) {
    const std::string program = FindProgram(launch, error);
    if (program.empty()) return -1;
    const std::vector<char *> argv = ExecArray(launch.argv), envp = ExecArray(launch.environment);
    const rlimit limit = {file_size_limit, file_size_limit};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) FailWithErrno("cannot make a pipe");
    OwnedFd report_read(fds[0]), report_write(fds[1]);
    // Signals wait until the child has reset the handlers.
    sigset_t all, mask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &mask);
    const pid_t pid = fork();
    if (pid == 0) ExecChild(launch, program.c_str(), argv.data(), envp.data(), limit, mask, report_write.get());
    error = pid < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    report_write = OwnedFd();
    if (pid < 0) return -1;
    ssize_t n;
    while ((n = read(report_read.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof error)) {  // closed by the exec
        error = 0;
        return pid;
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

double Seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

}  // namespace

ProcessStream ProcessStream::File(std::string path) {
    ProcessStream stream(kFile);
    stream.path = std::move(path);
    return stream;
}

ProcessStream ProcessStream::Fd(int fd) {
    ProcessStream stream(kFd);
    stream.fd = fd;
    return stream;
}

ProcessRun RunProcess(const ProcessSetup &spec) {
    ChildLaunch launch;
    launch.argv = spec.argv;
    launch.search_path = spec.search_path;
    launch.environment = Environment(spec);
    Place(launch, STDIN_FILENO, spec.in);
    Place(launch, STDOUT_FILENO, spec.out);
    Place(launch, STDERR_FILENO, spec.err);
    rusage usage{};
    const rlim_t limit = spec.file_size_limit;
    ProcessRun run;
    static_cast<ProcessResult &>(run) =
        limit > 0
            ? RunChild(
                  launch, [limit](const ChildLaunch &child, int &error) { return ForkWithLimit(child, limit, error); },
                  &usage)
            : RunChild(launch, SpawnChild, &usage);
    run.user_seconds = Seconds(usage.ru_utime);
    run.system_seconds = Seconds(usage.ru_stime);
    run.peak_rss_kib = usage.ru_maxrss;
    return run;
}

}  // namespace veilshadow
