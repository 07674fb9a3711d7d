// Which fast codec takes a file or an output: each is asked in turn.
#include "FastCodec.h"

#include <stdexcept>

namespace veilshadow {

std::unique_ptr<FastReader> OpenFastReader(const std::string &, AlphaMode, ImageHeader &) { return nullptr; }

bool FastWriterTakes(const OutputSpec &) { return false; }

void WriteWorldFast(TempFile &, const renderhost::World &, const OutputSpec &spec, const OutputWindows &) {
    throw std::logic_error("no fast writer for " + spec.format);
}

}  // namespace veilshadow
