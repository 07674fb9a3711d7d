// Slurm as veilshadow uses it: submit one array job, ask whether a job is
// still queued or running, cancel it, and wait for it. Behind an
// interface, so the farm's logic runs against a fake cluster in the tests.
#ifndef VEILSHADOW_SLURM_H
#define VEILSHADOW_SLURM_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace veilshadow {

class SlurmClient {
public:
    virtual ~SlurmClient() = default;
    // Submits `script` as one array job of `tasks` with sbatch's `options`
    // (checked by CheckSbatchOptions), once: a failure is reported as it
    // is, never tried again. The array is set after `options`, where none
    // of them can change it. Returns the job id. Throws RunError: Slurm not
    // installed, "cannot reach the Slurm cluster: ...", "the Slurm cluster
    // refused the job: ...".
    virtual std::string Submit(const std::vector<std::string> &options, const std::vector<long> &tasks,
                               const std::string &script) = 0;
    // Whether a job still has tasks queued or running; empty when the
    // cluster did not answer (`message` then says why).
    virtual std::optional<bool> JobActive(const std::string &id, std::string &message) = 0;
    // Cancels a job; false when the cluster did not (`message` says why).
    virtual bool Cancel(const std::string &id, std::string &message) = 0;
};

// Throws UsageError for a word given to pass on to sbatch that sbatch
// could take as its array, or that could make sbatch read the words after
// it otherwise than as options: any prefix of --array ("--arr=7"; sbatch
// takes unambiguous abbreviations), -a in a cluster of short options
// ("-Ha7"), "--", a word that is not an option (sbatch would take it as
// the job script), and an option whose value is not joined to it
// ("--partition" or "-p" alone would take the next word as its value).
void CheckSbatchOptions(const std::vector<std::string> &words);

// The real cluster, through sbatch and squeue on PATH.
class SlurmCommands : public SlurmClient {
public:
    std::string Submit(const std::vector<std::string> &options, const std::vector<long> &tasks,
                       const std::string &script) override;
    std::optional<bool> JobActive(const std::string &id, std::string &message) override;
    bool Cancel(const std::string &id, std::string &message) override;
};

// Time as a wait sees it; the tests' clock moves only when slept on.
class WaitClock {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~WaitClock() = default;
    virtual Clock::time_point Now() { return Clock::now(); }
    virtual void Sleep(Clock::duration duration);
};

// How long a wait goes on asking a cluster that does not answer.
inline constexpr auto kLostContactLimit = std::chrono::minutes(5);

// Waits until the job has no task queued or running, asking less often as
// the wait grows (every tenth of the time waited, 1 s to 30 s). Throws
// RunError when the cluster has not answered for kLostContactLimit.
void WaitForJob(SlurmClient &slurm, const std::string &id, WaitClock &clock);

}  // namespace veilshadow

#endif
