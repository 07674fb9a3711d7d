// A run of veilshadow over the frames of a sequence, or over one image:
// which frames to render, what to do with frames written already and with
// frames whose inputs are bad, and the report of how it went.
#ifndef VEILSHADOW_SEQUENCE_H
#define VEILSHADOW_SEQUENCE_H

#include "Pipeline.h"
#include "Progress.h"
#include "Renderer.h"
#include "Shot.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veilshadow {

// How many frames may be in flight: sets of source worlds (one being
// decoded while another renders) and output worlds (one rendering, the
// others being written).
struct FramesInFlight {
    int sources = 1;
    int outputs = 1;
};

// The most memory the worlds of frames in flight take together, at most
// (or half the memory available, when that is less).
inline constexpr std::uint64_t kInFlightBudget = std::uint64_t{800} << 20;

// {1, 1} when OUT's writer spreads a lone frame over every core (the
// fast codecs' banded writers), else {1, 2} when its worlds fit the
// budget, else {1, 1}. More sets take more fresh memory without going
// faster: a frame's COMP and LAYER already decode on two threads at once,
// and a banded writer's helpers take whatever cores the decoders leave,
// so a second output world would only let the render run a little sooner.
// A writer on one thread (OpenImageIO's) is the slow stage, and a second
// output world keeps the next frame from waiting for it. Each world less
// spares its pages, which the kernel must find and clear (127 MiB for UHD
// float). source_bytes: the worlds one frame decodes into; output_bytes:
// its output world; available_memory: 0 when unknown.
FramesInFlight ChooseFramesInFlight(std::uint64_t source_bytes, std::uint64_t output_bytes,
                                    std::uint64_t available_memory, bool banded_writer);

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
// (see ChooseFramesInFlight), and their worlds are reused from frame to
// frame while the data windows stay the same.
FrameCounts RunSequence(Renderer &renderer, const SequenceJob &job, Progress &progress);

}  // namespace veilshadow

#endif
