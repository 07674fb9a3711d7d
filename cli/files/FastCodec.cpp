// Which fast codec takes a file or an output: each is asked in turn.
#include "FastCodec.h"

#include "PngCodec.h"

#include <stdexcept>

namespace veilshadow {

std::unique_ptr<FastReader> OpenFastReader(const std::string &path, AlphaMode alpha, ImageHeader &header) {
    if (auto png = OpenPngReader(path, alpha, header)) return png;
    return nullptr;
}

bool FastWriterTakes(const OutputSpec &spec) {
    if (PngWriterTakes(spec)) return true;
    return false;
}

void WriteWorldFast(TempFile &file, const renderhost::World &world, const OutputSpec &spec, const OutputWindows &) {
    if (PngWriterTakes(spec)) return WritePng(file, world, spec);
    throw std::logic_error("no fast writer for " + spec.format);
}

}  // namespace veilshadow
