// The general codec: OpenImageIO reads and writes whatever veilshadow's own
// codecs (FastCodec.h) do not take, and draws the demo's shadow and contact
// sheet. OpenImageIO brings some 260 libraries, whose loading and linking
// alone take a few tenths of a second, so the program keeps it in a module
// of its own (cli/general/), loaded the first time a file needs it: a run
// on the files the own codecs take never loads it. The tests, benches and
// fuzzers link it in instead.
#ifndef VEILSHADOW_GENERALCODEC_H
#define VEILSHADOW_GENERALCODEC_H

#include "AtomicFile.h"
#include "Geometry.h"
#include "ImageIO.h"

#include <RenderHost/World.h>

#include <memory>
#include <string>
#include <vector>

namespace veilshadow {

// A panel of the demo's contact sheet.
struct SheetPanel {
    std::string label;
    const renderhost::World *image;  // float, straight colour, placed by its origin
};

// What the general codec does, one function each; every one throws
// RunError naming the file where it fails.
struct GeneralCodec {
    // Opens `path` and fills `header` (ImageReader's constructor, for a
    // file no fast codec takes).
    std::unique_ptr<CodecReader> (*open_reader)(const std::string &path, AlphaMode alpha, ImageHeader &header);
    // Writes `world` into `file` (WriteWorld, for an output no fast codec
    // takes).
    void (*write_world)(TempFile &file, const renderhost::World &world, const OutputSpec &spec,
                        const OutputWindows &windows);
    void (*set_threads)(int threads);
    // The demo: the alpha of `layer` moved by (offset, offset) and blurred
    // by a Gaussian `blur` pixels wide, over `area`, row after row.
    std::vector<float> (*shadow_alpha)(const renderhost::World &layer, const Window &area, int offset, float blur);
    // The demo's contact sheet of `panels` (MakeContactSheet), written as
    // an 8-bit PNG.
    void (*write_contact_sheet)(const std::string &path, const std::vector<SheetPanel> &panels, const Window &area,
                                const Window &outline);
};

// The general codec, loaded on first use (its threads set as
// SetLibraryThreads last asked). Throws ModuleError when it cannot be
// loaded.
const GeneralCodec &General();
// The same for the file at `path`: before the first load, the memory its
// libraries take is checked against the memory there is (a RunError
// naming `path` when it is short), since a process the kernel kills for
// it would say nothing.
const GeneralCodec &GeneralFor(const std::string &path);

// How it is had: linked in (cli/general/GeneralLinked.cpp) or, in the
// program, loaded from its module (GeneralLoader.cpp). One of the two is in
// every binary.
const GeneralCodec &LoadGeneral();

}  // namespace veilshadow

#endif
