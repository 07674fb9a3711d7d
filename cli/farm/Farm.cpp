#include "Farm.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "FrameList.h"
#include "FramePattern.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <utility>

namespace veilshadow {
namespace {

namespace fs = std::filesystem;

// The absolute form of a path the nodes will open, with a warning for
// /tmp, which each machine has of its own.
std::string ForTheNodes(const std::string &path) {
    const std::string absolute = fs::absolute(path).lexically_normal().string();
    if (absolute == "/tmp" || absolute.rfind("/tmp/", 0) == 0)
        std::fprintf(stderr, "veilshadow: warning: %s is under /tmp, which the farm's nodes may not see\n",
                     absolute.c_str());
    return absolute;
}

// The frames whose OUT is not done, and the frame whose shape every chunk
// is held to: the sequence's first that can be read, or its first frame
// when none can yet (the inputs of a job that waits for another).
struct FrameCheck {
    std::vector<long> missing;
    long shape_frame = 0;
};

FrameCheck CheckFrames(const SequenceJob &job) {
    const Shot shot(job);
    const std::optional<FrameShape> shape = shot.FindShape();
    return FrameCheck{shot.Missing(shape), shape ? shape->frame : job.frames.front()};
}

// The jobs of the records file that are still queued or running. A
// submission recorded without its job id (a run stopped, or one whose job
// could be neither recorded nor cancelled) may be queued under an id no
// one knows: it is refused until the user has looked.
std::vector<JobRecord> ActiveJobs(Scheduler &scheduler, const std::string &records, const std::string &output) {
    std::error_code ec;
    if (!fs::exists(records, ec)) return {};
    const RunError unreadable(
        FileMessage(records, "cannot read the jobs submitted for " + output + " by earlier runs"));
    if (!fs::is_regular_file(records, ec)) throw unreadable;
    std::string text;
    try {
        std::ifstream file(records);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (!file.is_open() || file.bad()) throw unreadable;
    } catch (const std::ios_base::failure &) {  // a read error, as the stream library reports one
        throw unreadable;
    }
    const SchedulerNames &names = scheduler.names;
    std::vector<JobRecord> active;
    for (JobRecord &job : ParseRecords(text, records)) {
        if (job.id == kSubmittingJob)
            throw RunError(
                FileMessage(records, "an earlier run began to submit frames " + FormatFrameList(job.frames) + " of " +
                                         output + " and did not record the job's id: if " + names.lister +
                                         " shows that job, "
                                         "cancel it; then delete the line \"" +
                                         kSubmittingJob + " " + FormatFrameList(job.frames) + "\" and run this again"));
        std::string message;
        const std::optional<bool> running = scheduler.JobActive(job.id, message);
        if (!running)
            throw RunError("cannot reach " + names.cluster + " to ask about job " + job.id +
                           " of an earlier run: " + message);
        if (*running) active.push_back(std::move(job));
    }
    return active;
}

// One submission for an OUT at a time: two runs at once would each see
// no earlier job and both submit. Held on a file beside the records
// (which is replaced, not written in place).
class SubmissionLock {
public:
    SubmissionLock(const std::string &path, const std::string &command)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0) throw RunError(FileMessage(path, std::string("cannot open the lock: ") + std::strerror(errno)));
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd_);
            throw RunError(FileMessage(path, error == EWOULDBLOCK
                                                 ? "another " + command +
                                                       " run is submitting frames of the same OUT; "
                                                       "run this again when it has finished"
                                                 : std::string("cannot take the lock: ") + std::strerror(error)));
        }
    }
    ~SubmissionLock() { close(fd_); }
    SubmissionLock(const SubmissionLock &) = delete;
    SubmissionLock &operator=(const SubmissionLock &) = delete;

private:
    int fd_;
};

// The submission, recorded on disk before the scheduler takes it and amended with
// the job's id after: a job is never queued that a later run cannot see.
// A job whose id cannot be recorded is cancelled; the run then fails.
SubmittedJob SubmitRecorded(Scheduler &scheduler, const FarmJob &job, const Submission &submission,
                            const std::string &records, std::vector<JobRecord> active) {
    std::vector<JobRecord> recorded = active;
    recorded.push_back({kSubmittingJob, submission.frames});
    try {
        WriteFileAtomically(records, FormatRecords(recorded));
    } catch (const RunError &e) {
        throw RunError(std::string(e.what()) + " (the record of the job to submit; nothing was submitted)");
    }
    SubmittedJob submitted;
    try {
        submitted = scheduler.Submit(job);
    } catch (const RunError &) {
        try {
            WriteFileAtomically(records, FormatRecords(active));
        } catch (const RunError &e) {
            std::fprintf(stderr, "veilshadow: warning: %s\n", e.what());
        }
        throw;
    }
    const std::string &id = submitted.id;
    recorded.back().id = id;
    try {
        WriteFileAtomically(records, FormatRecords(recorded));
        return submitted;
    } catch (const RunError &e) {
        std::string message;
        if (!scheduler.Cancel(id, message))
            throw RunError(std::string(e.what()) + " (the record of job " + id + "); job " + id +
                           " was submitted and could not be cancelled (" + message + "): cancel it (" +
                           scheduler.names.cancel + id + ") before running this again");
        try {
            WriteFileAtomically(records, FormatRecords(active));
        } catch (const RunError &) {
            // The line without an id stays: the next run asks the user to look.
        }
        throw RunError(std::string(e.what()) + " (the record of job " + id + "); job " + id +
                       " was submitted and has been cancelled, since no later run could have seen it");
    }
}

// "6 of 8 frames written; missing: 5-6". True when none is missing.
bool ReportFrames(const SequenceJob &job, const std::vector<long> &missing) {
    const std::size_t total = job.frames.size();
    std::printf("%zu of %zu frames written", total - missing.size(), total);
    if (!missing.empty()) std::printf("; missing: %s", FormatFrameList(missing).c_str());
    std::printf("\n");
    std::fflush(stdout);  // before anything on standard error
    return missing.empty();
}

}  // namespace

std::string FormatRecords(const std::vector<JobRecord> &jobs) {
    std::string text;
    for (const JobRecord &job : jobs) text += job.id + " " + FormatFrameList(job.frames) + "\n";
    return text;
}

std::vector<JobRecord> ParseRecords(const std::string &text, const std::string &source) {
    std::vector<JobRecord> jobs;
    std::istringstream lines(text);
    std::string id, frames;
    while (lines >> id >> frames) jobs.push_back({id, ParseFrameList(frames, source)});
    return jobs;
}

int RunFarm(ChunkCommand command, const FarmOptions &options, Scheduler &scheduler, WaitClock &clock) {
    const SchedulerNames &names = scheduler.names;
    SequenceJob job = JobOf(command.options);
    if (!job.sequence) throw UsageError(names.command + " renders a sequence: give --frames LIST");
    scheduler.CheckOptions();

    // The program and the folders as every node sees them; the tasks run
    // in this folder, where the file names are as given.
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    command.program = ec ? ForTheNodes("veilshadow") : self.string();
    command.folder = ForTheNodes(".");
    for (const std::string *path : {&job.input, &job.layer, &job.output}) ForTheNodes(*path);
    std::string &plugin = command.options.plugin;
    if (!plugin.empty()) plugin = ForTheNodes(plugin);
    // The job is the set of files it writes: its name and its records come
    // from the one spelling of OUT's pattern, and the records stay beside
    // OUT whichever folder holds the script and logs.
    const std::string pattern = CanonicalOutputPattern(job.output);
    const std::string name = FarmName(pattern);
    const fs::path record_dir = fs::path(pattern).parent_path() / "veilshadow-farm";
    const fs::path job_dir = options.job_dir.empty() ? record_dir : fs::path(ForTheNodes(options.job_dir));
    scheduler.CheckFolder(job_dir.string());

    const FrameCheck check = CheckFrames(job);
    const std::vector<long> &missing = check.missing;
    job.shape_frame = command.options.shape_frame = check.shape_frame;
    if (missing.empty()) {
        std::printf("all %zu frames of %s are written: nothing to submit\n", job.frames.size(),
                    FormatFrameList(job.frames).c_str());
        return kExitSuccess;
    }
    const std::vector<std::vector<long>> chunks = SplitIntoChunks(job.frames, options.chunk);
    const Submission submission = ChunksToSubmit(chunks, missing);
    const std::vector<long> &tasks = submission.tasks;

    for (const fs::path &folder : {record_dir, job_dir}) {
        fs::create_directories(folder, ec);
        if (ec) throw RunError(FileMessage(folder.string(), "cannot make the job folder: " + ec.message()));
    }
    const std::string records = (record_dir / (name + ".jobs")).string();
    std::optional<SubmissionLock> lock(std::in_place, (record_dir / (name + ".lock")).string(), names.command);
    const std::vector<JobRecord> active = ActiveJobs(scheduler, records, job.output);
    for (const JobRecord &earlier : active)
        if (Overlap(earlier.frames, submission.frames))
            throw RunError("job " + earlier.id + " of an earlier run still has frames " +
                           FormatFrameList(earlier.frames) + " of " + job.output +
                           " queued or rendering: let it end (" + names.follow + earlier.id + ") or cancel it (" +
                           names.cancel + earlier.id + "), then run this again");
    const FarmJob farm_job{name, job_dir.string(), command, chunks, tasks};
    scheduler.Prepare(farm_job);
    const SubmittedJob submitted = SubmitRecorded(scheduler, farm_job, submission, records, active);
    const std::string &id = submitted.id;
    lock.reset();  // recorded: a run for other frames of OUT may submit while this one waits

    std::printf("submitted job %s: %zu task%s of up to %ld frames (array %s) for %zu missing frame%s of %zu\n",
                id.c_str(), tasks.size(), tasks.size() == 1 ? "" : "s", options.chunk, FormatFrameList(tasks).c_str(),
                missing.size(), missing.size() == 1 ? "" : "s", job.frames.size());
    std::printf("  follow it:  %s%s\n", names.follow.c_str(), id.c_str());
    std::printf("%s", submitted.where.c_str());
    if (!options.wait) return kExitSuccess;

    std::printf("waiting for job %s to end (stopping the wait leaves the job running)\n", id.c_str());
    std::fflush(stdout);
    WaitForJob(scheduler, id, clock);
    if (ReportFrames(job, CheckFrames(job).missing)) return kExitSuccess;
    std::fprintf(stderr, "veilshadow: the task logs say why frames are missing; the same command again renders them\n");
    return kExitFailure;
}

}  // namespace veilshadow
