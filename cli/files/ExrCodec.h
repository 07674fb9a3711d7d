// veilshadow's own OpenEXR codec for single-part scanline files with ZIP,
// ZIPS or no compression, half and float: OpenEXR's core library reads
// and writes the header and the chunk table, libdeflate inflates and
// deflates the chunks, and the predictor runs with SSE2 (ZipPredictor.h).
// Everything else in an OpenEXR file is left to the general path.
#ifndef VEILSHADOW_EXRCODEC_H
#define VEILSHADOW_EXRCODEC_H

#include "FastCodec.h"

#include <cstddef>
#include <memory>
#include <string>

namespace veilshadow {

// A reader of the OpenEXR file at `path` when the codec takes it, with
// `header` filled in as the general path fills it; nullptr otherwise
// (another format, tiled, deep or multi-part, another compression or
// sample type, channels other than R,G,B[,A] or Y[,A], a header the core
// library refuses).
std::unique_ptr<CodecReader> OpenExrReader(const std::string &path, AlphaMode alpha, ImageHeader &header);

// The same over `size` bytes in memory (which must outlive the reader),
// named `name` in messages; LooksWhole is false for them.
std::unique_ptr<CodecReader> OpenExrReaderFromBytes(const std::string &name, const void *data, std::size_t size,
                                                    AlphaMode alpha, ImageHeader &header);

// Whether the codec writes this output: OpenEXR, half or float, ZIP or
// ZIPS at the default or a level of 1 to 9, or no compression asked (the
// general writer's default is ZIP).
bool ExrWriterTakes(const OutputSpec &spec);

// Writes `world` as the general writer would: the same attributes, the
// windows given, chunks in increasing order, deflated at the level asked
// (3 when none is: files no larger than OpenEXR's default, zlib's 4).
void WriteExr(TempFile &file, const renderhost::World &world, const OutputSpec &spec, const OutputWindows &windows);
// What WriteExr holds for a world on `data` beyond a band of rows: a
// wave of bands' deflated chunks.
std::uint64_t ExrWriterHeldBytes(const OutputSpec &spec, const Window &data);

}  // namespace veilshadow

#endif
