#include "Process.h"

#include "Errors.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

extern char **environ;

namespace veilshadow {
namespace {

[[noreturn]] void Fail(const std::string &what) { throw RunError(what + ": " + std::strerror(errno)); }

// A descriptor of this process, closed when the holder goes.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    OwnedFd(OwnedFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    OwnedFd &operator=(OwnedFd &&other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~OwnedFd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Every descriptor made here closes on exec and is above 2, so that
// moving one into the child's 0, 1 or 2 cannot overwrite another that is
// still to be moved (when this process runs with a standard stream closed).
OwnedFd Keep(OwnedFd fd, const std::string &what) {
    if (fd.get() < 0) Fail(what);
    if (fd.get() > STDERR_FILENO) return fd;
    OwnedFd moved(fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (moved.get() < 0) Fail(what);
    return moved;
}

// A captured stream's end here (a pipe's or a terminal's) and the text it
// fills.
struct Channel {
    OwnedFd fd;
    std::string *text;
};

// What the child is given, all made before it starts.
struct Launch {
    std::vector<std::string> env_strings;
    std::vector<char *> argv, envp;
    int child_fd[3] = {-1, -1, -1};  // moved to 0, 1, 2; -1: left as inherited
    std::vector<OwnedFd> given;      // the child's ends; closed here once it has them
    std::vector<Channel> channels;
};

std::vector<char *> Pointers(const std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (const std::string &s : strings) pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> Environment(const ProcessSpec &spec) {
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
    master = Keep(OwnedFd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)), "cannot open a pseudo-terminal");
    char name[128];
    if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0 || ptsname_r(master.get(), name, sizeof name) != 0)
        Fail("cannot open a pseudo-terminal");
    slave = Keep(OwnedFd(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)), std::string("cannot open ") + name);
}

void Place(Launch &launch, int number, const ProcessStream &stream, ProcessResult &result) {
    int &target = launch.child_fd[number];
    const auto give = [&](OwnedFd fd) {
        target = fd.get();
        launch.given.push_back(std::move(fd));
    };
    switch (stream.kind) {
        case ProcessStream::kInherit:
            break;
        case ProcessStream::kNull:
            give(Keep(OwnedFd(open("/dev/null", (number == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC)),
                      "cannot open /dev/null"));
            break;
        case ProcessStream::kFile: {
            const int flags = number == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
            give(Keep(OwnedFd(open(stream.path.c_str(), flags | O_CLOEXEC, 0644)), "cannot open " + stream.path));
            break;
        }
        case ProcessStream::kFd:
            if (stream.fd == number) break;  // already in place
            if (stream.fd <= STDERR_FILENO)
                give(Keep(OwnedFd(fcntl(stream.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1)), "cannot copy a descriptor"));
            else
                target = stream.fd;
            break;
        case ProcessStream::kStdout:
            if (number != STDERR_FILENO) throw RunError("only standard error can go where standard output goes");
            target = STDOUT_FILENO;  // moved last, so the child's own standard output
            break;
        case ProcessStream::kCapture:
        case ProcessStream::kTerminal: {
            if (number == STDIN_FILENO) throw RunError("standard input cannot be captured");
            OwnedFd read_end, write_end;
            if (stream.kind == ProcessStream::kTerminal) {
                OpenTerminal(read_end, write_end);
            } else {
                int fds[2];
                if (pipe2(fds, O_CLOEXEC) != 0) Fail("cannot make a pipe");
                read_end = OwnedFd(fds[0]);
                write_end = OwnedFd(fds[1]);
                read_end = Keep(std::move(read_end), "cannot make a pipe");
                write_end = Keep(std::move(write_end), "cannot make a pipe");
            }
            launch.channels.push_back({std::move(read_end), number == 1 ? &result.out : &result.err});
            give(std::move(write_end));
            break;
        }
    }
}

// The program's path for execve: argv[0] itself, or the first executable
// file of that name in PATH's folders. Empty with `error` set when none is.
std::string FindProgram(const ProcessSpec &spec, int &error) {
    const std::string &name = spec.argv[0];
    if (!spec.search_path || name.find('/') != std::string::npos) return name;
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
[[noreturn]] void ExecChild(const Launch &launch, const char *program, const rlimit &limit, const sigset_t &mask,
                            int report) {
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
        execve(program, launch.argv.data(), launch.envp.data());
        error = errno;
    }
    // The parent learns why from the report pipe (closed on exec otherwise).
    if (write(report, &error, sizeof error) < 0) _exit(127);
    _exit(127);
}

// Starts the child with a file-size limit; returns its id, or -1 with
// `error` set.
pid_t ForkWithLimit(const ProcessSpec &spec, const Launch &launch, int &error) {
    const std::string program = FindProgram(spec, error);
    if (program.empty()) return -1;
    const rlimit limit = {spec.file_size_limit, spec.file_size_limit};
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) Fail("cannot make a pipe");
    OwnedFd report_read(fds[0]), report_write(fds[1]);
    // Signals wait until the child has reset the handlers.
    sigset_t all, mask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &mask);
    const pid_t pid = fork();
    if (pid == 0) ExecChild(launch, program.c_str(), limit, mask, report_write.get());
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

pid_t Spawn(const ProcessSpec &spec, const Launch &launch, int &error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int number = 0; number < 3; ++number)
        if (launch.child_fd[number] >= 0) posix_spawn_file_actions_adddup2(&actions, launch.child_fd[number], number);
    pid_t pid = -1;
    error = (spec.search_path ? posix_spawnp : posix_spawn)(&pid, launch.argv[0], &actions, nullptr, launch.argv.data(),
                                                            launch.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// Reads every channel until each is closed (a terminal reports EIO once
// the child's side is), so that none fills up while another is waited on.
void ReadAll(std::vector<Channel> &channels) {
    std::vector<pollfd> fds;
    for (const Channel &channel : channels) fds.push_back({channel.fd.get(), POLLIN, 0});
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
                channels[i].text->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
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

std::string ProcessResult::Message() const {
    std::istringstream lines(err.empty() ? out : err);
    std::string line, joined;
    while (std::getline(lines, line)) {
        line.erase(line.find_last_not_of(" \r") + 1);  // all of it when blank
        if (!line.empty()) joined += (joined.empty() ? "" : "; ") + line;
    }
    return joined;
}

ProcessResult RunProcess(const ProcessSpec &spec) {
    if (spec.argv.empty()) throw RunError("no program to run");
    ProcessResult result;
    Launch launch;
    launch.argv = Pointers(spec.argv);
    launch.env_strings = Environment(spec);
    launch.envp = Pointers(launch.env_strings);
    Place(launch, STDIN_FILENO, spec.in, result);
    Place(launch, STDOUT_FILENO, spec.out, result);
    Place(launch, STDERR_FILENO, spec.err, result);

    const pid_t pid = spec.file_size_limit > 0 ? ForkWithLimit(spec, launch, result.start_error)
                                               : Spawn(spec, launch, result.start_error);
    launch.given.clear();  // the child's ends: the channels end when the child's copies close
    if (pid < 0) return result;
    ReadAll(launch.channels);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) Fail("cannot wait for " + spec.argv[0]);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.user_seconds = Seconds(usage.ru_utime);
    result.system_seconds = Seconds(usage.ru_stime);
    result.peak_rss_kib = usage.ru_maxrss;
    return result;
}

ProcessResult RunProcess(const std::vector<std::string> &argv) {
    ProcessSpec spec;
    spec.argv = argv;
    return RunProcess(spec);
}

}  // namespace veilshadow
