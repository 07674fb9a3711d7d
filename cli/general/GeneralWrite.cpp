// The general codec's writing: OpenImageIO's output for any file no fast
// codec writes, a strip of rows at a time, through the temporary file.
#include "GeneralCodecs.h"

#include "Console.h"
#include "Errors.h"
#include "Formats.h"
#include "ImageIOCommon.h"
#include "OiioSampleTypes.h"
#include "TempFileProxy.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <vector>

namespace veilshadow {

using renderhost::World;

namespace {

// Writes the world strip by strip in the file's own sample type.
bool WriteStrips(OIIO::ImageOutput &out, const OutputSpec &output, const World &world) {
    const OIIO::TypeDesc type = TypeDescOf(output.sample);
    // Each thread keeps its buffer for the next file.
    thread_local std::vector<unsigned char> samples;
    samples.resize(static_cast<std::size_t>(EncodeBytes(Window{0, 0, world.width(), kStripRows}, output.sample)));
    bool ok = true;
    for (A_long first = 0; ok && first < world.height(); first += kStripRows) {
        const A_long rows = std::min(kStripRows, world.height() - first);
        EncodeStrip(world, output.sample, output.associated, first, rows, samples.data());
        ok = out.write_scanlines(world.origin_y() + first, world.origin_y() + first + rows, 0, type, samples.data());
    }
    return ok;
}

}  // namespace

void WriteGeneral(TempFile &file, const World &world, const OutputSpec &output, const OutputWindows &windows) {
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

    WriteImageFile(file, output.format, spec, [&](OIIO::ImageOutput &out) { return WriteStrips(out, output, world); });
}

void WriteImageFile(TempFile &file, const std::string &format, const OIIO::ImageSpec &spec,
                    const std::function<bool(OIIO::ImageOutput &)> &write) {
    TempFileProxy proxy(file);
    LibraryChatterSilenced quiet(FormatChatters(format));
    auto out = OIIO::ImageOutput::create(format);
    if (!out) throw RunError(FileMessage(file.target(), "cannot write " + format + " files: " + TakeGlobalError()));
    // Only the results count here: the TIFF writer leaves a harmless
    // message about Exif data behind on success.
    const bool ok = out->set_ioproxy(&proxy) && out->open(file.path(), spec) && write(*out) && out->close();
    proxy.close();
    // A failed write of the file is the cause, whatever the encoder made of
    // it; some encoders do not notice one at all.
    if (!ok && !file.failed())
        throw RunError(FileMessage(file.target(), "cannot write: " + LibraryMessage(out->geterror())));
}

}  // namespace veilshadow
