// The plan of a farm job, whichever scheduler runs it: the chunks of a
// frame list, which of them to submit, the name of the job's files and
// the chunk command each task runs. Nothing here runs a program or reads
// an image.
#ifndef VEILSHADOW_FARMPLAN_H
#define VEILSHADOW_FARMPLAN_H

#include "JobOptions.h"
#include "Shot.h"

#include <map>
#include <string>
#include <vector>

namespace veilshadow {

// What every chunk's command carries: the options of the run (files as
// given, the plug-in as the nodes see it, the shape frame of the
// sequence; threads 0: the CPUs the scheduler gave the task).
struct ChunkCommand {
    std::string program;  // veilshadow, as the nodes run it
    std::string folder;   // where the file names are, as the nodes see it
    JobOptions options;
};

// The frames in runs of `chunk` (the last one may be shorter).
std::vector<std::vector<long>> SplitIntoChunks(const std::vector<long> &frames, long chunk);

// The chunks that miss a frame: their indices (the tasks) and all
// their frames. The chunks are the same from run to run.
struct Submission {
    std::vector<long> tasks;
    std::vector<long> frames;
};
Submission ChunksToSubmit(const std::vector<std::vector<long>> &chunks, const std::vector<long> &missing);

// Whether two ascending frame lists share a frame.
bool Overlap(const std::vector<long> &a, const std::vector<long> &b);

// The name of the job's files: OUT's file name without its frame pattern
// and a hash of the whole pattern, given as CanonicalOutputPattern spells
// it, so that every spelling of one pattern is one job and names that read
// alike ("x y.#.png", "x_y.#.png") are other jobs: "/shots/out.%04d.exr"
// gives "out.exr-1c9e5a07".
std::string FarmName(const std::string &job_output_pattern);

// `text` as one word of a POSIX shell command line.
std::string ShellQuote(const std::string &text);

// The chunk command: every option of the table, in its chunk place, as
// its chunk rule says (--name=VALUE, shell-quoted; -d VALUE; --flag). The
// options whose rule is a shell word take theirs from `shell_words`, by
// long name ("frames": the chunk's frames, "threads": the task's CPUs);
// throws std::logic_error when one is missing.
std::string ChunkCommandLine(const ChunkCommand &command, const std::map<std::string, std::string> &shell_words);

}  // namespace veilshadow

#endif
