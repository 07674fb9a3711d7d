// A second engine for the farm, not shaped like Slurm: each submission's
// chunks are rendered at once, one after another, by the built veilshadow
// on this machine, each with its own chunk command (no job script, no
// array, ids that are not numbers). It keeps what it was given, for the
// tests to hold against the shot.
#ifndef VEILSHADOW_TESTS_LOCAL_SCHEDULER_H
#define VEILSHADOW_TESTS_LOCAL_SCHEDULER_H

#include "Errors.h"
#include "FarmPlan.h"
#include "FrameList.h"
#include "Process.h"
#include "Scheduler.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace veilshadow {

class LocalScheduler : public Scheduler {
public:
    std::vector<FarmJob> prepared, submitted;
    std::vector<std::string> chunk_lines;  // the commands run, in order
    std::set<std::string> active;          // the ids it reports as still running
    std::vector<std::string> cancelled;

    LocalScheduler() : Scheduler({"farm local", "this machine", "ps", "wait-for ", "kill "}) {}
    void Prepare(const FarmJob &job) override { prepared.push_back(job); }
    SubmittedJob Submit(const FarmJob &job) override {
        submitted.push_back(job);
        ChunkCommand command = job.command;
        command.program = VEILSHADOW_PATH;  // this test program is not veilshadow
        for (const long task : job.tasks) {
            const std::string line = ChunkCommandLine(
                command,
                {{"frames", FormatFrameList(job.chunks.at(static_cast<std::size_t>(task)))}, {"threads", "1"}});
            chunk_lines.push_back(line);
            const ProcessResult run =
                RunProcess(std::vector<std::string>{"sh", "-c", "cd -- " + ShellQuote(command.folder) + " && " + line});
            if (!run.succeeded()) throw RunError("chunk " + std::to_string(task) + " failed: " + run.Message());
        }
        return {"local-" + std::to_string(submitted.size()),
                "  rendered:   " + std::to_string(job.tasks.size()) + " chunks here\n"};
    }
    std::optional<bool> JobActive(const std::string &id, std::string &) override { return active.count(id) > 0; }
    bool Cancel(const std::string &id, std::string &) override {
        cancelled.push_back(id);
        return true;
    }
};

}  // namespace veilshadow

#endif
