// A contact sheet: images side by side over a checkerboard, with labels.
#ifndef VEILSHADOW_CONTACTSHEET_H
#define VEILSHADOW_CONTACTSHEET_H

#include "ImageIO.h"

#include <RenderHost/World.h>

#include <string>
#include <vector>

namespace veilshadow {

struct SheetPanel {
    std::string label;
    const renderhost::World *image; // float, straight colour, placed by its origin
};

// One opaque 8-bit sheet: every panel shows `area` (layer coordinates) of
// its image composited over a checkerboard, a dashed outline marks
// `outline` (the layer's bounds), and the label sits underneath.
renderhost::World MakeContactSheet(const std::vector<SheetPanel> &panels, const Window &area, const Window &outline);

} // namespace veilshadow

#endif
