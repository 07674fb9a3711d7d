#include "Pipeline.h"

#include "Downsample.h"
#include "Errors.h"
#include "ImageIO.h"
#include "Limits.h"

#include <algorithm>
#include <filesystem>
#include <optional>

namespace veilshadow {
namespace {

using renderhost::World;

// Common extension of an OpenImageIO format, for messages.
std::string ExtensionOf(const std::string &format) {
    if (format == "openexr")
        return ".exr";
    if (format == "tiff")
        return ".tif";
    return "." + format;
}

bool SameFile(const std::string &a, const std::string &b) {
    std::error_code ec_a, ec_b;
    if (std::filesystem::equivalent(a, b, ec_a))
        return true;
    const auto canonical_a = std::filesystem::weakly_canonical(a, ec_a);
    const auto canonical_b = std::filesystem::weakly_canonical(b, ec_b);
    return !ec_a && !ec_b && canonical_a == canonical_b;
}

Window Scaled(const Window &window, int factor) {
    return factor == 1 ? window : DownsampledWindow(window, factor);
}

// Runs `read`, turning a RunError about the file into an InputError.
template <class Read> auto AsInputError(Read &&read) {
    try {
        return read();
    } catch (const InputError &) {
        throw;
    } catch (const RunError &e) {
        throw InputError(e.what());
    }
}

std::string SizeText(A_long width, A_long height) { return std::to_string(width) + " x " + std::to_string(height); }

} // namespace

FrameShape ShapeOf(const ImageHeader &comp, const ImageHeader &layer, long frame) {
    return FrameShape{comp.sample, comp.display.width, comp.display.height, layer.display.width,
                      layer.display.height, frame};
}

void CheckFrameShape(const FrameShape &shape, const ImageHeader &comp, const ImageHeader &layer) {
    const std::string first = " frame " + std::to_string(shape.frame);
    if (comp.sample != shape.sample)
        throw InputError(FileMessage(comp.path, std::string(SampleTypeName(comp.sample)) + " samples, but" + first +
                                                    " has " + SampleTypeName(shape.sample)));
    if (comp.display.width != shape.comp_width || comp.display.height != shape.comp_height)
        throw InputError(FileMessage(comp.path, "frame size " + SizeText(comp.display.width, comp.display.height) +
                                                    ", but" + first + " is " +
                                                    SizeText(shape.comp_width, shape.comp_height)));
    if (layer.display.width != shape.layer_width || layer.display.height != shape.layer_height)
        throw InputError(FileMessage(layer.path, "frame size " + SizeText(layer.display.width, layer.display.height) +
                                                     ", but" + first + " is " +
                                                     SizeText(shape.layer_width, shape.layer_height)));
}

void CheckOutputPath(const FrameFiles &files, const std::string &input_format) {
    if (SameFile(files.output, files.input) || SameFile(files.output, files.layer))
        throw UsageError(FileMessage(files.output, "the output would overwrite an input file"));
    const std::string format = OutputFormatFor(files.output);
    if (format.empty())
        throw UsageError(FileMessage(files.output, "unknown image file type; the output is written as the input's "
                                                   "file type, so name it " +
                                                       ExtensionOf(input_format)));
    if (format != input_format)
        throw UsageError(FileMessage(files.output, "names a " + format + " file, but the output has the input's file type (" +
                                                       input_format + "); name it " + ExtensionOf(input_format)));
}

void RenderFiles(Renderer &renderer, const FrameFiles &files, const FrameSettings &settings, StillLayer *still,
                 std::optional<FrameShape> *shape) {
    ImageReader input_file = AsInputError([&] { return ImageReader(files.input, settings.alpha); });
    const ImageHeader &in = input_file.header();
    CheckOutputPath(files, in.format);
    const renderhost::Depth depth = DepthFor(in.sample);
    const bool reuse = still != nullptr && still->world && still->path == files.layer && still->depth == depth;
    std::optional<ImageReader> layer_file;
    if (!reuse)
        AsInputError([&] { layer_file.emplace(files.layer, settings.alpha); });
    const ImageHeader &lay = reuse ? still->header : layer_file->header();
    if (shape != nullptr) {
        if (*shape)
            CheckFrameShape(**shape, in, lay);
        else
            *shape = ShapeOf(in, lay, files.frame);
    }

    // Sizes and memory, from the headers alone (a layer kept from an
    // earlier frame is in memory already).
    AsInputError([&] {
        CheckWorldFits(files.input, in.data, depth);
        if (!reuse)
            CheckWorldFits(files.layer, lay.data, depth);
    });
    const std::uint64_t worlds = 2 * WorldBytes(in.data, depth) + (reuse ? 0 : WorldBytes(lay.data, depth));
    const std::uint64_t scratch = std::max({input_file.ScratchBytes(), reuse ? 0 : layer_file->ScratchBytes(),
                                            EncodeBytes(in.data, in.sample)});
    CheckMemory(files.input, worlds + scratch, AvailableMemory());

    World input = AsInputError([&] { return input_file.ReadWorld(depth); });
    if (settings.downsample > 1)
        input = BoxDownsample(input, settings.downsample);
    std::optional<World> read_layer;
    if (!reuse) {
        if (still != nullptr)
            still->world.reset(); // not held while the new one is read
        read_layer = AsInputError([&] { return layer_file->ReadWorld(depth); });
        if (settings.downsample > 1)
            read_layer = BoxDownsample(*read_layer, settings.downsample);
        if (still != nullptr) {
            still->path = files.layer;
            still->depth = depth;
            still->header = lay;
            still->world = std::move(read_layer);
        }
    }
    World &layer = reuse || still != nullptr ? *still->world : *read_layer;
    World output(depth, input.width(), input.height(), input.origin_x(), input.origin_y());

    FrameWorlds frame;
    frame.input = &input;
    frame.layer = &layer;
    frame.output = &output;
    frame.slider = settings.slider;
    frame.ref_width = lay.display.width;
    frame.ref_height = lay.display.height;
    frame.downsample = settings.downsample;
    frame.frame = files.frame;
    renderer.Render(frame, files.input);

    OutputSpec spec;
    spec.format = in.format;
    spec.sample = in.sample;
    spec.associated = in.associated;
    spec.display = Scaled(lay.display, settings.downsample);
    if (in.format != "png")
        spec.compression = in.compression;
    WriteWorld(files.output, output, spec);
}

} // namespace veilshadow
