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
    // In a sequence, COMP or LAYER read as named for every frame although
    // its name holds a pattern: the file exists under that very name
    // (logo@2x.png) and no frame's name made from it does.
    bool still_input = false, still_layer = false;
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
// job, then OUT's file type and choice, the frame patterns and the shot's
// files as a whole (CheckShotFiles). These hold for every frame, so OUT's
// file type, in settings.format, is taken as checked as each frame opens.
SequenceJob JobOf(const JobOptions &options);

// Every frame's files at once, before any is written. Throws UsageError
// naming OUT when one frame's OUT names any frame's COMP or LAYER (the
// same path in any spelling, or the same file through a hard or symbolic
// link), and when two frames would write one file. Reads no image, only
// the folders and the files' inodes.
void CheckShotFiles(const SequenceJob &job);

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

    // Whether a frame's OUT is done: a render of the frame would pass
    // every check it meets (OpenFrame: the frame's COMP and LAYER headers
    // read and held to `shape`, its windows held by OUT's file type), and
    // OUT is a whole file of what that render writes (ExpectedOutput). Throws
    // as OpenFrame does where the render would fail. Headers only, no
    // pixels. What --resume leaves out and what the farm counts as
    // written.
    bool Done(const FrameShape &shape, const FrameFiles &files) const;

    // The frames whose OUT is not done (a frame whose inputs the render
    // would refuse is not done); all of them without a shape.
    std::vector<long> Missing(const std::optional<FrameShape> &shape) const;

private:
    const SequenceJob &job_;
};

}  // namespace veilshadow

#endif
