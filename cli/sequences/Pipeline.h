// One frame from files to file: read the input and the layer, render the
// effect, write the output.
#ifndef VEILSHADOW_PIPELINE_H
#define VEILSHADOW_PIPELINE_H

#include "ImageIO.h"
#include "Limits.h"
#include "OptionValues.h"
#include "Renderer.h"

#include <PF_Host.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace veilshadow {

struct FrameFiles {
    std::string input;   // COMP: the layer over its shadow
    std::string layer;   // LAYER: the layer's own pixels
    std::string output;  // OUT
    long frame = 0;
};

struct FrameSettings {
    PF_Fixed slider = 0;  // Opacity, 16.16
    AlphaMode alpha = AlphaMode::kAuto;
    int downsample = 1;
    // OUT's file type (OpenImageIO's name, by OUT's extension), set where
    // OUT's name and the choices below are checked, once before any frame
    // is read (JobOf for a shot; RenderFiles, when empty, for a lone
    // frame). Sample type (-d; none: DefaultSampleFor) and compression
    // (--compression; empty: COMP's for an OUT of COMP's file type, else
    // the format's own).
    std::string format;
    std::optional<SampleType> sample;
    std::string compression;
};

// Throws UsageError naming OUT, the format and the choice when OUT's
// format cannot take the sample type or compression of `settings`.
void CheckOutputChoice(const std::string &output, const std::string &format, const FrameSettings &settings);

// The layer of a sequence whose LAYER is one file for every frame: read,
// converted and downsampled for the first frame, then used as it is, so a
// still logo over an animated shadow is decoded once per run.
struct StillLayer {
    std::string path;
    renderhost::Depth depth = renderhost::Depth::k8;
    ImageHeader header;
    std::optional<renderhost::World> world;  // empty until the first frame has read it
};

// What every frame of a sequence shares, taken from one frame (the first
// one read, or the one --shape-frame names): COMP's file type and sample
// type (OUT's) and the sizes of COMP's and LAYER's display windows (for
// files without one, the image size). Data windows may change from frame
// to frame.
struct FrameShape {
    std::string format;  // COMP's, OpenImageIO's name
    SampleType sample = SampleType::kUInt8;
    Window comp_data, comp_display, layer_display;
    long frame = 0;  // the frame it was taken from, for messages
};

// Throws InputError naming the file when the frame's headers do not match
// `shape`.
void CheckFrameShape(const FrameShape &shape, const ImageHeader &comp, const ImageHeader &layer);
FrameShape ShapeOf(const ImageHeader &comp, const ImageHeader &layer, long frame);
// Reads the headers of the frame's COMP and LAYER (no pixels) for their
// shape. Throws InputError naming the file that cannot be read.
FrameShape ReadFrameShape(const FrameFiles &files, AlphaMode alpha);

// OUT's file type by its extension. Throws UsageError when veilshadow
// does not write that type (PNG, TIFF, OpenEXR) or OUT names one of the
// two inputs.
std::string CheckOutputPath(const FrameFiles &files);

// ---- One frame in stages ----------------------------------------------
// A frame goes from files to file in four steps: OpenFrame (headers and
// checks), DecodeInput and DecodeLayer (the pixels, on two threads at once
// if wanted), RenderFrame, and WriteWorld with the frame's OutputSpec. The
// worlds live in buffers the caller keeps from frame to frame. The box filter of
// --downsample runs on `pool` (the renderer's; null: the calling thread).

// Makes `slot` a world of this depth on this window, with at least
// `spare` bytes past its rows: the one it holds when that one is such a
// world (its pixels are left as they are), otherwise a new one, the old
// one freed first. Before allocating, throws RunError naming `path` when
// the memory available (counting the old world's) is too little. A new
// world's grant (MemoryGrant) goes to `grant`, held until the world is
// written.
renderhost::World &ReuseWorld(std::optional<renderhost::World> &slot, renderhost::Depth depth, const Window &window,
                              const std::string &path, std::uint64_t spare = 0, MemoryGrant *grant = nullptr);

// The pixel memory of one frame's inputs, kept from frame to frame (the
// box-filtered worlds too, whenever a frame's filtered window is that of
// the frame before it in these buffers).
struct SourceBuffers {
    std::optional<renderhost::World> input, layer;            // as rendered
    std::optional<renderhost::World> input_full, layer_full;  // as decoded, before --downsample
};

// The pixel memory a frame holds on its way: `sources`, the worlds its
// COMP and LAYER decode into (SourceBuffers: the box-filtered ones too
// with --downsample, LAYER's counted at its full size; none for a LAYER
// the still layer serves), and `output`, its output world; each with the
// bytes its codecs hold beside them (a PNG's whole stream, read or
// written).
struct FrameMemory {
    std::uint64_t sources = 0, output = 0;
};

// A frame's input files opened and checked; the pixels not yet decoded.
struct OpenedFrame {
    FrameFiles files;
    renderhost::Depth depth = renderhost::Depth::k8;  // COMP's, for all three worlds
    ImageHeader comp, layer;
    // How OUT is written: its own file type, the sample type and
    // compression of the settings (by default COMP's where the file type
    // takes them), the file type's alpha convention (COMP's for COMP's
    // type: OpenEXR and TIFF associated, PNG straight), LAYER's display
    // window; and the windows the file reads back with (WindowsAsWritten:
    // COMP's data window and LAYER's display window, 1/N with
    // --downsample N, as OUT's file type holds them).
    OutputSpec out;
    OutputWindows out_windows;
    FrameMemory memory;        // as the sizes are checked
    bool still_layer = false;  // LAYER is the still layer's world
    // Open until decoded (the layer's never, when a still layer serves).
    std::unique_ptr<ImageReader> comp_file, layer_file;
};

// Reads the headers of COMP and LAYER and checks the frame's shape against
// `shape` (when given; an empty one is set from this frame) and the sizes
// against the host's limits (noting the frame's memory), and sets how OUT,
// of settings.format's type (checked already), is written, refusing
// windows that type cannot hold. With `still`, a LAYER it holds at COMP's
// depth is not opened, and one it does not hold is read (whole) into it
// here. Throws InputError naming the input at fault
// (missing, unreadable, unsupported, too large, not matching `shape`),
// OutputError for windows OUT cannot hold, RunError otherwise.
OpenedFrame OpenFrame(const FrameFiles &files, const FrameSettings &settings, StillLayer *still,
                      std::optional<FrameShape> *shape, renderhost::ThreadPool *pool);

// Decode COMP into buffers.input and LAYER into buffers.layer, box-filtered
// with --downsample; they touch nothing else, so the two may run at once
// on different threads, and close the file. Throw InputError for pixels
// that cannot be read.
void DecodeInput(OpenedFrame &frame, const FrameSettings &settings, SourceBuffers &buffers,
                 renderhost::ThreadPool *pool);
void DecodeLayer(OpenedFrame &frame, const FrameSettings &settings, SourceBuffers &buffers,
                 renderhost::ThreadPool *pool);

// Renders the decoded frame (LAYER from `still` when the frame did not
// open it) into `output`, made the input's window and depth. Throws
// RunError naming COMP when the plug-in fails.
void RenderFrame(Renderer &renderer, const OpenedFrame &frame, const FrameSettings &settings, SourceBuffers &buffers,
                 StillLayer *still, std::optional<renderhost::World> &output);

// What a whole OUT of the opened frame is: the file type, sample type, data
// and display windows its render writes (see IsWholeImage).
OutputShape ExpectedOutput(const OpenedFrame &frame);

// The four steps in a row for one frame: reads both files, renders, and
// writes OUT as the frame's OutputSpec says, its data window the
// input's and its display window the layer's. Nothing is written unless
// the whole frame succeeds. Throws as the steps do, and first UsageError
// for an unusable OUT (CheckOutputPath, CheckOutputChoice) when
// settings.format is empty. `still` and `shape` as for OpenFrame (the
// settings must not change between the calls).
void RenderFiles(Renderer &renderer, const FrameFiles &files, const FrameSettings &settings,
                 StillLayer *still = nullptr, std::optional<FrameShape> *shape = nullptr);

}  // namespace veilshadow

#endif
