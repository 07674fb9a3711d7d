// Whether an image file's structure says all its pixels are there, read
// without decoding them: what tells a whole output from one a full disk,
// a killed writer or a cut-short copy left behind.
#ifndef VEILSHADOW_FILESTRUCTURE_H
#define VEILSHADOW_FILESTRUCTURE_H

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace veilshadow

#endif
