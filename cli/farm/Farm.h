// A sequence rendered on a farm: the frames split into chunks, one job
// whose tasks each render a chunk with the plain chunk command
// (veilshadow ... --frames=CHUNK --resume --keep-going), handed to a
// scheduler, and, when asked, a wait for the job and a check of every
// frame. What the scheduler is, is the scheduler's (Scheduler.h).
#ifndef VEILSHADOW_FARM_H
#define VEILSHADOW_FARM_H

#include "FarmPlan.h"
#include "Scheduler.h"

#include <string>
#include <vector>

namespace veilshadow {

// The farm's options beside the render options and the scheduler's own.
struct FarmOptions {
    long chunk = 10;      // frames per task
    std::string job_dir;  // empty: veilshadow-farm/ beside the outputs
    bool wait = false;
};

// A job submitted for one OUT, not yet seen to end; the records file
// holds one line each: "ID FRAMES". A submission is recorded before it is
// handed to the scheduler, under the id kSubmittingJob, and that line is
// replaced by the job's id once the scheduler has given it.
inline constexpr const char *kSubmittingJob = "submitting";
struct JobRecord {
    std::string id;
    std::vector<long> frames;
};
std::string FormatRecords(const std::vector<JobRecord> &jobs);
// Throws UsageError naming `source` for a line that is not a record.
std::vector<JobRecord> ParseRecords(const std::string &text, const std::string &source);

// Submits the chunks that miss frames to `scheduler` (nothing when none
// do), waits with options.wait on `clock`. Returns the exit code; throws
// UsageError or RunError.
int RunFarm(ChunkCommand command, const FarmOptions &options, Scheduler &scheduler, WaitClock &clock);

}  // namespace veilshadow

#endif
