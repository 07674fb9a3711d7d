// Whether an image file's structure says all its pixels are there, read
// without decoding them: what tells a whole output from one a full disk,
// a killed writer or a cut-short copy left behind.
#ifndef VEILSHADOW_FILESTRUCTURE_H
#define VEILSHADOW_FILESTRUCTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veilshadow {

// Reads up to `size` bytes of `fd` at `offset`, retrying short reads;
// returns the bytes read (fewer only at the end of the file or on an
// error). Every check here, the fast codecs and TempFile read by offset
// through it.
std::size_t ReadAtMost(int fd, void *data, std::size_t size, std::uint64_t offset);

// A PNG file that ends with its closing IEND chunk.
bool PngEndsWhole(const std::string &path);

// A single-part scanline OpenEXR file whose chunk table is complete and
// each of whose chunks lies whole within the file, starting with a row of
// the data window. False for anything else: tiled, deep or multi-part
// files (never what veilshadow writes), unknown compressions, a damaged
// header.
bool ExrChunksWhole(const std::string &path);

// What the header of an OpenEXR file's first part says of its tiles, read
// as OpenEXR's library reads it: an attribute's value taken from the
// first bytes of a longer one, the last of two of one name, a data window
// of 64 x 64 when it has none.
struct ExrTiling {
    std::uint32_t tile_width = 0, tile_height = 0;  // 0 x 0: not tiled
    std::uint64_t image_width = 64, image_height = 64;
    unsigned pixel_bytes = 0;  // its channels' bytes at a pixel
};

// OpenEXR headers are small; the most of a file's start read for one.
inline constexpr std::size_t kMaxExrHeaderBytes = std::size_t{1} << 20;

// Reads the tiling from `start`, the file's first bytes: false when they
// hold no whole header.
bool ReadExrTiling(const std::vector<unsigned char> &start, ExrTiling &tiling);

}  // namespace veilshadow

#endif
