// What decoding (ImageRead.cpp), encoding (ImageWrite.cpp) and the codecs
// share: the strip height, a strip of a world as file samples, the
// libraries' error messages and the float row that half samples go
// through.
#ifndef VEILSHADOW_IMAGEIOCOMMON_H
#define VEILSHADOW_IMAGEIOCOMMON_H

#include "SampleTypes.h"

#include <RenderHost/World.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veilshadow {

// Rows decoded or encoded at a time: whole line blocks of every OpenEXR
// compression (at most 256 lines, DWAB's), a few MB of samples at UHD.
constexpr A_long kStripRows = 256;

// The first line of a library's message: the messages here are one line.
// "unknown error" when there is none.
std::string LibraryMessage(const std::string &message);

// Encodes `rows` rows of the world from row `first` on as packed RGBA
// samples of `sample` (any depth to any sample type, as EncodeRow does;
// half rounded from floats as OpenImageIO rounds it), colour multiplied
// by alpha when `associated`.
void EncodeStrip(const renderhost::World &world, SampleType sample, bool associated, A_long first, A_long rows,
                 void *out);

// Readers of tiled files go through buffers of whole tiles, several of
// which OpenEXR's library sets aside as it opens a file, so a header of a
// few bytes can claim tiles of millions of pixels on a tiny image:
// gigabytes and many seconds for nothing. Throws a RunError naming `path`
// for tiles of more pixels than the image and more than 256 MiB at
// `pixel_bytes` a pixel; real files' tiles (32 to 512 pixels a side) are
// far below that.
void RefuseHugeTiles(const std::string &path, std::uint64_t tile_width, std::uint64_t tile_height, std::uint64_t width,
                     std::uint64_t height, std::uint64_t pixel_bytes);

// This thread's row of float samples, for rows converted from or to half.
std::vector<float> &FloatRow(std::size_t count);

// The memory there is for a codec's buffers (CodecBuffer.h): what is
// available and what this thread keeps to hand out again (0: not known).
std::uint64_t MemoryForBuffers();

}  // namespace veilshadow

#endif
