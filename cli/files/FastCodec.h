// Codecs of veilshadow's own for the files it reads and writes most,
// faster than the general library's and giving the same pixels and the
// same header. Each one says whether it takes a file (or an output); the
// general path (OpenImageIO) reads and writes whatever none takes.
#ifndef VEILSHADOW_FASTCODEC_H
#define VEILSHADOW_FASTCODEC_H

#include "AtomicFile.h"
#include "ImageIO.h"

#include <RenderHost/World.h>

#include <memory>
#include <string>

namespace veilshadow {

// A fast reader of `path` when a fast codec takes the file, with `header`
// filled in field for field as the general path fills it; nullptr when
// none takes it. Throws RunError naming the file only where the general
// path would refuse the file too.
std::unique_ptr<CodecReader> OpenFastReader(const std::string &path, AlphaMode alpha, ImageHeader &header);

// Whether a fast codec writes files of this spec.
bool FastWriterTakes(const OutputSpec &spec);
// Writes `world` into `file` as that codec encodes it, with `windows` as
// the file's windows (see WindowsAsWritten). Throws RunError naming the
// file's target when the writing fails.
void WriteWorldFast(TempFile &file, const renderhost::World &world, const OutputSpec &spec,
                    const OutputWindows &windows);
// The bytes the writer of `spec` holds while it writes a world on `data`,
// beyond the world itself; for the general writer, two strips of the
// file's samples (the strip encoded for it and its library's copy).
std::uint64_t WriterHeldBytes(const OutputSpec &spec, const Window &data);

}  // namespace veilshadow

#endif
