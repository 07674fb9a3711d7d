// Which fast codec takes a file or an output: each is asked in turn.
#include "FastCodec.h"

#include "ExrCodec.h"

#include <stdexcept>

namespace veilshadow {

std::unique_ptr<FastReader> OpenFastReader(const std::string &path, AlphaMode alpha, ImageHeader &header) {
    if (auto exr = OpenExrReader(path, alpha, header)) return exr;
    return nullptr;
}

bool FastWriterTakes(const OutputSpec &spec) { return ExrWriterTakes(spec); }

void WriteWorldFast(TempFile &file, const renderhost::World &world, const OutputSpec &spec,
                    const OutputWindows &windows) {
    if (ExrWriterTakes(spec)) return WriteExr(file, world, spec, windows);
    throw std::logic_error("no fast writer for " + spec.format);
}

}  // namespace veilshadow
