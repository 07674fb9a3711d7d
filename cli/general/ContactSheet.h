// A contact sheet: images side by side over a checkerboard, with labels,
// composited and lettered with OpenImageIO.
#ifndef VEILSHADOW_CONTACTSHEET_H
#define VEILSHADOW_CONTACTSHEET_H

#include "GeneralCodec.h"
#include "ImageIO.h"

#include <OpenImageIO/imagebuf.h>
#include <RenderHost/World.h>

#include <string>
#include <vector>

namespace veilshadow {

// The layout: panels kSheetMargin apart and from the sheet's edges, each
// with a strip kSheetLabelHeight high beneath it for its label.
inline constexpr int kSheetMargin = 16;
inline constexpr int kSheetLabelHeight = 34;
// The checkerboard under the panels: squares of kCheckerSize pixels,
// starting with the light grey at each panel's top-left corner.
inline constexpr int kCheckerSize = 12;
inline constexpr float kCheckerLight = 0.84f, kCheckerDark = 0.66f;

// One opaque RGBA sheet, float, its top-left corner at (0, 0): panel i,
// its top-left corner at (kSheetMargin + i * (area.width + kSheetMargin),
// kSheetMargin), shows `area` (layer coordinates) of its image composited
// over the checkerboard; a dashed outline marks `outline` (the layer's
// bounds) and the label is centred in the strip beneath, in DejaVu Sans.
// Throws RunError when the font cannot be found or drawn.
OIIO::ImageBuf MakeContactSheet(const std::vector<SheetPanel> &panels, const Window &area, const Window &outline);

// Writes the sheet as an 8-bit PNG, atomically (see WriteWorld). Throws
// RunError naming `path`; nothing is left behind then.
void WriteContactSheet(const std::string &path, const OIIO::ImageBuf &sheet);

}  // namespace veilshadow

#endif
