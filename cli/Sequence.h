// A run of veilshadow over the frames of a sequence, or over one image:
// which frames to render, what to do with frames written already and with
// frames whose inputs are bad, and the report of how it went.
#ifndef VEILSHADOW_SEQUENCE_H
#define VEILSHADOW_SEQUENCE_H

#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"

#include <string>
#include <vector>

namespace veilshadow {

struct SequenceJob {
    // COMP, LAYER and OUT; in a sequence with frame patterns (a LAYER
    // without one is a still image, read once for every frame).
    std::string input, layer, output;
    bool sequence = false;
    std::vector<long> frames = {0}; // in the order to render; one for a single image
    FrameSettings settings;
    // Leave out a frame whose OUT exists. Outputs are written to a
    // temporary file and renamed into place when complete, so an OUT
    // that exists is a whole frame from an earlier run.
    bool resume = false;
    // A frame whose input is bad (an InputError) is reported and the rest
    // still render; otherwise the run stops at the first one.
    bool keep_going = false;
};

// The files of one frame of the job.
FrameFiles FilesOf(const SequenceJob &job, long frame);

// Renders the job's frames, reporting each one to `progress` in frame
// order, then the summary. Returns the counts; with keep_going, failed
// frames are among them. Throws the error that stops the run: UsageError
// or RunError, in a sequence prefixed with "frame F: ". Frames written
// before it stay as they are.
FrameCounts RunSequence(Renderer &renderer, const SequenceJob &job, Progress &progress);

} // namespace veilshadow

#endif
