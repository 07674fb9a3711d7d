// Image files out: encoding worlds a strip of rows at a time into files
// written atomically.
#include "AtomicFile.h"
#include "Console.h"
#include "Errors.h"
#include "FastCodec.h"
#include "Formats.h"
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
    const OIIO::TypeDesc type = TypeDescOf(output.sample);
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

}  // namespace

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
    OIIO::ImageSpec spec(world.width(), world.height(), 4, TypeDescOf(output.sample));
    spec.x = windows.data.x;
    spec.y = windows.data.y;
    spec.full_x = windows.display.x;
    spec.full_y = windows.display.y;
    spec.full_width = windows.display.width;
    spec.full_height = windows.display.height;
    spec.alpha_channel = 3;
    // Colour is written as given: OpenImageIO must not convert it. It is
    // told the colour is straight unless the file holds it associated.
    const AlphaConvention alpha = FormatNamed(output.format).alpha;
    if (alpha == AlphaConvention::kStraight || (alpha == AlphaConvention::kMarked && !output.associated))
        spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!output.compression.empty()) spec.attribute("compression", output.compression);

    WriteImageFile(path, output.format, spec, [&](OIIO::ImageOutput &out) { return WriteStrips(out, output, world); });
}

void WriteImageFile(const std::string &path, const std::string &format, const OIIO::ImageSpec &spec,
                    const std::function<bool(OIIO::ImageOutput &)> &write) {
    TempFile temp(path);
    {
        TempFileProxy proxy(temp);
        LibraryChatterSilenced quiet(FormatChatters(format));
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
