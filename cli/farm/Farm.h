// A sequence rendered on a Slurm cluster: the frames split into chunks,
// one job script, one array job whose tasks each render a chunk with the
// plain chunk command (veilshadow ... --frames=CHUNK --resume --keep-going),
// and, when asked, a wait for the job and a check of every frame.
#ifndef VEILSHADOW_FARM_H
#define VEILSHADOW_FARM_H

#include "FarmPlan.h"
#include "Slurm.h"

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace veilshadow {

// The options of `veilshadow farm slurm` beside the render options.
struct FarmOptions {
    long chunk = 10;                  // frames per task
    std::vector<std::string> sbatch;  // passed on to sbatch
    std::string job_dir;              // empty: veilshadow-farm/ beside the outputs
    bool wait = false;
};

// Adds `farm slurm` with its options to the program's command line; the
// render options stay the program's own (the subcommands pass them up).
// Returns the `slurm` subcommand, to see whether it was given.
CLI::App *AddFarmCommands(CLI::App &app, FarmOptions &options);

// Runs `farm slurm` on `slurm`: submits the chunks that miss frames
// (nothing when none do), waits with options.wait on `clock`. Returns the
// exit code; throws UsageError or RunError.
int RunFarmSlurm(ChunkCommand command, const FarmOptions &options, SlurmClient &slurm, WaitClock &clock);

}  // namespace veilshadow

#endif
