// Image files in and out through OpenImageIO: headers, decoding into the
// render host's worlds (alpha first, straight colour, host depth) and
// encoding worlds back into files, written atomically. Decoding is in
// ImageRead.cpp, encoding and the output formats in ImageWrite.cpp.
#ifndef VEILSHADOW_IMAGEIO_H
#define VEILSHADOW_IMAGEIO_H

#include "Console.h"  // MessageStream: the libraries' chatter never reaches it
#include "Geometry.h"
#include "Options.h"
#include "SampleTypes.h"

#include <OpenImageIO/imageio.h>
#include <RenderHost/World.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veilshadow {

enum class ChannelLayout { kGray, kGrayAlpha, kRGB, kRGBA };

struct ImageHeader {
    std::string path;
    std::string format;  // OpenImageIO's name: "png", "tiff" or "openexr"
    SampleType sample = SampleType::kUInt8;
    ChannelLayout layout = ChannelLayout::kRGBA;
    int channels = 4;
    bool rgba_names = false;  // the channels are named R, G, B, A, as every file veilshadow writes
    Window data;              // where the pixels are; a PNG is at (0, 0), whatever its oFFs chunk says
    Window display;           // the frame they belong to; the data window when the file has none
    bool associated = false;  // colour in the file is multiplied by alpha
    std::string compression;  // the file's compression, kept for the output
};

// An open image file. Construction reads the header only, so sizes can be
// checked before any pixel memory is taken.
class ImageReader {
public:
    // Throws RunError naming the file: missing, a folder, unreadable, not a
    // supported format (PNG, TIFF, OpenEXR), an unsupported sample type or
    // channel layout. PNG and TIFF are opened without OpenImageIO's
    // automatic premultiplication.
    ImageReader(const std::string &path, AlphaMode alpha);
    ~ImageReader();
    ImageReader(const ImageReader &) = delete;
    ImageReader &operator=(const ImageReader &) = delete;

    const ImageHeader &header() const { return header_; }
    // Memory the decoding takes besides the world: one strip of the file's
    // samples (the file is decoded a few hundred rows at a time; each
    // thread keeps its strip buffer for the next file).
    std::uint64_t ScratchBytes() const;
    // Decodes the pixels into a world of `depth` placed at the data
    // window's origin: straight colour, alpha at full scale where the file
    // has none, gray expanded, converted to `depth`. Throws RunError naming
    // the file when the pixels cannot be read (a corrupt or cut file).
    renderhost::World ReadWorld(renderhost::Depth depth);
    // The same into a world that exists already (of any depth), which must
    // lie exactly on the data window; every pixel is overwritten. Once
    // per reader.
    void ReadInto(renderhost::World &world);
    // Whether the file's pixels are all there, judged from its structure
    // without decoding them (see FileStructure.h); a TIFF's last row is
    // decoded (a file cut short loses its end). A tiled file is never one
    // veilshadow wrote: false.
    bool LooksWhole();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    ImageHeader header_;
};

// ---- Output formats ----------------------------------------------------
// What veilshadow writes in each format (OpenImageIO's names "png",
// "tiff", "openexr"): the sample types OpenImageIO writes as such (PNG
// 8/16-bit; TIFF 8/16-bit and float, its writer making half float;
// OpenEXR half and float, its writer making integers half) and the
// compressions its writer knows rather than silently replaces.

// Whether veilshadow writes files of this format: PNG, TIFF, OpenEXR.
bool IsOutputFormat(const std::string &format);
// "PNG", "TIFF" or "OpenEXR", for messages.
std::string FormatLabel(const std::string &format);
bool FormatTakes(const std::string &format, SampleType sample);
// OUT's sample type when none is asked for: COMP's where the format takes
// it (so an OUT of COMP's format is COMP's type), otherwise what oiiotool
// writes of it: 8-bit PNG, float TIFF, half OpenEXR.
SampleType DefaultSampleFor(const std::string &format, SampleType comp);
// Whether the format's writer takes this compression, NAME or NAME:LEVEL
// (OpenImageIO's names; dwaa:45, zip:9).
bool FormatTakesCompression(const std::string &format, const std::string &compression);
// The compressions and the -d names of the sample types it takes,
// "a, b or c", for messages.
std::string CompressionNames(const std::string &format);
std::string SampleTypeNames(const std::string &format);

// How a world is written.
struct OutputSpec {
    std::string format;                      // OpenImageIO's format name
    SampleType sample = SampleType::kUInt8;  // any: the world's samples are converted
    bool associated = false;                 // multiply colour by alpha in the file
    Window display;
    std::string compression;  // empty: the format's default
};

// ---- Where a written file puts its pixels -------------------------------
// A file holds a result's windows when reading it back gives them again:
// the data window (where the pixels are) and the display window (the
// frame). Each output format answers what it holds, in one row of the
// table in ImageWrite.cpp: OpenEXR holds any windows; TIFF a data window
// at (0, 0) or right of and below it, and a display window at (0, 0) (a
// TIFF records only the display window's size, and readers take one of the
// data window's size for the data window itself); PNG holds neither: a
// PNG sits at (0, 0) (OpenImageIO writes an oFFs chunk of (0, 0), and
// veilshadow reads every PNG at (0, 0) whatever its oFFs chunk says) and
// has no display window, its frame being its pixels.
struct OutputWindows {
    Window data, display;
};

// The windows a file of `format` written with `data` and `display` reads
// back with: the same ones, but a PNG's display window is its data window.
// Throws OutputError naming `path`, the window and the way out (OpenEXR)
// when the format cannot hold them: its pixels or its frame would read
// back elsewhere.
OutputWindows WindowsAsWritten(const std::string &path, const std::string &format, const Window &data,
                               const Window &display);

// What a frame's OUT must be to count as written: its file type, sample
// type, RGBA, and its data and display windows as the file reads back
// (see WindowsAsWritten).
struct OutputShape {
    std::string format;
    SampleType sample = SampleType::kUInt8;
    Window data, display;
};

// Whether `path` is a whole image file of that shape: what --resume
// leaves out and a farm counts as done. A missing, empty, cut-short,
// unreadable or foreign file is not, nor one of another size or placed
// elsewhere. Reads the header and the file's structure, not the pixels.
bool IsWholeImage(const std::string &path, const OutputShape &shape);

// The OpenImageIO format that writes `path`, by its extension; empty when
// none does.
std::string OutputFormatFor(const std::string &path);

// Writes the world as RGBA, its data window at the world's origin, to a
// temporary file beside `path` that is renamed onto `path` only when
// complete. Throws OutputError before anything is written when the format
// cannot hold the windows (WindowsAsWritten), RunError naming `path` when
// the writing fails; nothing is left behind then.
// The samples are encoded a strip of rows at a time, in the file's own
// sample type (converted from the world's depth as EncodeRow does). Several files may be written at once from different
// threads.
void WriteWorld(const std::string &path, const renderhost::World &world, const OutputSpec &spec);

// Writes an image file through a temporary file beside `path`: `write`
// gets an ImageOutput for `format` opened with `spec` and writes the
// pixels. Every byte the encoder writes is checked, the file is flushed
// to disk and renamed onto `path` only when all went well. Throws
// RunError naming `path` (a full disk: "cannot write: No space left on
// device"); nothing is left behind then.
void WriteImageFile(const std::string &path, const std::string &format, const OIIO::ImageSpec &spec,
                    const std::function<bool(OIIO::ImageOutput &)> &write);

// Bytes of the file's RGBA samples for this window; WriteWorld takes
// those of one strip of rows (see ImageReader::ScratchBytes) besides the
// world.
std::uint64_t EncodeBytes(const Window &data, SampleType sample);

// The threads OpenImageIO and OpenEXR may use of their own, for the
// machine's `cores` (0: every hardware thread): OpenEXR's pool compresses
// and decompresses the line blocks of every file being read or written,
// from whichever thread asked, so `cores` threads keep the cores busy
// without more threads than cores contending for them. PNG and TIFF are
// coded on the threads that read and write them.
void SetLibraryThreads(int cores);

}  // namespace veilshadow

#endif
