// Image files out: what each output format takes, and encoding worlds a
// strip of rows at a time into files written atomically.
#include "AtomicFile.h"
#include "Console.h"
#include "Errors.h"
#include "FastCodec.h"
#include "HalfConversion.h"
#include "ImageIO.h"
#include "ImageIOCommon.h"
#include "SampleCodec.h"
#include "TempFileProxy.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <type_traits>
#include <vector>

namespace veilshadow {
namespace {

using renderhost::World;

// Each thread keeps one buffer of file samples for the strips it writes, so
// that a sequence allocates it once.
std::vector<unsigned char> &WriteScratch(std::size_t bytes) {
    thread_local std::vector<unsigned char> scratch;
    if (scratch.size() < bytes) scratch.resize(bytes);
    return scratch;
}

// Encodes `rows` rows of the world from row `first` on as RGBA samples of
// type T (any depth to any sample type, see EncodeRow); half is rounded
// from a row of float samples, as OpenImageIO rounds it.
template <class Pixel, class T>
void EncodeRows(const World &world, bool associated, A_long first, A_long rows, T *out) {
    const std::size_t row_samples = static_cast<std::size_t>(world.width()) * 4;
    for (A_long y = first; y < first + rows; ++y, out += row_samples) {
        if constexpr (std::is_same_v<T, Imath::half>) {
            std::vector<float> &floats = FloatRow(row_samples);
            EncodeRow<Pixel, float>(world.Row<Pixel>(y), world.width(), 4, associated,
                                    reinterpret_cast<unsigned char *>(floats.data()), PackedSteps<float>(4));
            FloatsToHalves(floats.data(), out, row_samples);
        } else {
            EncodeRow<Pixel, T>(world.Row<Pixel>(y), world.width(), 4, associated,
                                reinterpret_cast<unsigned char *>(out), PackedSteps<T>(4));
        }
    }
}

}  // namespace

void EncodeStrip(const World &world, SampleType sample, bool associated, A_long first, A_long rows, void *out) {
    VisitSample(sample, [&](auto sample_tag) {
        using T = typename decltype(sample_tag)::type;
        VisitPixel(world.depth(), [&](auto pixel) {
            EncodeRows<typename decltype(pixel)::type>(world, associated, first, rows, static_cast<T *>(out));
        });
    });
}

namespace {

// Writes the world strip by strip in the file's own sample type.
bool WriteStrips(OIIO::ImageOutput &out, const OutputSpec &output, const World &world) {
    const OIIO::TypeDesc type = TraitsOf(output.sample).type;
    std::vector<unsigned char> &samples =
        WriteScratch(static_cast<std::size_t>(EncodeBytes(Window{0, 0, world.width(), kStripRows}, output.sample)));
    bool ok = true;
    for (A_long first = 0; ok && first < world.height(); first += kStripRows) {
        const A_long rows = std::min(kStripRows, world.height() - first);
        EncodeStrip(world, output.sample, output.associated, first, rows, samples.data());
        ok = out.write_scanlines(world.origin_y() + first, world.origin_y() + first + rows, 0, type, samples.data());
    }
    return ok;
}

// Where a format's files hold a data window's origin, as OpenImageIO
// writes and reads them back.
enum class OriginHeld {
    kZero,         // (0, 0) only
    kNotNegative,  // (0, 0) or right of and below it
    kAny,
};
// What they hold of a display window.
enum class DisplayHeld {
    kNone,      // none: the frame is the data window
    kSizeOnly,  // its size, at (0, 0); one of the data window's size reads back as the data window
    kAny,
};

// The output formats, their sample types (in SampleType's order) and
// compressions; fallback: the sample type without -d where COMP's is not
// taken; the windows they hold, and how their files place pixels, for
// messages.
struct OutputFormatTraits {
    const char *format;
    const char *label;
    bool takes[kSampleTypeCount];
    SampleType fallback;
    std::vector<std::string> compressions;
    OriginHeld origin;
    DisplayHeld display;
    const char *placement;
};

const std::vector<OutputFormatTraits> &OutputFormats() {
    static const std::vector<OutputFormatTraits> formats = {
        {"png",
         "PNG",
         {true, true, false, false},
         SampleType::kUInt8,
         {"zip", "filtered", "huffman", "rle", "fixed"},
         OriginHeld::kZero,
         DisplayHeld::kNone,
         "a PNG file sits at (0, 0)"},
        {"tiff",
         "TIFF",
         {true, true, false, true},
         SampleType::kFloat,
         {"none", "lzw", "zip", "packbits"},
         OriginHeld::kNotNegative,
         DisplayHeld::kSizeOnly,
         "a TIFF file places its pixels at (0, 0) or right of and below it, and its display window at (0, 0)"},
        {"openexr",
         "OpenEXR",
         {false, false, true, true},
         SampleType::kHalf,
         {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"},
         OriginHeld::kAny,
         DisplayHeld::kAny,
         ""},
    };
    return formats;
}

const OutputFormatTraits *OutputFormatOf(const std::string &format) {
    for (const OutputFormatTraits &traits : OutputFormats())
        if (format == traits.format) return &traits;
    return nullptr;
}

// "a, b or c".
std::string JoinedWithOr(const std::vector<std::string> &names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i)
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return list;
}

std::string PointText(A_long x, A_long y) { return "(" + std::to_string(x) + ", " + std::to_string(y) + ")"; }

// What of these windows a file of the format cannot hold; empty when it
// holds them.
std::string WindowNotHeld(const OutputFormatTraits &traits, const Window &data, const Window &display) {
    const bool at_zero = data.x == 0 && data.y == 0;
    const bool origin_held = traits.origin == OriginHeld::kAny ||
                             (traits.origin == OriginHeld::kNotNegative ? data.x >= 0 && data.y >= 0 : at_zero);
    if (!origin_held) return "a data window at " + PointText(data.x, data.y);
    if (traits.display != DisplayHeld::kSizeOnly) return {};
    if (display.x != 0 || display.y != 0) return "a display window at " + PointText(display.x, display.y);
    if (!at_zero && display.width == data.width && display.height == data.height)
        return "a display window at (0, 0) of the size of its data window at " + PointText(data.x, data.y) +
               " (readers place it on the data window)";
    return {};
}

}  // namespace

bool IsOutputFormat(const std::string &format) { return OutputFormatOf(format) != nullptr; }

std::string FormatLabel(const std::string &format) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    return traits != nullptr ? traits->label : format;
}

bool FormatTakes(const std::string &format, SampleType sample) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    return traits != nullptr && traits->takes[static_cast<int>(sample)];
}

SampleType DefaultSampleFor(const std::string &format, SampleType comp) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    if (traits == nullptr || FormatTakes(format, comp)) return comp;
    return traits->fallback;
}

bool FormatTakesCompression(const std::string &format, const std::string &compression) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    if (traits == nullptr) return false;
    const std::size_t colon = compression.find(':');
    const std::string name = compression.substr(0, colon);
    if (colon != std::string::npos) {
        const std::string level = compression.substr(colon + 1);
        if (level.empty() || level.size() > 3 || level.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    return std::find(traits->compressions.begin(), traits->compressions.end(), name) != traits->compressions.end();
}

std::string CompressionNames(const std::string &format) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    return traits != nullptr ? JoinedWithOr(traits->compressions) : std::string();
}

std::string SampleTypeNames(const std::string &format) {
    std::vector<std::string> names;
    for (const SampleTraits &row : kSampleTraits)
        if (FormatTakes(format, row.sample)) names.push_back(row.option_name);
    return JoinedWithOr(names);
}

OutputWindows WindowsAsWritten(const std::string &path, const std::string &format, const Window &data,
                               const Window &display) {
    const OutputFormatTraits *traits = OutputFormatOf(format);
    if (traits == nullptr) throw std::logic_error("not an output format: " + format);
    const std::string problem = WindowNotHeld(*traits, data, display);
    if (!problem.empty())
        throw OutputError(FileMessage(path, "cannot hold " + problem + ": " + traits->placement +
                                                "; write .exr, which holds any data and display window"));
    return OutputWindows{data, traits->display == DisplayHeld::kNone ? data : display};
}

std::string OutputFormatFor(const std::string &path) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        TakeGlobalError();
        return {};
    }
    return out->format_name();
}

std::uint64_t EncodeBytes(const Window &data, SampleType sample) {
    return std::uint64_t(data.width) * std::uint64_t(data.height) * 4u * TraitsOf(sample).bytes;
}

void WriteWorld(const std::string &path, const World &world, const OutputSpec &output) {
    const OutputWindows windows = WindowsAsWritten(
        path, output.format, Window{world.origin_x(), world.origin_y(), world.width(), world.height()}, output.display);
    if (FastWriterTakes(output)) {
        TempFile temp(path);
        WriteWorldFast(temp, world, output, windows);
        temp.Commit();
        return;
    }
    OIIO::ImageSpec spec(world.width(), world.height(), 4, TraitsOf(output.sample).type);
    spec.x = windows.data.x;
    spec.y = windows.data.y;
    spec.full_x = windows.display.x;
    spec.full_y = windows.display.y;
    spec.full_width = windows.display.width;
    spec.full_height = windows.display.height;
    spec.alpha_channel = 3;
    // Colour is written as given: OpenImageIO must not convert it.
    if (output.format != "openexr" && !(output.format == "tiff" && output.associated))
        spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!output.compression.empty()) spec.attribute("compression", output.compression);

    WriteImageFile(path, output.format, spec, [&](OIIO::ImageOutput &out) { return WriteStrips(out, output, world); });
}

void WriteImageFile(const std::string &path, const std::string &format, const OIIO::ImageSpec &spec,
                    const std::function<bool(OIIO::ImageOutput &)> &write) {
    TempFile temp(path);
    {
        TempFileProxy proxy(temp);
        LibraryChatterSilenced quiet(LibraryChatterSilenced::Needed(format));
        auto out = OIIO::ImageOutput::create(format);
        if (!out) throw RunError(FileMessage(path, "cannot write " + format + " files: " + TakeGlobalError()));
        // Only the results count here: the TIFF writer leaves a harmless
        // message about Exif data behind on success.
        const bool ok = out->set_ioproxy(&proxy) && out->open(temp.path(), spec) && write(*out) && out->close();
        proxy.close();
        // A failed write of the file is the cause, whatever the encoder
        // made of it; some encoders do not notice one at all.
        if (!ok && !temp.failed())
            throw RunError(FileMessage(path, "cannot write: " + LibraryMessage(out->geterror())));
    }
    temp.Commit();
}

}  // namespace veilshadow
