// A shot: COMP, LAYER and OUT (frame patterns in a sequence), its frames,
// the settings every frame renders with, and the rule for a frame whose OUT
// is done. The sequence runner and the farm both ask it.
#ifndef VEILSHADOW_SHOT_H
#define VEILSHADOW_SHOT_H

#include "JobOptions.h"
#include "Pipeline.h"

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
    // Leave out a frame whose OUT is done (Shot::Done). Outputs are
    // written to a temporary file and renamed into place when complete,
    // so a file that is not whole was left by something else (a full
    // disk, a crash, another program) and is rendered again.
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

// The files, frames and settings the options name, checked: each value
// parsed (with the message that names its option) where it lands in the
// job, then OUT's file type and choice and the frame patterns.
SequenceJob JobOf(const JobOptions &options);

// The job's frames as files. Holds the job by reference: the job outlives
// it, and later changes to it (the farm fixes the shape frame) show.
class Shot {
public:
    explicit Shot(const SequenceJob &job) : job_(job) {}

    const SequenceJob &job() const { return job_; }

    // The files of one frame: in a sequence, the job's names with the
    // frame number in their patterns.
    FrameFiles Files(long frame) const;

    // A sequence whose LAYER is one file for every frame.
    bool HasStillLayer() const;

    // The shape every frame is held to: that of job.shape_frame (throws
    // RunError when its inputs cannot be read), otherwise of the first
    // frame whose inputs can be read; empty when none can.
    std::optional<FrameShape> FindShape() const;

    // Whether a frame's OUT is done: OUT is one the run may write (throws
    // UsageError as a rendered frame would: OUT names an input, or its
    // file type does not take the chosen samples or compression), and it
    // is a whole file of what the run writes for a sequence of `shape`.
    // What --resume leaves out and what the farm counts as written.
    bool Done(const FrameShape &shape, const FrameFiles &files) const;

    // The frames whose OUT is not done; all of them without a shape.
    std::vector<long> Missing(const std::optional<FrameShape> &shape) const;

private:
    const SequenceJob &job_;
};

}  // namespace veilshadow

#endif
