// Which fast codec takes a file or an output: the formats' rows name
// them (Formats.cpp). A file's readers are asked in the rows' order, each
// judging the file by its own bytes; an output's writer is its format's.
#include "FastCodec.h"

#include "Formats.h"
#include "ImageIOCommon.h"

#include <algorithm>
#include <stdexcept>

namespace veilshadow {

std::unique_ptr<CodecReader> OpenFastReader(const std::string &path, AlphaMode alpha, ImageHeader &header) {
    for (const FileFormat &format : FileFormats()) {
        if (format.open_fast_reader == nullptr) continue;
        if (std::unique_ptr<CodecReader> reader = format.open_fast_reader(path, alpha, header)) return reader;
    }
    return nullptr;
}

bool FastWriterTakes(const OutputSpec &spec) {
    const FileFormat *format = FindFormat(spec.format);
    return format != nullptr && format->fast_writer_takes != nullptr && format->write_fast != nullptr &&
           format->fast_writer_takes(spec);
}

void WriteWorldFast(TempFile &file, const renderhost::World &world, const OutputSpec &spec,
                    const OutputWindows &windows) {
    const FileFormat *format = FindFormat(spec.format);
    if (format == nullptr || format->write_fast == nullptr) throw std::logic_error("no fast writer for " + spec.format);
    format->write_fast(file, world, spec, windows);
}

std::uint64_t WriterHeldBytes(const OutputSpec &spec, const Window &data) {
    if (!FastWriterTakes(spec))
        return 2 * EncodeBytes(Window{0, 0, data.width, std::min(data.height, kStripRows)}, spec.sample);
    const FileFormat *format = FindFormat(spec.format);
    return format->fast_writer_holds == nullptr ? 0 : format->fast_writer_holds(spec, data);
}

}  // namespace veilshadow
