// The process runners, the program's and the tests' built on it: what the
// child gets (streams, environment, limits) and what is reported of it,
// run on /bin/sh and standard tools.
#include "TestProcess.h"

#include "cli_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace veilshadow {
namespace {

ProcessSetup Spec(const std::vector<std::string> &argv, rlim_t file_size_limit = 0) {
    ProcessSetup spec;
    spec.argv = argv;
    spec.file_size_limit = file_size_limit;
    return spec;
}

ProcessSetup Shell(const std::string &script, rlim_t file_size_limit = 0) {
    return Spec({"sh", "-c", script}, file_size_limit);
}

std::string Contents(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

struct ProcessCase {
    const char *name;
    std::function<ProcessSetup(const clitest::TempDir &)> spec;
    int start_error, exit_code, signal;
    std::string out, err;
    // Checked after the run: a file the child wrote.
    const char *file = nullptr;
    std::string file_text = "";
};

void PrintTo(const ProcessCase &c, std::ostream *os) { *os << c.name; }

// 200,000 and 300,000 bytes, each more than a pipe holds, written one
// stream after the other: reading one stream to its end first would wait
// forever.
const char *const kBothLarge = "head -c 200000 /dev/zero | tr '\\0' o; head -c 300000 /dev/zero | tr '\\0' e >&2";

class Processes : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(Processes, ReportWhatTheChildDid) {
    const ProcessCase &c = GetParam();
    clitest::TempDir dir;
    const ProcessResult result = RunProcess(c.spec(dir));
    EXPECT_EQ(result.start_error, c.start_error);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_TRUE(result.out == c.out) << result.out.size() << " bytes: " << result.out.substr(0, 200);
    EXPECT_TRUE(result.err == c.err) << result.err.size() << " bytes: " << result.err.substr(0, 200);
    if (c.file != nullptr) {
        EXPECT_EQ(Contents(dir / c.file), c.file_text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Processes,
    ::testing::
        Values(ProcessCase{"both_streams_past_a_pipe", [](auto &) { return Shell(kBothLarge); }, 0, 0, 0,
                           std::string(200000, 'o'), std::string(300000, 'e')},
               ProcessCase{"both_streams_past_a_pipe_with_a_limit", [](auto &) { return Shell(kBothLarge, 1 << 20); },
                           0, 0, 0, std::string(200000, 'o'), std::string(300000, 'e')},
               ProcessCase{"exit_code", [](auto &) { return Shell("echo out; echo err >&2; exit 3"); }, 0, 3, 0,
                           "out\n", "err\n"},
               ProcessCase{"ended_by_a_signal", [](auto &) { return Shell("echo before; kill -TERM $$; echo after"); },
                           0, -1, SIGTERM, "before\n", ""},
               ProcessCase{"ended_by_a_signal_with_a_limit", [](auto &) { return Shell("kill -KILL $$", 4096); }, 0, -1,
                           SIGKILL, "", ""},
               ProcessCase{"missing_program_on_path", [](auto &) { return Spec({"veilshadow-no-such-program"}); },
                           ENOENT, -1, 0, "", ""},
               ProcessCase{"missing_program_by_path_with_a_limit",
                           [](auto &dir) { return Spec({dir / "missing"}, 4096); }, ENOENT, -1, 0, "", ""},
               ProcessCase{"missing_program_on_path_with_a_limit",
                           [](auto &) { return Spec({"veilshadow-no-such-program"}, 4096); }, ENOENT, -1, 0, "", ""},
               ProcessCase{"standard_input_from_a_file",
                           [](auto &dir) {
                               std::ofstream(dir / "in") << "given";
                               ProcessSetup spec = Shell("cat");
                               spec.in = ProcessStream::File(dir / "in");
                               return spec;
                           },
                           0, 0, 0, "given", ""},
               // The shell ignores SIGXFSZ so that head sees the error.
               ProcessCase{"file_size_limit",
                           [](auto &dir) {
                               return Shell("trap '' XFSZ; head -c 5000 /dev/zero > " + dir / "big" + " 2> " +
                                                dir / "err" + "; echo $?; grep -c 'File too large' " + dir / "err",
                                            1000);
                           },
                           0, 0, 0, "1\n1\n", "", "big", std::string(1000, '\0')},
               ProcessCase{"environment_added_and_replaced",
                           [](auto &) {
                               // The environment execve gave the shell, HOME once.
                               ProcessSetup spec =
                                   Shell("tr '\\0' '\\n' < /proc/$$/environ | grep -E '^(HOME|VS_ADDED)='");
                               spec.environment = {"VS_ADDED=added", "HOME=/replaced"};
                               return spec;
                           },
                           0, 0, 0, "VS_ADDED=added\nHOME=/replaced\n", ""},
               ProcessCase{"environment_added_with_a_limit",
                           [](auto &) {
                               ProcessSetup spec = Shell("echo $VS_ADDED", 4096);
                               spec.environment = {"VS_ADDED=added"};
                               return spec;
                           },
                           0, 0, 0, "added\n", ""},
               ProcessCase{"environment_replaced_whole",
                           [](auto &) {
                               ProcessSetup spec = Spec({"/usr/bin/env"});
                               spec.inherit_environment = false;
                               spec.environment = {"ONLY=this"};
                               return spec;
                           },
                           0, 0, 0, "ONLY=this\n", ""},
               ProcessCase{"error_where_output_goes_a_file",
                           [](auto &dir) {
                               ProcessSetup spec = Shell("echo out; echo err >&2; echo out");
                               spec.out = ProcessStream::File(dir / "log");
                               spec.err = ProcessStream::kStdout;
                               return spec;
                           },
                           0, 0, 0, "", "", "log", "out\nerr\nout\n"},
               ProcessCase{
                   "both_on_a_terminal",
                   [](auto &) {
                       ProcessSetup spec = Shell("test -t 1 && test -t 2 && echo terminal >&2");
                       spec.out = ProcessStream::kTerminal;
                       spec.err = ProcessStream::kStdout;
                       return spec;
                   },
                   0, 0, 0, "terminal\r\n", ""}),
    [](const ::testing::TestParamInfo<ProcessCase> &info) { return std::string(info.param.name); });

// The child's own peak memory, from its resource usage: the shell holds
// 10 MB.
TEST(Process, ReportsTheChildsPeakMemory) {
    const ProcessRun result = RunProcess(Shell("x=$(head -c 10000000 /dev/zero | tr '\\0' a); echo ${#x}"));
    EXPECT_EQ(result.out, "10000000\n");
    EXPECT_GE(result.peak_rss_kib, 10000000 / 1024);
}

// The program's runner: standard input is empty, not this process's
// (here, for the test, a file with text in it), and the program is looked
// up on PATH.
TEST(Process, StandardInputIsEmpty) {
    clitest::TempDir dir;
    std::ofstream(dir / "in") << "not empty";
    const int saved = dup(STDIN_FILENO), in = open((dir / "in").c_str(), O_RDONLY);
    ASSERT_TRUE(saved >= 0 && in >= 0 && dup2(in, STDIN_FILENO) == STDIN_FILENO);
    const ProcessResult result = RunProcess(std::vector<std::string>{"sh", "-c", "wc -c"});
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(in);
    EXPECT_EQ(result.out, "0\n");
}

TEST(Process, MessageJoinsTheLinesOfErrorElseOutput) {
    const struct {
        const char *out, *err, *message;
    } cases[] = {{"out\n", "first \r\n\n  \nsecond\n", "first; second"},
                 {"only out\nline\n", "", "only out; line"},
                 {"", "", ""}};
    for (const auto &c : cases) {
        ProcessResult result;
        result.out = c.out;
        result.err = c.err;
        EXPECT_EQ(result.Message(), c.message) << c.err;
    }
}

}  // namespace
}  // namespace veilshadow
