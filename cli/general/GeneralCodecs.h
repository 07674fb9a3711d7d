// The general codec's parts (see GeneralCodec.h), all on OpenImageIO: they
// are linked into the general module, or into the tests and benches.
#ifndef VEILSHADOW_GENERALCODECS_H
#define VEILSHADOW_GENERALCODECS_H

#include "AtomicFile.h"
#include "GeneralCodec.h"
#include "ImageIO.h"

#include <OpenImageIO/imageio.h>
#include <RenderHost/World.h>

#include <functional>
#include <memory>
#include <string>

namespace veilshadow {

// The table of the functions below.
const GeneralCodec &GeneralCodecTable();

// ImageReader's reading of a file no fast codec takes (GeneralRead.cpp).
std::unique_ptr<CodecReader> OpenGeneralReader(const std::string &path, AlphaMode alpha, ImageHeader &header);

// WriteWorld's writing of an output no fast codec writes (GeneralWrite.cpp).
void WriteGeneral(TempFile &file, const renderhost::World &world, const OutputSpec &spec, const OutputWindows &windows);

// Writes an image file into `file`: `write` gets an ImageOutput for
// `format` opened with `spec` and writes the pixels. Every byte the
// encoder writes is checked (TempFileProxy). Throws RunError naming the
// file's target (a full disk: "cannot write: No space left on device");
// the caller commits the file or lets it go.
void WriteImageFile(TempFile &file, const std::string &format, const OIIO::ImageSpec &spec,
                    const std::function<bool(OIIO::ImageOutput &)> &write);

// OpenImageIO keeps errors per thread until asked; asking clears them.
std::string TakeGlobalError();

}  // namespace veilshadow

#endif
