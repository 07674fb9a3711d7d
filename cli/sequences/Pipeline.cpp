#include "Pipeline.h"

#include "Downsample.h"
#include "Errors.h"
#include "FastCodec.h"
#include "Formats.h"
#include "ImageIO.h"
#include "Limits.h"

#include <algorithm>
#include <filesystem>
#include <optional>

namespace veilshadow {
namespace {

using renderhost::World;

bool SameFile(const std::string &a, const std::string &b) {
    std::error_code ec_a, ec_b;
    if (std::filesystem::equivalent(a, b, ec_a)) return true;
    const auto canonical_a = std::filesystem::weakly_canonical(a, ec_a);
    const auto canonical_b = std::filesystem::weakly_canonical(b, ec_b);
    return !ec_a && !ec_b && canonical_a == canonical_b;
}

Window Scaled(const Window &window, int factor) { return factor == 1 ? window : DownsampledWindow(window, factor); }

// Runs `read`, turning a RunError about the file into an InputError.
template <class Read>
auto AsInputError(Read &&read) {
    try {
        return read();
    } catch (const InputError &) {
        throw;
    } catch (const ModuleError &) {
        throw;
    } catch (const RunError &e) {
        throw InputError(e.what());
    }
}

std::string SizeText(A_long width, A_long height) { return std::to_string(width) + " x " + std::to_string(height); }

// Sets how the frame's OUT is written and the windows it reads back with;
// refused here, before any pixel is decoded, where the file type cannot
// hold them.
void SetOutput(OpenedFrame &frame, const FrameSettings &settings) {
    const std::string &out_format = settings.format;
    OutputSpec &spec = frame.out;
    const bool comp_format = out_format == frame.comp.format;
    spec.format = out_format;
    spec.sample = settings.sample.value_or(DefaultSampleFor(out_format, frame.comp.sample));
    const FileFormat &format = FormatNamed(out_format);
    // A file of another type has that type's alpha convention: what
    // OpenImageIO writes (OpenEXR and TIFF associated, PNG straight).
    spec.associated = comp_format ? frame.comp.associated : format.alpha != AlphaConvention::kStraight;
    // OUT's data window is COMP's (the rendered world's), its display
    // window LAYER's.
    frame.out_windows = WindowsAsWritten(frame.files.output, out_format, Scaled(frame.comp.data, settings.downsample),
                                         Scaled(frame.layer.display, settings.downsample));
    spec.display = frame.out_windows.display;
    if (!settings.compression.empty())
        spec.compression = settings.compression;
    else if (comp_format && format.keeps_compression)
        spec.compression = frame.comp.compression;
}

}  // namespace

FrameShape ShapeOf(const ImageHeader &comp, const ImageHeader &layer, long frame) {
    return FrameShape{comp.format, comp.sample, comp.data, comp.display, layer.display, frame};
}

FrameShape ReadFrameShape(const FrameFiles &files, AlphaMode alpha) {
    return AsInputError([&] {
        return ShapeOf(ImageReader(files.input, alpha).header(), ImageReader(files.layer, alpha).header(), files.frame);
    });
}

void CheckFrameShape(const FrameShape &shape, const ImageHeader &comp, const ImageHeader &layer) {
    const std::string first = " frame " + std::to_string(shape.frame);
    if (comp.sample != shape.sample)
        throw InputError(FileMessage(comp.path, std::string(SampleTypeName(comp.sample)) + " samples, but" + first +
                                                    " has " + SampleTypeName(shape.sample)));
    const auto check_size = [&first](const ImageHeader &header, const Window &expected) {
        if (header.display.width != expected.width || header.display.height != expected.height)
            throw InputError(
                FileMessage(header.path, "frame size " + SizeText(header.display.width, header.display.height) +
                                             ", but" + first + " is " + SizeText(expected.width, expected.height)));
    };
    check_size(comp, shape.comp_display);
    check_size(layer, shape.layer_display);
}

std::string CheckOutputPath(const FrameFiles &files) {
    if (SameFile(files.output, files.input) || SameFile(files.output, files.layer))
        throw UsageError(FileMessage(files.output, "the output would overwrite an input file"));
    const std::string format = OutputFormatFor(files.output);
    if (!IsOutputFormat(format))
        throw UsageError(
            FileMessage(files.output, (format.empty() ? "unknown image file type" : "a " + format + " file") +
                                          "; veilshadow writes " + OutputFormatList()));
    return format;
}

void CheckOutputChoice(const std::string &output, const std::string &format, const FrameSettings &settings) {
    if (settings.sample && !FormatTakes(format, *settings.sample)) {
        throw UsageError(FileMessage(output, "-d " + std::string(SampleTypeOptionName(*settings.sample)) + ": " +
                                                 FormatLabel(format) + " files take " + SampleTypeNames(format)));
    }
    if (!settings.compression.empty() && !FormatTakesCompression(format, settings.compression))
        throw UsageError(FileMessage(output, "--compression " + settings.compression + ": " + FormatLabel(format) +
                                                 " files take " + CompressionNames(format) + " (NAME or NAME:LEVEL)"));
}

World &ReuseWorld(std::optional<World> &slot, renderhost::Depth depth, const Window &window, const std::string &path,
                  std::uint64_t spare, MemoryGrant *grant) {
    if (slot && slot->depth() == depth && slot->width() == window.width && slot->height() == window.height &&
        slot->origin_x() == window.x && slot->origin_y() == window.y &&
        slot->capacity() >= WorldBytes(window, depth) + spare)
        return *slot;
    const std::uint64_t held = slot ? slot->capacity() : 0;
    slot.reset();
    return MakeWorld(slot, depth, window, path, held, spare, grant);
}

namespace {

// Decodes one file into its buffers; the world to render is `scaled`,
// which is `full` itself without --downsample.
void Decode(std::unique_ptr<ImageReader> &file, renderhost::Depth depth, int downsample, renderhost::ThreadPool *pool,
            std::optional<World> &full, std::optional<World> &scaled) {
    const std::string path = file->header().path;
    const Window window = file->header().data;
    std::optional<World> &decoded = downsample > 1 ? full : scaled;
    // Each new world's memory counted as taken until it is written; and
    // the codec's buffers when it does not check them itself: with the
    // first world a slot holds when they are kept for the frames after,
    // else with every file.
    MemoryGrant codec_grant, decoded_grant, reduced_grant;
    if ((!decoded || !file->CodecKeepsItsBuffers()) && !file->CodecChecksItsMemory())
        codec_grant = GrantMemory(path, file->CodecBytes(depth), AvailableMemory());
    World &world = ReuseWorld(decoded, depth, window, path, file->InPlaceSpare(depth), &decoded_grant);
    AsInputError([&] { file->ReadInto(world); });
    file.reset();
    codec_grant.Release();
    decoded_grant.Release();
    if (downsample > 1) {
        World &reduced = ReuseWorld(scaled, depth, DownsampledWindow(window, downsample), path, 0, &reduced_grant);
        BoxDownsampleInto(world, downsample, reduced, pool);
    }
}

}  // namespace

OpenedFrame OpenFrame(const FrameFiles &files, const FrameSettings &settings, StillLayer *still,
                      std::optional<FrameShape> *shape, renderhost::ThreadPool *pool) {
    OpenedFrame frame;
    frame.files = files;
    frame.comp_file = AsInputError([&] { return std::make_unique<ImageReader>(files.input, settings.alpha); });
    frame.comp = frame.comp_file->header();
    frame.depth = WorldDepthOf(frame.comp.sample);
    frame.still_layer = still != nullptr && still->world && still->path == files.layer && still->depth == frame.depth;
    if (frame.still_layer) {
        frame.layer = still->header;
    } else {
        frame.layer_file = AsInputError([&] { return std::make_unique<ImageReader>(files.layer, settings.alpha); });
        frame.layer = frame.layer_file->header();
    }
    if (shape != nullptr) {
        if (*shape)
            CheckFrameShape(**shape, frame.comp, frame.layer);
        else
            *shape = ShapeOf(frame.comp, frame.layer, files.frame);
    }
    std::uint64_t comp_bytes = 0, layer_bytes = 0;
    AsInputError([&] {
        comp_bytes = CheckWorldFits(files.input, frame.comp.data, frame.depth);
        if (!frame.still_layer) layer_bytes = CheckWorldFits(files.layer, frame.layer.data, frame.depth);
    });
    SetOutput(frame, settings);
    PrepareWriter(files.output, frame.out);

    // A still layer is read once, here, and then serves every frame.
    if (still != nullptr && !frame.still_layer) {
        still->world.reset();  // not held while the new one is read
        SourceBuffers read;
        DecodeLayer(frame, settings, read, pool);
        still->path = files.layer;
        still->depth = frame.depth;
        still->header = frame.layer;
        still->world = std::move(read.layer);
        frame.still_layer = true;
    }
    // The output world, and COMP's filtered one, lie on OUT's data window.
    const bool filtered = settings.downsample > 1;
    frame.memory.output = filtered ? WorldBytes(frame.out_windows.data, frame.depth) : comp_bytes;
    frame.memory.sources =
        comp_bytes + (filtered ? frame.memory.output : 0) + (frame.still_layer ? 0 : layer_bytes * (filtered ? 2 : 1));
    // And what the codecs hold beside the worlds while they decode and
    // encode.
    frame.memory.sources +=
        frame.comp_file->CodecBytes(frame.depth) + (frame.layer_file ? frame.layer_file->CodecBytes(frame.depth) : 0);
    frame.memory.output += WriterHeldBytes(frame.out, frame.out_windows.data);
    return frame;
}

void DecodeInput(OpenedFrame &frame, const FrameSettings &settings, SourceBuffers &buffers,
                 renderhost::ThreadPool *pool) {
    Decode(frame.comp_file, frame.depth, settings.downsample, pool, buffers.input_full, buffers.input);
}

void DecodeLayer(OpenedFrame &frame, const FrameSettings &settings, SourceBuffers &buffers,
                 renderhost::ThreadPool *pool) {
    Decode(frame.layer_file, frame.depth, settings.downsample, pool, buffers.layer_full, buffers.layer);
}

void RenderFrame(Renderer &renderer, const OpenedFrame &frame, const FrameSettings &settings, SourceBuffers &buffers,
                 StillLayer *still, std::optional<World> &output) {
    World &input = *buffers.input;
    World &layer = frame.still_layer ? *still->world : *buffers.layer;
    MemoryGrant out_grant;  // until the render has written the world
    World &out =
        ReuseWorld(output, frame.depth, Window{input.origin_x(), input.origin_y(), input.width(), input.height()},
                   frame.files.input, 0, &out_grant);
    FrameWorlds worlds;
    worlds.input = &input;
    worlds.layer = &layer;
    worlds.output = &out;
    worlds.slider = settings.slider;
    worlds.ref_width = frame.layer.display.width;
    worlds.ref_height = frame.layer.display.height;
    worlds.downsample = settings.downsample;
    worlds.frame = frame.files.frame;
    renderer.Render(worlds, frame.files.input);
}

OutputShape ExpectedOutput(const OpenedFrame &frame) {
    return OutputShape{frame.out.format, frame.out.sample, frame.out_windows.data, frame.out_windows.display};
}

void RenderFiles(Renderer &renderer, const FrameFiles &files, const FrameSettings &settings, StillLayer *still,
                 std::optional<FrameShape> *shape) {
    // A lone frame's OUT is checked here, as JobOf checks a shot's.
    FrameSettings checked = settings;
    if (checked.format.empty()) {
        checked.format = CheckOutputPath(files);
        CheckOutputChoice(files.output, checked.format, checked);
    }
    OpenedFrame frame = OpenFrame(files, checked, still, shape, &renderer.pool());
    SourceBuffers buffers;
    DecodeInput(frame, checked, buffers, &renderer.pool());
    if (!frame.still_layer) DecodeLayer(frame, checked, buffers, &renderer.pool());
    std::optional<World> output;
    RenderFrame(renderer, frame, checked, buffers, still, output);
    WriteWorld(files.output, *output, frame.out);
}

}  // namespace veilshadow
