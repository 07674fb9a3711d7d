// One frame from files to file: read the input and the layer, render the
// effect, write the output.
#ifndef VEILSHADOW_PIPELINE_H
#define VEILSHADOW_PIPELINE_H

#include "ImageIO.h"
#include "Options.h"
#include "Renderer.h"

#include <PF_Host.h>

#include <optional>
#include <string>

namespace veilshadow {

struct FrameFiles {
    std::string input;  // COMP: the layer over its shadow
    std::string layer;  // LAYER: the layer's own pixels
    std::string output; // OUT
    long frame = 0;
};

struct FrameSettings {
    PF_Fixed slider = 0; // Opacity, 16.16
    AlphaMode alpha = AlphaMode::kAuto;
    int downsample = 1;
};

// The layer of a sequence whose LAYER is one file for every frame: read,
// converted and downsampled for the first frame, then used as it is, so a
// still logo over an animated shadow is decoded once per run.
struct StillLayer {
    std::string path;
    renderhost::Depth depth = renderhost::Depth::k8;
    ImageHeader header;
    std::optional<renderhost::World> world; // empty until the first frame has read it
};

// What every frame of a sequence shares, taken from the first frame read:
// COMP's sample type (OUT's depth) and the sizes of COMP's and LAYER's
// display windows (for files without one, the image size). Data windows
// may change from frame to frame.
struct FrameShape {
    SampleType sample = SampleType::kUInt8;
    A_long comp_width = 0, comp_height = 0;
    A_long layer_width = 0, layer_height = 0;
    long frame = 0; // the frame it was taken from, for messages
};

// Throws InputError naming the file when the frame's headers do not match
// `shape`.
void CheckFrameShape(const FrameShape &shape, const ImageHeader &comp, const ImageHeader &layer);
FrameShape ShapeOf(const ImageHeader &comp, const ImageHeader &layer, long frame);

// Throws UsageError when OUT cannot be written as the input's file type
// (by its extension) or names one of the two inputs.
void CheckOutputPath(const FrameFiles &files, const std::string &input_format);

// Reads both files (checking sizes and memory from their headers first),
// renders, and writes OUT in the input's file type and depth, its data
// window the input's and its display window the layer's. Nothing is
// written unless the whole frame succeeds. Throws InputError naming the
// input at fault (missing, unreadable, corrupt, too large for the host,
// not matching `shape`), RunError naming the file for anything else,
// UsageError for an unusable OUT. With `still`, the layer is taken from it
// when it holds files.layer at the input's depth, and is kept there
// otherwise (the settings must not change between the calls). With
// `shape`, the frame must match it; an empty one is set from the frame.
void RenderFiles(Renderer &renderer, const FrameFiles &files, const FrameSettings &settings,
                 StillLayer *still = nullptr, std::optional<FrameShape> *shape = nullptr);

} // namespace veilshadow

#endif
