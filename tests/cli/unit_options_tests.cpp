// Option values: opacity, alpha mode, the table of job options (a farm
// chunk's command, the demo's check), frame ranges and frame patterns.
#include "CommandLine.h"
#include "Errors.h"
#include "FarmPlan.h"
#include "FrameList.h"
#include "FramePattern.h"
#include "JobOptions.h"
#include "OptionValues.h"
#include "Process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace veilshadow {
namespace {

struct OpacityCase {
    const char *text;
    PF_Fixed slider;
};

class OpacityAccepted : public ::testing::TestWithParam<OpacityCase> {};

TEST_P(OpacityAccepted, GivesTheRoundedSliderValue) {
    EXPECT_EQ(ParseOpacity(GetParam().text), GetParam().slider) << GetParam().text;
}

// PCT * 65536 rounded to nearest, halves up.
INSTANTIATE_TEST_SUITE_P(
    Table, OpacityAccepted,
    ::testing::Values(OpacityCase{"0", 0}, OpacityCase{"100", 6553600}, OpacityCase{"50", 3276800},
                      OpacityCase{"12.5", 819200}, OpacityCase{"33.3", 2182349},  // 2182348.8
                      OpacityCase{"0.001", 66},                                   // 65.536
                      OpacityCase{"0.0000076293945", 0},                          // 0.49999999...
                      OpacityCase{"0.00000762939453125", 1},                      // exactly 0.5: up
                      OpacityCase{"0.000007629394531249999999", 0},               // just below the halfway point
                      OpacityCase{"99.99999999", 6553600},                        // 6553599.99
                      OpacityCase{"100.000", 6553600}, OpacityCase{"007", 458752}, OpacityCase{".5", 32768},
                      OpacityCase{"5.", 327680}, OpacityCase{"25%", 1638400}));

// The exact decimal result agrees with a double computation wherever the
// double is far from a halfway point.
TEST(Opacity, AgreesWithDoubleArithmeticAwayFromHalfwayPoints) {
    for (int thousandths = 0; thousandths <= 100000; thousandths += 7) {
        const double pct = thousandths / 1000.0;
        const double scaled = pct * 65536.0;
        if (std::fabs(scaled - std::floor(scaled) - 0.5) < 1e-6) continue;
        char text[32];
        std::snprintf(text, sizeof text, "%d.%03d", thousandths / 1000, thousandths % 1000);
        ASSERT_EQ(ParseOpacity(text), static_cast<PF_Fixed>(std::floor(scaled + 0.5))) << text;
    }
}

class OpacityRejected : public ::testing::TestWithParam<const char *> {};

TEST_P(OpacityRejected, IsAUsageErrorNamingTheOption) {
    try {
        ParseOpacity(GetParam());
        FAIL() << "accepted \"" << GetParam() << "\"";
    } catch (const UsageError &e) {
        EXPECT_NE(std::string(e.what()).find("--opacity"), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, OpacityRejected,
                         ::testing::Values("", "-1", "+5", "100.0001", "101", "1000", "abc", "5x", "nan", "inf", "1e2",
                                           "5,5", " 5", "5 ", ".", "%", "50%%", "0x10", "99999999999999999999"));

// A value other than its default for every option of the table.
struct NonDefault {
    const JobOption &option;
    JobOptions &options;
    void operator()(std::string JobOptions::*field) const { options.*field = "it's a #1 $x"; }
    void operator()(std::optional<std::string> JobOptions::*field) const { options.*field = "-2 & \"1\""; }
    void operator()(int JobOptions::*field) const {
        options.*field = static_cast<int>(options.*field == option.max ? option.min : option.max);
    }
    void operator()(std::optional<long> JobOptions::*field) const { options.*field = option.min; }
    void operator()(bool JobOptions::*field) const { options.*field = true; }
};

// The words of a command line, as the shell splits them.
std::vector<std::string> ShellWords(const std::string &line) {
    const ProcessResult shell = RunProcess(std::vector<std::string>{"sh", "-c", "printf '%s\\0' " + line});
    EXPECT_TRUE(shell.succeeded()) << line << ": " << shell.Message();
    const std::string &out = shell.out;
    std::vector<std::string> words;
    for (std::size_t start = 0, end; (end = out.find('\0', start)) != std::string::npos; start = end + 1)
        words.push_back(out.substr(start, end - start));
    return words;
}

// Every option of the table, given a value other than its default, comes
// back from the chunk command through the shell and the program's parser.
TEST(JobOptions, AFarmChunkCarriesEveryOption) {
    ChunkCommand command{"/opt/vs/veilshadow", "/shots", {}};
    std::map<std::string, std::string> words;
    for (const JobOption &option : JobOptionTable()) {
        std::visit(NonDefault{option, command.options}, option.field);
        ASSERT_FALSE(HasDefault(option, command.options)) << OptionName(option);
        if (option.chunk == ChunkRule::kShellWord)
            words[option.long_name] = ShellQuote(ValueText(option, command.options).value_or(""));
    }
    const std::string line = ChunkCommandLine(command, words);
    const std::vector<std::string> argv = ShellWords(line);
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv[0], command.program);
    const JobOptions parsed = ParseJobOptions({argv.begin() + 1, argv.end()});
    for (const JobOption &option : JobOptionTable())
        EXPECT_TRUE(SameValue(option, parsed, command.options)) << OptionName(option) << " in\n" << line;
    EXPECT_THROW(ChunkCommandLine(command, {}), std::logic_error);  // a shell word missing
}

// Command lines given after "demo", each with its outcome written out:
// only --threads, --plugin and --quiet (-q) pass; every other option of a
// render is refused as a usage error (exit 2) with the one message naming
// what the demo takes.
TEST(JobOptions, TheDemoTakesOnlyItsOwnOptions) {
    const char *const kRefused = "demo takes only -o DIR, --threads, --plugin and --quiet";
    const std::pair<std::vector<std::string>, const char *> cases[] = {
        {{}, nullptr},
        {{"--threads", "4"}, nullptr},
        {{"--threads=0"}, nullptr},
        {{"--plugin", "/opt/vs/OrvaneVeilShadow.so"}, nullptr},
        {{"-q"}, nullptr},
        {{"--quiet", "--threads", "1024", "--plugin", "p.so"}, nullptr},
        {{"-i", "comp.exr"}, kRefused},
        {{"--input", "comp.exr"}, kRefused},
        {{"-l", "layer.exr"}, kRefused},
        {{"-o", "out.exr"}, kRefused},
        {{"--opacity", "20"}, kRefused},
        {{"--alpha", "straight"}, kRefused},
        {{"-d", "half"}, kRefused},
        {{"--compression", "zip"}, kRefused},
        {{"--frames", "1-5"}, kRefused},
        {{"--downsample", "2"}, kRefused},
        {{"--resume"}, kRefused},
        {{"--keep-going"}, kRefused},
        {{"--shape-frame", "3"}, kRefused},
        {{"--threads", "4", "--shape-frame", "-3"}, kRefused},
        {{"-q", "--opacity", "100"}, kRefused},
    };
    for (const auto &[words, refusal] : cases) {
        const std::string line = ::testing::PrintToString(words);
        const JobOptions options = ParseJobOptions(words);
        try {
            CheckDemoOptions(options);
            EXPECT_TRUE(refusal == nullptr) << line << " accepted";
        } catch (const UsageError &e) {
            ASSERT_TRUE(refusal != nullptr) << line << " refused: " << e.what();
            EXPECT_STREQ(e.what(), refusal) << line;
        }
    }
    // The rows above name each of the table's 15 options: a new option
    // needs its own row.
    EXPECT_EQ(JobOptionTable().size(), 15u);
}

TEST(AlphaMode, NamesAndRejections) {
    EXPECT_EQ(ParseAlphaMode("auto"), AlphaMode::kAuto);
    EXPECT_EQ(ParseAlphaMode("straight"), AlphaMode::kStraight);
    EXPECT_EQ(ParseAlphaMode("associated"), AlphaMode::kAssociated);
    for (const char *bad : {"", "Auto", "premultiplied", "unassociated"})
        EXPECT_THROW(ParseAlphaMode(bad), UsageError) << bad;
}

struct ListCase {
    const char *text;
    std::vector<long> frames;
};

TEST(FrameList, AcceptedForms) {
    const ListCase cases[] = {
        {"1-5", {1, 2, 3, 4, 5}},
        {"7", {7}},
        {"0010-0012", {10, 11, 12}},
        {"1-10x4", {1, 5, 9}},
        {"1-9x4", {1, 5, 9}},  // the last frame is on the step
        {"3-4x10", {3}},       // a step past the end keeps the first
        {"1,5,10-12", {1, 5, 10, 11, 12}},
        {"10-12, 1 ,5", {1, 5, 10, 11, 12}},  // sorted; spaces around items
        {"1-4,3-6,2", {1, 2, 3, 4, 5, 6}},    // each frame once
        {"-5--3", {-5, -4, -3}},
        {"-1-1", {-1, 0, 1}},
        {"-6--2x2", {-6, -4, -2}},
        {"-999999999,999999999", {-999999999, 999999999}},
    };
    for (const ListCase &c : cases) EXPECT_EQ(ParseFrameList(c.text), c.frames) << c.text;
}

TEST(FrameList, RejectedFormsSayWhy) {
    const std::pair<const char *, const char *> cases[] = {
        {"", "no frames given"},
        {" ", "no frames given"},
        {"1,,3", "an empty item"},
        {"1,", "an empty item"},
        {"5-2", "the last frame comes before the first"},
        {"-1--3", "the last frame comes before the first"},
        {"1-10x0", "the step is 0"},
        {"1-1000000000", "a number is too large"},
        {"999999999999", "a number is too large"},
        {"1-5x99999999999", "a number is too large"},
        {"-", "not a frame"},
        {"5-", "not a frame"},
        {"a-b", "not a frame"},
        {"1-2-3", "not a frame"},
        {"1..5", "not a frame"},
        {"1 - 5", "not a frame"},
        {"1-10x", "not a frame"},
        {"1-10x-2", "not a frame"},
        {"1x2", "not a frame"},
        {"1-10y2", "not a frame"},
        {"0-1000000", "more than 1000000 frames"},
        {"1-600000,-600000--1", "more than 1000000 frames"},
    };
    for (const auto &c : cases) {
        try {
            ParseFrameList(c.first);
            ADD_FAILURE() << "accepted \"" << c.first << "\"";
        } catch (const UsageError &e) {
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("--frames \"" + std::string(c.first) + "\": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.second), std::string::npos) << message;
        }
    }
}

TEST(FrameList, FormattedAsCompactRangesThatReadBack) {
    const ListCase cases[] = {
        {"", {}},
        {"7", {7}},
        {"3-5,9", {3, 4, 5, 9}},
        {"1,3,5", {1, 3, 5}},
        {"-2-0,2", {-2, -1, 0, 2}},
        {"-5--4,-1", {-5, -4, -1}},
        {"9,3-4", {9, 3, 4}},  // runs in the order given
    };
    for (const ListCase &c : cases) {
        EXPECT_EQ(FormatFrameList(c.frames), c.text);
        if (!c.frames.empty() && std::is_sorted(c.frames.begin(), c.frames.end())) {
            EXPECT_EQ(ParseFrameList(FormatFrameList(c.frames)), c.frames) << c.text;
        }
    }
}

struct PatternCase {
    const char *path;
    long frame;
    const char *expanded;
    bool has_pattern;
    const char *stripped;
};

TEST(FramePattern, Expansion) {
    const PatternCase cases[] = {
        {"comp.####.exr", 7, "comp.0007.exr", true, "comp..exr"},
        {"comp.%04d.exr", 7, "comp.0007.exr", true, "comp..exr"},
        {"comp.%d.exr", 7, "comp.7.exr", true, "comp..exr"},
        {"comp.##.exr", 123, "comp.123.exr", true, "comp..exr"},  // wider than the pattern: in full
        {"comp.#.png", 3, "comp.0003.png", true, "comp..png"},    // a lone # is 4 digits
        {"comp.@.png", 3, "comp.3.png", true, "comp..png"},
        {"comp.@@@.png", 3, "comp.003.png", true, "comp..png"},
        {"comp.####.exr", -1, "comp.-001.exr", true, "comp..exr"},  // the sign counts, as with %04d
        {"comp.%04d.exr", -12, "comp.-012.exr", true, "comp..exr"},
        {"comp.#.exr", -12345, "comp.-12345.exr", true, "comp..exr"},
        {"comp.%06d.tif", 42, "comp.000042.tif", true, "comp..tif"},
        {"c.%032d.tif", -42, "c.-0000000000000000000000000000042.tif", true, "c..tif"},  // the widest
        // Folders are never patterns: only the last component is read.
        {"shots/s####/f####.exr", 12, "shots/s####/f0012.exr", true, "shots/s####/f.exr"},
        {"/home/user@corp.example.com/c.png", 3, "/home/user@corp.example.com/c.png", false,
         "/home/user@corp.example.com/c.png"},
        {"proj/v@/out.%d.png", 1, "proj/v@/out.1.png", true, "proj/v@/out..png"},
        {"shot#12/", 1, "shot#12/", false, "shot#12/"},
        {"comp.exr", 5, "comp.exr", false, "comp.exr"},
        {"100%.png", 5, "100%.png", false, "100%.png"},  // a lone % is no pattern
    };
    for (const PatternCase &c : cases) {
        EXPECT_EQ(HasFramePattern(c.path), c.has_pattern) << c.path;
        EXPECT_EQ(ExpandFramePattern(c.path, c.frame), c.expanded) << c.path;
        EXPECT_EQ(StripFramePatterns(c.path), c.stripped) << c.path;
        EXPECT_NO_THROW(CheckFramePatterns(c.path)) << c.path;
    }
    // Wider patterns would run past any frame number: refused by name.
    // printf conversions that pad with spaces or signs are refused, saying
    // which patterns are taken.
    const std::pair<std::string, std::string> refused[] = {
        {"o." + std::string(33, '#') + ".exr", ": a frame pattern of "},
        {"o.%033d.exr", ": a frame pattern of "},
        {"o." + std::string(200, '@') + ".exr", ": a frame pattern of "},
        {"o.%5d.png", ": \"%5d\" is no frame pattern (only zeros pad a frame number); use ####"},
        {"d/o.%-4d.png", ": \"%-4d\" is no frame pattern"},
        {"a%0d.png", ": \"%0d\" is no frame pattern"},
    };
    for (const auto &[path, message] : refused) {
        try {
            CheckFramePatterns(path);
            ADD_FAILURE() << "accepted " << path;
        } catch (const UsageError &e) {
            EXPECT_EQ(std::string(e.what()).rfind(path + message, 0), 0u) << e.what();
        }
    }
    EXPECT_FALSE(HasFramePattern("a%5d.png"));               // a file name as it is, without --frames
    EXPECT_NO_THROW(CheckFramePatterns("d%5d/o.%05d.png"));  // a folder is a name as written
}

// Every spelling of one set of files is one text: the folder absolute and
// resolved, the patterns of the file name written as %0Nd.
TEST(FramePattern, CanonicalOutputPattern) {
    const std::string cwd = std::filesystem::current_path().string();
    const std::string folder = cwd == "/" ? "/" : cwd + "/";
    const std::pair<const char *, std::string> cases[] = {
        {"p.####.exr", folder + "p.%04d.exr"},
        {"p.#.exr", folder + "p.%04d.exr"},
        {"./ab/../p.%04d.exr", folder + "p.%04d.exr"},
        {"p.@@@@.exr", folder + "p.%04d.exr"},
        {"p.@.exr", folder + "p.%d.exr"},  // one digit pads nothing: as %d
        {"p.%01d.exr", folder + "p.%d.exr"},
        {"p.##.exr", folder + "p.%02d.exr"},
        {"/v@/x#/p.%d.exr", "/v@/x#/p.%d.exr"},  // the folder as written
    };
    for (const auto &[out, canonical] : cases) EXPECT_EQ(CanonicalOutputPattern(out), canonical) << out;
    EXPECT_NE(CanonicalOutputPattern("p.##.exr"), CanonicalOutputPattern("p.###.exr"));
}

}  // namespace
}  // namespace veilshadow
