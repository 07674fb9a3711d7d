// What the farm asks of a scheduler, whichever it is: to take a job of
// chunks, to say whether a job is still queued or running, and to cancel
// one. The farm's run (Farm.h) knows shots, chunks and records and talks
// to a scheduler only through this interface; Slurm.h is the one engine
// users can pick.
#ifndef VEILSHADOW_SCHEDULER_H
#define VEILSHADOW_SCHEDULER_H

#include "FarmPlan.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veilshadow {

// One submission as a scheduler is given it.
struct FarmJob {
    std::string name;    // FarmName of OUT's pattern: the job's files start with it
    std::string folder;  // for the scheduler's files (script, logs); made already
    ChunkCommand command;
    std::vector<std::vector<long>> chunks;  // every chunk of the sequence, the same from run to run
    std::vector<long> tasks;                // the indices of the chunks to render now, ascending
};

// The scheduler as the farm's messages name it.
struct SchedulerNames {
    std::string command;  // the subcommand: "farm slurm"
    std::string cluster;  // "the Slurm cluster"
    std::string lister;   // the program that lists queued jobs: "squeue"
    std::string follow;   // followed by a job's id, follows it: "squeue -j "
    std::string cancel;   // followed by a job's id, cancels it: "scancel "
};

// A submitted job: its id (one word) and lines that tell where its files
// are, each starting "  " and ending in a newline, printed after the
// submission.
struct SubmittedJob {
    std::string id;
    std::string where;
};

class Scheduler {
public:
    explicit Scheduler(SchedulerNames scheduler_names) : names(std::move(scheduler_names)) {}
    virtual ~Scheduler() = default;
    const SchedulerNames names;
    // Throws UsageError for an option of the scheduler's own that it
    // refuses; asked before anything else is looked at.
    virtual void CheckOptions() const {}
    // Throws UsageError for a folder it cannot keep the job's files in.
    virtual void CheckFolder(const std::string &folder) const { (void)folder; }
    // Writes what the job needs before it is submitted (a job script);
    // asked before the submission is recorded. Throws RunError.
    virtual void Prepare(const FarmJob &job) = 0;
    // Submits the job's tasks, once: a failure is reported as it is, never
    // tried again. Throws RunError.
    virtual SubmittedJob Submit(const FarmJob &job) = 0;
    // Whether a job still has tasks queued or running; empty when the
    // scheduler did not answer (`message` then says why).
    virtual std::optional<bool> JobActive(const std::string &id, std::string &message) = 0;
    // Cancels a job; false when the scheduler did not (`message` says why).
    virtual bool Cancel(const std::string &id, std::string &message) = 0;
};

// Time as a wait sees it; the tests' clock moves only when slept on.
class WaitClock {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~WaitClock() = default;
    virtual Clock::time_point Now() { return Clock::now(); }
    virtual void Sleep(Clock::duration duration);
};

// How long a wait goes on asking a scheduler that does not answer.
inline constexpr auto kLostContactLimit = std::chrono::minutes(5);

// Waits until the job has no task queued or running, asking less often as
// the wait grows (every tenth of the time waited, 1 s to 30 s). Throws
// RunError when the scheduler has not answered for kLostContactLimit.
void WaitForJob(Scheduler &scheduler, const std::string &id, WaitClock &clock);

}  // namespace veilshadow

#endif
