// Image files in and out: headers, decoding into the render host's worlds
// (alpha first, straight colour, host depth) and encoding worlds back into
// files, written atomically. Decoding is in ImageRead.cpp, encoding in
// ImageWrite.cpp; what each format reads, writes and holds is its row in
// Formats.h. The codecs are veilshadow's own (FastCodec.h) or the general
// one, OpenImageIO (GeneralCodec.h), for whatever the own ones do not take.
#ifndef VEILSHADOW_IMAGEIO_H
#define VEILSHADOW_IMAGEIO_H

#include "Console.h"  // MessageStream: the libraries' chatter never reaches it
#include "Formats.h"  // the formats' rows, and what OUT's format takes and holds
#include "Geometry.h"
#include "OptionValues.h"

#include <RenderHost/World.h>

#include <cstdint>
#include <memory>
#include <string>

namespace veilshadow {

enum class ChannelLayout { kGray, kGrayAlpha, kRGB, kRGBA };

struct ImageHeader {
    std::string path;
    std::string format;  // its row's name (Formats.h): "png", "tiff" or "openexr"
    SampleType sample = SampleType::kUInt8;
    ChannelLayout layout = ChannelLayout::kRGBA;
    int channels = 4;
    bool rgba_names = false;  // the channels are named R, G, B, A, as every file veilshadow writes
    Window data;              // where the pixels are; a PNG is at (0, 0), whatever its oFFs chunk says
    Window display;           // the frame they belong to; the data window when the file has none
    bool associated = false;  // colour in the file is multiplied by alpha
    std::string compression;  // the file's compression, kept for the output
};

// An open file that a codec decodes.
class CodecReader {
public:
    virtual ~CodecReader() = default;
    // Decodes rows [first, first + rows) of the data window, strip after
    // strip from the top (StripRows() at a time, fewer at the end), as
    // packed samples of the header's sample type and channel count.
    // Throws RunError naming the file when they cannot be read (a damaged
    // or cut file).
    virtual void ReadRows(A_long first, A_long rows, unsigned char *samples) = 0;
    // Whether the file's pixels are all there (see ImageReader::LooksWhole).
    virtual bool LooksWhole() = 0;
    // The bytes of its own it holds while the rows are read into a world
    // of `depth` (made with InPlaceSpare), beyond the world itself.
    virtual std::uint64_t HeldBytes(renderhost::Depth) const { return 0; }
    // Rows decoded at a time.
    virtual A_long StripRows() const;
    // Whether the codec checks the memory it takes for its buffers itself
    // (GrantMemory) as it takes them; else the reader's caller checks
    // HeldBytes before decoding.
    virtual bool ChecksItsMemory() const { return false; }
    // Whether the buffers of HeldBytes are kept for the next file (on the
    // threads that decode); else they are taken anew for each file.
    virtual bool KeepsItsBuffers() const { return true; }
    // Whether ReadRows may be called for different strips on several
    // threads at once: ImageReader then shares a file's strips among the
    // codec helpers free (CodecThreads.h).
    virtual bool StripsAtOnce() const { return false; }
    // The spare bytes (see renderhost::World) a world of `depth` needs for
    // ReadInPlace; 0 when the codec decodes strip by strip into it.
    virtual std::uint64_t InPlaceSpare(renderhost::Depth) const { return 0; }
    // Decodes every row into `world` using its memory as the codec's room,
    // when the world has the spare bytes and the layout for it; false,
    // with nothing read, when it has not.
    virtual bool ReadInPlace(renderhost::World &) { return false; }
};

// An open image file. Construction reads the header only, so sizes can be
// checked before any pixel memory is taken.
class ImageReader {
public:
    // Throws RunError naming the file: missing, a folder, unreadable, not a
    // format with a row (PNG, TIFF, OpenEXR), an unsupported sample type or
    // channel layout. Colour is read as the file holds it, never
    // premultiplied on the way; --alpha auto reads as the format's row says.
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
    // without decoding them (its row's check, see FileStructure.h); for a
    // format without one (TIFF) its last row is decoded (a file cut short
    // loses its end). A tiled file is never one veilshadow wrote: false.
    bool LooksWhole();
    // The bytes its codec holds while the pixels are decoded into a world
    // of `depth` made with InPlaceSpare, beyond the world (a PNG's file
    // bytes, and its whole inflated stream unless it is decoded in the
    // world; a strip else).
    std::uint64_t CodecBytes(renderhost::Depth depth) const;
    // Whether the codec checks those bytes itself as it takes them (the
    // PNG reader); the caller checks them otherwise, before decoding.
    bool CodecChecksItsMemory() const;
    // Whether the codec keeps those bytes from file to file (OpenEXR's
    // reader), so that they are checked with the first file alone.
    bool CodecKeepsItsBuffers() const;
    // The spare bytes a world of `depth` should have for the codec to
    // decode in it, without a buffer of its own (an 8-bit RGBA PNG into
    // an 8-bit world: a byte a row); 0 for none.
    std::uint64_t InPlaceSpare(renderhost::Depth depth) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    ImageHeader header_;
};

// How a world is written.
struct OutputSpec {
    std::string format;                      // its row's name
    SampleType sample = SampleType::kUInt8;  // any: the world's samples are converted
    bool associated = false;                 // multiply colour by alpha in the file
    Window display;
    std::string compression;  // empty: the format's default
};

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
// Throws ModuleError when the file needs the general codec and it cannot
// be loaded.
bool IsWholeImage(const std::string &path, const OutputShape &shape);

// Writes the world as RGBA, its data window at the world's origin, to a
// temporary file beside `path` that is renamed onto `path` only when
// complete. Throws OutputError before anything is written when the format
// cannot hold the windows (WindowsAsWritten), RunError naming `path` when
// the writing fails; nothing is left behind then.
// The samples are encoded a strip of rows at a time, in the file's own
// sample type (converted from the world's depth as EncodeRow does). Several files may be written at once from different
// threads.
void WriteWorld(const std::string &path, const renderhost::World &world, const OutputSpec &spec);

// Loads what writing `spec` to `path` takes: the general codec, when no
// own codec writes it (GeneralFor). Its libraries take 40 MiB and more,
// so they are loaded before any world is made, and the memory checks that
// follow count them as taken.
void PrepareWriter(const std::string &path, const OutputSpec &spec);

// Bytes of the file's RGBA samples for this window; WriteWorld takes
// those of one strip of rows (see ImageReader::ScratchBytes) besides the
// world.
std::uint64_t EncodeBytes(const Window &data, SampleType sample);

// The threads the general codec (OpenImageIO, and OpenEXR under it) may
// use of its own, for the machine's `cores` (0: every hardware thread):
// OpenEXR's pool compresses and decompresses the line blocks of every file
// being read or written, from whichever thread asked, so `cores` threads
// keep the cores busy without more threads than cores contending for
// them. PNG and TIFF are coded on the threads that read and write them.
// Kept until the general codec is loaded, when it is not yet. The own
// OpenEXR writer's helpers follow it too (CodecThreads.h).
void SetLibraryThreads(int cores);

}  // namespace veilshadow

#endif
