// veilshadow's own PNG codec: 8 and 16-bit, non-interlaced gray,
// gray+alpha, RGB and RGBA files, the zlib stream through libdeflate, the
// row filters its own. Any other PNG (palette, fewer bits, interlaced, a
// tRNS key colour) is left to OpenImageIO. The decoding works on bytes in
// memory, so that it can be fuzzed without files.
#ifndef VEILSHADOW_PNGCODEC_H
#define VEILSHADOW_PNGCODEC_H

#include "CodecThreads.h"
#include "DeflateBands.h"
#include "FastCodec.h"

#include <RenderHost/World.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veilshadow {

// What a PNG's signature and the chunks before its first IDAT say.
struct PngHead {
    std::uint32_t width = 0, height = 0;
    int depth = 8;               // bits a sample: 8 or 16
    int channels = 4;            // 1 gray, 2 gray+alpha, 3 RGB, 4 RGBA
    std::size_t first_idat = 0;  // where the first IDAT chunk starts

    std::size_t PixelBytes() const { return std::size_t(channels) * std::size_t(depth / 8); }
    std::size_t RowBytes() const { return std::size_t(width) * PixelBytes(); }
    // The inflated stream: each row with its filter type byte in front.
    std::uint64_t FilteredBytes() const { return std::uint64_t(height) * (1 + std::uint64_t(RowBytes())); }
};

enum class PngHeadResult {
    kTaken,     // a file this codec decodes
    kDeclined,  // anything else: OpenImageIO reads it or refuses it
    kShort,     // the bytes end before the first IDAT chunk
};
// Reads the head from the first `size` bytes of a file. Declines what it
// does not take, and anything odd before the pixels (a bad CRC, an unknown
// critical chunk, sizes beyond libpng's limits) so that OpenImageIO gives
// today's answer for it.
PngHeadResult ReadPngHead(const unsigned char *bytes, std::size_t size, PngHead &head);

// Gathers the IDAT chunks of `rest` (the file from head.first_idat to its
// end; their payloads are moved together in place), checks every chunk's
// CRC up to IEND and inflates the zlib stream into `filtered`, which must
// hold head.FilteredBytes(). Returns the problem, for a message, or an
// empty string.
std::string InflatePng(const PngHead &head, unsigned char *rest, std::size_t size, unsigned char *filtered);

// Unfilters rows [first, first + rows) of `filtered` in place; the row
// before `first` must be unfiltered already. False on a filter type that
// is none of the five.
bool UnfilterPngRows(const PngHead &head, unsigned char *filtered, std::uint32_t first, std::uint32_t rows);

// Unfiltered rows [first, first + rows) as packed samples in native byte
// order (16-bit samples are big-endian in the file).
void PngRowsToSamples(const PngHead &head, const unsigned char *filtered, std::uint32_t first, std::uint32_t rows,
                      unsigned char *samples);

// Whether an image's inflated stream fits in `world`'s memory to be
// unfiltered there: 8-bit RGBA into an 8-bit world of its size with tight
// rows and a spare byte a row.
bool FitsInWorld(const PngHead &head, const renderhost::World &world);
// The rows InflatePng left in the memory of such a world, each unfiltered
// and turned into the world's pixels at its place (straight colour).
// Row y's pixels end before row y + 1's filtered bytes begin, so no row
// is overwritten before it is read. False on a filter type that is none
// of the five.
bool UnfilterInWorld(const PngHead &head, renderhost::World &world);

// A whole PNG in memory to packed native samples, at most `max_bytes` of
// inflated stream (a larger one is an error). kDeclined when the codec
// does not take the file; otherwise `error` is empty and `samples` holds
// the pixels, or `error` says why they cannot be read.
PngHeadResult DecodePng(const unsigned char *bytes, std::size_t size, std::uint64_t max_bytes, PngHead &head,
                        std::vector<unsigned char> &samples, std::string &error);

// Encodes a PNG: each row is filtered by the filter whose bytes cost least,
// a byte costing its size read as signed and more when it is not 0 (or by
// `forced_filter`, 0 to 4, when it is set), and the stream is deflated by
// libdeflate at `level` (0 to 12) in bands, each band on its own, then
// joined (DeflateBands.h). A band holds at least kBandRows rows and about
// `band_bytes` of filtered rows, so that a band's own costs (its codes,
// its end, a back-reference window begun afresh) stay small against what
// it holds, also on narrow or mostly empty images; and no more, so that
// the buffers each encoding thread keeps, fresh memory in every run, stay
// small: a UHD 8-bit RGBA frame is cut into 32 bands.
// Bands may be encoded at once, on different threads; the file is the
// same whichever thread encodes which band. It holds IHDR, an oFFs chunk
// of (0, 0) (as OpenImageIO writes it), an IDAT chunk or more a band, and
// IEND. Encoded on threads, a band's bytes are put in the file as soon as
// the bands before it are, and let go: at most kBandsAhead bands are held
// at once, whatever the image's size.
class PngEncoder {
public:
    static constexpr std::uint32_t kBandRows = 64;
    static constexpr std::uint64_t kBandBytes = std::uint64_t{1} << 20;
    // Bands encoded or being encoded ahead of the first one not yet put:
    // twice the most threads that encode a file.
    static constexpr std::uint32_t kBandsAhead = 16;
    using Put = std::function<void(const unsigned char *, std::size_t)>;

    PngEncoder(std::uint32_t width, std::uint32_t height, int depth, int channels, int level, int forced_filter = -1,
               std::uint64_t band_bytes = kBandBytes);
    // The rows of each band but the last.
    static std::uint32_t RowsPerBand(std::uint32_t width, int depth, int channels,
                                     std::uint64_t band_bytes = kBandBytes);
    std::uint32_t RowsPerBand() const { return rows_per_band_; }
    // The bytes the encoder holds at most: kBandsAhead deflated bands
    // (each no larger than its filtered rows and a little more), and the
    // writing thread's band: its rows twice and its deflated copy. (Each
    // helper that takes a band keeps as much again for itself.)
    static std::uint64_t HeldBytes(std::uint32_t width, std::uint32_t height, int depth, int channels);
    std::uint32_t Bands() const { return static_cast<std::uint32_t>(bands_.size()); }
    // Band `band`: its rows as EncodeStrip gives them, `above` being the
    // row before its first (nullptr for the first band). Each band once.
    void EncodeBand(std::uint32_t band, const unsigned char *samples, const unsigned char *above);
    // The next `rows` rows, in order, on one thread.
    void AddRows(const unsigned char *samples, std::uint32_t rows);
    // Encoding on threads: before a band is encoded, WaitForTurn(band)
    // holds its thread until fewer than kBandsAhead bands before it are
    // held (false: an encoding failed, Abandon, and the band is not to be
    // encoded); once it is, Ended(band, put) gives `put` every band whose
    // bands before it are all given, in order (the file's head with the
    // first), on whichever thread ends the last of them (one at a time).
    // Abandon releases every thread waiting.
    bool WaitForTurn(std::uint32_t band) { return order_.WaitForTurn(band); }
    // Whether band `band` may be encoded now: fewer than kBandsAhead
    // bands before it are held.
    bool MayEncode(std::uint32_t band) { return order_.MayStart(band); }
    void Ended(std::uint32_t band, const Put &put);
    void Abandon() { order_.Abandon(); }
    // Gives the file's bytes not given yet to `put`, in order, in a few
    // pieces.
    void Finish(const Put &put);

private:
    std::uint32_t BandRows(std::uint32_t band) const;
    void PutHead(const Put &put) const;
    // Puts band `band` (after the head, for the first) and lets its bytes go.
    void PutBand(std::size_t band, const Put &put);

    PngHead head_;
    int level_, forced_filter_;
    std::uint32_t rows_per_band_;
    std::vector<DeflatedBand> bands_;
    BandsInOrder order_;
    std::atomic<std::uint32_t> bands_in_{0};  // bands encoded
    std::uint32_t adler_ = 1;                 // of the bands put
    std::vector<unsigned char> pending_;      // AddRows's rows of a band not yet whole
    std::vector<unsigned char> previous_;     // AddRows's last row of the band before
    std::uint32_t rows_added_ = 0;
};

// The fast reader of a PNG this codec takes, with `header` filled in as
// OpenImageIO's path fills it; nullptr for any other file.
std::unique_ptr<CodecReader> OpenPngReader(const std::string &path, AlphaMode alpha, ImageHeader &header);

// Whether this codec writes the output: PNG, 8 or 16-bit, its default
// compression or zip / zip:LEVEL (libdeflate has no zlib strategies, so
// filtered, huffman, rle and fixed stay with OpenImageIO).
bool PngWriterTakes(const OutputSpec &spec);
void WritePng(TempFile &file, const renderhost::World &world, const OutputSpec &spec);
// What WritePng holds for a world on `data`: the encoder's bytes.
std::uint64_t PngWriterHeldBytes(const OutputSpec &spec, const Window &data);

// Turns this codec off and on (on by default), so that the general path
// can be compared with it.
void SetPngCodecEnabled(bool enabled);
// Turns the codec's AVX2 paths (the encoder's filtering, the decoder's
// four rows undone together) off and on (on where the processor has
// them), so that the SSE2 paths can be tested on any processor.
void SetPngAvx2Enabled(bool enabled);

}  // namespace veilshadow

#endif
