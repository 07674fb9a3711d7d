// A sequence rendered on a Slurm cluster: the frames split into chunks,
// one job script, one array job whose tasks each render a chunk with the
// plain chunk command (veilshadow ... --frames=CHUNK --resume --keep-going),
// and, when asked, a wait for the job and a check of every frame.
#ifndef VEILSHADOW_FARM_H
#define VEILSHADOW_FARM_H

#include "Sequence.h"

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

// What every chunk's command carries: the render options of the run.
struct ChunkCommand {
    std::string program;  // veilshadow, as the nodes run it
    std::string folder;   // where the file names are, as the nodes see it
    SequenceJob job;      // files, frames and settings
    std::string opacity;  // as given, checked already
    std::string plugin;   // empty: the module beside the program
    int threads = 0;      // 0: the CPUs Slurm gave the task
    bool quiet = false;
};

// The chunk command, with the frames and threads given as shell words:
// every render option of the run (-d and --compression when given),
// --resume and --keep-going.
std::string ChunkCommandLine(const ChunkCommand &command, const std::string &frames, const std::string &threads);

// Adds `farm slurm` with its options to the program's command line; the
// render options stay the program's own (the subcommands pass them up).
// Returns the `slurm` subcommand, to see whether it was given.
CLI::App *AddFarmCommands(CLI::App &app, FarmOptions &options);

// Runs `farm slurm`: submits the chunks that miss frames (nothing when
// none do), waits with options.wait. Returns the exit code; throws
// UsageError or RunError.
int RunFarmSlurm(ChunkCommand command, const FarmOptions &options);

}  // namespace veilshadow

#endif
