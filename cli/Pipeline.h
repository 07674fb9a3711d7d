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

// Throws UsageError when OUT cannot be written as the input's file type
// (by its extension) or names one of the two inputs.
void CheckOutputPath(const FrameFiles &files, const std::string &input_format);

// Reads both files (checking sizes and memory from their headers first),
// renders, and writes OUT in the input's file type and depth, its data
// window the input's and its display window the layer's. Nothing is
// written unless the whole frame succeeds. Throws RunError naming the
// file at fault, UsageError for an unusable OUT. With `still`, the layer
// is taken from it when it holds files.layer at the input's depth, and is
// kept there otherwise (the settings must not change between the calls).
void RenderFiles(Renderer &renderer, const FrameFiles &files, const FrameSettings &settings,
                 StillLayer *still = nullptr);

} // namespace veilshadow

#endif
