// Box-filter downsampling of worlds, for renders at 1/N resolution.
#ifndef VEILSHADOW_DOWNSAMPLE_H
#define VEILSHADOW_DOWNSAMPLE_H

#include "ImageIO.h"

#include <RenderHost/World.h>

namespace veilshadow {

// A window in layer coordinates at 1/factor: the blocks of factor x factor
// pixels, aligned to multiples of factor, that it touches.
Window DownsampledWindow(const Window &window, int factor);

// Each output pixel is the mean of one aligned block of factor x factor
// pixels, the block's positions outside the world counting as transparent:
// alpha is the mean alpha, colour the alpha-weighted mean colour (the plain
// mean where the block is fully transparent). 8-bit and 16-bit round to
// nearest. A factor of 1 gives an exact copy.
renderhost::World BoxDownsample(const renderhost::World &world, int factor);

}  // namespace veilshadow

#endif
