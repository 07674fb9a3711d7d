// Slurm, the farm's scheduler: the job script of one array job whose
// tasks each render a chunk, sbatch's options checked, and sbatch, squeue
// and scancel behind an interface, so the engine runs against a fake
// cluster in the tests.
#ifndef VEILSHADOW_SLURM_H
#define VEILSHADOW_SLURM_H

#include "FarmPlan.h"
#include "Scheduler.h"

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

// `path` as Slurm's --output takes it: '%' starts a replacement there.
std::string SlurmLiteral(const std::string &path);

// The job script: the chunk of each array index, then the chunk command
// in the submission's folder on the CPUs Slurm gave the task (--threads
// when given).
std::string JobScript(const ChunkCommand &command, const std::vector<std::vector<long>> &chunks);

// The farm's Slurm engine: a job is one array job, task i rendering chunk
// i, submitted by `client` with the user's words for sbatch (`sbatch`)
// after the job's own, so that they win.
class SlurmScheduler : public Scheduler {
public:
    SlurmScheduler(SlurmClient &client, std::vector<std::string> sbatch);
    void CheckOptions() const override;
    void CheckFolder(const std::string &folder) const override;
    void Prepare(const FarmJob &job) override;
    SubmittedJob Submit(const FarmJob &job) override;
    std::optional<bool> JobActive(const std::string &id, std::string &message) override;
    bool Cancel(const std::string &id, std::string &message) override;

private:
    SlurmClient &client_;
    std::vector<std::string> sbatch_;
};

}  // namespace veilshadow

#endif
