// One zlib stream deflated in bands, each band on its own and on any
// thread, then joined. libdeflate deflates a buffer in one call and ends
// its stream with a final block; a band's stream becomes a part of the
// whole by clearing that block's final mark and closing it with an empty
// stored block, which brings the next band to a byte boundary (as a zlib
// full flush does). A band cannot refer back into the band before it and
// brings its own codes, so the stream is a little larger than one
// deflated whole: about 0.5 % for bands of 1 MiB of a UHD frame.
#ifndef VEILSHADOW_DEFLATEBANDS_H
#define VEILSHADOW_DEFLATEBANDS_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;

namespace veilshadow {

// Where a raw deflate stream's last block starts and where its last
// block ends, in bits from the stream's first byte.
struct DeflateEnds {
    std::uint64_t last_block = 0, end = 0;
};

// Walks the blocks of the raw deflate stream in `data` (decoding their
// codes without writing what they hold). False when the bytes are not a
// whole stream: a bad block type or code, or the bytes end first.
bool FindDeflateEnds(const unsigned char *data, std::size_t size, DeflateEnds &ends);

// One band of the stream: its raw deflate bytes, then those bytes as a
// part of the joined zlib stream; the Adler-32 and length of what it
// holds; and where its raw stream's last block starts and ends.
struct DeflatedBand {
    std::vector<unsigned char> bytes;
    std::uint32_t adler = 1;
    std::uint64_t length = 0;
    DeflateEnds ends;
};

// Deflates `size` bytes into `band` with `compressor`, and finds the
// stream's ends there, on the thread that deflates, rather than when the
// bands are joined.
void DeflateBand(libdeflate_compressor &compressor, const unsigned char *data, std::size_t size, DeflatedBand &band);

// Makes the bands, in order, one zlib stream: the zlib header (as
// libdeflate writes it at `level`) goes before the first band's bytes,
// every band but the last is closed as a part, and the Adler-32 of all
// they hold follows the last. At least one band. The bands' bytes, one
// after the other, are then the stream.
void JoinZlibBands(std::vector<DeflatedBand> &bands, int level);
// The same for band `index` of `count`, the bands before it joined
// already, so that a stream can be written band by band: `adler` carries
// the Adler-32 of what the bands so far hold from one call to the next.
void JoinZlibBand(DeflatedBand &band, std::size_t index, std::size_t count, int level, std::uint32_t &adler);

// The Adler-32 of two pieces one after the other, from theirs and the
// second one's length.
std::uint32_t CombineAdler32(std::uint32_t first, std::uint32_t second, std::uint64_t second_length);

}  // namespace veilshadow

#endif
