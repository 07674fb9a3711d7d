// The image file formats veilshadow reads and writes, one row each: their
// names and extensions, the sample types and compressions written, the
// alpha convention, the windows their files hold, the check that a file
// is whole, and the fast codec (if any) that reads and writes them. The
// rest of the program asks these rows rather than naming a format: adding
// one, or giving one a fast codec, is its row and its codec's files.
#ifndef VEILSHADOW_FORMATS_H
#define VEILSHADOW_FORMATS_H

#include "Geometry.h"
#include "OptionValues.h"
#include "SampleTypes.h"

#include <memory>
#include <string>
#include <vector>

namespace renderhost {
class World;
}

namespace veilshadow {

class CodecReader;
class TempFile;
struct ImageHeader;
struct OutputSpec;
struct OutputWindows;

// How a format's files hold colour against alpha.
enum class AlphaConvention {
    kAssociated,  // always multiplied by alpha (OpenEXR)
    kStraight,    // never (PNG)
    kMarked,      // as the file marks it: associated unless marked straight (TIFF)
};

// Where a format's files hold a data window's origin, as OpenImageIO
// writes and reads them back.
enum class OriginHeld {
    kZero,         // (0, 0) only: veilshadow reads every file of it at (0, 0)
    kNotNegative,  // (0, 0) or right of and below it
    kAny,
};
// What they hold of a display window.
enum class DisplayHeld {
    kNone,      // none: the frame is the data window, also when read
    kSizeOnly,  // its size, at (0, 0); one of the data window's size reads back as the data window
    kAny,
};

// A fast codec's parts, as FastCodec.h declares them: a reader that
// opens `path` when it takes the file (nullptr otherwise); whether its
// writer takes an output; its writer.
using FastReaderOpener = std::unique_ptr<CodecReader> (*)(const std::string &path, AlphaMode alpha,
                                                          ImageHeader &header);
using FastWriterTest = bool (*)(const OutputSpec &spec);
using FastWriter = void (*)(TempFile &file, const renderhost::World &world, const OutputSpec &spec,
                            const OutputWindows &windows);

struct FileFormat {
    const char *name;   // OpenImageIO's: "png", "tiff", "openexr"
    const char *label;  // for messages and help: "PNG", "TIFF", "OpenEXR"
    // The extensions that pick it for OUT (as OpenImageIO picks them), the
    // first one named in messages.
    std::vector<std::string> extensions;
    // What --alpha auto reads, and what a file of it written from COMP
    // of another format holds (associated unless kStraight).
    AlphaConvention alpha;
    // What "holds more than one image" calls a file of several, for the
    // refusal; nullptr when its files hold one.
    const char *several_images;
    // Whether a file's pixels are all there, from its structure alone
    // (see FileStructure.h); nullptr: its last row decodes.
    bool (*ends_whole)(const std::string &path);
    // The general reader may leave bytes of a damaged strip unwritten
    // without an error (libtiff), so the strip buffer is cleared first.
    bool clears_strip_buffer;
    // The library behind OpenImageIO's codec prints on standard error
    // (libpng): reading or writing it goes under LibraryChatterSilenced.
    bool chatters;

    // Writing. The sample types written as such, in SampleType's order (an
    // output format takes at least one); the type without -d where COMP's
    // is not taken; the compressions its writer knows rather than
    // silently replaces (OpenImageIO's names, NAME or NAME:LEVEL); whether
    // an OUT of COMP's format keeps COMP's compression (its reader names
    // the one its writer took).
    bool takes[kSampleTypeCount];
    SampleType fallback;
    std::vector<std::string> compressions;
    bool keeps_compression;
    // The windows its files hold, and how they place pixels, for the
    // refusal of others ("" when they hold any).
    OriginHeld origin;
    DisplayHeld display;
    const char *placement;

    // A fast codec of veilshadow's own, tried before OpenImageIO; nullptr
    // where OpenImageIO alone reads or writes it.
    FastReaderOpener open_fast_reader;
    FastWriterTest fast_writer_takes;
    FastWriter write_fast;
    // The bytes that fast writer holds for a world on a window; nullptr
    // where it holds only a strip.
    std::uint64_t (*fast_writer_holds)(const OutputSpec &spec, const Window &data);
};

// Every row, in the order messages and help list them.
const std::vector<FileFormat> &FileFormats();
// The row of OpenImageIO's format name; nullptr when veilshadow reads no
// such files.
const FileFormat *FindFormat(const std::string &name);
// The same, for a name known to have a row (std::logic_error otherwise).
const FileFormat &FormatNamed(const std::string &name);

// Whether coding this format (OpenImageIO's name) may print on standard
// error (see LibraryChatterSilenced).
bool FormatChatters(const std::string &name);

// ---- Output formats ----------------------------------------------------
// Whether veilshadow writes files of this format: a row taking some sample type.
bool IsOutputFormat(const std::string &format);
// Its row's label ("PNG", "TIFF", "OpenEXR"), for messages; the name
// itself when it has none.
std::string FormatLabel(const std::string &format);
bool FormatTakes(const std::string &format, SampleType sample);
// OUT's sample type when none is asked for: COMP's where the format takes
// it (so an OUT of COMP's format is COMP's type), otherwise its row's
// fallback, what oiiotool writes of it: 8-bit PNG, float TIFF, half OpenEXR.
SampleType DefaultSampleFor(const std::string &format, SampleType comp);
// Whether the format's writer takes this compression, NAME or NAME:LEVEL
// (OpenImageIO's names; dwaa:45, zip:9).
bool FormatTakesCompression(const std::string &format, const std::string &compression);
// The compressions and the -d names of the sample types it takes,
// "a, b or c", for messages.
std::string CompressionNames(const std::string &format);
std::string SampleTypeNames(const std::string &format);

// The format that writes `path`, by its extension (any case): a row's
// name; empty when no row lists it.
std::string OutputFormatFor(const std::string &path);

// ---- Lists for messages and help, from the rows -------------------------
// "PNG, TIFF and OpenEXR": the formats read.
std::string ReadFormatLabels();
// "PNG, TIFF and OpenEXR (.png, .tif, .exr)": the formats written, and
// their extensions.
std::string OutputFormatList();
// "PNG 8-bit, TIFF float, OpenEXR half float": each output format's
// sample type without -d where COMP's is not taken.
std::string FallbackSampleList();

// ---- Where a written file puts its pixels -------------------------------
// A file holds a result's windows when reading it back gives them again:
// the data window (where the pixels are) and the display window (the
// frame). Each output format's row answers what it holds: OpenEXR holds
// any windows; TIFF a data window at (0, 0) or right of and below it, and
// a display window at (0, 0) (a TIFF records only the display window's
// size, and readers take one of the data window's size for the data
// window itself); PNG holds neither: a PNG sits at (0, 0) (OpenImageIO
// writes an oFFs chunk of (0, 0), and veilshadow reads every PNG at
// (0, 0) whatever its oFFs chunk says) and has no display window, its
// frame being its pixels.
struct OutputWindows {
    Window data, display;
};

// The windows a file of `format` written with `data` and `display` reads
// back with: the same ones, but a PNG's display window is its data window.
// Throws OutputError naming `path`, the window and the way out (a format
// that holds any, .exr) when the format cannot hold them: its pixels or
// its frame would read back elsewhere.
OutputWindows WindowsAsWritten(const std::string &path, const std::string &format, const Window &data,
                               const Window &display);

}  // namespace veilshadow

#endif
