// Box-filter downsampling of worlds, for renders at 1/N resolution.
#ifndef VEILSHADOW_DOWNSAMPLE_H
#define VEILSHADOW_DOWNSAMPLE_H

#include "Geometry.h"

#include <RenderHost/World.h>

namespace renderhost {
class ThreadPool;
}

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

// The same filter into `out`, which must be a world of `world`'s depth on
// DownsampledWindow of `world`'s window (std::invalid_argument otherwise);
// every pixel of `out` is written. With a pool, the output rows are shared
// among its threads (one run of the pool); every output pixel is reduced
// by one thread in the same order as without, so the result is the same
// bit for bit.
void BoxDownsampleInto(const renderhost::World &world, int factor, renderhost::World &out,
                       renderhost::ThreadPool *pool = nullptr);

}  // namespace veilshadow

#endif
