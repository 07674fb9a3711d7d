// What decoding (ImageRead.cpp), encoding (ImageWrite.cpp) and the codecs
// share: the strip height, a strip of a world as file samples, the
// libraries' error messages and the float row that half samples go
// through.
#ifndef VEILSHADOW_IMAGEIOCOMMON_H
#define VEILSHADOW_IMAGEIOCOMMON_H

#include "SampleTypes.h"

#include <RenderHost/World.h>

#include <cstddef>
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

// This thread's row of float samples, for rows converted from or to half.
std::vector<float> &FloatRow(std::size_t count);

}  // namespace veilshadow

#endif
