// The program started in a hostile environment: standard descriptors
// closed, hangups and interrupts ignored, a device or a FIFO as an input,
// an address-space limit or a control group's memory limit. Each run
// writes OUT whole, byte for byte as a plain run does, or stops at once
// with exit 1 and a message naming the file.
#include "cli_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clitest::Sample;
using clitest::TempDir;
namespace fs = std::filesystem;

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct Environment {
    int closed_fd = -1;        // closed in the child
    int ignored_signal = 0;    // ignored in the child, then sent once OUT is there
    rlim_t address_limit = 0;  // RLIMIT_AS, 0: none
    std::string cgroup_procs;  // the child joins this control group
};

struct Outcome {
    int exit_code = -1;  // -1: ended by a signal, or still running at the deadline (then killed)
    int signal = 0;
    std::string err;
};

// Ends the child after a long deadline, so that a run that would hang
// fails the test instead of stopping the suite.
constexpr auto kDeadline = std::chrono::seconds(120);

bool WaitUntil(pid_t pid, const std::function<bool()> &condition, int *status) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition && condition()) return true;
        if (waitpid(pid, status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    *status = -1;
    return false;
}

// A pipe as full as the kernel lets it be: the child's first write to it
// blocks until the test reads.
void FillPipe(int fd) {
    fcntl(fd, F_SETPIPE_SZ, 4096);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, "x", 1) > 0) {
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

// Runs veilshadow in `env`; standard error goes to `err_path`, or, when a
// signal is to be sent, to a full pipe: the run then blocks on its first
// message ("wrote OUT"), after OUT is in place, and receives the signal
// there, with its handlers for temporary files installed.
Outcome RunIn(const Environment &env, const std::vector<std::string> &args, const std::string &err_path,
              const std::string &out_path) {
    std::vector<std::string> words = {VEILSHADOW_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    int err_fd = -1;
    if (env.ignored_signal != 0) {
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        FillPipe(pipe_fds[1]);
        err_fd = pipe_fds[1];
    } else {
        err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {  // async-signal-safe calls only
        if (!env.cgroup_procs.empty()) {
            char digits[16];
            int n = 0;
            for (pid_t self = getpid(); self > 0; self /= 10) digits[n++] = static_cast<char>('0' + self % 10);
            char text[16];
            for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
            const int procs = open(env.cgroup_procs.c_str(), O_WRONLY);
            if (procs < 0 || write(procs, text, static_cast<std::size_t>(n)) != n) _exit(126);
            close(procs);
        }
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd, 2);
        if (env.closed_fd >= 0) close(env.closed_fd);
        if (env.ignored_signal != 0) signal(env.ignored_signal, SIG_IGN);
        if (env.address_limit != 0) {
            const struct rlimit limit = {env.address_limit, env.address_limit};
            setrlimit(RLIMIT_AS, &limit);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(null_fd);
    close(err_fd);
    int status = 0;
    Outcome outcome;
    if (env.ignored_signal != 0) {
        if (WaitUntil(
                pid, [&] { return fs::exists(out_path); }, &status)) {
            kill(pid, env.ignored_signal);
            char buffer[4096];
            while (read(pipe_fds[0], buffer, sizeof buffer) > 0) {
            }
            WaitUntil(pid, nullptr, &status);
        }
        close(pipe_fds[0]);
    } else {
        WaitUntil(pid, nullptr, &status);
        outcome.err = ReadFile(err_path);
    }
    if (status != -1 && WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
    if (status != -1 && WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    return outcome;
}

enum class Input { kPng, kDevice, kFifo };

struct HostileCase {
    const char *name;
    Environment env;
    Input comp = Input::kPng;
    Input layer = Input::kPng;
    const char *refused_file = nullptr;  // nullptr: OUT is written as a plain run writes it
    const char *refusal = nullptr;
};

void PrintTo(const HostileCase &c, std::ostream *os) { *os << c.name; }

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, WritesWholeOrRefusesAtOnce) {
    const HostileCase &c = GetParam();
    TempDir dir, logs;
    clitest::WriteTestImage(dir / "comp.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 40, 30, 1));
    clitest::WriteTestImage(dir / "layer.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 40, 30, 2));
    const auto input = [&](Input kind, const std::string &png) {
        if (kind == Input::kDevice) return std::string("/dev/zero");
        if (kind != Input::kFifo) return dir / png;
        if (mkfifo((logs / "fifo").c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        return logs / "fifo";
    };
    const std::vector<std::string> args = {
        "-i", input(c.comp, "comp.png"), "-l", input(c.layer, "layer.png"), "--opacity", "30", "-o", dir / "out.png"};
    const Outcome run = RunIn(c.env, args, logs / "err", dir / "out.png");

    if (c.refused_file != nullptr) {
        EXPECT_EQ(run.exit_code, 1) << run.err;
        EXPECT_NE(run.err.find(c.refused_file), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(dir / "out.png"));
        return;
    }
    EXPECT_EQ(run.exit_code, 0) << "signal " << run.signal << ": " << run.err;
    std::vector<std::string> plain = args;
    plain.back() = logs / "plain.png";
    ASSERT_EQ(clitest::RunVeilshadow(plain).exit_code, 0);
    const std::string written = ReadFile(dir / "out.png");
    EXPECT_GT(written.size(), 0u);
    EXPECT_TRUE(written == ReadFile(logs / "plain.png")) << "OUT differs from a plain run's";
    EXPECT_EQ(dir.Entries(), (std::set<std::string>{"comp.png", "layer.png", "out.png"}));
}

HostileCase Closed(const char *name, int fd) {
    HostileCase c{name, {}};
    c.env.closed_fd = fd;
    return c;
}

HostileCase Ignoring(const char *name, int signal_number) {
    HostileCase c{name, {}};
    c.env.ignored_signal = signal_number;
    return c;
}

HostileCase Refused(const char *name, Input comp, Input layer, const char *file) {
    return HostileCase{name, {}, comp, layer, file, "not a regular file"};
}

INSTANTIATE_TEST_SUITE_P(Table, Hostile,
                         ::testing::Values(Closed("stdin_closed", 0), Closed("stdout_closed", 1),
                                           Closed("stderr_closed", 2), Ignoring("sighup_ignored", SIGHUP),
                                           Ignoring("sigint_ignored", SIGINT),
                                           Refused("comp_device", Input::kDevice, Input::kPng, "/dev/zero"),
                                           Refused("layer_device", Input::kPng, Input::kDevice, "/dev/zero"),
                                           Refused("comp_fifo", Input::kFifo, Input::kPng, "fifo"),
                                           Refused("layer_fifo", Input::kPng, Input::kFifo, "fifo")),
                         [](const ::testing::TestParamInfo<HostileCase> &info) {
                             return std::string(info.param.name);
                         });

// A PNG whose header claims 30000 x 30000 pixels (3.4 GiB as 8-bit
// RGBA) is refused from its header, naming the file, under a limit that
// /proc/meminfo does not show: ulimit -v, and a control group's limit.
Outcome RunClaimingPng(const TempDir &dir, const TempDir &logs, const Environment &env) {
    clitest::WritePngClaiming(dir / "comp.png", Sample::kU8, 30000, 30000);
    clitest::WriteTestImage(dir / "layer.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 4, 4, 2));
    return RunIn(env, {"-i", dir / "comp.png", "-l", dir / "layer.png", "-o", dir / "out.png"}, logs / "err",
                 dir / "out.png");
}

using clitest::kAddressSanitizer;

TEST(HostileMemory, AnAddressSpaceLimitIsKnownAndNamesTheFile) {
    // AddressSanitizer's shadow memory alone is far beyond any such limit:
    // a sanitized program cannot start under one.
    if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    TempDir dir, logs;
    Environment env;
    env.address_limit = rlim_t{2} << 30;
    const Outcome run = RunClaimingPng(dir, logs, env);
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find(dir / "comp.png" + ": rendering it needs 3.4 GiB of memory"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

// Under an address-space limit that leaves room for the program but not
// for all its threads' stacks, a thread the system will not start is done
// without or named in the error: never an abort.
TEST(HostileMemory, ThreadsTheSystemWillNotStartAreNoAbort) {
    if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    for (const rlim_t mib : {48, 56, 64}) {
        TempDir dir, logs;
        clitest::WriteTestImage(dir / "comp.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 8, 8, 1));
        clitest::WriteTestImage(dir / "layer.png", clitest::RandomImage(Sample::kU8, 4, 0, 0, 8, 8, 2));
        Environment env;
        env.address_limit = mib << 20;
        const Outcome run = RunIn(env, {"-i", dir / "comp.png", "-l", dir / "layer.png", "-o", dir / "out.png"},
                                  logs / "err", dir / "out.png");
        EXPECT_EQ(run.signal, 0) << mib << " MiB: " << run.err;
        EXPECT_TRUE(run.exit_code == 0 || (run.exit_code == 1 && run.err.rfind("veilshadow: ", 0) == 0))
            << mib << " MiB: " << run.exit_code << " " << run.err;
        EXPECT_EQ(fs::exists(dir / "out.png"), run.exit_code == 0) << mib << " MiB";
    }
}

// A control group of its own, limited to 1 GiB or `limit`, under this process's
// group: cgroup v2's (where memory is a controller of the unified
// hierarchy) or v1's memory controller. Empty when neither can be made.
struct Cgroup {
    std::string folder;
    ~Cgroup() {
        if (!folder.empty()) rmdir(folder.c_str());
    }
};

bool WriteTo(const std::string &path, const std::string &text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
}

std::string OwnCgroupPath(bool memory_v1) {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':'), second = line.find(':', first + 1);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        if (memory_v1 ? (controllers == "memory" || controllers.find("memory,") == 0 ||
                         controllers.find(",memory") != std::string::npos)
                      : line.compare(0, 3, "0::") == 0)
            return line.substr(second + 1);
    }
    return "";
}

bool MakeCgroup(Cgroup &group, const std::string &top, bool memory_v1, std::uint64_t limit = 1u << 30) {
    const std::string own = OwnCgroupPath(memory_v1);
    std::string controllers;
    if (!memory_v1) std::getline(std::ifstream(top + "/cgroup.controllers"), controllers);
    const bool mounted = memory_v1 ? fs::exists(top + "/memory.limit_in_bytes")
                                   : (" " + controllers + " ").find(" memory ") != std::string::npos;
    if (own.empty() || !mounted) return false;
    const std::string folder = top + own + "/veilshadow-test-" + std::to_string(getpid());
    if (mkdir(folder.c_str(), 0755) != 0) return false;
    group.folder = folder;
    return WriteTo(folder + (memory_v1 ? "/memory.limit_in_bytes" : "/memory.max"), std::to_string(limit));
}

TEST(HostileMemory, AControlGroupLimitIsKnownAndNamesTheFile) {
    if (geteuid() != 0) GTEST_SKIP() << "making a control group needs root";
    Cgroup group;
    if (!MakeCgroup(group, "/sys/fs/cgroup", false) && !MakeCgroup(group, "/sys/fs/cgroup/memory", true))
        GTEST_SKIP() << "no control group with a memory limit can be made here";
    TempDir dir, logs;
    Environment env;
    env.cgroup_procs = group.folder + "/cgroup.procs";
    const Outcome run = RunClaimingPng(dir, logs, env);
    EXPECT_EQ(run.exit_code, 1) << "signal " << run.signal << ": " << run.err;
    EXPECT_NE(run.err.find(dir / "comp.png" + ": rendering it needs 3.4 GiB of memory"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

// TIFF files go through the general codec, whose libraries map more
// addresses than 400 MiB leave: refused before they load, naming the
// file (a load that runs out of addresses fails in a library, or aborts
// in one).
TEST(HostileMemory, TheGeneralCodecIsLoadedOnlyWithinTheAddressLimit) {
    if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
    TempDir dir, logs;
    clitest::WriteTestImage(dir / "comp.tif", clitest::RandomImage(Sample::kU8, 4, 0, 0, 8, 8, 1));
    clitest::WriteTestImage(dir / "layer.tif", clitest::RandomImage(Sample::kU8, 4, 0, 0, 8, 8, 2));
    Environment env;
    env.address_limit = rlim_t{400} << 20;
    const Outcome run = RunIn(env, {"-i", dir / "comp.tif", "-l", dir / "layer.tif", "-o", dir / "out.png"},
                              logs / "err", dir / "out.png");
    EXPECT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find(dir / "comp.tif" + ": its format goes through the general codec"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.png"));
}

// The general codec's libraries take more than a 40 MiB group holds: a
// TIFF input is refused before they are loaded, naming it, where the
// kernel would kill the program as it loaded them.
TEST(HostileMemory, TheGeneralCodecIsLoadedOnlyWhereItFits) {
    if (geteuid() != 0) GTEST_SKIP() << "making a control group needs root";
    if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer alone takes more than the group holds";
    Cgroup group;
    constexpr std::uint64_t kLimit = std::uint64_t{40} << 20;
    if (!MakeCgroup(group, "/sys/fs/cgroup", false, kLimit) &&
        !MakeCgroup(group, "/sys/fs/cgroup/memory", true, kLimit))
        GTEST_SKIP() << "no control group with a memory limit can be made here";
    TempDir dir, logs;
    clitest::WriteTestImage(dir / "comp.tif", clitest::RandomImage(Sample::kU8, 4, 0, 0, 8, 8, 1));
    clitest::WriteTestImage(dir / "layer.tif", clitest::RandomImage(Sample::kU8, 4, 0, 0, 8, 8, 2));
    Environment env;
    env.cgroup_procs = group.folder + "/cgroup.procs";
    const Outcome run = RunIn(env, {"-i", dir / "comp.tif", "-l", dir / "layer.tif", "-o", dir / "out.tif"},
                              logs / "err", dir / "out.tif");
    EXPECT_EQ(run.signal, 0) << run.err;
    EXPECT_EQ(run.exit_code, 1) << run.err;
    EXPECT_NE(run.err.find(dir / "comp.tif" + ": rendering it needs 44.0 MiB of memory"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out.tif"));
}

// Runs under control-group limits from too little to plenty: each
// renders its frames or stops with the message, and none is killed. Each
// of these was a kill: in a sequence of noise PNGs to float EXR, the
// OpenEXR writer's threads' buffers, a second set of its rooms kept by the
// other write thread, and the code and kernel memory no check counts; in
// a frame of an OpenEXR file of one tile, the general codec's copies of
// that tile; and, where /tmp is a tmpfs, the files written, which stay in
// memory.
TEST(HostileMemory, RunsUnderAnyLimitRenderOrSayWhatDidNotFit) {
    if (geteuid() != 0) GTEST_SKIP() << "making a control group needs root";
    if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer's own memory is not counted";
    TempDir dir, logs;
    for (int frame = 1; frame <= 3; ++frame) {
        const std::string number = "000" + std::to_string(frame);
        clitest::WriteTestImage(dir / ("comp." + number + ".png"),
                                clitest::RandomImage(Sample::kU8, 4, 0, 0, 1920, 1080, frame));
        clitest::WriteTestImage(dir / ("layer." + number + ".png"),
                                clitest::RandomImage(Sample::kU8, 4, 0, 0, 1920, 1080, 10 + frame));
    }
    clitest::TestImage tiled = clitest::RandomImage(Sample::kFloat, 4, 0, 0, 1920, 1080, 4);
    tiled.tile = 2048;
    clitest::WriteTestImage(dir / "tiled.exr", tiled);
    clitest::WriteTestImage(dir / "lines.exr", clitest::RandomImage(Sample::kFloat, 4, 0, 0, 1920, 1080, 5));
    struct Case {
        std::vector<std::string> args;
        std::string last_out;
        std::vector<std::uint64_t> mib;  // the last renders
    };
    const Case cases[] = {
        {{"-i", dir / "comp.####.png", "-l", dir / "layer.####.png", "-o", dir / "out.####.exr", "-d", "float",
          "--frames", "1-3"},
         dir / "out.0003.exr",
         {56, 60, 64, 68, 72, 76, 300}},  // with room for OUT's files too, where /tmp is in memory
        {{"-i", dir / "tiled.exr", "-l", dir / "lines.exr", "-o", dir / "out.exr"},
         dir / "out.exr",
         {140, 200, 260, 480}},
    };
    for (const Case &c : cases) {
        for (const std::uint64_t mib : c.mib) {
            Cgroup group;
            if (!MakeCgroup(group, "/sys/fs/cgroup", false, mib << 20) &&
                !MakeCgroup(group, "/sys/fs/cgroup/memory", true, mib << 20))
                GTEST_SKIP() << "no control group with a memory limit can be made here";
            Environment env;
            env.cgroup_procs = group.folder + "/cgroup.procs";
            std::vector<std::string> args = c.args;
            args.push_back("--quiet");
            const Outcome run = RunIn(env, args, logs / "err", c.last_out);
            EXPECT_EQ(run.signal, 0) << c.last_out << ", " << mib << " MiB: " << run.err;
            if (mib == c.mib.back()) {
                EXPECT_EQ(run.exit_code, 0) << c.last_out << ": " << run.err;
            } else if (run.exit_code != 0) {
                EXPECT_TRUE(run.exit_code == 1 && run.err.find(": rendering it needs ") != std::string::npos)
                    << c.last_out << ", " << mib << " MiB: " << run.exit_code << " " << run.err;
            }
            EXPECT_EQ(fs::exists(c.last_out), run.exit_code == 0) << c.last_out << ", " << mib << " MiB";
            for (const auto &entry : fs::directory_iterator(dir.path()))
                if (entry.path().filename().string().rfind("out.", 0) == 0) fs::remove(entry.path());
        }
    }
}

}  // namespace
