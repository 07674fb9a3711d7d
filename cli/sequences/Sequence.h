// A run of veilshadow over the frames of a sequence, or over one image:
// which frames to render, what to do with frames written already and with
// frames whose inputs are bad, and the report of how it went.
#ifndef VEILSHADOW_SEQUENCE_H
#define VEILSHADOW_SEQUENCE_H

#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veilshadow {

struct SequenceJob {
    // COMP, LAYER and OUT; in a sequence with frame patterns (a LAYER
    // without one is a still image, read once for every frame).
    std::string input, layer, output;
    bool sequence = false;
    std::vector<long> frames = {0};  // in the order to render; one for a single image
    FrameSettings settings;
    // Leave out a frame whose OUT is a whole file of what the run would
    // write (IsWholeImage). Outputs are written to a temporary file and
    // renamed into place when complete, so a file that is not whole was
    // left by something else (a full disk, a crash, another program) and
    // is rendered again.
    bool resume = false;
    // A frame whose input is bad (an InputError) or whose OUT cannot be
    // written (an OutputError) is reported and the rest still render;
    // otherwise the run stops at the first one.
    bool keep_going = false;
    // The frame whose file type, sample type and sizes every frame is held
    // to (a farm's chunks all name the sequence's first); when empty, the
    // first frame whose inputs can be read.
    std::optional<long> shape_frame;
};

// How many frames may be in flight: sets of source worlds (one being
// decoded while another renders) and output worlds (one rendering, the
// others being written).
struct PipelineDepth {
    int sources = 1;
    int outputs = 1;
};

// The most memory the worlds of frames in flight take together, at most
// (or half the memory available, when that is less).
inline constexpr std::uint64_t kPipelineBudget = std::uint64_t{800} << 20;

// The deepest pipeline, of {2, 3}, {2, 2}, {1, 2} and {1, 1}, whose
// worlds fit the budget; {1, 1} when none does. source_bytes: the worlds
// one frame decodes into; output_bytes: its output world;
// available_memory: 0 when unknown.
PipelineDepth ChoosePipelineDepth(std::uint64_t source_bytes, std::uint64_t output_bytes,
                                  std::uint64_t available_memory);

// The shape every frame of the job is held to: that of job.shape_frame
// (throws RunError when its inputs cannot be read), otherwise of the first
// frame whose inputs can be read; empty when none can.
std::optional<FrameShape> FindShape(const SequenceJob &job);

// Whether a frame's OUT is done: a whole file of what the run would write
// for a sequence of this shape. What --resume leaves out and what a farm
// run counts as written.
bool FrameDone(const SequenceJob &job, const FrameShape &shape, long frame);

// The files of one frame of the job.
FrameFiles FilesOf(const SequenceJob &job, long frame);

// Renders the job's frames, reporting each one to `progress` in frame
// order, then the summary. Returns the counts; with keep_going, failed
// frames are among them. Throws the error that stops the run: UsageError
// or RunError, in a sequence prefixed with "frame F: ". Frames written
// before it stay as they are (and, since frames are written a few at a
// time, a frame or two after it may be complete too).
//   The frames go through a pipeline: the next frames are opened and
// decoded (COMP and LAYER at once) while one renders and the ones before
// it are encoded and written, each output to its own temporary file
// renamed into place when complete. At most a few frames are in flight
// (see ChoosePipelineDepth), and their worlds are reused from frame to
// frame while the data windows stay the same.
FrameCounts RunSequence(Renderer &renderer, const SequenceJob &job, Progress &progress);

}  // namespace veilshadow

#endif
