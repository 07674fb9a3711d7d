// The farm's plan without a farm: chunks, job names, the records of
// earlier jobs; Slurm's job script; and `farm slurm` against a fake
// cluster whose clock moves only when a wait sleeps.
#include "cli_test_support.h"

#include "Errors.h"
#include "Farm.h"
#include "FarmPlan.h"
#include "FrameList.h"
#include "FramePattern.h"
#include "Slurm.h"
#include "local_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veilshadow {
namespace {

using namespace std::chrono_literals;

TEST(FarmPlan, ChunksAndWhatIsSubmitted) {
    const std::vector<long> frames = ParseFrameList("1-8");
    const std::vector<std::vector<long>> chunks = SplitIntoChunks(frames, 3);
    EXPECT_EQ(chunks, (std::vector<std::vector<long>>{{1, 2, 3}, {4, 5, 6}, {7, 8}}));
    const struct {
        std::vector<long> missing, tasks, frames;
    } cases[] = {
        {{2, 7}, {0, 2}, {1, 2, 3, 7, 8}},
        {{6}, {1}, {4, 5, 6}},
        {{}, {}, {}},
        {{1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2}, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto &c : cases) {
        const Submission submission = ChunksToSubmit(chunks, c.missing);
        EXPECT_EQ(submission.tasks, c.tasks) << FormatFrameList(c.missing);
        EXPECT_EQ(submission.frames, c.frames) << FormatFrameList(c.missing);
    }
}

// Job files are named by OUT's name without its pattern, and a hash of the
// whole pattern keeps outputs whose names clean up alike apart.
TEST(FarmPlan, NamesOfJobFiles) {
    const std::pair<const char *, const char *> cases[] = {
        {"out.####.exr", "out.exr-"}, {"a.%04d.tif", "a.tif-"},  {"x y.#.png", "x_y.png-"},
        {"####.exr", "exr-"},         {"a%5d.png", "a_5d.png-"}, {"####", "frames-"},
    };
    for (const auto &c : cases) {
        const std::string name = FarmName(std::string("/s/") + c.first);
        EXPECT_EQ(name.rfind(c.second, 0), 0u) << c.first << " gave " << name;
        EXPECT_EQ(name.size(), std::string(c.second).size() + 8) << name;
    }
    EXPECT_NE(FarmName("/s/x y.#.png"), FarmName("/s/x_y.#.png"));
    EXPECT_NE(FarmName("/a/o.#.png"), FarmName("/b/o.#.png"));
    EXPECT_EQ(SlurmLiteral("/shots/100%a/o-"), "/shots/100%%a/o-");
}

// The chunk command carries every render option the run was given.
TEST(Slurm, TheJobScriptCarriesEveryOption) {
    ChunkCommand command;
    command.program = "/opt/vs/veilshadow";
    command.folder = "/shots/shot#12 1's";
    command.options.input = "comp.####.exr";
    command.options.layer = "layer.exr";
    command.options.output = "out dir/o.####.exr";
    command.options.alpha = "straight";
    command.options.downsample = 2;
    command.options.shape_frame = -3;
    command.options.opacity = "12.5";
    command.options.plugin = "/opt/vs/OrvaneVeilShadow.so";
    command.options.threads = 4;
    command.options.quiet = true;
    const std::string script = JobScript(command, {{-3, -2}, {5}});
    for (const char *expected :
         {"0) frames=-3--2 ;;\n", "1) frames=5 ;;\n", "--array=0-1", "cd -- '/shots/shot#12 1'\\''s' || exit 1\n",
          "exec /opt/vs/veilshadow --input='comp.####.exr' --layer=layer.exr "
          "--output='out dir/o.####.exr' --opacity=12.5 --alpha=straight --downsample=2 "
          "--plugin=/opt/vs/OrvaneVeilShadow.so --quiet --frames=\"$frames\" "
          "--shape-frame=-3 --resume --keep-going --threads=4\n"})
        EXPECT_NE(script.find(expected), std::string::npos) << expected << "\nin\n" << script;
}

TEST(Farm, RecordsReadBack) {
    const std::vector<JobRecord> jobs = {{"12", {1, 2, 3, 7}}, {"15", {-2, -1}}};
    const std::vector<JobRecord> read = ParseRecords(FormatRecords(jobs), "out.jobs");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].id, "12");
    EXPECT_EQ(read[0].frames, jobs[0].frames);
    EXPECT_EQ(read[1].frames, jobs[1].frames);
    EXPECT_THROW(ParseRecords("12 1-x\n", "out.jobs"), UsageError);
}

// A cluster that answers from a script of answers, and a clock that moves
// only when a wait sleeps.
class FakeSlurm : public SlurmClient {
public:
    std::deque<std::optional<bool>> answers;  // the last one repeats
    std::vector<std::vector<std::string>> submitted;
    std::vector<std::string> cancelled;
    int asked = 0;
    std::function<void()> on_ask, on_submit;  // run as the cluster is asked, as a job is submitted

    std::string Submit(const std::vector<std::string> &options, const std::vector<long> &tasks,
                       const std::string &script) override {
        if (on_submit) on_submit();
        submitted.push_back(options);
        submitted.back().push_back("--array=" + FormatFrameList(tasks));
        submitted.back().push_back(script);
        return std::to_string(16 + submitted.size());
    }
    bool Cancel(const std::string &id, std::string &) override {
        cancelled.push_back(id);
        return true;
    }
    std::optional<bool> JobActive(const std::string &, std::string &message) override {
        if (on_ask) on_ask();
        ++asked;
        const std::optional<bool> answer = answers.front();
        if (answers.size() > 1) answers.pop_front();
        if (!answer) message = "Unable to contact slurm controller";
        return answer;
    }
};

// farm slurm as the program runs it, on the fake cluster.
int RunFarmSlurm(const ChunkCommand &command, const FarmOptions &options, SlurmClient &slurm, WaitClock &clock,
                 const std::vector<std::string> &sbatch = {}) {
    SlurmScheduler scheduler(slurm, sbatch);
    return RunFarm(command, options, scheduler, clock);
}

class FakeClock : public WaitClock {
public:
    Clock::time_point now{};
    std::vector<Clock::duration> sleeps;
    Clock::time_point Now() override { return now; }
    void Sleep(Clock::duration duration) override {
        sleeps.push_back(duration);
        now += duration;
    }
};

TEST(Slurm, AWaitEndsWithTheJobOrAfterFiveMinutesWithoutAnAnswer) {
    const auto WaitForJob = [](SlurmClient &slurm, const std::string &id, WaitClock &clock) {
        SlurmScheduler scheduler(slurm, {});
        veilshadow::WaitForJob(scheduler, id, clock);
    };
    {  // the job ends: asked less often as the wait grows, from 1 s
        FakeSlurm slurm;
        FakeClock clock;
        slurm.answers = {true, true, true, true, true, true, true, true, true, true, true, true, false};
        WaitForJob(slurm, "17", clock);
        EXPECT_EQ(slurm.asked, 13);
        ASSERT_EQ(clock.sleeps.size(), 12u);
        EXPECT_EQ(clock.sleeps.front(), 1s);
        EXPECT_GT(clock.sleeps.back(), 1s);
    }
    {  // no answer for four minutes, then the job ends: contact is regained
        FakeSlurm slurm;
        FakeClock clock;
        for (int i = 0; i < 30; ++i) slurm.answers.push_back(std::nullopt);
        slurm.answers.push_back(false);
        WaitForJob(slurm, "17", clock);
        EXPECT_LT(clock.now.time_since_epoch(), kLostContactLimit);
    }
    {  // no answer at all: given up past five minutes, naming the job
        FakeSlurm slurm;
        FakeClock clock;
        slurm.answers = {std::nullopt};
        try {
            WaitForJob(slurm, "17", clock);
            FAIL() << "waited for ever";
        } catch (const RunError &e) {
            EXPECT_NE(std::string(e.what()).find("lost contact with the Slurm cluster while waiting for job 17"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_GT(clock.now.time_since_epoch(), kLostContactLimit);
        EXPECT_LT(clock.now.time_since_epoch(), kLostContactLimit + 31s);
    }
}

// A shot of four frames whose OUT is not written yet.
struct FarmShot {
    clitest::TempDir dir;
    ChunkCommand command;
    FarmOptions options;
    FarmShot() {
        for (int frame = 1; frame <= 4; ++frame)
            clitest::WriteTestImage(dir / ("comp." + ExpandFramePattern("####", frame) + ".png"),
                                    clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 6, 4, frame));
        clitest::WriteTestImage(dir / "layer.png", clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 6, 4, 9));
        command.options.input = dir / "comp.####.png";
        command.options.layer = dir / "layer.png";
        command.options.output = dir / "p.####.png";
        command.options.frames = "1-4";
        options.chunk = 4;
    }
    // The records file of the job (the only one beside OUT).
    std::string Records() const {
        for (const auto &entry : std::filesystem::directory_iterator(dir / "veilshadow-farm"))
            if (entry.path().extension() == ".jobs") return entry.path().string();
        return "";
    }
};

// The farm through an engine that is not Slurm: what it is given is the
// shot's (its chunks, the tasks that miss frames, the job folder, the
// records), its messages name that engine, and nothing of Slurm's (a job
// script, a folder refused for its backslash) is made or checked.
TEST(Farm, ASecondEngineIsGivenTheShotAndNothingOfSlurms) {
    FarmShot shot;
    shot.options.chunk = 3;
    shot.options.wait = true;
    const std::string job_dir = shot.dir / "logs\\here";
    shot.options.job_dir = job_dir;
    LocalScheduler local;
    FakeClock clock;
    testing::internal::CaptureStdout();
    const int first = RunFarm(shot.command, shot.options, local, clock);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(first, kExitSuccess) << printed;  // the wait found every frame rendered
    EXPECT_NE(printed.find("  follow it:  wait-for local-1\n  rendered:   2 chunks here\n"), std::string::npos)
        << printed;
    std::filesystem::remove(shot.dir / "p.0002.png");
    ASSERT_EQ(RunFarm(shot.command, shot.options, local, clock), kExitSuccess);

    ASSERT_EQ(local.submitted.size(), 2u);
    EXPECT_EQ(local.prepared.size(), 2u);
    EXPECT_EQ(local.submitted[0].tasks, (std::vector<long>{0, 1}));
    EXPECT_EQ(local.submitted[1].tasks, (std::vector<long>{0}));
    for (const FarmJob &job : local.submitted) {
        EXPECT_EQ(job.chunks, (std::vector<std::vector<long>>{{1, 2, 3}, {4}}));
        EXPECT_EQ(job.folder, job_dir);
        EXPECT_EQ(job.name, FarmName(CanonicalOutputPattern(shot.dir / "p.####.png")));
        EXPECT_EQ(job.command.options.shape_frame, 1);
    }
    ASSERT_EQ(local.chunk_lines.size(), 3u);
    EXPECT_NE(local.chunk_lines[2].find(" --frames=1-3 --shape-frame=1 --resume"), std::string::npos);
    std::ifstream records(shot.Records());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(records), {}), "local-2 1-3\n");  // local-1 had ended
    EXPECT_TRUE(std::filesystem::is_empty(job_dir));

    std::filesystem::remove(shot.dir / "p.0001.png");
    local.active = {"local-2"};
    try {
        RunFarm(shot.command, shot.options, local, clock);
        ADD_FAILURE() << "submitted while local-2 holds the frames";
    } catch (const RunError &e) {
        EXPECT_NE(std::string(e.what()).find("let it end (wait-for local-2) or cancel it (kill local-2)"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(local.submitted.size(), 2u);
}

// farm slurm on a fake cluster: the missing chunks submitted once, the
// wait and its check of every frame, and a second run refused while the
// first job holds its frames.
TEST(FarmSlurm, SubmitsTheMissingChunksOnceAndWaits) {
    FarmShot shot;
    const ChunkCommand &command = shot.command;
    FarmOptions &options = shot.options;
    options.chunk = 3;
    options.wait = true;
    FakeSlurm slurm;
    FakeClock clock;
    slurm.answers = {false};  // nothing from earlier runs; the job ends at once

    EXPECT_EQ(RunFarmSlurm(command, options, slurm, clock), kExitFailure);  // the fake renders nothing
    ASSERT_EQ(slurm.submitted.size(), 1u);
    const std::vector<std::string> &sbatch = slurm.submitted[0];
    EXPECT_EQ(sbatch[sbatch.size() - 2], "--array=0-1");
    EXPECT_EQ(sbatch[0].rfind("--job-name=veilshadow-p.png-", 0), 0u) << sbatch[0];

    slurm.answers = {true};  // job 17 still queued
    try {
        RunFarmSlurm(command, options, slurm, clock);
        FAIL() << "submitted while job 17 holds the frames";
    } catch (const RunError &e) {
        EXPECT_NE(std::string(e.what()).find("job 17 of an earlier run still has frames 1-4"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(slurm.submitted.size(), 1u);
}

// Words sbatch could take as its array, or that could make it read the
// words after them otherwise than as options, are refused with nothing
// submitted; the others go to sbatch before the array, which comes last.
TEST(FarmSlurm, SbatchWordsThatCouldSetTheArrayAreRefused) {
    FarmShot shot;
    FakeSlurm slurm;
    FakeClock clock;
    slurm.answers = {false};
    const char *const refused[] = {"--array=1",   "--arra=1", "--arr=7", "--ar=7", "--a=7",    "--array", "--arr",
                                   "-a7",         "-a",       "-Ha7",    "-Qva",   "--",       "render",  "-",
                                   "--partition", "--part",   "-p",      "-Hp",    "--array=", "",        "--array 7"};
    for (const char *word : refused)
        EXPECT_THROW(RunFarmSlurm(shot.command, shot.options, slurm, clock, {"--hold", word}), UsageError) << word;
    EXPECT_TRUE(slurm.submitted.empty());
    const std::vector<std::string> words = {"--partition=all",     "-pall", "-Hpa",    "--hold", "-H",
                                            "--comment=--array=7", "--ho",  "--mem=1G"};
    EXPECT_EQ(RunFarmSlurm(shot.command, shot.options, slurm, clock, words), kExitSuccess);
    ASSERT_EQ(slurm.submitted.size(), 1u);
    const std::vector<std::string> &sbatch = slurm.submitted[0];
    ASSERT_GE(sbatch.size(), words.size() + 2);
    const auto given = sbatch.end() - 2 - static_cast<std::ptrdiff_t>(words.size());
    EXPECT_TRUE(std::equal(words.begin(), words.end(), given));
    EXPECT_EQ(sbatch[sbatch.size() - 2], "--array=0");
}

// Every spelling of one OUT pattern, from any folder and with any job
// folder, is one job: a second run is refused while the first holds the
// frames.
TEST(FarmSlurm, EverySpellingOfOneOutIsOneJob) {
    FarmShot shot;
    std::filesystem::create_directory(shot.dir / "sub");
    std::filesystem::create_directory_symlink(shot.dir.path(), shot.dir / "link");
    FakeSlurm slurm;
    FakeClock clock;
    slurm.answers = {false};
    ASSERT_EQ(RunFarmSlurm(shot.command, shot.options, slurm, clock), kExitSuccess);
    slurm.answers = {true};  // job 17 still queued
    const std::pair<std::string, std::string> spellings[] = {
        {shot.dir / "p.#.png", ""},
        {shot.dir / "p.%04d.png", ""},
        {shot.dir / "sub/../p.@@@@.png", ""},
        {shot.dir / "link/p.####.png", ""},
        {shot.dir / "p.####.png", shot.dir / "other jobs"},
    };
    for (const auto &[output, job_dir] : spellings) {
        shot.command.options.output = output;
        shot.options.job_dir = job_dir;
        try {
            RunFarmSlurm(shot.command, shot.options, slurm, clock);
            ADD_FAILURE() << output << " was submitted while job 17 writes its files";
        } catch (const RunError &e) {
            EXPECT_NE(std::string(e.what()).find("job 17 of an earlier run still has frames 1-4"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_EQ(slurm.submitted.size(), 1u);
}

// The record of a job is on disk before it is submitted: a record that
// cannot be written submits nothing, a job whose id cannot be recorded
// is cancelled, and a submission left without its id is not repeated. A
// run while another submits for the same OUT submits nothing.
TEST(FarmSlurm, AJobIsRecordedBeforeItIsSubmittedAndOneAtATime) {
    FarmShot shot;
    FakeSlurm slurm;
    FakeClock clock;
    slurm.answers = {false};
    ASSERT_EQ(RunFarmSlurm(shot.command, shot.options, slurm, clock), kExitSuccess);
    const std::string records = shot.Records();
    ASSERT_FALSE(records.empty());
    const auto unwritable = [&records] {  // a folder in its place: no file can be renamed onto it
        std::filesystem::remove_all(records);
        std::filesystem::create_directory(records);
    };

    bool second_run = false;
    slurm.on_ask = [&] {  // a second run while the first reads the records
        if (std::exchange(second_run, true)) return;
        try {
            RunFarmSlurm(shot.command, shot.options, slurm, clock);
            ADD_FAILURE() << "two runs submitted at once";
        } catch (const RunError &e) {
            EXPECT_NE(std::string(e.what()).find("another farm slurm run"), std::string::npos) << e.what();
        }
    };
    EXPECT_EQ(RunFarmSlurm(shot.command, shot.options, slurm, clock), kExitSuccess);
    EXPECT_TRUE(second_run);
    EXPECT_EQ(slurm.submitted.size(), 2u);

    slurm.on_ask = unwritable;  // before the submission
    EXPECT_THROW(RunFarmSlurm(shot.command, shot.options, slurm, clock), RunError);
    EXPECT_EQ(slurm.submitted.size(), 2u);
    slurm.on_ask = nullptr;
    std::filesystem::remove_all(records);

    slurm.on_submit = unwritable;  // while sbatch runs
    EXPECT_THROW(RunFarmSlurm(shot.command, shot.options, slurm, clock), RunError);
    EXPECT_EQ(slurm.submitted.size(), 3u);
    EXPECT_EQ(slurm.cancelled, std::vector<std::string>{"19"});
    slurm.on_submit = nullptr;
    std::filesystem::remove_all(records);

    std::ofstream(records) << "submitting 1-4\n";  // a run stopped while sbatch ran
    try {
        RunFarmSlurm(shot.command, shot.options, slurm, clock);
        ADD_FAILURE() << "submitted again while a submission may be queued";
    } catch (const RunError &e) {
        EXPECT_NE(std::string(e.what()).find(records), std::string::npos) << e.what();
    }
    EXPECT_EQ(slurm.submitted.size(), 3u);
}

// A frame whose OUT is one of its inputs (both patterns give c.1000.png)
// is refused as a rendered frame would be, not counted as written.
TEST(FarmSlurm, AnOutputThatIsAnInputIsRefusedNotCountedAsWritten) {
    clitest::TempDir dir;
    clitest::WriteTestImage(dir / "c.1000.png", clitest::RandomImage(clitest::Sample::kU8, 4, 0, 0, 6, 4, 1));
    ChunkCommand command;
    command.options.input = dir / "c.#.png";
    command.options.layer = dir / "c.#.png";
    command.options.output = dir / "c.####.png";
    command.options.frames = "1000";
    FakeSlurm slurm;
    FakeClock clock;
    EXPECT_THROW(
        try { RunFarmSlurm(command, FarmOptions{}, slurm, clock); } catch (const UsageError &e) {
            EXPECT_NE(std::string(e.what()).find("the output would overwrite an input file"), std::string::npos);
            throw;
        },
        UsageError);
    EXPECT_TRUE(slurm.submitted.empty());
}

}  // namespace
}  // namespace veilshadow
